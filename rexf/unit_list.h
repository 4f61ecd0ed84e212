// Lists of unit addresses and channels as people type them: "1,3,5-9".
#ifndef REXF_UNIT_LIST_H
#define REXF_UNIT_LIST_H

#include <string>
#include <vector>

namespace rexf {

// Unit addresses 0..99, each once, in the order first given; false with
// *why set when the text does not read.
bool ParseUnitList(const std::string& text, std::vector<int>* units, std::string* why);

// Channels 0..highest, the same way.
bool ParseChannelList(const std::string& text, int highest, std::vector<int>* channels, std::string* why);

}  // namespace rexf

#endif  // REXF_UNIT_LIST_H
