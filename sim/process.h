// The heating process behind each unit: a first-order process with dead time
// (a furnace) driven by the unit's own PID control on its set value, so that
// the measured value follows what a real loop would do. Writing S1 starts a
// step response; P1, I1 and D1 change it.
#ifndef REXFSIM_PROCESS_H
#define REXFSIM_PROCESS_H

#include <deque>
#include <map>
#include <utility>

#include "point_table.h"

namespace rexfsim {

class LineProcess {
public:
    explicit LineProcess(PointTable* table) : table_(table) {}

    // Advances every unit and channel that holds M1 and S1 by `seconds` of
    // process time, in fixed steps. Returns true if a point changed.
    bool Advance(double seconds);

    static constexpr double kStepSeconds = 0.1;

private:
    struct Loop {
        bool started = false;
        double pv = 0;         // the process value, kept finer than M1's decimal
        double held_pv = 0;    // what M1 was last set to, to notice a "set" from outside
        double integral = 0;   // integral of the error over the integral time
        double last_pv = 0;
        double derivative = 0;  // the derivative term, filtered
        bool heating = false;  // on/off action
        bool alarm[2] = {false, false};
        std::deque<double> delayed;  // outputs on their way through the dead time
    };

    // The unit's settings, read once for each advance.
    struct Settings {
        double sv, band, integral_time, derivative_time, high, low, gap;
        bool run;
        double alarm_limit[2], alarm_gap[2];
    };
    Settings Read(int unit, int channel);
    static void Step(Loop& loop, const Settings& s, const ProcessConstants& k, double* output);
    // Puts the loop's state into M1, O1 and the alarm states.
    void Write(int unit, int channel, Loop& loop, double output);
    double Value(int unit, int channel, const char* ident, double fallback);

    PointTable* table_;
    std::map<std::pair<int, int>, Loop> loops_;
    double leftover_ = 0;
};

}  // namespace rexfsim

#endif
