// Requests through QdxMain.
#include "session.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "driver_log.h"

std::string Point::identifier() const {
    const int32_t id = block.point.identifier;
    const char chars[3] = {static_cast<char>((id >> 8) & 0xFF), static_cast<char>(id & 0xFF), '\0'};
    return chars;
}

std::string Point::Describe() const {
    char text[64];
    std::snprintf(text, sizeof text, "unit %02d channel %d %s", unit(), channel(), identifier().c_str());
    return text;
}

Session::~Session() { Close(); }

int32_t Session::Call(uint32_t code, void* parameter) {
    RequestBlock request{};
    request.port = &port_;
    request.request_code = code;
    request.instance = 1;
    request.parameter = parameter;
    return entry_(&request);
}

DriverDescription Session::Describe() {
    DriverInfo info{};
    Call(kRequestDriverInfo, &info);
    DriverDescription d;
    d.name = info.driver_name != nullptr ? info.driver_name : "";
    d.banner = info.banner != nullptr ? info.banner : "";
    d.default_line = info.default_line;
    return d;
}

int32_t Session::Start(const std::string& module_port_name, int32_t timeout_units,
                       const LineValues& line) {
    StartParams start{};
    std::snprintf(start.port_name, sizeof start.port_name, "%s", module_port_name.c_str());
    start.enable = 1;
    start.reply_timeout = timeout_units;
    start.line = line;
    return Call(kRequestStart, &start);
}

bool Session::Parse(const std::string& address, uint32_t type, Point* point) {
    // The driver takes at most 7 characters; a longer text is invalid anyway,
    // and is cut to 8 so the driver still sees that it is too long.
    std::snprintf(point->text, sizeof point->text, "%.8s", address.c_str());
    point->block = PointAddressBlock{};
    point->block.address_text = point->text;
    point->type = type;
    const int32_t result = Call(kRequestParse, &point->block);
    point->address = point->text;
    if (address.size() > 8) point->address = address;
    point->block.point.data_type = static_cast<int32_t>(type);
    point->block.point.value = &point->cell;
    return result == kResultOk;
}

Outcome Session::Timed(uint32_t code, Point* point) {
    const long refused_before = RefusedReplyCount();
    const auto start = std::chrono::steady_clock::now();
    point->block.point.value = &point->cell;
    Outcome outcome;
    outcome.result = Call(code, &point->block.point);
    outcome.latency_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    outcome.refused_replies = RefusedReplyCount() - refused_before;
    return outcome;
}

Outcome Session::Read(Point* point) {
    point->block.point.bit_number = kNoBit;
    return Timed(kRequestReadValue, point);
}

Outcome Session::ReadBit(Point* point, int bit, int width) {
    point->block.point.bit_number = bit;
    point->block.point.width = width;
    return Timed(kRequestReadBit, point);
}

Outcome Session::Write(Point* point) { return Timed(kRequestWriteValue, point); }

int32_t Session::Close() {
    if (port_.port_handle == 0) return kResultOk;
    return Call(kRequestClose, nullptr);
}
