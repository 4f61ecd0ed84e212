#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace support {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Moves a descriptor above the standard three. A process started with stdin
// or stdout closed gets 0 or 1 from pipe(); the child's dup2 onto 0 and 1
// would then clobber one pipe end with the other.
int AboveStandard(int fd) {
    if (fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

// A pipe whose two ends are close-on-exec and above the standard three.
bool MakePipe(int fds[2], std::string* error) {
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    fds[0] = AboveStandard(fds[0]);
    fds[1] = AboveStandard(fds[1]);
    if (fds[0] < 0 || fds[1] < 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        if (fds[0] >= 0) close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
        return false;
    }
    return true;
}

void CloseIfOpen(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// The child from fork to exec: only async-signal-safe calls.
[[noreturn]] void RunChild(char* const argv[], const LaunchOptions& options, int stdin_fd, int stdout_fd,
                           const char* stderr_path, pid_t parent) {
    dup2(stdout_fd, STDOUT_FILENO);
    if (stdin_fd >= 0) dup2(stdin_fd, STDIN_FILENO);
    if (stderr_path != nullptr) {
        const int fd = open(stderr_path, O_WRONLY | O_APPEND);
        if (fd >= 0 && fd != STDERR_FILENO) dup2(fd, STDERR_FILENO);
    }
    // Closed only now, so that the open above cannot take descriptor 0.
    if (stdin_fd < 0) close(STDIN_FILENO);
    if (options.own_process_group) setpgid(0, 0);
    // It ends with this process, even one killed outright.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    // Nothing else goes along: an inherited serial port would keep its lock
    // after this process closed it.
    if (close_range(3, ~0U, 0) != 0) {
        const long max = sysconf(_SC_OPEN_MAX);
        for (long fd = 3; fd < (max > 0 && max < 65536 ? max : 65536); ++fd) close(static_cast<int>(fd));
    }
    execv(argv[0], argv);
    _exit(127);
}

}  // namespace

bool ChildProcess::Start(const std::vector<std::string>& args, const std::string& prefix, std::string* error,
                         const LaunchOptions& options) {
    Stop();
    announced_.clear();
    if (args.empty()) {
        *error = "no program to start";
        return false;
    }
    if (options.ignore_sigpipe) signal(SIGPIPE, SIG_IGN);

    int in_pipe[2] = {-1, -1};
    int out_pipe[2];
    if (options.stdin_pipe && !MakePipe(in_pipe, error)) return false;
    if (!MakePipe(out_pipe, error)) {
        CloseIfOpen(&in_pipe[0]);
        CloseIfOpen(&in_pipe[1]);
        return false;
    }

    // Everything the child needs is made before the fork.
    std::vector<std::string> store(args);
    std::vector<char*> argv;
    for (std::string& a : store) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const char* stderr_path = !options.stderr_file.empty() ? options.stderr_file.c_str()
                              : options.stderr_to_null    ? "/dev/null"
                                                          : nullptr;
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        for (int* fd : {&in_pipe[0], &in_pipe[1], &out_pipe[0], &out_pipe[1]}) CloseIfOpen(fd);
        return false;
    }
    if (pid == 0) RunChild(argv.data(), options, in_pipe[0], out_pipe[1], stderr_path, parent);

    CloseIfOpen(&in_pipe[0]);
    close(out_pipe[1]);
    pid_ = pid;
    to_child_ = in_pipe[1];
    from_child_ = out_pipe[0];

    std::string first;
    const bool announced = ReadLine(&first, options.announce_timeout_ms);
    if (!announced || first.compare(0, prefix.size(), prefix) != 0) {
        const int status = Stop();
        const bool cannot_run = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 127;
        *error = args[0] + " did not start" + (cannot_run ? " (cannot run it)" : "") +
                 (first.empty() ? "" : ": '" + first + "'");
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
        if (n < 0 && errno == EINTR) continue;
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

void ChildProcess::CloseOutput() {
    CloseIfOpen(&from_child_);
    buffer_.clear();
}

int ChildProcess::Stop(int grace_ms) {
    int status = -1;
    CloseIfOpen(&to_child_);  // end of commands first
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::milliseconds(grace_ms);
        for (;;) {
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR)) break;
            if (Clock::now() > deadline) {
                kill(pid_, SIGKILL);
                while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
                }
                break;
            }
            usleep(2000);
        }
        pid_ = -1;
    }
    CloseOutput();
    return status;
}

}  // namespace support
