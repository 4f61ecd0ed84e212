#include "rexf/text_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace rexf {

TextFileRead ReadTextFile(const std::string& path, std::size_t max_bytes, std::string* text, std::string* why) {
    text->clear();
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) return TextFileRead::kFolder;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = std::strerror(errno);
        return TextFileRead::kCannotOpen;
    }
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text->append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text->size() > max_bytes) return TextFileRead::kTooLarge;
    }
    return TextFileRead::kRead;
}

}  // namespace rexf
