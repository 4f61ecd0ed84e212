// The child-process launcher that starts the simulator (and the benchmark's helpers):
// announcement, commands, inherited descriptors, the stop, and a parent
// that runs with its standard descriptors closed.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.h"

namespace {

using support::ChildProcess;

// A shell script as the child; it prints its own announcement.
std::vector<std::string> Shell(const std::string& script) { return {"/bin/sh", "-c", script}; }

TEST(Launcher, AnnouncementAndCommands) {
    ChildProcess child;
    std::string error;
    ASSERT_TRUE(child.Start(Shell("echo 'ready: /dev/pts/77'; while read x; do echo \"got $x\"; done"),
                            "ready: ", &error))
        << error;
    EXPECT_EQ(child.announced(), "/dev/pts/77");
    EXPECT_GT(child.pid(), 0);
    EXPECT_EQ(child.Command("one"), "got one");
    EXPECT_EQ(child.Command("two"), "got two");
    // End of commands or SIGTERM, whichever it sees first, ends it.
    const int status = child.Stop();
    EXPECT_TRUE((WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
                (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM))
        << status;
    EXPECT_EQ(child.pid(), -1);
    EXPECT_EQ(child.Command("three"), "");
    EXPECT_EQ(child.Stop(), -1);
}

TEST(Launcher, FailedStartsSayWhy) {
    struct Case {
        std::vector<std::string> argv;
        std::string expected;  // part of the error
    } cases[] = {
        {{"/nonexistent/rexfsim"}, "/nonexistent/rexfsim did not start (cannot run it)"},
        {Shell("echo 'something else'"), "did not start: 'something else'"},
        {Shell("exit 3"), "did not start"},
    };
    for (const Case& c : cases) {
        ChildProcess child;
        std::string error;
        EXPECT_FALSE(child.Start(c.argv, "ready: ", &error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_EQ(child.pid(), -1);
    }
}

TEST(Launcher, ChildKeepsOnlyTheStandardDescriptors) {
    const int held = open("/dev/null", O_RDONLY);  // inheritable, like a port without O_CLOEXEC
    ASSERT_GE(held, 3);
    const std::string fd = std::to_string(held);
    ChildProcess child;
    std::string error;
    const std::string script =
        "if [ -e /proc/self/fd/" + fd + " ]; then echo 'fd: open'; else echo 'fd: closed'; fi";
    ASSERT_TRUE(child.Start(Shell(script), "fd: ", &error)) << error;
    EXPECT_EQ(child.announced(), "closed");
    close(held);
}

TEST(Launcher, StopKillsAChildThatIgnoresSigterm) {
    ChildProcess child;
    std::string error;
    // An ignored signal stays ignored across exec.
    ASSERT_TRUE(child.Start(Shell("trap '' TERM; echo 'ready: '; exec sleep 30"), "ready: ", &error))
        << error;
    const auto start = std::chrono::steady_clock::now();
    const int status = child.Stop(200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

TEST(Launcher, ParentWithStdinClosedStillGetsAWorkingCommandPipe) {
    // With descriptor 0 free, the command pipe's read end would be 0 itself
    // and, still close-on-exec, vanish from the child at exec.
    const int saved = dup(STDIN_FILENO);
    ASSERT_GE(saved, 0);
    close(STDIN_FILENO);
    std::string answer;
    {
        ChildProcess child;
        std::string error;
        const bool started = child.Start(Shell("echo 'ready: '; read x; echo \"got $x\""), "ready: ", &error);
        if (started) answer = child.Command("hello");
    }
    dup2(saved, STDIN_FILENO);
    close(saved);
    EXPECT_EQ(answer, "got hello");
}

}  // namespace
