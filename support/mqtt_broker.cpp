#include "mqtt_broker.h"

#include "loopback_port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace support {

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string TempFile(const char* pattern) {
    std::string name = std::string("/tmp/") + pattern + "-XXXXXX";
    const int fd = mkstemp(&name[0]);
    if (fd >= 0) close(fd);
    return name;
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// Runs argv to its end (at most 10 s); its stdout.
std::string RunToEnd(const std::vector<std::string>& argv) {
    Background b;
    if (!b.Start(argv)) return "";
    b.Wait(std::chrono::seconds(10));
    return b.out();
}

}  // namespace

Background::~Background() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (!out_file_.empty()) unlink(out_file_.c_str());
    if (!err_file_.empty()) unlink(err_file_.c_str());
}

bool Background::Start(const std::vector<std::string>& argv) {
    if (out_file_.empty()) {
        out_file_ = TempFile("qdxtest-out");
        err_file_ = TempFile("qdxtest-err");
    }
    std::vector<std::string> store(argv);
    std::vector<char*> args;
    for (auto& a : store) args.push_back(&a[0]);
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(out_file_.c_str(), O_WRONLY | O_APPEND);
        const int err = open(err_file_.c_str(), O_WRONLY | O_APPEND);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid_ > 0;
}

std::string Background::out() const { return Slurp(out_file_); }
std::string Background::err() const { return Slurp(err_file_); }

void Background::Signal(int signal) const {
    if (pid_ > 0) kill(pid_, signal);
}

int Background::Wait(std::chrono::milliseconds wait, double* cpu_seconds) {
    if (pid_ <= 0) return -1;
    const auto until = std::chrono::steady_clock::now() + wait;
    int status = 0;
    rusage usage{};
    while (wait4(pid_, &status, WNOHANG, &usage) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    if (cpu_seconds != nullptr)
        *cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

MqttBroker::MqttBroker() {
    char dir[] = "/tmp/qdxtest-broker-XXXXXX";
    if (mkdtemp(dir) != nullptr) dir_ = dir;
}

MqttBroker::~MqttBroker() {
    Stop();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

bool MqttBroker::Available() {
    for (const char* p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto_sub", "/usr/bin/mosquitto_pub"})
        if (access(p, X_OK) != 0) return false;
    return true;
}

bool MqttBroker::Start(bool persistence, std::string* error) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (port_ == 0 || attempt > 0) port_ = FreeLoopbackPort();
        const std::string conf = dir_ + "/mosquitto.conf";
        std::ofstream(conf) << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
                            << (persistence ? "persistence true\npersistence_location " + dir_ +
                                                  "/\nautosave_interval 1\n"
                                            : std::string("persistence false\n"));
        if (!broker_.Start({"/usr/sbin/mosquitto", "-c", conf})) break;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < until) {
            if (Accepts(port_)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        *error = broker_.err();
        broker_.Signal(SIGKILL);
        broker_.Wait();
        if (persistence) break;  // the same port again, or the sessions are lost
    }
    if (error->empty()) *error = "mosquitto did not start";
    return false;
}

void MqttBroker::Stop() {
    if (broker_.pid() <= 0) return;
    broker_.Signal(SIGTERM);
    broker_.Wait(std::chrono::seconds(10));
}

std::vector<std::string> MqttBroker::SubscribeArgs(const std::string& filter,
                                                   const std::vector<std::string>& extra) const {
    std::vector<std::string> args{"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port_),
                                  "-t", filter, "-v", "-q", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

bool MqttBroker::Publish(const std::string& topic, const std::string& payload, bool retain) const {
    std::vector<std::string> args{"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port_),
                                  "-q", "1", "-t", topic};
    if (payload.empty()) args.push_back("-n");
    else args.insert(args.end(), {"-m", payload});
    if (retain) args.push_back("-r");
    Background b;
    return b.Start(args) && b.Wait(std::chrono::seconds(10)) == 0;
}

std::string MqttBroker::Retained(const std::string& filter) const {
    return RunToEnd({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port_), "-t", filter, "-v",
                     "--retained-only", "-W", "1"});
}

bool WaitFor(const std::function<std::string()>& read, const std::function<bool(const std::string&)>& done,
             std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (done(read())) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace support
