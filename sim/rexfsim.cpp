// rexfsim: a line of RKC REX-F temperature controllers on a pseudo-terminal
// (or a real serial device), for trying out and testing the QDXTLMV driver.
//
// It answers polling frames with data replies and selecting frames with ACK
// or NAK from a table of points, can damage its answers on purpose (fault
// injection), pace them at a real line's speed, trace every frame, and takes
// commands on stdin so that a test can set, read and break things while it
// runs. Run `rexfsim --help` for the options and commands.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "controller.h"
#include "faults.h"
#include "line_match.h"
#include "points.h"
#include "process.h"
#include "unit_file.h"

namespace rexfsim {
namespace {

using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "Usage: rexfsim [options]\n"
    "Simulates RKC REX-F controllers on a serial line. Without --device it opens\n"
    "a pseudo-terminal and prints 'rexfsim: listening on PATH' as its first line.\n"
    "\n"
    "Line:\n"
    "  --link PATH            also make the symlink PATH to the pseudo-terminal\n"
    "                         (removed on exit)\n"
    "  --device PATH          use this serial device instead of a pseudo-terminal\n"
    "  --baud N               device speed (default 9600, as the driver's default)\n"
    "  --data-bits 7|8        device data bits (default 7)\n"
    "  --parity even|odd|none device parity (default odd)\n"
    "  --stop-bits 1|2        device stop bits (default 2)\n"
    "  --pace BAUD            send no faster than a line at BAUD (11 bits a character)\n"
    "                         and take received bytes as arriving at that speed too\n"
    "  --interval-time MS     the units' interval time, 0..250: the wait before every\n"
    "                         answer (default 0 on a pseudo-terminal; units leave the\n"
    "                         factory with 10)\n"
    "  --realistic            a real line: pace at --baud and an interval time of 10 ms\n"
    "                         (unless --interval-time says otherwise)\n"
    "  --response-delay MS    wait MS before every answer (any length, for tests)\n"
    "  --line-check           compare the line settings the other side asked for (read\n"
    "                         from the pseudo-terminal) with --baud, --data-bits,\n"
    "                         --parity and --stop-bits, and send every answer as the\n"
    "                         other side's receiver takes it: garbled when they differ\n"
    "Points:\n"
    "  --units LIST           default table: these units (default 1,2,3)\n"
    "  --channels LIST        default table: these channels (default 1)\n"
    "  --option-units LIST    default table: units fitted with the current transformer\n"
    "                         option, M2 and M3 (default 2); the others answer EOT\n"
    "  --table FILE           load the points from FILE instead of the default table\n"
    "  --unit-file [UNIT=]FILE  start a unit from a settings file that 'qdxpoll save'\n"
    "                         wrote (at the unit it names, or at UNIT); says on\n"
    "                         stderr which settings differ from the factory values\n"
    "                         (repeatable)\n"
    "  --no-process           keep measured values still (also --no-drift); by default\n"
    "                         M1 follows a furnace driven by the unit's PID control\n"
    "                         on S1 (P1, I1, D1, output limits OH/OL, output O1),\n"
    "                         and the alarm states AA/AB follow S1 + A1/A2 with the\n"
    "                         gaps HA/HB\n"
    "  --speed N              run the process N times faster than real time\n"
    "                         (default 1; 0 stands still but for 'advance')\n"
    "  --accept-all           no unit model: every identifier at every unit, every\n"
    "                         write stored and answered with the text written, no\n"
    "                         EOT for missing identifiers and no data link after a\n"
    "                         reply\n"
    "  --state FILE           write the table to FILE after every change (atomically)\n"
    "Faults (one per transaction):\n"
    "  --fault KIND[:MS]:PROB inject KIND with probability PROB (repeatable)\n"
    "  --seed N               random seed for --fault (default 1)\n"
    "  --script K1,K2,...     faults for the next transactions in turn, then normal\n"
    "                         ('ok' for none)\n"
    "  kinds: silence, bad-bcc, no-stx, no-etx, wrong-id, nak, extra, split[:MS],\n"
    "         delay:MS, garbage-answer. On a select: silence, bad-bcc and nak leave\n"
    "         the value unstored (NAK or nothing); no-stx, no-etx, wrong-id and\n"
    "         garbage-answer store it but answer '?'; extra, split and delay store\n"
    "         it and answer ACK (plus bytes, late).\n"
    "Other:\n"
    "  --trace                trace frames to stderr\n"
    "  --help                 this text\n"
    "\n"
    "Each unit behaves as the REX-F manuals describe: a poll for an identifier it\n"
    "lacks gets EOT; a write to a read-only identifier, outside the setting range\n"
    "(S1 also within SL..SH) or with a text that is not a number gets NAK and\n"
    "nothing is stored; a written value is cut to the decimals the unit keeps and\n"
    "replies carry the held value at those decimals (\"0150.7\"). After a data\n"
    "reply ACK gets the next identifier's data, NAK the same data again, any other\n"
    "byte EOT, and 3 s of silence EOT.\n"
    "\n"
    "Commands on stdin, one a line, each answered by one line 'ok ...' or\n"
    "'error ...' on stdout:\n"
    "  set U C ID VALUE       store a number          get U C ID   -> ok TEXT\n"
    "  set-raw U C ID \"TEXT\"  replies carry these 6 characters until the next set\n"
    "  del U C ID             forget a point          stats        -> ok COUNTS\n"
    "  fault KIND[:MS]:PROB | fault clear             script K1,K2,...\n"
    "  process on|off         trace on|off            ping         quit\n"
    "  advance SECONDS        move the process on by SECONDS of process time\n"
    "SIGUSR1 prints the counts to stderr; so does the exit on SIGINT/SIGTERM.\n"
    "\n";

struct Options {
    std::string link, device, table_file, state_file;
    std::vector<std::string> unit_files;
    long baud = 9600;
    int data_bits = 7, stop_bits = 2;
    std::string parity = "odd";
    long pace_baud = 0;
    int response_delay_ms = 0;
    int interval_time_ms = -1;  // -1: not given
    bool realistic = false, accept_all = false;
    std::vector<int> units{1, 2, 3}, channels{1}, option_units{2};
    bool process = true, trace = false, line_check = false;
    double speed = 1.0;
    std::vector<std::string> fault_rules;
    std::string script;
    unsigned long seed = 1;
};

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_print_stats = 0;

void OnSignal(int sig) {
    if (sig == SIGUSR1)
        g_print_stats = 1;
    else
        g_stop = 1;
}

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "rexfsim: %s\n", message.c_str());
    std::exit(2);
}

long ToNumber(const std::string& option, const std::string& s, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || errno != 0 || v < lo || v > hi)
        Fail("bad value '" + s + "' for " + option);
    return v;
}

std::vector<int> ToList(const std::string& option, const std::string& s, int hi) {
    std::vector<int> out;
    size_t start = 0;
    while (start <= s.size()) {
        size_t comma = s.find(',', start);
        if (comma == std::string::npos) comma = s.size();
        out.push_back(static_cast<int>(ToNumber(option, s.substr(start, comma - start), 0, hi)));
        start = comma + 1;
    }
    return out;
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Fail(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(TableFileHelp(), stdout);
            std::exit(0);
        } else if (a == "--link") {
            o.link = value();
        } else if (a == "--device") {
            o.device = value();
        } else if (a == "--baud") {
            o.baud = ToNumber(a, value(), 50, 4000000);
        } else if (a == "--data-bits") {
            o.data_bits = static_cast<int>(ToNumber(a, value(), 7, 8));
        } else if (a == "--parity") {
            o.parity = value();
            if (o.parity != "even" && o.parity != "odd" && o.parity != "none")
                Fail("--parity takes even, odd or none");
        } else if (a == "--stop-bits") {
            o.stop_bits = static_cast<int>(ToNumber(a, value(), 1, 2));
        } else if (a == "--pace") {
            o.pace_baud = ToNumber(a, value(), 1, 4000000);
        } else if (a == "--response-delay") {
            o.response_delay_ms = static_cast<int>(ToNumber(a, value(), 0, 600000));
        } else if (a == "--interval-time") {
            o.interval_time_ms = static_cast<int>(ToNumber(a, value(), 0, 250));
        } else if (a == "--realistic") {
            o.realistic = true;
        } else if (a == "--accept-all") {
            o.accept_all = true;
        } else if (a == "--option-units") {
            o.option_units = ToList(a, value(), 99);
        } else if (a == "--units") {
            o.units = ToList(a, value(), 99);
        } else if (a == "--channels") {
            o.channels = ToList(a, value(), 9);
        } else if (a == "--table") {
            o.table_file = value();
        } else if (a == "--unit-file") {
            o.unit_files.push_back(value());
        } else if (a == "--state") {
            o.state_file = value();
        } else if (a == "--no-process" || a == "--no-drift") {
            o.process = false;
        } else if (a == "--speed") {
            const std::string v = value();
            char* end = nullptr;
            o.speed = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(o.speed >= 0 && o.speed <= 100000))
                Fail("bad value '" + v + "' for --speed (0..100000)");
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--line-check") {
            o.line_check = true;
        } else if (a == "--fault") {
            o.fault_rules.push_back(value());
        } else if (a == "--seed") {
            o.seed = static_cast<unsigned long>(ToNumber(a, value(), 0, 0x7FFFFFFF));
        } else if (a == "--script") {
            o.script = value();
        } else {
            Fail("unknown option " + a + " (try --help)");
        }
    }
    if (o.realistic) {
        if (o.pace_baud == 0) o.pace_baud = o.baud;
        if (o.interval_time_ms < 0) o.interval_time_ms = 10;
    }
    if (o.interval_time_ms > 0) o.response_delay_ms += o.interval_time_ms;
    return o;
}

speed_t BaudConstant(long baud) {
    speed_t speed = B0;
    if (!SpeedOf(baud, &speed)) Fail("unsupported --baud " + std::to_string(baud));
    return speed;
}

// Shows a frame for the trace: control characters by name, other unprintable
// bytes in hex, and the byte after an ETX as the BCC.
std::string Describe(const std::string& bytes) {
    std::string out;
    char buf[16];
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (i > 0 && bytes[i - 1] == static_cast<char>(kEtx)) {
            std::snprintf(buf, sizeof buf, " bcc=%02X%s", c, i + 1 < bytes.size() ? " " : "");
            out += buf;
            continue;
        }
        switch (c) {
            case kStx: out += "<STX>"; break;
            case kEtx: out += "<ETX>"; break;
            case kEot: out += "<EOT>"; break;
            case kEnq: out += "<ENQ>"; break;
            case kAck: out += "<ACK>"; break;
            case kNak: out += "<NAK>"; break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    out += static_cast<char>(c);
                } else {
                    std::snprintf(buf, sizeof buf, "<%02X>", c);
                    out += buf;
                }
        }
    }
    return out;
}

class Simulator {
public:
    explicit Simulator(const Options& o)
        : options_(o), controller_(&table_, &faults_), process_(&table_), start_(Clock::now()) {}

    void Setup();
    int Run();

private:
    void OpenPty();
    void OpenDevice();
    // --unit-file: a unit started from a settings file.
    void LoadUnitFileOption(const std::string& option);
    void Trace(const char* direction, const std::string& bytes, const std::string& note);
    void OnLineInput();
    // Queues an answer to a frame whose last byte arrived at `received`.
    void Schedule(const Answer& a, Clock::time_point received);
    // Writes what is due; returns the wait in microseconds until more is due
    // (-1: nothing).
    long FlushOutput();
    void OnCommandInput();
    std::string Command(const std::string& line);
    void SaveState();
    void PrintStats();
    // Moves the process on to now (at --speed); true if a point changed.
    bool AdvanceProcess();

    Options options_;
    PointTable table_;
    FaultPlan faults_;
    Controller controller_;
    LineProcess process_;
    bool process_on_ = true;
    Clock::time_point process_clock_;
    FrameReader reader_;
    Clock::time_point start_;

    int line_fd_ = -1;
    int held_slave_fd_ = -1;
    std::string line_path_;
    bool link_made_ = false;
    bool commands_open_ = true;
    bool quit_ = false;
    bool trace_ = false;
    std::string command_buffer_;

    struct Pending {
        std::string bytes;
        Clock::time_point due;
        bool started = false;
        Clock::time_point start;  // when the first byte may leave (pacing)
        size_t sent = 0;
    };
    std::deque<Pending> output_;
    Clock::time_point last_sent_;  // when the last answer left completely
    bool output_blocked_ = false;  // the line took no more bytes: wait for POLLOUT
    Clock::duration byte_time_{};  // 0: no pacing
    Clock::time_point line_free_;  // pacing: when the line has sent its last byte
    Clock::time_point rx_free_;    // pacing: when the last byte read has fully arrived
};

void Simulator::OpenPty() {
    line_fd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (line_fd_ < 0 || grantpt(line_fd_) != 0 || unlockpt(line_fd_) != 0)
        Fail(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
    const char* name = ptsname(line_fd_);
    if (!name) Fail("ptsname failed");
    line_path_ = name;
    // One descriptor of the slave stays open for the whole run (never read),
    // so that the master sees no hang-up while the driver closes and reopens
    // its side.
    held_slave_fd_ = open(name, O_RDWR | O_NOCTTY);
    if (held_slave_fd_ < 0) Fail("cannot open " + line_path_ + ": " + std::strerror(errno));
    termios t{};
    if (tcgetattr(held_slave_fd_, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(held_slave_fd_, TCSANOW, &t);
    }
}

void Simulator::OpenDevice() {
    line_path_ = options_.device;
    line_fd_ = open(line_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line_fd_ < 0) Fail("cannot open " + line_path_ + ": " + std::strerror(errno));
    termios t{};
    if (tcgetattr(line_fd_, &t) != 0) Fail(line_path_ + " is not a serial device");
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | (options_.data_bits == 7 ? CS7 : CS8);
    if (options_.parity != "none") t.c_cflag |= PARENB | (options_.parity == "odd" ? PARODD : 0);
    if (options_.stop_bits == 2) t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    const speed_t speed = BaudConstant(options_.baud);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    // Pseudo-terminals refuse 7 data bits and parity; the line still works.
    if (tcsetattr(line_fd_, TCSANOW, &t) != 0)
        std::fprintf(stderr, "rexfsim: warning: line settings not taken by %s: %s\n",
                     line_path_.c_str(), std::strerror(errno));
    tcflush(line_fd_, TCIOFLUSH);
}

void Simulator::Setup() {
    table_.set_unit_model(!options_.accept_all);
    if (!options_.table_file.empty()) {
        try {
            table_.Load(options_.table_file);
        } catch (const std::exception& e) {
            Fail(e.what());
        }
    } else {
        table_.FillDefaults(options_.units, options_.channels, options_.option_units);
    }
    for (const std::string& option : options_.unit_files) LoadUnitFileOption(option);
    std::string error;
    faults_.Seed(static_cast<uint32_t>(options_.seed));
    for (const auto& rule : options_.fault_rules)
        if (!faults_.AddRule(rule, &error)) Fail(error);
    if (!options_.script.empty()) {
        std::vector<Fault> script;
        if (!ParseFaultList(options_.script, &script, &error)) Fail(error);
        faults_.SetScript(script);
    }
    process_on_ = options_.process;
    process_clock_ = Clock::now();
    controller_.set_response_delay_ms(options_.response_delay_ms);
    trace_ = options_.trace;
    if (options_.pace_baud > 0)
        byte_time_ = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(11.0 / static_cast<double>(options_.pace_baud)));

    if (options_.device.empty())
        OpenPty();
    else
        OpenDevice();
    fcntl(line_fd_, F_SETFL, fcntl(line_fd_, F_GETFL) | O_NONBLOCK);

    if (!options_.link.empty()) {
        struct stat st{};
        if (lstat(options_.link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) Fail(options_.link + " exists and is no symlink");
            unlink(options_.link.c_str());  // left behind by an earlier run
        }
        if (symlink(line_path_.c_str(), options_.link.c_str()) != 0)
            Fail("cannot make the link " + options_.link + ": " + std::strerror(errno));
        link_made_ = true;
    }
    SaveState();
    std::printf("rexfsim: listening on %s\n", line_path_.c_str());
    std::fflush(stdout);
}

void Simulator::LoadUnitFileOption(const std::string& option) {
    UnitFileRequest request;
    std::string error;
    if (!ParseUnitFileOption(option, &request, &error)) Fail(error);
    std::vector<std::string> differ;
    int unit = 0;
    try {
        differ = LoadUnitFile(request, &table_, &unit);
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    std::fprintf(stderr, "rexfsim: unit %02d from %s: %s\n", unit, request.path.c_str(),
                 differ.empty() ? "every setting at its factory value" : "settings that differ from the factory values:");
    for (const std::string& line : differ) std::fprintf(stderr, "rexfsim:   %s\n", line.c_str());
}

void Simulator::Trace(const char* direction, const std::string& bytes, const std::string& note) {
    if (!trace_) return;
    const double ms =
        std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    std::fprintf(stderr, "[%10.3f ms] %s %s%s%s%s\n", ms, direction, Describe(bytes).c_str(),
                 note.empty() ? "" : "  (", note.c_str(), note.empty() ? "" : ")");
}

void Simulator::SaveState() {
    if (options_.state_file.empty()) return;
    if (!table_.Save(options_.state_file))
        std::fprintf(stderr, "rexfsim: cannot write %s\n", options_.state_file.c_str());
}

bool Simulator::AdvanceProcess() {
    const Clock::time_point now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - process_clock_).count() * options_.speed;
    process_clock_ = now;
    return process_on_ && process_.Advance(seconds);
}

void Simulator::PrintStats() {
    std::fprintf(stderr, "rexfsim: %s\n", controller_.StatsLine().c_str());
}

void Simulator::Schedule(const Answer& a, Clock::time_point received) {
    Clock::time_point t = received;
    for (const Piece& p : a.pieces) {
        t += std::chrono::milliseconds(p.delay_ms);
        if (!output_.empty()) t = std::max(t, output_.back().due);  // keep the order
        Pending out;
        out.bytes = p.bytes;
        out.due = t;
        output_.push_back(std::move(out));
    }
}

void Simulator::OnLineInput() {
    uint8_t buf[4096];
    std::vector<Received> frames;
    for (;;) {
        const ssize_t n = read(line_fd_, buf, sizeof buf);
        if (n <= 0) break;  // EAGAIN: all read; errors and hang-ups are seen by poll
        // Paced, the bytes just read come in at line speed behind whatever
        // is still coming in: the frames among them are answered from the
        // arrival of the chunk's last byte, as a controller on a real line
        // sees a frame only once its last character is in.
        Clock::time_point received = Clock::now();
        if (byte_time_.count() > 0) {
            rx_free_ = std::max(rx_free_, received) + byte_time_ * static_cast<long>(n);
            received = rx_free_;
        }
        frames.clear();
        reader_.Feed(buf, static_cast<size_t>(n), &frames);
        bool changed = frames.empty() ? false : AdvanceProcess();
        for (const Received& f : frames) {
            Answer a = controller_.Handle(f);
            if (options_.line_check) {
                const LineFormat own{options_.baud, options_.data_bits,
                                     static_cast<char>(std::toupper(static_cast<unsigned char>(options_.parity[0]))),
                                     options_.stop_bits};
                ReceiveAnswerAsPeer(line_fd_, own, &a);
            }
            Trace("rx", f.bytes, a.note);
            Schedule(a, received);
            changed |= a.table_changed;
        }
        if (reader_.in_frame()) controller_.EndLink();
        if (changed) SaveState();
        FlushOutput();  // answer at once when nothing holds the answer back
        if (static_cast<size_t>(n) < sizeof buf) break;
    }
}

long Simulator::FlushOutput() {
    while (!output_.empty()) {
        Pending& head = output_.front();
        const Clock::time_point now = Clock::now();
        if (now < head.due) {
            return static_cast<long>(
                std::chrono::ceil<std::chrono::microseconds>(head.due - now).count());
        }
        if (!head.started) {
            head.started = true;
            head.start = byte_time_.count() > 0 ? std::max(head.due, line_free_) : head.due;
            line_free_ = head.start + byte_time_ * static_cast<long>(head.bytes.size());
        }
        size_t ready = head.bytes.size();
        if (byte_time_.count() > 0) {
            // Byte i has fully arrived at start + (i + 1) byte times.
            const auto elapsed = now - head.start;
            const long whole = now < head.start ? 0 : static_cast<long>(elapsed / byte_time_);
            ready = std::min(ready, static_cast<size_t>(whole));
        }
        if (ready > head.sent) {
            const ssize_t n = write(line_fd_, head.bytes.data() + head.sent, ready - head.sent);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) {
                    output_blocked_ = true;
                    return -1;
                }
                // The line refuses the answer (nobody on the other side): drop it.
                Trace("tx", head.bytes, std::string("not sent: ") + std::strerror(errno));
                output_.pop_front();
                continue;
            }
            head.sent += static_cast<size_t>(n);
            output_blocked_ = head.sent < ready;
            if (output_blocked_) return -1;
        }
        if (head.sent < head.bytes.size()) {
            const auto next = head.start + byte_time_ * static_cast<long>(head.sent + 1);
            return std::max<long>(1, std::chrono::ceil<std::chrono::microseconds>(next - now).count());
        }
        Trace("tx", head.bytes, "");
        output_.pop_front();
        last_sent_ = std::max(now, line_free_);
    }
    return -1;
}

std::string Simulator::Command(const std::string& line) {
    std::vector<std::string> w;
    std::vector<bool> quoted;
    std::string error;
    if (!SplitWords(line, &w, &quoted, &error)) return "error " + error;
    if (w.empty()) return "";
    const std::string& cmd = w[0];
    PointKey key;
    auto point_args = [&](size_t count) {
        return w.size() == count && ParseUnit(w[1], &key.unit) && ParseChannel(w[2], &key.channel) &&
               ParseIdent(w[3], &key.ident);
    };
    // Values read or set by a command are those of now.
    if (AdvanceProcess()) SaveState();
    if (cmd == "ping") return "ok";
    if (cmd == "quit") {
        quit_ = true;
        return "ok";
    }
    if (cmd == "stats") return "ok " + controller_.StatsLine();
    if (cmd == "get") {
        if (!point_args(4)) return "error usage: get UNIT CHANNEL IDENT";
        const Point* p = table_.Find(key.unit, key.channel, key.ident);
        if (!p) return "error no such point";
        return "ok " + Escape(p->text);
    }
    if (cmd == "set") {
        double v = 0;
        char* end = nullptr;
        if (point_args(5)) v = std::strtod(w[4].c_str(), &end);
        if (!end || end == w[4].c_str() || *end != '\0')
            return "error usage: set UNIT CHANNEL IDENT NUMBER";
        table_.SetValue(key, v);
        SaveState();
        return "ok " + Escape(table_.Find(key.unit, key.channel, key.ident)->text);
    }
    if (cmd == "set-raw") {
        if (!point_args(5) || w[4].size() != 6)
            return "error usage: set-raw UNIT CHANNEL IDENT \"6 CHARACTERS\"";
        table_.SetRaw(key, w[4]);
        SaveState();
        return "ok";
    }
    if (cmd == "del") {
        if (!point_args(4)) return "error usage: del UNIT CHANNEL IDENT";
        if (!table_.Remove(key)) return "error no such point";
        SaveState();
        return "ok";
    }
    if (cmd == "fault") {
        if (w.size() == 2 && w[1] == "clear") {
            faults_.ClearRules();
            faults_.SetScript({});
            return "ok";
        }
        if (w.size() != 2) return "error usage: fault KIND[:MS]:PROB | fault clear";
        if (!faults_.AddRule(w[1], &error)) return "error " + error;
        return "ok";
    }
    if (cmd == "script") {
        std::vector<Fault> script;
        if (w.size() != 2) return "error usage: script KIND,KIND,...";
        if (!ParseFaultList(w[1], &script, &error)) return "error " + error;
        faults_.SetScript(script);
        return "ok";
    }
    if (cmd == "process" || cmd == "drift" || cmd == "trace") {
        if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return "error usage: " + cmd + " on|off";
        if (cmd == "trace") {
            trace_ = w[1] == "on";
        } else {
            AdvanceProcess();
            process_on_ = w[1] == "on";
        }
        return "ok";
    }
    if (cmd == "advance") {
        char* end = nullptr;
        const double seconds = w.size() == 2 ? std::strtod(w[1].c_str(), &end) : -1;
        if (w.size() != 2 || *end != '\0' || !(seconds >= 0 && seconds <= 3600))
            return "error usage: advance SECONDS (0..3600)";
        AdvanceProcess();
        if (process_on_ && process_.Advance(seconds)) SaveState();
        return "ok";
    }
    return "error unknown command " + cmd;
}

void Simulator::OnCommandInput() {
    char buf[4096];
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) commands_open_ = false;
        return;
    }
    command_buffer_.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = command_buffer_.find('\n')) != std::string::npos) {
        const std::string line = command_buffer_.substr(0, nl);
        command_buffer_.erase(0, nl + 1);
        const std::string answer = Command(line);
        if (!answer.empty()) {
            std::printf("%s\n", answer.c_str());
            std::fflush(stdout);
        }
    }
    if (command_buffer_.size() > 65536) command_buffer_.clear();  // no line end in sight
}

int Simulator::Run() {
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGHUP);
    sigdelset(&waiting, SIGUSR1);

    while (!g_stop && !quit_) {
        if (g_print_stats) {
            g_print_stats = 0;
            PrintStats();
        }
        long wait_us = FlushOutput();
        if (controller_.link_open() && output_.empty()) {
            // The host stays silent after a data reply: end the data link.
            const auto due = last_sent_ + std::chrono::milliseconds(kLinkTimeoutMs);
            const Clock::time_point now = Clock::now();
            if (now >= due) {
                const Answer a = controller_.EndSilentLink();
                Trace("--", "", a.note);
                Schedule(a, now);
                continue;
            }
            const long link_us = static_cast<long>(std::chrono::ceil<std::chrono::microseconds>(due - now).count());
            wait_us = wait_us < 0 ? link_us : std::min(wait_us, link_us);
        }
        pollfd fds[2];
        nfds_t count = 0;
        fds[count++] = pollfd{line_fd_, static_cast<short>(POLLIN | (output_blocked_ ? POLLOUT : 0)), 0};
        if (commands_open_) fds[count++] = pollfd{STDIN_FILENO, POLLIN, 0};
        timespec ts{};
        timespec* timeout = nullptr;
        if (wait_us >= 0) {
            ts.tv_sec = wait_us / 1000000;
            ts.tv_nsec = (wait_us % 1000000) * 1000L;
            timeout = &ts;
        }
        const int r = ppoll(fds, count, timeout, &waiting);
        if (r < 0) {
            if (errno == EINTR) continue;
            Fail(std::string("poll failed: ") + std::strerror(errno));
        }
        if (fds[0].revents & POLLOUT) output_blocked_ = false;
        if (fds[0].revents & POLLIN) {
            OnLineInput();
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // A device without its other side: do not spin on the hang-up.
            usleep(10000);
        }
        if (count > 1 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) OnCommandInput();
        if (count > 1 && (fds[1].revents & POLLNVAL)) commands_open_ = false;
    }
    PrintStats();
    if (link_made_) unlink(options_.link.c_str());
    if (held_slave_fd_ >= 0) close(held_slave_fd_);
    close(line_fd_);
    return 0;
}

}  // namespace
}  // namespace rexfsim

int main(int argc, char** argv) {
    using namespace rexfsim;
    // A closed standard descriptor gets /dev/null, so that the line's
    // descriptor is never taken for stdin; a closed stdin then just gives no
    // commands.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null_fd >= 0 && null_fd != fd) {
                dup2(null_fd, fd);
                close(null_fd);
            }
        }
    }
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return 0;  // the parent is gone already

    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const Options options = ParseOptions(argc, argv);
    Simulator sim(options);
    sim.Setup();
    return sim.Run();
}
