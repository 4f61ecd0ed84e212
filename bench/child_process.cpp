#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace qdxbench {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

bool ChildProcess::Start(const std::vector<std::string>& args, const std::string& prefix,
                         std::string* error) {
    Stop();
    signal(SIGPIPE, SIG_IGN);  // a child that died must not end the benchmark
    int in_pipe[2], out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0) {
        *error = "pipe failed";
        return false;
    }
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        close(in_pipe[0]);
        close(in_pipe[1]);
        *error = "pipe failed";
        return false;
    }
    std::vector<std::string> store(args);
    std::vector<char*> argv;
    for (auto& a : store) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) {
        *error = "fork failed";
        return false;
    }
    if (pid_ == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        // Only the standard descriptors go along: a port the benchmark holds
        // must not stay open (and locked) in a child.
        if (close_range(3, ~0U, 0) != 0) {
            for (int fd = 3; fd < 1024; ++fd) close(fd);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    to_child_ = in_pipe[1];
    from_child_ = out_pipe[0];
    std::string first;
    if (!ReadLine(&first, 5000) || first.compare(0, prefix.size(), prefix) != 0) {
        *error = args[0] + " did not start: '" + first + "'";
        Stop();
        return false;
    }
    announced_ = first.substr(prefix.size());
    return true;
}

bool ChildProcess::ReadLine(std::string* line, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const size_t nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            *line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
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
        buffer_.append(buf, static_cast<size_t>(n));
    }
}

std::string ChildProcess::Command(const std::string& line, int timeout_ms) {
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

void ChildProcess::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        for (;;) {
            int status = 0;
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
    buffer_.clear();
}

}  // namespace qdxbench
