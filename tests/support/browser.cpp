#include "browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace qdxtest {

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

// A descriptor moved above 4, so that the child's dup2 onto 3 and 4 cannot
// clobber the other pipe end.
int AboveFour(int fd) {
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 5);
    close(fd);
    return moved;
}

std::string DecodeBase64(const std::string& text) {
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else continue;  // padding
        value = (value << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((value >> bits) & 0xFF));
        }
    }
    return out;
}

}  // namespace

std::string HeadlessBrowser::ExecutablePath() {
    const char* given = std::getenv("QDX_CHROMIUM");
    const std::string path = given != nullptr && *given != '\0' ? given : "/usr/bin/chromium";
    return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

HeadlessBrowser::~HeadlessBrowser() { Close(); }

bool HeadlessBrowser::Start(int width, int height, const std::string& stderr_path, std::string* error) {
    const std::string program = ExecutablePath();
    if (program.empty()) {
        *error = "no Chromium";
        return false;
    }
    signal(SIGPIPE, SIG_IGN);  // a browser that went away must not end the test
    char profile[] = "/tmp/qdx-chromium-XXXXXX";
    if (mkdtemp(profile) == nullptr) {
        *error = "mkdtemp failed";
        return false;
    }
    profile_ = profile;
    int to[2], from[2];
    if (pipe(to) != 0 || pipe(from) != 0) {
        *error = "pipe failed";
        return false;
    }
    for (int* fd : {&to[0], &to[1], &from[0], &from[1]}) *fd = AboveFour(*fd);
    std::vector<std::string> args = {program,
                                     "--headless",
                                     "--no-sandbox",  // CI runs as root
                                     "--remote-debugging-pipe",
                                     "--user-data-dir=" + profile_,
                                     "--window-size=" + std::to_string(width) + "," + std::to_string(height),
                                     "--hide-scrollbars",
                                     "--no-first-run",
                                     "--disable-gpu",
                                     "--disable-background-networking",
                                     "about:blank"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);  // its own group: Close ends its helpers with it
        dup2(to[0], 3);
        dup2(from[1], 4);
        const int null_in = open("/dev/null", O_RDONLY);
        dup2(null_in, STDIN_FILENO);
        const int log = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(log >= 0 ? log : null_in, STDOUT_FILENO);
        dup2(log >= 0 ? log : null_in, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(to[0]);
    close(from[1]);
    to_browser_ = to[1];
    from_browser_ = from[0];
    if (pid_ < 0) {
        *error = "fork failed";
        return false;
    }
    const json target = Call("Target.createTarget", {{"url", "about:blank"}}, error, true, 20000);
    if (target.is_null()) return false;
    const json attached = Call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}},
                               error, true);
    if (attached.is_null()) return false;
    session_ = attached["sessionId"].get<std::string>();
    // Headless windows are never narrower than 500 px: a phone's width is
    // the page's viewport instead, laid out as a phone lays it out.
    const bool phone = width < 500;
    return !phone || !Call("Emulation.setDeviceMetricsOverride",
                           {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", true}}, error)
                         .is_null();
}

json HeadlessBrowser::Call(const std::string& method, const json& params, std::string* error, bool browser,
                           int timeout_ms) {
    if (pid_ <= 0 || to_browser_ < 0) {
        *error = "the browser is not running";
        return nullptr;
    }
    const long id = ++next_id_;
    json message{{"id", id}, {"method", method}, {"params", params}};
    if (!browser) message["sessionId"] = session_;
    const std::string text = message.dump() + std::string(1, '\0');
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(to_browser_, text.data() + done, text.size() - done);
        if (n <= 0) {
            *error = method + ": the browser does not take messages";
            return nullptr;
        }
        done += static_cast<size_t>(n);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        for (size_t end; (end = received_.find('\0')) != std::string::npos;) {
            const json reply = json::parse(received_.substr(0, end), nullptr, false);
            received_.erase(0, end + 1);
            if (!reply.is_object() || reply.value("id", -1L) != id) continue;  // events, older replies
            if (reply.contains("error")) {
                *error = method + ": " + reply["error"].dump();
                return nullptr;
            }
            return reply.value("result", json::object());
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{from_browser_, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            *error = method + ": no answer from the browser within " + std::to_string(timeout_ms) + " ms";
            return nullptr;
        }
        char chunk[65536];
        const ssize_t n = read(from_browser_, chunk, sizeof chunk);
        if (n <= 0) {
            *error = method + ": the browser has gone";
            return nullptr;
        }
        received_.append(chunk, static_cast<size_t>(n));
    }
}

bool HeadlessBrowser::Open(const std::string& url, std::string* error) {
    return !Call("Page.navigate", {{"url", url}}, error).is_null();
}

json HeadlessBrowser::Evaluate(const std::string& expression) {
    std::string error;
    const json r = Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, &error);
    if (r.is_null() || r.contains("exceptionDetails") || !r.contains("result")) return nullptr;
    return r["result"].value("value", json());
}

bool HeadlessBrowser::WaitFor(const std::string& expression, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (Evaluate(expression) == json(true)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < deadline);
    return false;
}

bool HeadlessBrowser::Screenshot(const std::string& path, std::string* error) {
    const json shot = Call("Page.captureScreenshot", {{"format", "png"}, {"captureBeyondViewport", true}}, error);
    if (shot.is_null() || !shot.contains("data")) return false;
    std::ofstream out(path, std::ios::binary);
    out << DecodeBase64(shot["data"].get<std::string>());
    if (!out) *error = "cannot write " + path;
    return static_cast<bool>(out);
}

void HeadlessBrowser::Close() {
    if (pid_ > 0) {
        std::string ignored;
        Call("Browser.close", json::object(), &ignored, true, 2000);
        int status = 0;
        bool ended = false;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!(ended = waitpid(pid_, &status, WNOHANG) == pid_) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        kill(-pid_, SIGKILL);  // whatever of its group is left
        if (!ended) waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    for (int* fd : {&to_browser_, &from_browser_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    if (!profile_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(profile_, ignored);
        profile_.clear();
    }
}

}  // namespace qdxtest
