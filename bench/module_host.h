// The module loaded and called as a host does: its entry point, its log
// lines counted, and one host port with a read and a write point.
#ifndef QDXBENCH_MODULE_HOST_H
#define QDXBENCH_MODULE_HOST_H

#include <cstdint>
#include <string>

#include "host/records.h"

namespace qdxbench {

struct LogCount {
    int lines = 0;
    std::string last;
};

class Module {
public:
    void Load(const char* path);
    int32_t Call(uint32_t code, PortRecord* port, void* parameter);
    const LogCount& log() const { return log_; }

private:
    typedef int32_t (*EntryFn)(RequestBlock*);

    void* handle_ = nullptr;
    EntryFn entry_ = nullptr;
    LogCount log_;
};

// One port of the host with one read point and one write point on it.
struct HostPort {
    PortRecord port{};
    ValueCell read_cell{};
    ValueCell write_cell{};
    PointRecord read_point{};
    PointRecord write_point{};
};

// Each gives up (Fail) when the module refuses.
void StartPort(Module* module, HostPort* host, const std::string& path, int32_t timeout_units);
void ParsePoint(Module* module, HostPort* host, const char* address, PointRecord* point, ValueCell* cell);
void ClosePort(Module* module, HostPort* host);
void OpenPort(Module* module, HostPort* host);

}  // namespace qdxbench

#endif  // QDXBENCH_MODULE_HOST_H
