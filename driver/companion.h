// What statinfo and statrevert share: the command line, read the way an
// operator expects of a Unix or Windows tool.
//
//   - Options may stand anywhere among the names; "--" ends them, and every
//     argument after it is a name. "-" alone is a name.
//   - "-h", "--help" (and on Windows "/?") print the program's help on
//     standard output; "--version" its version. Either ends the run, 0.
//   - An unknown option is a usage error: the problem and the help on
//     standard error, exit status 2.
//   - With no names the program takes the built-in list
//     (driver/builtin_files.h); otherwise the names, patterns expanded
//     (driver/file_names.h).
#pragma once

#include <vector>

#include "driver/file_names.h"

namespace driver {

struct Companion {
    const char* program;     // "statinfo"
    const char* usage_text;  // the head of its help: usage, what it does, its own option
    const char* exit_status; // the end of its help, ending in a newline
    const char* flag;        // its one option of its own ("--verify"), or null
};

struct CommandLine {
    std::vector<FileName> names; // in order: as given, expanded, or the built-in list
    bool flag = false;           // the program's own option was given
};

// Reads argv as `companion` takes it into `line`. Returns -1 to go on with
// `line`, else the exit status the run ends with (help, version, usage).
int read_command_line(const Companion& companion, int count, char** argv, CommandLine& line);

} // namespace driver
