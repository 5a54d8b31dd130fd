#include "driver/file_names.h"

#include <algorithm>
#include <cstddef>

#include "platform/command_line.h"
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

// Whether `a` and `b` name the same entry (on Windows, in either case).
bool same_entry(const NativeName& a, const NativeName& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); i++)
        if (!platform::same_letter(a[i], b[i])) return false;
    return true;
}

} // namespace

bool matches_as_meant(const NativeName& pattern, const NativeName& name) {
    if (!platform::patterns_as_cmd) return matches(pattern.c_str(), name.c_str());
    bool plain = name.find('.') == NativeName::npos;
    std::size_t length = pattern.size();
    if (length >= 2 && pattern[length - 2] == '.' && pattern[length - 1] == '*')
        return matches(pattern.c_str(), name.c_str()) ||
               (plain && matches(pattern.substr(0, length - 2).c_str(), name.c_str()));
    if (length >= 1 && pattern[length - 1] == '.')
        return plain && matches(pattern.substr(0, length - 1).c_str(), name.c_str());
    return matches(pattern.c_str(), name.c_str());
}

bool stands_for(const NativeName& entry, const std::vector<NativeName>& entries, NativeName& base) {
    static constexpr NativeChar old_suffix[] = {'.', 'o', 'l', 'd', '\0'};
    static constexpr NativeChar new_suffix[] = {'.', 'n', 'e', 'w', '\0'};
    constexpr std::size_t suffix_length = 4;
    base = entry;
    if (entry.size() <= suffix_length) return true;
    NativeName suffix = entry.substr(entry.size() - suffix_length);
    bool old_one = same_entry(suffix, old_suffix);
    if (!old_one && !same_entry(suffix, new_suffix)) return true;
    NativeName name = entry.substr(0, entry.size() - suffix_length);
    NativeName partner = name + (old_one ? new_suffix : old_suffix);
    auto present = [&](const NativeName& wanted) {
        return std::any_of(entries.begin(), entries.end(),
                           [&](const NativeName& other) { return same_entry(other, wanted); });
    };
    if (present(name)) return false;
    if (present(partner)) base = name;
    return true;
}

namespace {

// Appends to `names` the files that `argument` stands for: where its last
// part holds '*' or '?', what the entries of its directory that match it
// stand for (a name beginning with a dot only where the pattern does too),
// sorted, each once; otherwise, or where nothing matches, the argument
// itself.
void expand(const platform::Argument& argument, std::vector<FileName>& names) {
    std::size_t first = names.size();
    std::size_t at = platform::last_part_at(argument.native);
    NativeName prefix = argument.native.substr(0, at);
    NativeName pattern = argument.native.substr(at);
    bool wild = pattern.find_first_of(NativeName{'*', '?'}) != NativeName::npos;
    std::vector<NativeName> entries =
        wild ? platform::directory_entries(prefix) : std::vector<NativeName>{};
    for (const NativeName& entry : entries) {
        FileName name;
        NativeName base;
        if ((entry[0] != '.' || pattern[0] == '.') && matches_as_meant(pattern, entry) &&
            stands_for(entry, entries, base) &&
            platform::to_program_name(prefix + base, name.name, name.as_typed))
            names.push_back(name);
    }
    if (names.size() == first) names.push_back({argument.name, true});
    auto from = names.begin() + static_cast<std::ptrdiff_t>(first);
    std::sort(from, names.end(),
              [](const FileName& a, const FileName& b) { return a.name < b.name; });
    names.erase(std::unique(from, names.end(),
                            [](const FileName& a, const FileName& b) { return a.name == b.name; }),
                names.end());
}

} // namespace

std::vector<FileName> file_names(int count, char** argv, int first) {
    return expand_names(platform::arguments(count, argv, first));
}

std::vector<FileName> expand_names(const std::vector<platform::Argument>& arguments) {
    std::vector<FileName> names;
    for (const platform::Argument& argument : arguments) {
        if (argument.as_typed)
            expand(argument, names);
        else
            names.push_back({argument.name, false});
    }
    return names;
}

} // namespace driver
