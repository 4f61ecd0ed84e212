// The points of the simulated line: which units, channels and identifiers
// it answers for, the value each one holds, what a unit does with a write,
// and the furnace constants of each unit.
#ifndef REXFSIM_POINT_TABLE_H
#define REXFSIM_POINT_TABLE_H

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace rexfsim {

struct PointKey {
    int unit = 0;      // 0..99
    int channel = 0;   // 0..9
    std::string ident; // two characters
    bool operator<(const PointKey& o) const {
        if (unit != o.unit) return unit < o.unit;
        if (channel != o.channel) return channel < o.channel;
        return ident < o.ident;
    }
};

// What a unit does with a point: whether a host may write it, the setting
// range, and the decimals the unit keeps. Taken from the unit model by
// identifier; a table file may say otherwise.
struct PointModel {
    bool read_only = false;
    double low = -999.9, high = 9999.9;
    int decimals = 1;
    bool within_limits = false;  // writes must also lie within the unit's SL..SH
};

PointModel ModelOf(const std::string& ident);

struct Point {
    double value = 0.0;
    // The six characters replies carry: the held value at the point's
    // decimals, a text set raw by a test, or (accepting everything) the text
    // last written byte for byte.
    std::string text;
    // When set, replies carry `text` exactly instead of the formatted value.
    bool raw = false;
    PointModel model;
};

// A unit's process (a furnace): steady temperature = ambient + gain x output
// (%), reached with the time constant after the dead time.
struct ProcessConstants {
    double gain = 4.0;         // degrees per % of output
    double time_constant = 600.0;  // s
    double dead_time = 60.0;       // s
    double ambient = 24.0;         // degrees
};

class PointTable {
public:
    // With the unit model (the default) a point holds its value at its
    // decimals and writes are checked against its access and range; without
    // it every write is stored and answered with the text written.
    void set_unit_model(bool on) { unit_model_ = on; }
    bool unit_model() const { return unit_model_; }

    // Units, each with the given channels, every identifier, default values.
    // Optional identifiers (the current transformer inputs) only on the units
    // in `option_units`.
    void FillDefaults(const std::vector<int>& units, const std::vector<int>& channels,
                      const std::vector<int>& option_units);

    // Loads a table file (format in TableFileHelp()); throws std::runtime_error
    // with the file's name and line on a bad line.
    void Load(const std::string& path);

    // Writes the table in the table file format, atomically (temporary file
    // and rename). Returns false if the file cannot be written.
    bool Save(const std::string& path) const;

    Point* Find(int unit, int channel, const std::string& ident);
    bool HasUnit(int unit) const;

    void SetValue(const PointKey& key, double value);
    void SetRaw(const PointKey& key, const std::string& text);
    // Stores a value received in a selecting frame: cut to the point's
    // decimals (never rounded) with the unit model, its exact text without.
    void StoreWritten(const PointKey& key, double value, const std::string& text);

    // Why a unit refuses to store `value` at this point ("" when it accepts):
    // no such point, read-only, outside the setting range (for the set
    // value also outside the unit's SL..SH), or a limiter that would pass
    // the other of its pair (SL above SH, OL above OH). Without the unit
    // model only a missing point is refused.
    std::string RefusalOf(const PointKey& key, double value);

    // The point after `key` on the same unit and channel in identifier order,
    // or nullptr: the data a unit sends when the host acknowledges a reply.
    const std::pair<const PointKey, Point>* NextPoint(const PointKey& key) const;
    bool Remove(const PointKey& key);

    // The six data characters a reply for this point carries.
    static std::string ReplyText(const Point& p);


    size_t size() const { return points_.size(); }

    // The process constants of a unit (defaults unless the table file sets
    // them with a "process UNIT ..." line).
    ProcessConstants ProcessOf(int unit) const;

    // Every unit and channel that has a point with this identifier.
    std::vector<std::pair<int, int>> Holders(const std::string& ident) const;

private:
    // Why a write of a limiter is refused: it would pass its pair's other.
    std::string InversionOf(const PointKey& key, double held);
    void LoadProcessLine(const std::vector<std::string>& words, const std::string& where);
    Point& Insert(const PointKey& key);
    // Holds value at the point's decimals (unit model) and sets its text.
    void Hold(Point& p, double value);
    // The set value monitor follows the set value.
    void FollowSetValue(const PointKey& key);

    bool unit_model_ = true;
    std::map<PointKey, Point> points_;
    std::map<int, ProcessConstants> process_;
    std::map<int, int> unit_counts_;
};

// The table file's format, for --help.
const char* TableFileHelp();

}  // namespace rexfsim

#endif  // REXFSIM_POINT_TABLE_H
