// A text file read whole, but never more of it than its reader will take:
// the files around a line (settings files, the line file, unit files) are
// small, and a large one is no such file.
#ifndef REXF_TEXT_FILE_H
#define REXF_TEXT_FILE_H

#include <cstddef>
#include <string>

namespace rexf {

enum class TextFileRead {
    kRead,
    kFolder,      // the path names a folder
    kCannotOpen,  // *why holds the system's reason
    kTooLarge,    // more than max_bytes
};

TextFileRead ReadTextFile(const std::string& path, std::size_t max_bytes, std::string* text, std::string* why);

}  // namespace rexf

#endif
