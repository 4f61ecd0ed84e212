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

struct Point {
    double value = 0.0;
    // The text last stored: written by a selecting frame byte for byte, set
    // raw by a test, or the formatted value.
    std::string text;
    // When set, replies carry `text` exactly instead of the formatted value.
    bool raw = false;
};

class PointTable {
public:
    // Units, each with the given channels, every identifier, default values.
    void FillDefaults(const std::vector<int>& units, const std::vector<int>& channels);

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
    // Stores a value received in a selecting frame, keeping its exact text.
    void StoreWritten(const PointKey& key, double value, const std::string& text);
    bool Remove(const PointKey& key);

    // The six data characters a reply for this point carries.
    static std::string ReplyText(const Point& p);

    // Moves a measured value one step toward its set value (M1 toward S1,
    // M2 toward S2) after it has been polled. Returns true if a value changed.
    bool Drift(int unit, int channel, const std::string& polled_ident);

    size_t size() const { return points_.size(); }

private:
    std::map<PointKey, Point> points_;
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
