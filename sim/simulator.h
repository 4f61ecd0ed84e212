// The simulated line at work: the line (a pseudo-terminal, a serial device
// or a TCP connection, line.h), the frames read from it answered by the controller on
// time (paced at the line's speed when asked), the commands on stdin, the
// process advanced as time goes by, and the trace.
#ifndef REXFSIM_SIMULATOR_H
#define REXFSIM_SIMULATOR_H

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include "controller.h"
#include "faults.h"
#include "line.h"
#include "options.h"
#include "point_table.h"
#include "process.h"
#include "rexf/wire.h"

namespace rexfsim {

using Clock = std::chrono::steady_clock;

// Set by the signal handlers (the console's Ctrl-C on Windows): stop, or
// print the counts.
extern std::atomic<bool> g_stop;
extern std::atomic<bool> g_print_stats;

class Simulator {
public:
    explicit Simulator(const Options& o)
        : options_(o), controller_(&table_, &faults_), process_(&table_), start_(Clock::now()) {}

    void Setup();
    int Run();

private:
    // --unit-file: a unit started from a settings file.
    void LoadUnitFileOption(const std::string& option);
    void Trace(const char* direction, const std::string& bytes, const std::string& note);
    void OnLineInput();
    // The other side went away: what was on its way belongs to nobody.
    void ForgetOtherSide();
    // Queues an answer to a frame whose last byte arrived at `received`.
    void Schedule(const Answer& a, Clock::time_point received);
    // Writes what is due; returns the wait in microseconds until more is due
    // (-1: nothing).
    long FlushOutput();
    void OnCommandInput(const std::string& text);
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
    rexf::HostFrameCutter cutter_;
    Clock::time_point start_;

    std::unique_ptr<Line> line_;
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

}  // namespace rexfsim

#endif  // REXFSIM_SIMULATOR_H
