// statinfo: tells the operator what statistics files hold, before and after
// a conversion.
//
//   statinfo [FILE...]            one line per file: version, records, state
//   statinfo --verify [FILE...]   checks each converted FILE against FILE.old
//
// With no FILE, the five files of the built-in list; options may come
// anywhere (driver/companion.h).
//
// Exit status 0 when every file is consistent (or verified), 1 otherwise,
// 2 for a usage error: the ordinary convention, unlike statconv's.
#include <cstdio>
#include <string>
#include <vector>

#include "driver/companion.h"
#include "driver/statinfo_report.h"
#include "platform/platform.h"
#include "stats/shown_name.h"

namespace {

// The head and the end of the help; the options shared between them are
// driver/companion.cpp's.
constexpr const char* usage_text =
    "usage: statinfo [--verify] [FILE...]\n"
    "Reports the version, record count and state of each statistics file; with no\n"
    "FILE, of the five files of the built-in list (trans/collstat ...).\n"
    "  --verify    check each converted FILE against FILE.old, record by record\n";
constexpr const char* exit_status =
    "Exit status: 0 when every file is consistent (or verified), 1 otherwise,\n"
    "2 for a usage error.\n";

// Describes one file, or verifies it. A NAME.new or NAME.old that stands
// for NAME (driver::stands_for_original) is NAME, described once
// (`described` holds those done): NAME is the one that tells how a run was
// cut off. Returns 1 when all is well with it.
int check_file(const driver::FileName& file, bool verifying, std::vector<std::string>& described) {
    const char* name = file.name.c_str();
    if (!file.as_typed) { // not the file meant: another's name arrived
        stats::print_named(stdout, name,
                           ": cannot open: the name did not arrive as it was typed\n");
        return 0;
    }
    if (verifying) return driver::verify_file(name);
    char original[stats::name_buffer_size];
    if (driver::stands_for_original(name, original)) {
        for (const std::string& done : described)
            if (done == original) return 1;
        described.emplace_back(original);
        name = original;
    }
    return driver::describe_file(name);
}

} // namespace

int main(int argc, char** argv) {
    platform::prepare_process();
    driver::CommandLine line;
    int status = driver::read_command_line({"statinfo", usage_text, exit_status, "--verify"}, argc,
                                           argv, line);
    if (status >= 0) return status;
    int all_good = 1;
    std::vector<std::string> described;
    for (const driver::FileName& file : line.names)
        all_good &= check_file(file, line.flag, described);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("statinfo: cannot write the report\n", stderr);
        return 1;
    }
    return all_good ? 0 : 1;
}
