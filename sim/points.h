// Point table of the controller simulator: which units, channels and
// identifiers the simulated line answers for, and the value each one holds.
#ifndef REXFSIM_POINTS_H
#define REXFSIM_POINTS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace rexfsim {

// Control characters of the controllers' character protocol.
enum : uint8_t {
    kStx = 0x02,
    kEtx = 0x03,
    kEot = 0x04,
    kEnq = 0x05,
    kAck = 0x06,
    kNak = 0x15,
};

// Exclusive OR of bytes [first, last] of s (inclusive).
uint8_t BlockCheck(const std::string& s, size_t first, size_t last);

// The six characters a controller sends for a value: digits, one point and a
// leading '-' for negatives; the larger the value the fewer the decimals,
// digits beyond the last place cut off, never rounded. The value is taken as
// a single-precision number first, as the controllers hold it. Values beyond
// the text's range are clamped to 9999.9 or -999.9; NaN gives .00000.
std::string FormatValueText(double value);

// Reads six characters of value text as the controllers accept it: optional
// leading blanks, an optional '-', digits with at most one point and at least
// one digit, nothing else. Returns false for anything else.
bool ParseValueText(const std::string& text, double* value);

// The 79 identifiers a REX-F controller answers for, in table order.
const std::vector<std::string>& AllIdentifiers();

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

// The six characters a unit sends for a value it holds with `decimals`
// places: no zero suppression ("0150.7", "-024.5", "000001"). Fewer places
// are shown where the value needs the room.
std::string UnitText(double value, int decimals);

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
    // no such point, read-only, or outside the setting range (for the set
    // value also outside the unit's SL..SH). Without the unit model only a
    // missing point is refused.
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

const char* TableFileHelp();

// Parses a unit address ("1" or "01", 0..99), a channel digit (0..9) and an
// identifier (two characters, upper-cased). Each returns false if invalid.
bool ParseUnit(const std::string& s, int* unit);
bool ParseChannel(const std::string& s, int* channel);
bool ParseIdent(const std::string& s, std::string* ident);

// Splits a line into words at blanks. A word in double quotes may hold blanks
// and the escapes \xHH, \\ and \" (so any byte can be given); `quoted` tells
// which words were quoted. A '#' outside quotes starts a comment. Returns
// false (with a reason) for an unterminated quote or a bad escape.
bool SplitWords(const std::string& line, std::vector<std::string>* words,
                std::vector<bool>* quoted, std::string* error);

// Shows bytes for people: printable ASCII as is, others as \xHH.
std::string Escape(const std::string& bytes);

}  // namespace rexfsim

#endif
