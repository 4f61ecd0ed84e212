#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "line_match.h"
#include "rexf/termios_line.h"
#include "unit_file.h"

namespace rexfsim {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_print_stats = 0;

namespace {

// Shows a frame for the trace: control characters by name, other unprintable
// bytes in hex, and the byte after an ETX as the BCC.
std::string Describe(const std::string& bytes) {
    std::string out;
    char buf[16];
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (i > 0 && bytes[i - 1] == static_cast<char>(rexf::kEtx)) {
            std::snprintf(buf, sizeof buf, " bcc=%02X%s", c, i + 1 < bytes.size() ? " " : "");
            out += buf;
        } else if (const char* name = rexf::ControlName(c)) {
            out += std::string("<") + name + ">";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "<%02X>", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace

void Simulator::OpenPty() {
    std::string error;
    if (!support::OpenPseudoTerminal(&pty_, &error)) Fail(error);
    line_fd_ = pty_.master;
    line_path_ = pty_.slave_path;
}

void Simulator::OpenDevice() {
    line_path_ = options_.device;
    line_fd_ = open(line_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line_fd_ < 0) Fail("cannot open " + line_path_ + ": " + std::strerror(errno));
    termios t{};
    if (tcgetattr(line_fd_, &t) != 0) Fail(line_path_ + " is not a serial device");
    if (!rexf::ApplyLineFormat(options_.line, &t)) Fail("unsupported --baud " + std::to_string(options_.line.baud));
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
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
    std::vector<std::string> differ, contradictions;
    int unit = 0;
    try {
        differ = LoadUnitFile(request, &table_, &unit, &contradictions);
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    std::fprintf(stderr, "rexfsim: unit %02d from %s: %s\n", unit, request.path.c_str(),
                 differ.empty() ? "every setting at its factory value" : "settings that differ from the factory values:");
    for (const std::string& line : differ) std::fprintf(stderr, "rexfsim:   %s\n", line.c_str());
    if (!contradictions.empty())
        std::fprintf(stderr, "rexfsim: warning: unit %02d holds settings no unit holds together:\n", unit);
    for (const std::string& line : contradictions) std::fprintf(stderr, "rexfsim:   %s\n", line.c_str());
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
        cutter_.Feed(buf, static_cast<size_t>(n), &frames);
        // Bytes outside a frame (the host's answer to a data reply) are
        // taken at once, not when the next frame begins.
        Received stray;
        if (cutter_.TakeStray(&stray)) frames.push_back(std::move(stray));
        bool changed = frames.empty() ? false : AdvanceProcess();
        for (const Received& f : frames) {
            Answer a = controller_.Handle(f);
            if (options_.line_check) ReceiveAnswerAsPeer(line_fd_, options_.line, &a);
            Trace("rx", f.bytes, a.note);
            Schedule(a, received);
            changed |= a.table_changed;
        }
        if (cutter_.in_frame()) controller_.EndLink();
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
    if (pty_.master >= 0)
        support::ClosePseudoTerminal(&pty_);
    else
        close(line_fd_);
    return 0;
}

}  // namespace rexfsim
