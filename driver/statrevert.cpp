// statrevert: puts converted statistics files back to version 1, in place,
// when nothing written since the conversion would be lost.
//
// With no file names it reverts the five statistics files of the built-in
// list, below the current directory; otherwise exactly the named files
// (wildcard patterns expanded). Options may come anywhere
// (driver/companion.h).
//
// Exit status 0 when every file was reverted, 1 otherwise, 2 for a usage
// error: the ordinary convention, like statinfo's and unlike statconv's.
#include <cstdio>

#include "driver/announce.h"
#include "driver/companion.h"
#include "platform/platform.h"
#include "stats/revert.h"
#include "stats/shown_name.h"

namespace {

// The head and the end of the help; the options shared between them are
// driver/companion.cpp's.
constexpr const char* usage_text =
    "usage: statrevert [FILE...]\n"
    "Puts each converted statistics file back to version 1 from FILE.old, when FILE\n"
    "is still exactly the conversion of FILE.old; with no FILE, the five files of\n"
    "the built-in list (trans/collstat ...).\n";
constexpr const char* exit_status =
    "Exit status: 0 when every file was reverted, 1 otherwise, 2 for a usage error.\n";

// Announces one file and reverts it; 1 when it was reverted. A name that did
// not reach the program as it was typed names another file, and cannot be
// opened as the one meant. Standard output is flushed so that a combined log
// reads in order.
int revert_announced(const char* name, bool as_typed) {
    driver::announce("Reverting ", name);
    if (as_typed) return stats::revert_file(name);
    stats::print_named(stderr, name,
                       ": cannot open: the name did not arrive as it was typed; not reverted\n");
    std::fflush(stderr);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    platform::prepare_process();
    driver::CommandLine line;
    int status = driver::read_command_line({"statrevert", usage_text, exit_status, nullptr}, argc,
                                           argv, line);
    if (status >= 0) return status;
    int all_reverted = 1;
    for (const driver::FileName& file : line.names)
        all_reverted &= revert_announced(file.name.c_str(), file.as_typed);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("statrevert: cannot write the report\n", stderr);
        return 1;
    }
    return all_reverted ? 0 : 1;
}
