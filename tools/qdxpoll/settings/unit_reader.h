// Reading a unit's settings through the driver, for save, diff and
// restore: each identifier once, at the unit's resolution, an EOT taken as
// absent; a unit that does not answer, or stops answering well (three
// identifiers in a row without a valid reply), or a port lost, ends the
// reading early rather than waiting out every identifier.
#ifndef QDXPOLL_UNIT_READER_H
#define QDXPOLL_UNIT_READER_H

#include <string>
#include <utility>
#include <vector>

#include "rexf/settings_file.h"
#include "settings/unit_access.h"

struct UnitRead {
    rexf::UnitSettings settings;
    bool answered = true;      // false: the unit (or the channel) did not answer M1; nothing read
    bool interrupted = false;  // Ctrl-C
    bool lost = false;         // the port was lost: the reading ended there
    std::string failure;       // the first failure, one line
    std::string hint;
    int failed = 0, absent = 0, values = 0;
    double seconds = 0;
};

// "1" or "all" (channels 0-8 that answer M1); false with *why.
bool ParseChannelOption(const std::string& text, std::vector<int>* channels, bool* all, std::string* why);

// Reads the unit's identifiers: on each channel every identifier of the
// unit model, or only those given (channel, identifier). With all_channels
// the channels are those of 0-8 whose M1 answers.
UnitRead ReadUnitSettings(UnitAccess& line, int unit, std::vector<int> channels, bool all_channels,
                          const std::vector<std::pair<int, std::string>>& only = {});

#endif  // QDXPOLL_UNIT_READER_H
