// The clock, giving up, the simulator and programs run to their end.
#include "bench_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "host/records.h"

namespace qdxbench {

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "qdxbench: %s\n", message.c_str());
    std::exit(2);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuMicros() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

std::string StartSimulator(support::ChildProcess* sim, const std::vector<std::string>& extra, bool still) {
    std::vector<std::string> argv{QDX_REXFSIM_PATH};
    if (still) argv.push_back("--no-drift");
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string error;
    if (!sim->Start(argv, "rexfsim: listening on ", &error)) Fail(error);
    std::string path = sim->announced();
    if (path.size() > kPortNameMax) {
        // A port name holds 11 characters: reach a long pty path by a link.
        const std::string link = "/tmp/qb" + std::to_string(getpid() % 10000);
        argv.push_back("--link");
        argv.push_back(link);
        if (!sim->Start(argv, "rexfsim: listening on ", &error)) Fail(error);
        path = link;
    }
    return path;
}

ProgramRun RunProgram(const std::vector<std::string>& args) {
    std::vector<std::string> store(args);
    std::vector<char*> argv;
    for (auto& a : store) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, STDIN_FILENO);
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    ProgramRun run;
    run.seconds = Seconds(Clock::now() - start);
    run.cpu_seconds =
        ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace qdxbench
