#include "controller.h"

#include <cstdio>
#include <utility>

#include "rexf/value_text.h"

namespace rexfsim {

using rexf::kAck;
using rexf::kEot;
using rexf::kEtx;
using rexf::kNak;
using rexf::kStx;
using rexf::BlockCheck;
using rexf::DataReply;

namespace {

// Bytes sent after the answer by the "extra" fault: they include ACK and NAK
// so that a master which does not throw away late input takes them wrongly.
const char kExtraBytes[] = {'?', static_cast<char>(kAck), static_cast<char>(kNak)};
const char kGarbageByte = '?';

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

Answer Controller::Silent(const std::string& why) {
    ++stats_.silent;
    Answer a;
    a.note = why;
    return a;
}

Answer Controller::Eot(const std::string& why) {
    ++stats_.eots;
    Answer a;
    a.note = why;
    Piece piece;
    piece.bytes.assign(1, static_cast<char>(kEot));
    piece.delay_ms = response_delay_ms_;
    a.pieces.push_back(piece);
    return a;
}

void Controller::OpenLink(const PointKey& key, const std::string& reply) {
    link_open_ = table_->unit_model();
    link_key_ = key;
    link_reply_ = reply;
}

Answer Controller::EndSilentLink() {
    link_open_ = false;
    Answer a = Eot("host silent after the reply: end of data link");
    a.pieces.front().delay_ms = 0;
    return a;
}

Answer Controller::HandleLinkByte(const std::string& bytes) {
    link_open_ = false;
    const char b = bytes[0];
    if (b == static_cast<char>(kNak)) {
        Answer a;
        a.note = "NAK: the same data again";
        a.pieces.push_back(Piece{link_reply_, response_delay_ms_});
        ++stats_.replies;
        OpenLink(link_key_, link_reply_);
        return a;
    }
    if (b == static_cast<char>(kAck)) {
        const auto* next = table_->NextPoint(link_key_);
        if (!next) return Eot("ACK: no further identifier");
        const std::string reply = DataReply(next->first.ident, PointTable::ReplyText(next->second));
        Answer a;
        a.note = "ACK: next identifier " + next->first.ident;
        a.pieces.push_back(Piece{reply, response_delay_ms_});
        ++stats_.replies;
        OpenLink(next->first, reply);
        return a;
    }
    stats_.discarded_bytes += bytes.size();
    return Eot("neither ACK nor NAK after the reply");
}

Answer Controller::Handle(const Received& frame) {
    switch (frame.kind) {
        case rexf::HostFrameCutter::kPoll:
            link_open_ = false;
            return HandlePoll(frame.bytes);
        case rexf::HostFrameCutter::kSelect:
            link_open_ = false;
            return HandleSelect(frame.bytes);
        case rexf::HostFrameCutter::kStray:
            break;
    }
    const bool closing = frame.bytes.size() == 1 && frame.bytes[0] == static_cast<char>(kEot);
    if (link_open_ && !closing) return HandleLinkByte(frame.bytes);
    link_open_ = false;
    Answer a;
    if (closing) {
        a.note = "closing EOT";
    } else {
        stats_.discarded_bytes += frame.bytes.size();
        a.note = "discarded";
    }
    return a;
}

void Controller::Shape(Answer* a, const Fault& fault, const std::string& bytes) {
    faults_->Count(fault.kind);
    if (fault.kind != FaultKind::kNone) a->note += std::string(a->note.empty() ? "" : ", ") +
                                                   "fault " + FaultName(fault.kind);
    if (fault.kind == FaultKind::kSilence) {
        ++stats_.silent;
        return;
    }
    Piece first;
    first.delay_ms = response_delay_ms_ + (fault.kind == FaultKind::kDelay ? fault.ms : 0);
    if (fault.kind == FaultKind::kSplit && bytes.size() >= 3) {
        const size_t third = bytes.size() / 3;
        first.bytes = bytes.substr(0, third);
        a->pieces.push_back(first);
        a->pieces.push_back(Piece{bytes.substr(third, third), fault.ms});
        a->pieces.push_back(Piece{bytes.substr(2 * third), fault.ms});
        return;
    }
    first.bytes = bytes;
    if (fault.kind == FaultKind::kExtra) first.bytes.append(kExtraBytes, sizeof kExtraBytes);
    a->pieces.push_back(first);
}

Answer Controller::HandlePoll(const std::string& f) {
    ++stats_.polls;
    if (f.size() != 8 || !IsDigit(f[1]) || !IsDigit(f[2]) || !IsDigit(f[4]))
        return Silent("malformed poll");
    const int unit = (f[1] - '0') * 10 + (f[2] - '0');
    const int channel = f[4] - '0';
    const std::string ident = f.substr(5, 2);
    if (muted_.count(unit) != 0) return Silent("unit muted");
    const Point* p = table_->Find(unit, channel, ident);
    if (!p) {
        // A unit answers for an identifier it lacks (or an option not
        // fitted) with a lone EOT; only a unit that is not there is silent.
        if (table_->unit_model() && table_->HasUnit(unit)) return Eot("no such identifier");
        return Silent("no such point");
    }

    std::string reply = DataReply(ident, PointTable::ReplyText(*p));
    const std::string good_reply = reply;

    Answer a;
    const Fault fault = faults_->Next();
    switch (fault.kind) {
        case FaultKind::kBadBcc:
            reply[4] = static_cast<char>(reply[4] ^ 0x01);  // BCC stays that of the original
            break;
        case FaultKind::kNoStx:
            reply[0] = kGarbageByte;
            break;
        case FaultKind::kNoEtx:
            reply[9] = kGarbageByte;
            reply[10] = static_cast<char>(BlockCheck(reply, 1, 9));
            break;
        case FaultKind::kWrongId:
            if (reply[1] != reply[2])
                std::swap(reply[1], reply[2]);
            else
                reply[2] = static_cast<char>(reply[2] ^ 0x01);
            reply[10] = static_cast<char>(BlockCheck(reply, 1, 9));
            break;
        case FaultKind::kNak:
            reply.assign(1, static_cast<char>(kNak));
            break;
        case FaultKind::kGarbageAnswer:
            reply.assign(11, kGarbageByte);
            break;
        default:
            break;
    }
    Shape(&a, fault, reply);
    if (!a.pieces.empty()) {
        ++stats_.replies;
        OpenLink(PointKey{unit, channel, ident}, good_reply);
    }
    return a;
}

Answer Controller::HandleSelect(const std::string& f) {
    ++stats_.selects;
    // Only the addressed unit answers; it must know the unit address first.
    if (f.size() < 3 || !IsDigit(f[1]) || !IsDigit(f[2])) return Silent("malformed select");
    const int unit = (f[1] - '0') * 10 + (f[2] - '0');
    if (!table_->HasUnit(unit)) return Silent("no such unit");
    if (muted_.count(unit) != 0) return Silent("unit muted");

    std::string problem;
    PointKey key;
    key.unit = unit;
    double value = 0;
    std::string text;
    if (f.size() != 16 || f[4] != 'K' || !IsDigit(f[5]) || f[14] != static_cast<char>(kEtx)) {
        problem = "bad format";
    } else {
        key.channel = f[5] - '0';
        key.ident = f.substr(6, 2);
        // Without the unit model a write to a missing point goes unanswered.
        if (!table_->unit_model() && !table_->Find(unit, key.channel, key.ident))
            return Silent("no such point");
        text = f.substr(8, 6);
        const uint8_t bcc = BlockCheck(f, 4, 14);
        if (bcc != static_cast<uint8_t>(f[15])) {
            char buf[48];
            std::snprintf(buf, sizeof buf, "bad BCC, computed %02X", bcc);
            problem = buf;
        } else if (!rexf::ParseValueText(text, &value)) {
            problem = "bad value text";
        } else {
            problem = table_->RefusalOf(key, value);
        }
    }

    Answer a;
    a.note = problem;
    const Fault fault = faults_->Next();
    bool store = problem.empty();
    char answer = static_cast<char>(store ? kAck : kNak);
    switch (fault.kind) {
        case FaultKind::kBadBcc:
        case FaultKind::kNak:
        case FaultKind::kSilence:
            store = false;  // the frame is taken as lost or damaged on the line
            answer = static_cast<char>(kNak);
            break;
        case FaultKind::kNoStx:
        case FaultKind::kNoEtx:
        case FaultKind::kWrongId:
        case FaultKind::kGarbageAnswer:
            answer = kGarbageByte;  // the answer is damaged on its way back
            break;
        default:
            break;
    }
    Shape(&a, fault, std::string(1, answer));
    if (store) {
        table_->StoreWritten(key, value, text);
        a.table_changed = true;
    }
    if (!a.pieces.empty()) {
        if (answer == static_cast<char>(kAck)) ++stats_.acks;
        if (answer == static_cast<char>(kNak)) ++stats_.naks;
    }
    return a;
}

std::string Controller::StatsLine() const {
    return "polls=" + std::to_string(stats_.polls) + " selects=" + std::to_string(stats_.selects) +
           " replies=" + std::to_string(stats_.replies) + " acks=" + std::to_string(stats_.acks) +
           " naks=" + std::to_string(stats_.naks) + " silent=" + std::to_string(stats_.silent) +
           " discarded=" + std::to_string(stats_.discarded_bytes) + " eots=" + std::to_string(stats_.eots) + " faults: " + faults_->Tally();
}

}  // namespace rexfsim
