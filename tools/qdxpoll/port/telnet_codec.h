// The telnet side of a device server that takes line settings (RFC 2217):
// data bytes escaped both ways, the option negotiation, and the COM-PORT
// option's commands and the server's replies to them. No I/O: the caller
// moves the bytes.
#ifndef QDXPOLL_TELNET_CODEC_H
#define QDXPOLL_TELNET_CODEC_H

#include <cstdint>
#include <string>
#include <vector>

#include "rexf/line_format.h"

namespace telnet {

constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;

// COM-PORT commands from the client; the server answers each with the
// command plus 100 and the value it set.
constexpr uint8_t kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4, kSetControl = 5;
constexpr uint8_t kServerOffset = 100;

// What the client offers at connect: the COM-PORT option, and binary both
// ways (so that a CR is just a byte), each asked for once.
std::vector<uint8_t> Greeting();

// The COM-PORT commands that set the line: baud rate, data size, parity,
// stop size, and no flow control.
std::vector<uint8_t> LineCommands(const rexf::LineFormat& line);

// A value the server reported for one of the line commands.
struct ComPortReply {
    uint8_t command = 0;  // the client's command it answers (1..5)
    uint32_t value = 0;
};

class Codec {
public:
    // Data for the server: IAC doubled, and CR followed by NUL while the
    // server has not agreed to take binary.
    std::vector<uint8_t> Encode(const uint8_t* bytes, size_t count) const;

    // Takes bytes from the server: appends the data to *data, the answers
    // the negotiation needs to *answer, and the COM-PORT replies to
    // *replies. Sequences cut between two reads are kept for the next.
    void Decode(const uint8_t* bytes, size_t count, std::vector<uint8_t>* data, std::vector<uint8_t>* answer,
                std::vector<ComPortReply>* replies);

    // The server refused the COM-PORT option (DONT 44).
    bool com_port_refused() const { return com_port_refused_; }

private:
    enum class State { kData, kIac, kOption, kSub, kSubIac, kCr };
    void Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>* answer);
    void EndSub(std::vector<ComPortReply>* replies);

    State state_ = State::kData;
    uint8_t verb_ = 0;
    std::vector<uint8_t> sub_;
    bool binary_to_server_ = false, binary_from_server_ = false;
    bool com_port_refused_ = false;
};

// "9600 baud" and the like, for a reply the server set otherwise.
std::string DescribeReply(const ComPortReply& reply);

// The server's reply value a line command asked for.
uint32_t RequestedValue(uint8_t command, const rexf::LineFormat& line);

// What the server has confirmed of the line settings sent to it: each
// setting once, at the value asked for.
class LineConfirmation {
public:
    explicit LineConfirmation(const rexf::LineFormat& line) : line_(line) {}
    // Takes the server's replies; false with *error when it set another value.
    bool Take(const std::vector<ComPortReply>& replies, std::string* error);
    bool complete() const { return missing_ == 0; }

private:
    rexf::LineFormat line_;
    bool confirmed_[kSetStopSize + 1] = {};
    int missing_ = kSetStopSize;
};

}  // namespace telnet

#endif  // QDXPOLL_TELNET_CODEC_H
