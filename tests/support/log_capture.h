// Collects the driver's log lines as they arrive at the host runtime library.
#ifndef QDXTLMV_TESTS_SUPPORT_LOG_CAPTURE_H
#define QDXTLMV_TESTS_SUPPORT_LOG_CAPTURE_H

#include <string>
#include <vector>

namespace qdxtest {

// While alive, every err line goes into lines() (with its level checked to
// be 32 in levels()) instead of standard error.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<std::string>& lines() const { return lines_; }
    const std::vector<int>& levels() const { return levels_; }
    void clear() { lines_.clear(); levels_.clear(); }

private:
    static void Sink(void* context, int level, const char* line);
    std::vector<std::string> lines_;
    std::vector<int> levels_;
};

}  // namespace qdxtest

#endif
