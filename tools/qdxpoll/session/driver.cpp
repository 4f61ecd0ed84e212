// Requests through QdxMain.
#include "session/driver.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "session/driver_log.h"

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

Driver::~Driver() { Close(); }

int32_t Driver::Call(uint32_t code, void* parameter) {
    RequestBlock request{};
    request.port = &port_;
    request.request_code = code;
    request.instance = 1;
    request.parameter = parameter;
    return entry_(&request);
}

DriverDescription Driver::Describe() {
    DriverInfo info{};
    Call(kRequestDriverInfo, &info);
    DriverDescription d;
    d.name = info.driver_name != nullptr ? info.driver_name : "";
    d.banner = info.banner != nullptr ? info.banner : "";
    d.default_line = info.default_line;
    return d;
}

int32_t Driver::Start(const std::string& module_port_name, int32_t timeout_units,
                       const LineValues& line) {
    StartParams start{};
    std::snprintf(start.port_name, sizeof start.port_name, "%s", module_port_name.c_str());
    start.enable = 1;
    start.reply_timeout = timeout_units;
    start.line = line;
    return Call(kRequestStart, &start);
}

bool Driver::Parse(const std::string& address, uint32_t type, Point* point) {
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

Outcome Driver::Timed(uint32_t code, Point* point) {
    const long refused_before = RefusedReplyCount();
    Outcome outcome;
    point->block.point.value = &point->cell;
    outcome.start = std::chrono::steady_clock::now();
    outcome.result = Call(code, &point->block.point);
    outcome.end = std::chrono::steady_clock::now();
    outcome.latency_ms = std::chrono::duration<double, std::milli>(outcome.end - outcome.start).count();
    outcome.refused_replies = RefusedReplyCount() - refused_before;
    if (outcome.refused_replies > 0) outcome.last_log = LastDriverLine();
    return outcome;
}

Outcome Driver::Read(Point* point) {
    point->block.point.bit_number = kNoBit;
    return Timed(kRequestReadValue, point);
}

Outcome Driver::ReadBit(Point* point, int bit, int width) {
    point->block.point.bit_number = bit;
    point->block.point.width = width;
    return Timed(kRequestReadBit, point);
}

Outcome Driver::Write(Point* point) { return Timed(kRequestWriteValue, point); }

int32_t Driver::SetReplyTimeout(const std::string& module_port_name, int32_t timeout_units) {
    Close();
    ReopenParams reopen{};
    std::snprintf(reopen.port_name, sizeof reopen.port_name, "%s", module_port_name.c_str());
    reopen.reply_timeout = timeout_units;
    return Call(kRequestReopen, &reopen);  // a zero baud rate keeps the line values
}

int32_t Driver::Close() {
    if (port_.port_handle == 0) return kResultOk;
    return Call(kRequestClose, nullptr);
}
