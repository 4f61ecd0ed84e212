// The simulated line of controllers: cuts the received byte stream into
// frames and answers each frame as the addressed controller would.
#ifndef REXFSIM_CONTROLLER_H
#define REXFSIM_CONTROLLER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "faults.h"
#include "points.h"

namespace rexfsim {

// What the reader found in the byte stream.
struct Received {
    enum Kind { kPoll, kSelect, kDiscarded } kind;
    std::string bytes;
};

// Cuts a byte stream into polling frames (EOT .. ENQ) and selecting frames
// (EOT .. ETX BCC). EOT always starts a new frame, except where a selecting
// frame's BCC is due (a BCC may take any value). Bytes outside a frame, and
// frames that cannot be completed, are reported as discarded. Bytes may
// arrive in any pieces.
class FrameReader {
public:
    void Feed(const uint8_t* data, size_t n, std::vector<Received>* out);
    // A frame (or the host's closing EOT) has begun and is not yet complete.
    bool in_frame() const { return !frame_.empty(); }

private:
    void Drop(std::vector<Received>* out);
    void FlushGarbage(std::vector<Received>* out);

    std::string frame_;    // from the EOT on; empty outside a frame
    std::string garbage_;  // bytes outside any frame since the last report
};

// One piece of an answer, sent `delay_ms` after the previous piece (or after
// the frame was received, for the first piece).
struct Piece {
    std::string bytes;
    int delay_ms = 0;
};

struct Answer {
    std::vector<Piece> pieces;  // none: the line stays silent
    std::string note;           // why, for the trace
    bool table_changed = false;
};

struct Stats {
    unsigned long polls = 0, selects = 0, replies = 0, acks = 0, naks = 0, silent = 0,
                  discarded_bytes = 0, eots = 0;
};

// How long a unit waits for the host after a data reply before it ends the
// data link with EOT.
constexpr int kLinkTimeoutMs = 3000;

class Controller {
public:
    Controller(PointTable* table, FaultPlan* faults) : table_(table), faults_(faults) {}

    void set_response_delay_ms(int ms) { response_delay_ms_ = ms; }

    Answer Handle(const Received& frame);

    // After a data reply the unit keeps the data link open for the host's
    // ACK (next identifier), NAK (the same data again) or EOT (end).
    bool link_open() const { return link_open_; }
    // The host began a frame or sent its closing EOT: the data link ends.
    void EndLink() { link_open_ = false; }
    // The host stayed silent after a data reply: the unit sends EOT.
    Answer EndSilentLink();

    Stats& stats() { return stats_; }
    std::string StatsLine() const;

private:
    Answer HandlePoll(const std::string& f);
    Answer HandleSelect(const std::string& f);
    // A byte from the host while the data link is open (unit model only).
    Answer HandleLinkByte(const std::string& bytes);
    Answer Silent(const std::string& why);
    Answer Eot(const std::string& why);
    // STX, identifier, data, ETX, BCC.
    static std::string DataReply(const std::string& ident, const std::string& data);
    void OpenLink(const PointKey& key, const std::string& reply);
    // Adds the configured response delay and the fault's pieces to an answer.
    void Shape(Answer* a, const Fault& fault, const std::string& bytes);

    PointTable* table_;
    FaultPlan* faults_;
    int response_delay_ms_ = 0;
    Stats stats_;
    bool link_open_ = false;
    PointKey link_key_;
    std::string link_reply_;
};

}  // namespace rexfsim

#endif
