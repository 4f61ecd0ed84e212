// Reads the version information back from built Windows files, as Explorer's
// Properties or an installer does (GetFileVersionInfoA), prints it, and
// checks it: file and product version, product name, a file description and
// the original file name of each file named on the command line.
//
// Prints one line per file and per failed check, and ends with
// "N passed, N failed".
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/wine/check.h"

namespace {

using wine_check::g_case;

// The text of one StringFileInfo value ("" when it is missing).
std::string Text(const std::vector<char>& info, WORD language, WORD code_page, const char* name) {
    char path[96];
    std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", language, code_page, name);
    void* value = nullptr;
    UINT size = 0;
    if (!VerQueryValueA(info.data(), path, &value, &size) || size == 0) return "";
    return std::string(static_cast<const char*>(value));
}

std::string Dotted(DWORD high, DWORD low) {
    char text[48];
    std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", static_cast<unsigned long>(HIWORD(high)),
                  static_cast<unsigned long>(LOWORD(high)), static_cast<unsigned long>(HIWORD(low)),
                  static_cast<unsigned long>(LOWORD(low)));
    return text;
}

void CheckFile(const char* path) {
    g_case = path;
    const char* slash = std::strrchr(path, '/');
    const char* backslash = std::strrchr(path, '\\');
    const char* file_name = slash > backslash ? slash + 1 : backslash != nullptr ? backslash + 1 : path;

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (!CHECK(size != 0)) {
        std::printf("%s: no version information (error %lu)\n", path, static_cast<unsigned long>(GetLastError()));
        return;
    }
    std::vector<char> info(size);
    if (!CHECK(GetFileVersionInfoA(path, 0, size, info.data()))) return;

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    if (!CHECK(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &fixed_size) &&
               fixed_size >= sizeof *fixed)) {
        return;
    }
    const std::string file_version = Dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    const std::string product_version = Dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    CHECK(file_version == QDX_EXPECTED_VERSION);
    CHECK(product_version == QDX_EXPECTED_VERSION);

    struct Translation {
        WORD language;
        WORD code_page;
    }* translation = nullptr;
    UINT translation_size = 0;
    if (!CHECK(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                              &translation_size) &&
               translation_size >= sizeof *translation)) {
        return;
    }
    const WORD language = translation->language;
    const WORD code_page = translation->code_page;
    const std::string product = Text(info, language, code_page, "ProductName");
    const std::string description = Text(info, language, code_page, "FileDescription");
    const std::string original = Text(info, language, code_page, "OriginalFilename");
    CHECK(product == QDX_EXPECTED_PRODUCT);
    CHECK(!description.empty());
    CHECK(lstrcmpiA(original.c_str(), file_name) == 0);
    CHECK(Text(info, language, code_page, "FileVersion") == QDX_EXPECTED_VERSION);
    CHECK(Text(info, language, code_page, "ProductVersion") == QDX_EXPECTED_VERSION);
    std::printf("%s: file %s, product %s %s, \"%s\", original name %s\n", path, file_version.c_str(),
                product.c_str(), product_version.c_str(), description.c_str(), original.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) {
        std::printf("usage: version_check FILE...\n");
        return 2;
    }
    for (int i = 1; i < argc; ++i) CheckFile(argv[i]);
    return wine_check::CheckSummary();
}
