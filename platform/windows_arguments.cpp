// Windows: the command line in UTF-16, from the runtime's start-up with its
// own wildcard expansion off, and the long names of a directory's entries.
#include "platform/command_line.h"
#include "platform/windows_internal.h"

#include <string>
#include <vector>

// Asks the runtime's start-up (__getmainargs) to pass wildcard arguments on
// as typed: its own expansion matches 8.3 short names ("*.old" matches
// y.older) and names beginning with a dot, so file_names expands them
// itself.
extern "C" {
int _dowildcard = 0;

struct StartupInfo {
    int new_mode;
};
// The same start-up for the wide argument vector, in msvcrt.dll.
int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int expand_wildcards,
                   StartupInfo* info);
}

namespace platform {

namespace {

// The command line's arguments in UTF-16, as the runtime's start-up gives
// them.
struct WideArguments {
    int count = 0;
    wchar_t** values = nullptr;
};

WideArguments wide_arguments() {
    WideArguments got;
    wchar_t** environment = nullptr;
    StartupInfo info{0};
    __wgetmainargs(&got.count, &got.values, &environment, _dowildcard, &info);
    return got.values != nullptr ? got : WideArguments{};
}

} // namespace

// An argument is as typed when the wide one in its place converts to it
// exactly. Where the two vectors differ in length, places cannot be matched
// and no argument counts as typed.
std::vector<Argument> arguments(int count, char** argv, int first) {
    WideArguments wide = wide_arguments();
    std::vector<Argument> got;
    for (int i = first; i < count; i++) {
        bool typed = wide.count == count && converts_exactly(wide.values[i], argv[i]);
        got.push_back({argv[i], typed ? wide.values[i] : L"", typed});
    }
    return got;
}

std::size_t last_part_at(const NativeName& path) {
    std::size_t separator = path.find_last_of(L"/\\:");
    return separator == NativeName::npos ? 0 : separator + 1;
}

std::vector<NativeName> directory_entries(const NativeName& directory) {
    std::vector<NativeName> entries;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((directory + L"*").c_str(), &entry);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry))
        if (std::wcscmp(entry.cFileName, L".") != 0 && std::wcscmp(entry.cFileName, L"..") != 0)
            entries.emplace_back(entry.cFileName);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return entries;
}

bool same_letter(NativeChar a, NativeChar b) {
    return CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL;
}

bool to_program_name(const NativeName& native, std::string& name, bool& as_typed) {
    char narrow[text_size];
    int converted = to_narrow(native.c_str(), narrow, sizeof narrow);
    if (converted == 0) return false;
    name = narrow;
    as_typed = converted > 0;
    return true;
}

} // namespace platform
