// Walking the import directory of a PE image in memory. IMAGE_THUNK_DATA
// and the ordinal flag are the process's own width (4 bytes on 32-bit, 8 on
// 64-bit), and a library loaded in this process always has that width.
#include "port/module_imports_win32.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

const uint8_t* Base(HMODULE library) { return reinterpret_cast<const uint8_t*>(library); }

const IMAGE_NT_HEADERS* NtHeaders(HMODULE library) {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(Base(library));
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(Base(library) + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) return nullptr;
    return nt;
}

// Writes one entry of the table, which the loader left read-only.
bool WriteEntry(void** entry, void* value) {
    DWORD old_protection = 0;
    if (!VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &old_protection)) return false;
    *entry = value;
    DWORD unused = 0;
    VirtualProtect(entry, sizeof *entry, old_protection, &unused);
    FlushInstructionCache(GetCurrentProcess(), entry, sizeof *entry);
    return true;
}

// The entries of one import descriptor that are named in the list.
void MatchDescriptor(HMODULE library, const IMAGE_IMPORT_DESCRIPTOR& d, ImportReplacement* list, size_t count,
                     std::vector<void**>* entries) {
    // Without the lookup table the names are gone once the loader bound the
    // entries: nothing can be matched.
    if (d.OriginalFirstThunk == 0 || d.FirstThunk == 0) return;
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(Base(library) + d.OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(const_cast<uint8_t*>(Base(library)) + d.FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        const auto* by_name =
            reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(Base(library) + names->u1.AddressOfData);
        const char* name = reinterpret_cast<const char*>(by_name->Name);
        for (size_t i = 0; i < count; ++i)
            if (std::strcmp(name, list[i].name) == 0) (*entries)[i] = reinterpret_cast<void**>(&slots->u1.Function);
    }
}

}  // namespace

bool ReplaceImports(HMODULE library, const char* from_library, ImportReplacement* list, size_t count,
                    std::string* missing) {
    const IMAGE_NT_HEADERS* nt = library != nullptr ? NtHeaders(library) : nullptr;
    if (nt == nullptr) {
        *missing = "the library's headers do not read as a PE image of this process's width";
        return false;
    }
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::vector<void**> entries(count, nullptr);
    if (dir.VirtualAddress != 0) {
        for (const auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(Base(library) + dir.VirtualAddress);
             d->Name != 0; ++d)
            if (lstrcmpiA(reinterpret_cast<const char*>(Base(library) + d->Name), from_library) == 0)
                MatchDescriptor(library, *d, list, count, &entries);
    }
    std::string names;
    for (size_t i = 0; i < count; ++i)
        if (entries[i] == nullptr) names += (names.empty() ? "" : ", ") + std::string(list[i].name);
    if (!names.empty()) {
        *missing = "the library does not import " + names + " from " + from_library + " by name";
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        void* current = *entries[i];
        if (current != list[i].replacement) list[i].original = current;
        if (list[i].original == nullptr) {
            *missing = std::string(list[i].name) + " holds qdxpoll's own function, with the system's unknown";
            return false;
        }
    }
    for (size_t i = 0; i < count; ++i)
        if (!WriteEntry(entries[i], list[i].replacement)) {
            *missing = "the import table could not be written (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
    return true;
}
