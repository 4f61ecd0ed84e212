#include "ser2net.h"

#include "support/loopback_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace qdxtest {
namespace {

const char kSer2net[] = "/usr/sbin/ser2net";

// Whether something listens on 127.0.0.1:port, from the kernel's table (a
// probing connection would make ser2net open the device).
bool Listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true;
    }
    return false;
}

}  // namespace

Ser2net::~Ser2net() {
    Stop();
    if (!config_.empty()) unlink(config_.c_str());
}

bool Ser2net::Available() { return access(kSer2net, X_OK) == 0; }

std::string Ser2net::PortName() const {
    return std::string(mode_ == Ser2netMode::kRfc2217 ? "rfc2217" : "tcp") + ":127.0.0.1:" + std::to_string(port_);
}

bool Ser2net::Start(const std::string& device, Ser2netMode mode, std::string* error, const std::string& line) {
    Stop();
    device_ = device;
    mode_ = mode;
    line_ = line;
    port_ = support::FreeLoopbackPort();
    if (port_ == 0) {
        *error = "no free TCP port";
        return false;
    }
    return Launch(error);
}

bool Ser2net::Restart(std::string* error) {
    Stop();
    return Launch(error);
}

bool Ser2net::Launch(std::string* error) {
    if (config_.empty()) {
        // ser2net takes a file as YAML by its name's ending.
        char name[] = "/tmp/ser2net-test-XXXXXX.yaml";
        const int fd = mkstemps(name, 5);
        if (fd < 0) {
            *error = "mkstemp failed";
            return false;
        }
        close(fd);
        config_ = name;
    }
    const std::string accepter = (mode_ == Ser2netMode::kRfc2217 ? "telnet(rfc2217),tcp,127.0.0.1," : "tcp,127.0.0.1,") +
                                 std::to_string(port_);
    std::ofstream(config_) << "connection: &line\n"
                           << "    accepter: " << accepter << "\n"
                           << "    connector: serialdev," << device_ << "," << line_ << ",local\n"
                           << "    options:\n"
                           << "      kickolduser: true\n";
    // In the foreground, without UUCP lock files; the shell's line tells
    // that it is about to run.
    const std::vector<std::string> argv{
        "/bin/sh", "-c", std::string("echo starting; exec ") + kSer2net + " -n -u -c " + config_ + " </dev/null >/dev/null"};
    support::LaunchOptions launch;
    launch.stdin_pipe = false;
    launch.stderr_to_null = true;
    if (!child_.Start(argv, "starting", error, launch)) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Listening(port_)) {
        if (std::chrono::steady_clock::now() > deadline) {
            *error = "ser2net does not listen on 127.0.0.1:" + std::to_string(port_);
            child_.Stop();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void Ser2net::Stop() { child_.Stop(); }

}  // namespace qdxtest
