#include "simulator.h"

#ifndef _WIN32

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qdxtest {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

std::string Simulator::ExecutablePath() {
#ifdef QDX_REXFSIM_PATH
    return QDX_REXFSIM_PATH;
#else
    return std::string();
#endif
}

Simulator::~Simulator() {
    Stop();
    if (!stderr_file_.empty()) unlink(stderr_file_.c_str());
}

bool Simulator::Start(const std::vector<std::string>& args, const SimulatorOptions& options,
                      std::string* error) {
    std::string ignored;
    std::string& why = error ? *error : ignored;
    Stop();
    if (!stderr_file_.empty()) unlink(stderr_file_.c_str());
    stderr_file_.clear();
    const std::string exe = ExecutablePath();
    if (exe.empty()) {
        why = "rexfsim is not built";
        return false;
    }
    if (options.capture_stderr) {
        char name[] = "/tmp/rexfsim-stderr-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) {
            why = "mkstemp failed";
            return false;
        }
        close(fd);
        stderr_file_ = name;
    }
    // A simulator that died must not kill the test with SIGPIPE on a command.
    signal(SIGPIPE, SIG_IGN);
    int in_pipe[2], out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0) {
        why = "pipe failed";
        return false;
    }
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        close(in_pipe[0]);
        close(in_pipe[1]);
        why = "pipe failed";
        return false;
    }
    std::vector<std::string> argv_store;
    argv_store.push_back(exe);
    argv_store.insert(argv_store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_store) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) {
        why = "fork failed";
        return false;
    }
    if (pid_ == 0) {
        // Child: only async-signal-safe calls from here to exec.
        if (options.close_stdin)
            close(0);
        else
            dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        if (!stderr_file_.empty()) {
            const int fd = open(stderr_file_.c_str(), O_WRONLY | O_APPEND);
            if (fd >= 0) dup2(fd, 2);
        }
        // Nothing else of the test goes along: an inherited serial port would
        // keep its lock after the test closed it.
        if (close_range(3, ~0U, 0) != 0) {
            const long max = sysconf(_SC_OPEN_MAX);
            for (long fd = 3; fd < (max > 0 && max < 65536 ? max : 65536); ++fd)
                close(static_cast<int>(fd));
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    to_child_ = in_pipe[1];
    from_child_ = out_pipe[0];
    if (options.close_stdin) {
        close(to_child_);
        to_child_ = -1;
    }
    std::string first;
    const std::string prefix = "rexfsim: listening on ";
    if (!ReadLine(&first, 5000) || first.compare(0, prefix.size(), prefix) != 0) {
        why = "rexfsim did not start: '" + first + "'";
        Stop();
        return false;
    }
    path_ = first.substr(prefix.size());
    return true;
}

bool Simulator::ReadLine(std::string* line, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const size_t nl = stdout_buffer_.find('\n');
        if (nl != std::string::npos) {
            *line = stdout_buffer_.substr(0, nl);
            stdout_buffer_.erase(0, nl + 1);
            return true;
        }
        if (from_child_ < 0) return false;
        pollfd p{from_child_, POLLIN, 0};
        const int r = poll(&p, 1, MsLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char buf[1024];
        const ssize_t n = read(from_child_, buf, sizeof buf);
        if (n <= 0) return false;
        stdout_buffer_.append(buf, static_cast<size_t>(n));
    }
}

std::string Simulator::Command(const std::string& line, int timeout_ms) {
    if (to_child_ < 0) return std::string();
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(to_child_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::string();
        done += static_cast<size_t>(n);
    }
    std::string answer;
    return ReadLine(&answer, timeout_ms) ? answer : std::string();
}

int Simulator::Stop() {
    int status = -1;
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        for (;;) {
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR)) break;
            if (Clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            usleep(2000);
        }
        pid_ = -1;
    }
    if (to_child_ >= 0) close(to_child_);
    if (from_child_ >= 0) close(from_child_);
    to_child_ = from_child_ = -1;
    stdout_buffer_.clear();
    return status;
}

std::string Simulator::stderr_text() const {
    if (stderr_file_.empty()) return std::string();
    std::ifstream in(stderr_file_);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace qdxtest

#endif  // _WIN32
