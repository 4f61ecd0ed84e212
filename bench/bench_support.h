// What every measurement of qdxbench uses: the line the figures are held
// against, the clock, the way it gives up, the simulator on a pty and the
// programs it runs to their end.
#ifndef QDXBENCH_BENCH_SUPPORT_H
#define QDXBENCH_BENCH_SUPPORT_H

#include <chrono>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace qdxbench {

using Clock = std::chrono::steady_clock;
using support::ChildProcess;

// The line the figures are held against: 9600 baud, 7 data bits, parity and
// 2 stop bits, 11 bits a character.
constexpr double kBaud = 9600.0;
constexpr double kBitsPerChar = 11.0;
constexpr double kCharSeconds = kBitsPerChar / kBaud;
constexpr int kReadChars = 8 + 11 + 1;  // poll, data reply, closing EOT
constexpr int kWriteChars = 16 + 1;     // select, answer

[[noreturn]] void Fail(const std::string& message);

double Seconds(Clock::duration d);

// User and system time of this process so far.
double CpuMicros();

// Starts rexfsim with `extra` options, its measured values still unless
// `still` is false; the port name the module can take (a link when the
// pty's own name is too long for a port record).
std::string StartSimulator(support::ChildProcess* sim, const std::vector<std::string>& extra, bool still = true);

struct ProgramRun {
    int exit_code = -1;  // -1: it did not exit by itself
    double seconds = 0;  // wall time
    double cpu_seconds = 0;  // its user+sys
};

// Runs a program to its end with its input and output on /dev/null.
ProgramRun RunProgram(const std::vector<std::string>& args);

}  // namespace qdxbench

#endif  // QDXBENCH_BENCH_SUPPORT_H
