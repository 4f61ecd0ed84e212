// Headless Chromium for a test: one page, driven through the DevTools
// protocol over a pipe (--remote-debugging-pipe: JSON messages ended by a
// NUL byte on descriptors 3 and 4), so no port and no extra library. Every
// call has a deadline; the browser and its children are ended with it.
#ifndef QDXTLMV_TESTS_SUPPORT_BROWSER_H
#define QDXTLMV_TESTS_SUPPORT_BROWSER_H

#include <sys/types.h>

#include <string>

#include <nlohmann/json.hpp>

namespace qdxtest {

class HeadlessBrowser {
public:
    HeadlessBrowser() = default;
    ~HeadlessBrowser();
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    // The Chromium to use: QDX_CHROMIUM, else /usr/bin/chromium; "" when
    // there is none.
    static std::string ExecutablePath();

    // Starts the browser with an empty profile and a window of the size
    // given, and opens a blank page. stderr_path takes its messages.
    bool Start(int width, int height, const std::string& stderr_path, std::string* error);
    bool Open(const std::string& url, std::string* error);

    // The value of a JavaScript expression in the page (null when it fails).
    nlohmann::json Evaluate(const std::string& expression);
    // Evaluates the expression until it is true; false after timeout_ms.
    bool WaitFor(const std::string& expression, int timeout_ms);
    // The whole page as PNG.
    bool Screenshot(const std::string& path, std::string* error);

    void Close();

private:
    // One protocol call, to the page's session unless `browser`; the result,
    // or null with *error set.
    nlohmann::json Call(const std::string& method, const nlohmann::json& params, std::string* error,
                        bool browser = false, int timeout_ms = 10000);

    pid_t pid_ = -1;
    int to_browser_ = -1, from_browser_ = -1;
    std::string received_;
    long next_id_ = 0;
    std::string session_;
    std::string profile_;
};

}  // namespace qdxtest

#endif
