// The floor: the module's byte exchanges through a bare non-blocking
// descriptor, with no driver between.
#ifndef QDXBENCH_RAW_LINE_H
#define QDXBENCH_RAW_LINE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace qdxbench {

class RawLine {
public:
    ~RawLine() { Close(); }

    void Open(const std::string& path);  // gives up (Fail) when it cannot
    void Close();

    bool Write(const uint8_t* bytes, size_t count);
    bool Write(const std::string& bytes) {
        return Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    // All `count` bytes, each within timeout_ms of the one before.
    bool ReadExact(uint8_t* buffer, size_t count, int timeout_ms);

private:
    int fd_ = -1;
};

}  // namespace qdxbench

#endif  // QDXBENCH_RAW_LINE_H
