#include "rexf/wire.h"

namespace rexf {

const char* ControlName(uint8_t byte) {
    switch (byte) {
        case kStx: return "STX";
        case kEtx: return "ETX";
        case kEot: return "EOT";
        case kEnq: return "ENQ";
        case kAck: return "ACK";
        case kNak: return "NAK";
        default: return nullptr;
    }
}

namespace {

std::string UnitDigits(int unit) {
    return {static_cast<char>('0' + unit / 10 % 10), static_cast<char>('0' + unit % 10)};
}

}  // namespace

std::string PollFrame(int unit, int channel, const std::string& identifier) {
    std::string f(1, static_cast<char>(kEot));
    f += UnitDigits(unit);
    f += 'K';
    f += static_cast<char>('0' + channel % 10);
    f += identifier;
    f += static_cast<char>(kEnq);
    return f;
}

std::string SelectFrame(int unit, int channel, const std::string& identifier, const std::string& value_text) {
    std::string f(1, static_cast<char>(kEot));
    f += UnitDigits(unit);
    f += static_cast<char>(kStx);
    f += 'K';
    f += static_cast<char>('0' + channel % 10);
    f += identifier;
    f += value_text;
    f += static_cast<char>(kEtx);
    f += static_cast<char>(BlockCheck(f, 4, f.size() - 1));
    return f;
}

std::string DataReply(const std::string& identifier, const std::string& value_text) {
    std::string r(1, static_cast<char>(kStx));
    r += identifier;
    r += value_text;
    r += static_cast<char>(kEtx);
    r += static_cast<char>(BlockCheck(r, 1, r.size() - 1));
    return r;
}

void HostFrameCutter::GiveUp() {
    if (stray_.empty()) stray_offset_ = frame_offset_;
    stray_ += frame_;
    frame_.clear();
}

bool HostFrameCutter::TakeStray(Frame* out) {
    if (stray_.empty()) return false;
    *out = Frame{kStray, std::move(stray_), stray_offset_};
    stray_.clear();
    return true;
}

bool HostFrameCutter::Flush(Frame* out) {
    if (TakeStray(out)) return true;
    if (frame_.empty()) return false;
    *out = Frame{kStray, std::move(frame_), frame_offset_};
    frame_.clear();
    return true;
}

void HostFrameCutter::Feed(const uint8_t* data, size_t count, std::vector<Frame>* out) {
    const char eot = static_cast<char>(kEot);
    for (size_t i = 0; i < count; ++i, ++fed_) {
        const char b = static_cast<char>(data[i]);
        if (frame_.empty()) {
            if (b == eot) {
                Frame stray;
                if (TakeStray(&stray)) out->push_back(std::move(stray));
                frame_.assign(1, b);
                frame_offset_ = fed_;
            } else {
                if (stray_.empty()) stray_offset_ = fed_;
                stray_ += b;
            }
            continue;
        }
        const bool select = frame_.size() > 3 && frame_[3] == static_cast<char>(kStx);
        const bool bcc_due = select && frame_.size() >= 5 && frame_.back() == static_cast<char>(kEtx);
        if (b == eot && !bcc_due) {
            // The frame ends unfinished; a new one begins.
            out->push_back(Frame{kStray, std::move(frame_), frame_offset_});
            frame_.assign(1, b);
            frame_offset_ = fed_;
            continue;
        }
        frame_ += b;
        const size_t length = frame_.size();
        if (length < 4) continue;
        if (length == 4) {
            if (b != 'K' && b != static_cast<char>(kStx)) GiveUp();
        } else if (!select) {
            if (b == static_cast<char>(kEnq)) {
                out->push_back(Frame{kPoll, std::move(frame_), frame_offset_});
                frame_.clear();
            } else if (length >= kPollBytes) {
                GiveUp();
            }
        } else if (bcc_due) {
            out->push_back(Frame{kSelect, std::move(frame_), frame_offset_});
            frame_.clear();
        } else if (length >= kSelectBytes - 1 && b != static_cast<char>(kEtx)) {
            GiveUp();
        }
    }
}

}  // namespace rexf
