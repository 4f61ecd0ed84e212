#include "simulator.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "line_match.h"
#include "platform.h"
#include "unit_file.h"

namespace rexfsim {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_print_stats{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

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

    line_ = OpenLine(options_);
    SaveState();
    std::printf("rexfsim: listening on %s\n", line_->name().c_str());
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
        const long n = line_->Read(buf, sizeof buf);
        if (n < 0) ForgetOtherSide();
        if (n <= 0) break;  // all read; hang-ups are seen by the wait
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
            LineFormat peer;
            if (options_.line_check && line_->PeerFormat(&peer)) ReceiveAnswerAsPeer(peer, options_.line, &a);
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

void Simulator::ForgetOtherSide() {
    output_.clear();
    output_blocked_ = false;
    cutter_ = rexf::HostFrameCutter();
    controller_.EndLink();
    Trace("--", "", "the other side went away");
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
            std::string why;
            const long n = line_->Write(head.bytes.data() + head.sent, ready - head.sent, &why);
            if (n == 0) {
                output_blocked_ = true;
                return -1;
            }
            if (n < 0) {
                // The line refuses the answer (nobody on the other side): drop it.
                Trace("tx", head.bytes, "not sent: " + why);
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

void Simulator::OnCommandInput(const std::string& text) {
    command_buffer_ += text;
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
    Waiter waiter;
    while (!g_stop && !quit_) {
        if (g_print_stats.exchange(false)) {
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
        std::vector<PollItem> items;
        line_->AddWaits(output_blocked_, &items);
        std::string commands;
        waiter.Wait(&items, wait_us, &commands);
        const LineEvents events = line_->Take(items);
        if (events.writable) output_blocked_ = false;
        if (events.readable) {
            OnLineInput();
        } else if (events.hung_up) {
            // A device without its other side: do not spin on the hang-up.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!commands.empty()) OnCommandInput(commands);
    }
    PrintStats();
    line_.reset();
    return 0;
}

}  // namespace rexfsim
