// Telnet with the COM-PORT option (RFC 2217), as a device server's client.
#include "port/telnet_codec.h"

#include <fmt/format.h>

namespace telnet {
namespace {

constexpr uint8_t kCr = 13;
// A subnegotiation longer than this is no COM-PORT reply: its rest is
// dropped, so a server cannot grow the buffer without end.
constexpr size_t kSubMax = 64;

void PutEscaped(uint8_t b, std::vector<uint8_t>* out) {
    out->push_back(b);
    if (b == kIac) out->push_back(kIac);
}

void Put(std::vector<uint8_t>* out, std::initializer_list<uint8_t> bytes) { out->insert(out->end(), bytes); }

}  // namespace

std::vector<uint8_t> Greeting() {
    std::vector<uint8_t> out;
    Put(&out, {kIac, kWill, kComPort, kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kDo, kSuppressGoAhead});
    return out;
}

uint32_t RequestedValue(uint8_t command, const rexf::LineFormat& line) {
    switch (command) {
        case kSetBaudRate: return static_cast<uint32_t>(line.baud);
        case kSetDataSize: return static_cast<uint32_t>(line.data_bits);
        case kSetParity:
            switch (line.parity) {
                case rexf::kParityOdd: return 2;
                case rexf::kParityEven: return 3;
                case rexf::kParityMark: return 4;
                case rexf::kParitySpace: return 5;
                default: return 1;
            }
        case kSetStopSize: return line.stop_bits == rexf::kStopBits2 ? 2 : line.stop_bits == rexf::kStopBits1_5 ? 3 : 1;
        case kSetControl: return 1;  // no flow control
        default: return 0;
    }
}

std::vector<uint8_t> LineCommands(const rexf::LineFormat& line) {
    std::vector<uint8_t> out;
    for (uint8_t command : {kSetBaudRate, kSetDataSize, kSetParity, kSetStopSize, kSetControl}) {
        Put(&out, {kIac, kSb, kComPort, command});
        const uint32_t v = RequestedValue(command, line);
        if (command == kSetBaudRate) {
            for (int shift = 24; shift >= 0; shift -= 8) PutEscaped(static_cast<uint8_t>(v >> shift), &out);
        } else {
            PutEscaped(static_cast<uint8_t>(v), &out);
        }
        Put(&out, {kIac, kSe});
    }
    return out;
}

std::string DescribeReply(const ComPortReply& reply) {
    static const char* const parity[] = {"parity unknown", "no parity", "odd parity", "even parity", "mark parity",
                                         "space parity"};
    switch (reply.command) {
        case kSetBaudRate: return fmt::format("{} baud", reply.value);
        case kSetDataSize: return fmt::format("{} data bits", reply.value);
        case kSetParity: return reply.value <= 5 ? parity[reply.value] : fmt::format("parity code {}", reply.value);
        case kSetStopSize:
            if (reply.value == 1) return "1 stop bit";
            if (reply.value == 2) return "2 stop bits";
            if (reply.value == 3) return "1.5 stop bits";
            return fmt::format("stop size code {}", reply.value);
        default: return fmt::format("value {} for command {}", reply.value, reply.command);
    }
}

std::vector<uint8_t> Codec::Encode(const uint8_t* bytes, size_t count) const {
    std::vector<uint8_t> out;
    out.reserve(count + 4);
    for (size_t i = 0; i < count; ++i) {
        PutEscaped(bytes[i], &out);
        if (bytes[i] == kCr && !binary_to_server_) out.push_back(0);
    }
    return out;
}

// Agrees to binary and the COM-PORT option, lets the server suppress
// go-ahead, refuses the rest (echo above all: the unit's line must not see
// its own frames coming back). Each answer is sent once, so no loop.
void Codec::Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>* answer) {
    const bool ours = option == kBinary || option == kComPort;
    switch (verb) {
        case kDo:
            if (option == kBinary) binary_to_server_ = true;
            if (!ours) Put(answer, {kIac, kWont, option});
            break;
        case kDont:
            if (option == kComPort) com_port_refused_ = true;
            if (option == kBinary) binary_to_server_ = false;
            break;
        case kWill:
            if (option == kBinary) binary_from_server_ = true;
            if (option != kBinary && option != kSuppressGoAhead) Put(answer, {kIac, kDont, option});
            break;
        case kWont:
            if (option == kBinary) binary_from_server_ = false;
            break;
        default: break;
    }
}

void Codec::EndSub(std::vector<ComPortReply>* replies) {
    if (sub_.size() < 3 || sub_[0] != kComPort) return;
    const uint8_t code = sub_[1];
    if (code <= kServerOffset + kSetBaudRate - 1 || code > kServerOffset + kSetControl) return;
    ComPortReply r;
    r.command = static_cast<uint8_t>(code - kServerOffset);
    if (r.command == kSetBaudRate) {
        if (sub_.size() != 6) return;
        r.value = (uint32_t{sub_[2]} << 24) | (uint32_t{sub_[3]} << 16) | (uint32_t{sub_[4]} << 8) | sub_[5];
    } else {
        if (sub_.size() != 3) return;
        r.value = sub_[2];
    }
    replies->push_back(r);
}

void Codec::Decode(const uint8_t* bytes, size_t count, std::vector<uint8_t>* data, std::vector<uint8_t>* answer,
                   std::vector<ComPortReply>* replies) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        switch (state_) {
            case State::kCr:
                state_ = State::kData;
                if (b == 0) break;  // CR NUL is a lone CR
                [[fallthrough]];
            case State::kData:
                if (b == kIac) {
                    state_ = State::kIac;
                } else {
                    data->push_back(b);
                    if (b == kCr && !binary_from_server_) state_ = State::kCr;
                }
                break;
            case State::kIac:
                if (b == kIac) {
                    data->push_back(kIac);
                    state_ = State::kData;
                } else if (b >= kWill && b <= kDont) {
                    verb_ = b;
                    state_ = State::kOption;
                } else if (b == kSb) {
                    sub_.clear();
                    state_ = State::kSub;
                } else {
                    state_ = State::kData;  // NOP, GA, DM, ...: no data
                }
                break;
            case State::kOption:
                Negotiate(verb_, b, answer);
                state_ = State::kData;
                break;
            case State::kSub:
                if (b == kIac)
                    state_ = State::kSubIac;
                else if (sub_.size() < kSubMax)
                    sub_.push_back(b);
                break;
            case State::kSubIac:
                if (b == kIac) {
                    if (sub_.size() < kSubMax) sub_.push_back(kIac);
                    state_ = State::kSub;
                } else {
                    if (b == kSe) EndSub(replies);
                    state_ = State::kData;
                }
                break;
        }
    }
}

bool LineConfirmation::Take(const std::vector<ComPortReply>& replies, std::string* error) {
    for (const ComPortReply& r : replies) {
        if (r.command < kSetBaudRate || r.command > kSetStopSize) continue;
        if (r.value != RequestedValue(r.command, line_)) {
            const ComPortReply asked{r.command, RequestedValue(r.command, line_)};
            *error = fmt::format("the device server set {}, not {}", DescribeReply(r), DescribeReply(asked));
            return false;
        }
        if (!confirmed_[r.command]) --missing_;
        confirmed_[r.command] = true;
    }
    return true;
}

}  // namespace telnet
