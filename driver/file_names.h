// The command line as file names: every argument a name, a pattern
// expanded by one rule on every system.
#pragma once

#include <string>
#include <vector>

#include "platform/command_line.h"

namespace driver {

struct FileName {
    std::string name;
    bool as_typed; // false: the name that arrived is not what was typed
};

// The file names that the command-line arguments argv[first] to
// argv[count - 1] stand for, in order, all expanded at once, so that a
// pattern never picks up a file (NAME.old) that work on an earlier name made.
// '*' and '?' in the last part of an argument are wildcards (every other
// character stands for itself, on Windows in either case); the argument
// stands for the matching entries of its directory, sorted, leaving out
//   - a name beginning with a dot, unless the pattern does too;
//   - NAME.old and NAME.new where NAME is also there: the version 1 file a
//     conversion kept, or a copy being built or left by a cut-off run, is
//     never what a pattern means (named alone, it is taken as named);
//     where NAME is missing and both are there, a run was cut off between
//     its two renames, and they stand for NAME, once.
// On Windows, as in cmd, "*.*" matches every name and "*." every name
// without an extension. A pattern that matches nothing is passed on as
// typed. A name that did not arrive as it was typed is passed on, marked
// so, and never expanded.
std::vector<FileName> file_names(int count, char** argv, int first);

// The same for arguments already taken from the command line.
std::vector<FileName> expand_names(const std::vector<platform::Argument>& arguments);

// Whether `name` matches `pattern` (a last part) as the system's own command
// line means it: '*' any run of characters, '?' any one, and on Windows, as
// in cmd, a trailing ".*" also matching a name with no extension and a
// trailing "." only such a name.
bool matches_as_meant(const platform::NativeName& pattern, const platform::NativeName& name);

// What `entry`, a match among the directory's `entries`, stands for, in
// `base`: NAME.old or NAME.new where NAME is also there stands for nothing
// (false); one whose NAME is missing but whose partner is there stands for
// NAME; anything else for itself.
bool stands_for(const platform::NativeName& entry, const std::vector<platform::NativeName>& entries,
                platform::NativeName& base);

} // namespace driver
