// A point's address as the tools write it, UUKCII: the unit (two digits),
// the letter K, the channel (one digit) and the identifier (two
// characters), e.g. 01K1M1. Its parts by name, so that no caller cuts the
// text by position.
#ifndef REXF_POINT_ADDRESS_H
#define REXF_POINT_ADDRESS_H

#include <optional>
#include <string>
#include <utility>

namespace rexf {

class PointAddress {
public:
    // Six characters, taken as they are (their shape is checked where the
    // address is read: by the line file, or by the driver); none when the
    // text is of another length.
    static std::optional<PointAddress> Of(const std::string& text);

    const std::string& text() const { return text_; }
    std::string unit_text() const { return text_.substr(0, 2); }     // "01"
    char channel_digit() const { return text_[3]; }                   // '1'
    std::string identifier() const { return text_.substr(4); }       // "M1"
    std::string unit_and_channel() const { return text_.substr(0, 4); }  // "01K1"
    // The same unit and channel with another identifier: 01K1M1 -> 01K1S1.
    PointAddress With(const std::string& identifier) const;

private:
    explicit PointAddress(std::string text) : text_(std::move(text)) {}
    std::string text_;
};

}  // namespace rexf

#endif  // REXF_POINT_ADDRESS_H
