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
                  discarded_bytes = 0;
};

class Controller {
public:
    Controller(PointTable* table, FaultPlan* faults) : table_(table), faults_(faults) {}

    void set_drift(bool on) { drift_ = on; }
    bool drift() const { return drift_; }
    void set_response_delay_ms(int ms) { response_delay_ms_ = ms; }

    Answer Handle(const Received& frame);

    Stats& stats() { return stats_; }
    std::string StatsLine() const;

private:
    Answer HandlePoll(const std::string& f);
    Answer HandleSelect(const std::string& f);
    Answer Silent(const std::string& why);
    // Adds the configured response delay and the fault's pieces to an answer.
    void Shape(Answer* a, const Fault& fault, const std::string& bytes);

    PointTable* table_;
    FaultPlan* faults_;
    bool drift_ = true;
    int response_delay_ms_ = 0;
    Stats stats_;
};

}  // namespace rexfsim

#endif
