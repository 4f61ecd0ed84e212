// Pseudo-terminal pairs and descriptor counting for tests that drive the
// serial layer (or the whole module) over a real terminal device.
#ifndef QDXTLMV_TESTS_SUPPORT_PTY_H
#define QDXTLMV_TESTS_SUPPORT_PTY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qdxtest {

// A pseudo-terminal pair. The master end plays the device on
// the far side of the line; the slave path is the port name to open. The
// pair keeps its own slave descriptor open (so the master never sees the
// line drop between opens) until CloseSlave().
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }
    // True when the slave path fits a port name field (at most 11 chars).
    bool fits_port_name() const;

    // Writes every byte to the master end (the device "sends" them).
    bool Send(const void* bytes, std::size_t count);
    bool Send(const std::string& text) { return Send(text.data(), text.size()); }
    // Reads from the master end whatever the port wrote, waiting up to
    // wait_ms for the first byte and briefly for more.
    std::vector<uint8_t> Receive(int wait_ms);

    void CloseSlave();
    void CloseMaster();  // the device vanishes

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

// Number of descriptors open in this process (entries of /proc/self/fd).
int CountOpenFds();

// Bytes waiting in the input queue of a terminal descriptor, -1 on error.
int PendingInput(int fd);

// Waits until the terminal descriptor has at least count bytes waiting;
// false after wait_ms.
bool WaitForPending(int fd, int count, int wait_ms);

}  // namespace qdxtest

#endif  // QDXTLMV_TESTS_SUPPORT_PTY_H
