// rexfsim's --unit-file reader: a unit started from a file's bytes, as the
// simulator starts it (the file read within its bounds, checked against the
// unit model, then laid over the factory points).
//
// Input: the file's bytes, read through a memory file's path.
// Checks: no crash and no sanitizer finding on any bytes; a file refused
// is refused by a std::runtime_error that names it; a unit started is the
// file's unit, every point it holds answers with six characters, and each
// contradiction is named by the file and a line.
#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "rexf/unit_model.h"
#include "sim/point_table.h"
#include "sim/unit_file.h"

namespace {

// A file in memory, named by its descriptor's path.
class MemoryFile {
public:
    MemoryFile() : fd_(memfd_create("unit-file", 0)) {}
    ~MemoryFile() {
        if (fd_ >= 0) close(fd_);
    }
    bool Hold(const uint8_t* data, size_t size) {
        if (fd_ < 0 || ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0) return false;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = write(fd_, data + done, size - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file;
    if (!file.Hold(data, size)) FuzzFail("cannot write the memory file");
    rexfsim::UnitFileRequest request;
    request.path = file.path();
    rexfsim::PointTable table;
    int unit = -1;
    std::vector<std::string> contradictions;
    try {
        rexfsim::LoadUnitFile(request, &table, &unit, &contradictions);
    } catch (const std::runtime_error& e) {
        FUZZ_CHECK(std::string(e.what()).find(request.path) != std::string::npos);
        return 0;
    }
    FUZZ_CHECK(unit >= 0 && unit <= 99);
    for (const std::string& c : contradictions) FUZZ_CHECK(c.rfind(request.path + ":", 0) == 0);
    FUZZ_CHECK(table.size() > 0 && table.HasUnit(unit));
    for (int channel = 0; channel <= 8; ++channel)
        for (const rexf::IdentifierModel& m : rexf::IdentifierList())
            if (const rexfsim::Point* p = table.Find(unit, channel, m.ident)) FUZZ_CHECK(p->text.size() == 6);
    return 0;
}
