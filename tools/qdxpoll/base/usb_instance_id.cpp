#include "base/usb_instance_id.h"

#include <cctype>

namespace {

bool HexDigits(const std::string& text, size_t at, size_t count) {
    if (at + count > text.size()) return false;
    for (size_t i = at; i < at + count; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Where "VID_xxxx" followed by '&' or '+' and "PID_xxxx" starts, or npos.
size_t FindIds(const std::string& upper) {
    for (size_t at = upper.find("VID_"); at != std::string::npos; at = upper.find("VID_", at + 1)) {
        if (at != 0 && upper[at - 1] != '\\' && upper[at - 1] != '&' && upper[at - 1] != '+') continue;
        if (HexDigits(upper, at + 4, 4) && at + 9 < upper.size() && (upper[at + 8] == '&' || upper[at + 8] == '+') &&
            upper.compare(at + 9, 4, "PID_") == 0 && HexDigits(upper, at + 13, 4))
            return at;
    }
    return std::string::npos;
}

// A serial number as makers write it: letters, digits and a few signs.
bool SerialLike(const std::string& text) {
    if (text.empty() || text.size() > 126) return false;
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') return false;
    return true;
}

}  // namespace

UsbInstanceId ParseUsbInstanceId(const std::string& instance_id) {
    UsbInstanceId id;
    std::string upper = instance_id;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const size_t at = FindIds(upper);
    if (at == std::string::npos) return id;
    id.usb_id = Lower(instance_id.substr(at + 4, 4)) + ":" + Lower(instance_id.substr(at + 13, 4));
    const size_t after = at + 17;
    const size_t segment_end = instance_id.find('\\', after);
    const std::string rest = instance_id.substr(after, segment_end == std::string::npos ? std::string::npos
                                                                                      : segment_end - after);
    if (upper[at + 8] == '+') {
        // VID+PID+SERIAL[A|B...]: FTDI's driver joins them in one segment.
        if (rest.size() > 1 && rest[0] == '+' && SerialLike(rest.substr(1))) id.serial_number = rest.substr(1);
        return id;
    }
    // An interface of a composite device (&MI_nn) carries no serial number;
    // a made-up one holds '&', which SerialLike refuses.
    if (!rest.empty() || segment_end == std::string::npos) return id;
    const size_t next = instance_id.find('\\', segment_end + 1);
    const std::string last = instance_id.substr(segment_end + 1, next == std::string::npos ? std::string::npos
                                                                                         : next - segment_end - 1);
    if (next == std::string::npos && SerialLike(last)) id.serial_number = last;
    return id;
}
