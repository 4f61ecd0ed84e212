// Rewriting a loaded library's import address table: the entries through
// which its code calls named functions of another library are pointed at
// qdxpoll's own. Only that library's calls change; the process's others
// (and the library's calls by ordinal) go on as before.
#ifndef QDXPOLL_MODULE_IMPORTS_WIN32_H
#define QDXPOLL_MODULE_IMPORTS_WIN32_H

#include <windows.h>

#include <cstddef>
#include <string>

struct ImportReplacement {
    const char* name;    // the imported function, by its undecorated name
    void* replacement;   // what the library calls from now on
    void* original;      // set: what the entry held (the system's function)
};

// Finds every named import of `from_library` (e.g. "KERNEL32.dll", any case)
// in `library`; only when all are found does it rewrite them. An entry that
// already holds its replacement (the library loaded again, the same copy)
// keeps the original found the first time. False with *missing saying
// what was not found, or why the table could not be written.
bool ReplaceImports(HMODULE library, const char* from_library, ImportReplacement* list, size_t count,
                    std::string* missing);

#endif  // QDXPOLL_MODULE_IMPORTS_WIN32_H
