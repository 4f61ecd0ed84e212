// The simulated line of controllers: answers each frame the host sends as
// the addressed controller would.
#ifndef REXFSIM_CONTROLLER_H
#define REXFSIM_CONTROLLER_H

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "faults.h"
#include "point_table.h"
#include "rexf/wire.h"

namespace rexfsim {

// A frame the host sent, as the line's frame cutter gives it.
using Received = rexf::HostFrameCutter::Frame;

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
    // A muted unit hears nothing: a unit powered off or cut from the line.
    void Mute(int unit, bool muted) {
        if (muted) muted_.insert(unit);
        else muted_.erase(unit);
    }

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
    std::set<int> muted_;
};

}  // namespace rexfsim

#endif
