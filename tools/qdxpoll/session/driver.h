// The driver as qdxpoll calls it, as a host does: the records qdxpoll owns
// and the requests it makes through QdxMain, in the driver's order: driver
// info, start, parse, read or write, close.
#ifndef QDXPOLL_DRIVER_H
#define QDXPOLL_DRIVER_H

#include <chrono>
#include <cstdint>
#include <string>

#include "host/records.h"
#include "readings/values.h"
#include "session/module_loader.h"

struct DriverDescription {
    std::string name;
    std::string banner;  // code page 437, as the driver gives it
    LineValues default_line{};
};

// One configured point: its address text, the driver's decoding of it, and
// the host storage of its value.
struct Point {
    std::string address;        // upper-cased by the parse request
    char text[16] = {};         // the address text the parse request works on
    PointAddressBlock block{};  // the embedded point record is the one read and written
    ValueCell cell{};
    uint32_t type = kTypeFloat;

    int unit() const { return block.point.unit_address; }
    int channel() const { return block.point.channel; }
    std::string identifier() const;
    // "unit 01 channel 1 M1"
    std::string Describe() const;
};

struct Outcome {
    int32_t result = kResultFailed;  // the driver's result code
    double latency_ms = 0;           // time spent inside QdxMain
    long refused_replies = 0;        // replies the driver refused during the request
    std::string last_log;            // the driver's latest line about a refused reply
    std::chrono::steady_clock::time_point start, end;  // around the call
    bool ok() const { return result == kResultOk; }
};

class Driver {
public:
    explicit Driver(QdxMainFunction entry) : entry_(entry) {}
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;
    ~Driver();

    DriverDescription Describe();
    // Starts the port; 0 on success, 2 when the driver could not open it.
    int32_t Start(const std::string& module_port_name, int32_t timeout_units, const LineValues& line);
    // Parses the address into *point; false when the driver calls it invalid.
    bool Parse(const std::string& address, uint32_t type, Point* point);
    Outcome Read(Point* point);
    Outcome ReadBit(Point* point, int bit, int width);
    Outcome Write(Point* point);
    // Closes the port and opens it again with another reply timeout (close
    // and reopen requests); the driver's result.
    int32_t SetReplyTimeout(const std::string& module_port_name, int32_t timeout_units);
    // Closes the port if it is open; the driver's result.
    int32_t Close();

    bool started() const { return port_.port_handle != 0; }
    long long handle() const { return static_cast<long long>(port_.port_handle); }

private:
    int32_t Call(uint32_t code, void* parameter);
    Outcome Timed(uint32_t code, Point* point);

    QdxMainFunction entry_;
    PortRecord port_{};
};

#endif  // QDXPOLL_DRIVER_H
