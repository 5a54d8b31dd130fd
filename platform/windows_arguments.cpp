// Windows: the command line as file names, from the wide arguments of the
// runtime's start-up, patterns expanded here by long names only.
#include "platform/windows_internal.h"

#include <algorithm>
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

// them (patterns expanded as for main's).
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

// Whether `name` matches `pattern`, in which '*' stands for any run of
// characters and '?' for any one; every other character stands for itself,
// in either case, as Windows matches names.
bool matches(const wchar_t* pattern, const wchar_t* name) {
    const wchar_t* star = nullptr;
    const wchar_t* resume = nullptr;
    while (*name != L'\0') {
        if (*pattern == L'*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == L'?' ||
                   CompareStringOrdinal(pattern, 1, name, 1, TRUE) == CSTR_EQUAL) {
            pattern++;
            name++;
        } else if (star != nullptr) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == L'*')
        pattern++;
    return *pattern == L'\0';
}

// The last part of `path`: what follows its last '/', '\\' or drive colon.
const wchar_t* last_part(const wchar_t* path) {
    const wchar_t* part = path;
    for (const wchar_t* c = path; *c != L'\0'; c++)
        if (*c == L'/' || *c == L'\\' || *c == L':') part = c + 1;
    return part;
}

// Appends to `names` the name `wide` in the ANSI code page, as typed only
// where the code page holds it exactly.
void add_match(const wchar_t* wide, std::vector<FileName>& names) {
    char narrow[text_size];
    int converted = to_narrow(wide, narrow, sizeof narrow);
    if (converted != 0) names.push_back({narrow, converted > 0});
}

// Appends to `names` the files that the argument `wide` (in the ANSI code
// page, `narrow`) stands for. Where its last part holds '*' or '?', they are
// the entries of its directory whose long names match that part, sorted (a
// name beginning with a dot only where the pattern does too); the 8.3 short
// names that FindFirstFile also matches are never looked at. Otherwise, or
// where nothing matches, the argument stands for itself.
void expand(const wchar_t* wide, const char* narrow, std::vector<FileName>& names) {
    const wchar_t* pattern = last_part(wide);
    auto prefix = static_cast<std::size_t>(pattern - wide);
    std::size_t first = names.size();
    wchar_t path[wide_path_size];
    if (std::wcspbrk(pattern, L"*?") != nullptr && prefix + 2 <= wide_path_size) {
        std::wmemcpy(path, wide, prefix);
        std::wcscpy(path + prefix, L"*");
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW(path, &entry);
        for (bool more = search != INVALID_HANDLE_VALUE; more;
             more = FindNextFileW(search, &entry)) {
            const wchar_t* found = entry.cFileName;
            bool dots = std::wcscmp(found, L".") == 0 || std::wcscmp(found, L"..") == 0;
            if (dots || (found[0] == L'.' && pattern[0] != L'.') || !matches(pattern, found) ||
                prefix + std::wcslen(found) >= wide_path_size)
                continue;
            std::wcscpy(path + prefix, found);
            add_match(path, names);
        }
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
    }
    if (names.size() == first) names.push_back({narrow, true});
    std::sort(names.begin() + static_cast<std::ptrdiff_t>(first), names.end(),
              [](const FileName& a, const FileName& b) { return a.name < b.name; });
}

} // namespace

// An argument is as typed when the wide one in its place converts to it
// exactly; then it is expanded from its wide form. Where the two vectors
// differ in length, places cannot be matched and no argument counts as
// typed.
std::vector<FileName> file_names(int count, char** argv, int first) {
    WideArguments wide = wide_arguments();
    std::vector<FileName> names;
    for (int i = first; i < count; i++) {
        if (wide.count == count && converts_exactly(wide.values[i], argv[i]))
            expand(wide.values[i], argv[i], names);
        else
            names.push_back({argv[i], false});
    }
    return names;
}

} // namespace platform
