// The module through dlopen and QdxMain, as a host calls it.
#include "module_host.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "bench_support.h"

namespace qdxbench {
namespace {

typedef void (*SinkFn)(void*, int, const char*);
typedef void (*SetSinkFn)(SinkFn, void*);

void CountLine(void* context, int, const char* line) {
    LogCount* log = static_cast<LogCount*>(context);
    ++log->lines;
    log->last = line;
}

}  // namespace

void Module::Load(const char* path) {
    handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) Fail(std::string("cannot load the module: ") + dlerror());
    entry_ = reinterpret_cast<EntryFn>(dlsym(handle_, "QdxMain"));
    if (entry_ == nullptr) Fail("the module has no QdxMain");
    // The module's log lines are counted, not printed: a line during the
    // rounds means a damaged reply, which the report shows.
    SetSinkFn set_sink = reinterpret_cast<SetSinkFn>(dlsym(handle_, "TelvorSetSink"));
    if (set_sink != nullptr) set_sink(CountLine, &log_);
}

int32_t Module::Call(uint32_t code, PortRecord* port, void* parameter) {
    RequestBlock request{};
    request.port = port;
    request.request_code = code;
    request.instance = 1;
    request.parameter = parameter;
    return entry_(&request);
}

void StartPort(Module* module, HostPort* host, const std::string& path, int32_t timeout_units) {
    if (path.size() > kPortNameMax) Fail("the port name " + path + " is too long for a port record");
    StartParams start{};
    std::memcpy(start.port_name, path.c_str(), path.size() + 1);
    start.enable = 1;
    start.reply_timeout = timeout_units;
    start.line = LineValues{9600, 7, 2, 1};
    if (module->Call(kRequestStart, &host->port, &start) != kResultOk)
        Fail("the module cannot start a port on " + path);
}

void ParsePoint(Module* module, HostPort* host, const char* address, PointRecord* point,
                ValueCell* cell) {
    char text[16];
    std::snprintf(text, sizeof text, "%s", address);
    PointAddressBlock block{};
    block.address_text = text;
    if (module->Call(kRequestParse, &host->port, &block) != kResultOk)
        Fail(std::string("the module refuses the address ") + address);
    *point = block.point;
    point->data_type = kTypeFloat;
    point->bit_number = kNoBit;
    point->value = cell;
}

void ClosePort(Module* module, HostPort* host) {
    if (module->Call(kRequestClose, &host->port, nullptr) != kResultOk) Fail("close failed");
}

void OpenPort(Module* module, HostPort* host) {
    if (module->Call(kRequestOpen, &host->port, nullptr) != kResultOk) Fail("open failed");
}

}  // namespace qdxbench
