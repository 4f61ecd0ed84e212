#include "process.h"

#include <algorithm>
#include <cmath>

namespace rexfsim {

double LineProcess::Value(int unit, int channel, const char* ident, double fallback) {
    const Point* p = table_->Find(unit, channel, ident);
    return p ? p->value : fallback;
}

bool LineProcess::Advance(double seconds) {
    if (!(seconds > 0)) return false;
    // At most an hour of process time at once: a line left alone longer has
    // settled anyway.
    leftover_ = std::min(leftover_ + seconds, 3600.0);
    const long steps = static_cast<long>(leftover_ / kStepSeconds);
    if (steps == 0) return false;
    leftover_ -= static_cast<double>(steps) * kStepSeconds;
    bool changed = false;
    for (const auto& [unit, channel] : table_->Holders("M1")) {
        const Point* measured = table_->Find(unit, channel, "M1");
        if (!table_->Find(unit, channel, "S1") || measured->raw) continue;  // raw: a test holds it still
        Loop& loop = loops_[{unit, channel}];
        if (!loop.started || measured->value != loop.held_pv) {
            // First step, or M1 was set from outside: the process starts there.
            loop.started = true;
            loop.pv = loop.last_pv = measured->value;
            loop.integral = 0;
        }
        const Settings settings = Read(unit, channel);
        const ProcessConstants k = table_->ProcessOf(unit);
        double output = 0;
        for (long i = 0; i < steps; ++i) Step(loop, settings, k, &output);
        Write(unit, channel, loop, output);
        changed = true;
    }
    return changed;
}

LineProcess::Settings LineProcess::Read(int unit, int channel) {
    Settings s;
    s.sv = Value(unit, channel, "S1", 0);
    s.band = Value(unit, channel, "P1", 30);
    s.integral_time = Value(unit, channel, "I1", 0);
    s.derivative_time = Value(unit, channel, "D1", 0);
    s.high = Value(unit, channel, "OH", 100);
    s.low = Value(unit, channel, "OL", 0);
    s.gap = std::max(Value(unit, channel, "HH", 2.0), 0.1);
    s.run = Value(unit, channel, "SR", 1) != 0;
    const char* alarms[2][2] = {{"A1", "HA"}, {"A2", "HB"}};
    for (int a = 0; a < 2; ++a) {
        s.alarm_limit[a] = s.sv + Value(unit, channel, alarms[a][0], 0);
        s.alarm_gap[a] = Value(unit, channel, alarms[a][1], 0);
    }
    return s;
}

void LineProcess::Step(Loop& loop, const Settings& s, const ProcessConstants& k, double* output) {
    const double dt = kStepSeconds;
    const double error = s.sv - loop.pv;
    double out = 0;
    if (!s.run) {
        loop.integral = 0;
    } else if (s.band <= 0) {
        // On/off action around the set value, with its differential gap.
        if (loop.pv <= s.sv - s.gap / 2) loop.heating = true;
        if (loop.pv >= s.sv + s.gap / 2) loop.heating = false;
        out = loop.heating ? s.high : s.low;
    } else {
        // PID on the error, the derivative on the measured value (no kick
        // when the set value steps); the integral stops while the output is
        // held at a limit in the direction the error pushes it.
        const double gain = 100.0 / s.band;
        const double step_integral = s.integral_time > 0 ? error * dt / s.integral_time : 0.0;
        // The derivative passes a first-order filter of an eighth of the
        // derivative time, as controllers do, so it cannot ring.
        if (s.derivative_time > 0) {
            const double raw_derivative = -s.derivative_time * (loop.pv - loop.last_pv) / dt;
            const double filter = s.derivative_time / 8.0;
            loop.derivative += (raw_derivative - loop.derivative) * dt / (filter + dt);
        } else {
            loop.derivative = 0;
        }
        const double derivative = loop.derivative;
        const double trial = gain * (error + loop.integral + step_integral + derivative);
        const bool winding = (trial > s.high && error > 0) || (trial < s.low && error < 0);
        if (!winding) loop.integral += step_integral;
        out = std::min(std::max(gain * (error + loop.integral + derivative), s.low), s.high);
    }
    *output = out;

    // The output reaches the process after the dead time.
    const size_t delay_steps = static_cast<size_t>(std::lround(k.dead_time / dt));
    loop.delayed.push_back(out);
    double acting = 0;
    while (loop.delayed.size() > delay_steps) {
        acting = loop.delayed.front();
        loop.delayed.pop_front();
    }
    loop.last_pv = loop.pv;
    loop.pv += dt / k.time_constant * (k.ambient + k.gain * acting - loop.pv);

    // Deviation-high alarms: on at S1 + A1 (A2), off below that by the gap.
    for (int a = 0; a < 2; ++a) {
        if (loop.pv >= s.alarm_limit[a]) loop.alarm[a] = true;
        else if (loop.pv < s.alarm_limit[a] - s.alarm_gap[a]) loop.alarm[a] = false;
    }
}

void LineProcess::Write(int unit, int channel, Loop& loop, double output) {
    table_->SetValue(PointKey{unit, channel, "M1"}, loop.pv);
    loop.held_pv = table_->Find(unit, channel, "M1")->value;
    if (table_->Find(unit, channel, "O1")) table_->SetValue(PointKey{unit, channel, "O1"}, output);
    const char* states[2] = {"AA", "AB"};
    for (int a = 0; a < 2; ++a)
        if (table_->Find(unit, channel, states[a])) table_->SetValue(PointKey{unit, channel, states[a]}, loop.alarm[a]);
}

}  // namespace rexfsim
