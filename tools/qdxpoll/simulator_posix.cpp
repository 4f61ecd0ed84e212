// Starting and stopping rexfsim on Linux.
#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr const char kListening[] = "rexfsim: listening on ";
constexpr int kStartTimeoutMs = 5000;

}  // namespace

SimulatorProcess::~SimulatorProcess() { Stop(); }

bool SimulatorProcess::Start(const std::string& program, const std::vector<std::string>& args,
                             bool show_output, std::string* port, std::string* error) {
    int out_pipe[2], in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    if (pipe2(in_pipe, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        close(out_pipe[0]);
        close(out_pipe[1]);
        return false;
    }
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        for (int fd : {out_pipe[0], out_pipe[1], in_pipe[0], in_pipe[1]}) close(fd);
        return false;
    }
    if (pid == 0) {
        dup2(in_pipe[0], STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        if (!show_output) {
            const int null_fd = open("/dev/null", O_WRONLY);
            if (null_fd >= 0) dup2(null_fd, STDERR_FILENO);
        }
        // Own process group: a Ctrl-C at the terminal reaches qdxpoll only,
        // which then stops the simulator itself after closing its port.
        setpgid(0, 0);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(in_pipe[0]);
    pid_ = pid;
    commands_fd_ = in_pipe[1];

    // The first line names the pseudo-terminal.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    bool done = false;
    while (!done) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{out_pipe[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char c;
        const ssize_t n = read(out_pipe[0], &c, 1);
        if (n <= 0) break;
        if (c == '\n')
            done = true;
        else
            line += c;
    }
    close(out_pipe[0]);  // later output of the simulator is not needed
    if (!done || line.compare(0, sizeof kListening - 1, kListening) != 0) {
        int status = 0;
        const bool ended = waitpid(pid_, &status, WNOHANG) == pid_;
        *error = "the simulator " + program + " did not start" +
                 (ended && WIFEXITED(status) && WEXITSTATUS(status) == 127 ? " (cannot run it)" : "") +
                 (line.empty() ? "" : ": " + line);
        if (ended) pid_ = -1;
        Stop();
        return false;
    }
    *port = line.substr(sizeof kListening - 1);
    return true;
}

void SimulatorProcess::Stop() {
    if (commands_fd_ >= 0) {
        close(commands_fd_);
        commands_fd_ = -1;
    }
    if (pid_ <= 0) return;
    kill(static_cast<pid_t>(pid_), SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(static_cast<pid_t>(pid_), &status, WNOHANG) != 0) {
            pid_ = -1;
            return;
        }
        usleep(20000);
    }
    kill(static_cast<pid_t>(pid_), SIGKILL);
    waitpid(static_cast<pid_t>(pid_), &status, 0);
    pid_ = -1;
}
