// statrevert: puts converted statistics files back to version 1, in place,
// when nothing written since the conversion would be lost.
//
// With no file names it reverts the five statistics files of the built-in
// list, below the current directory; otherwise exactly the named files
// (wildcard patterns expanded). Options come first; every argument after
// them, or after "--", is a file name.
//
// Exit status 0 when every file was reverted, 1 otherwise, 2 for a usage
// error: the ordinary convention, like statinfo's and unlike statconv's.
#include <cstdio>
#include <cstring>

#include "driver/builtin_files.h"
#include "driver/file_names.h"
#include "platform/platform.h"
#include "stats/revert.h"
#include "stats/shown_name.h"
#include "version.h"

namespace {

constexpr const char* usage_text =
    "usage: statrevert [FILE...]\n"
    "Puts each converted statistics file back to version 1 from FILE.old, when FILE\n"
    "is still exactly the conversion of FILE.old; with no FILE, the five files of\n"
    "the built-in list (trans/collstat ...).\n"
    "  -h, --help  show this help\n"
    "  --version   show the version\n"
    "  --          end of options: every argument after it is a file name\n"
    "A FILE holding * or ? in its last part, which the shell passed on, is expanded\n"
    "to the matching names, sorted.\n"
    "Exit status: 0 when every file was reverted, 1 otherwise, 2 for a usage error.\n";

// Announces one file and reverts it; 1 when it was reverted. A name that did
// not reach the program as it was typed names another file, and cannot be
// opened as the one meant. Standard output is flushed so that a combined log
// reads in order.
int revert_announced(const char* name, bool as_typed) {
    platform::print_text(stdout, "Reverting ");
    stats::print_named(stdout, name, "\n");
    std::fflush(stdout);
    if (as_typed) return stats::revert_file(name);
    stats::print_named(stderr, name,
                       ": cannot open: the name did not arrive as it was typed; not reverted\n");
    std::fflush(stderr);
    return 0;
}

int usage_error(const char* argument) {
    std::fprintf(stderr, "statrevert: unknown option %s\n%s", argument, usage_text);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    platform::prepare_process();
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; first++) {
        if (std::strcmp(argv[first], "--") == 0) {
            first++;
            break;
        }
        if (std::strcmp(argv[first], "--version") == 0) {
            std::fputs("statrevert " STATCONV_FILE_VERSION "\n", stdout);
            return 0;
        }
        if (std::strcmp(argv[first], "--help") != 0 && std::strcmp(argv[first], "-h") != 0)
            return usage_error(argv[first]);
        std::fputs(usage_text, stdout);
        return 0;
    }
    int all_reverted = 1;
    if (first == argc) {
        for (const char* name : driver::builtin_files)
            all_reverted &= revert_announced(name, true);
    } else {
        for (const driver::FileName& file : driver::file_names(argc, argv, first))
            all_reverted &= revert_announced(file.name.c_str(), file.as_typed);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("statrevert: cannot write the report\n", stderr);
        return 1;
    }
    return all_reverted ? 0 : 1;
}
