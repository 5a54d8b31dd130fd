#include "driver/file_names.h"

#include <algorithm>
#include <cstddef>

#include "platform/platform.h"

namespace driver {
namespace {

using platform::NativeChar;
using platform::NativeName;

// Whether `name` matches `pattern`, in which '*' stands for any run of
// characters and '?' for any one; every other character stands for itself.
bool matches(const NativeChar* pattern, const NativeChar* name) {
    const NativeChar* star = nullptr;
    const NativeChar* resume = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || platform::same_letter(*pattern, *name)) {
            pattern++;
            name++;
        } else if (star != nullptr) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        pattern++;
    return *pattern == '\0';
}

// Appends to `names` the files that `argument` stands for: where its last
// part holds '*' or '?', the entries of its directory that match it (a
// name beginning with a dot only where the pattern does too), sorted;
// otherwise, or where nothing matches, the argument itself.
void expand(const platform::Argument& argument, std::vector<FileName>& names) {
    std::size_t first = names.size();
    std::size_t at = platform::last_part_at(argument.native);
    NativeName prefix = argument.native.substr(0, at);
    const NativeChar* pattern = argument.native.c_str() + at;
    bool wild = argument.native.find_first_of(NativeName{'*', '?'}, at) != NativeName::npos;
    for (const NativeName& entry :
         wild ? platform::directory_entries(prefix) : std::vector<NativeName>{}) {
        FileName name;
        if ((entry[0] != '.' || pattern[0] == '.') && matches(pattern, entry.c_str()) &&
            platform::to_program_name(prefix + entry, name.name, name.as_typed))
            names.push_back(name);
    }
    if (names.size() == first) names.push_back({argument.name, true});
    std::sort(names.begin() + static_cast<std::ptrdiff_t>(first), names.end(),
              [](const FileName& a, const FileName& b) { return a.name < b.name; });
}

} // namespace

std::vector<FileName> file_names(int count, char** argv, int first) {
    std::vector<FileName> names;
    for (const platform::Argument& argument : platform::arguments(count, argv, first)) {
        if (argument.as_typed)
            expand(argument, names);
        else
            names.push_back({argument.name, false});
    }
    return names;
}

} // namespace driver
