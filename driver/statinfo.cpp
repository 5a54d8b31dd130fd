// statinfo: tells the operator what statistics files hold, before and after
// a conversion.
//
//   statinfo FILE...            one line per file: version, records, state
//   statinfo --verify FILE...   checks each converted FILE against FILE.old
//
// Exit status 0 when every file is consistent (or verified), 1 otherwise,
// 2 for a usage error: the ordinary convention, unlike statconv's.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/file_names.h"
#include "driver/statinfo_report.h"
#include "platform/platform.h"
#include "stats/shown_name.h"
#include "version.h"

namespace {

constexpr const char* usage_text =
    "usage: statinfo [--verify] FILE...\n"
    "Reports the version, record count and state of each statistics file.\n"
    "  --verify    check each converted FILE against FILE.old, record by record\n"
    "  -h, --help  show this help\n"
    "  --version   show the version\n"
    "  --          end of options: every argument after it is a file name\n"
    "A FILE holding * or ? in its last part, which the shell passed on, is expanded\n"
    "to the matching names, sorted.\n"
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

int usage_error(const char* problem, const char* argument) {
    std::fprintf(stderr, "statinfo: %s%s\n%s", problem, argument, usage_text);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    platform::prepare_process();
    bool verifying = false;
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; first++) {
        if (std::strcmp(argv[first], "--") == 0) {
            first++;
            break;
        }
        if (std::strcmp(argv[first], "--help") == 0 || std::strcmp(argv[first], "-h") == 0) {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (std::strcmp(argv[first], "--version") == 0) {
            std::fputs("statinfo " STATCONV_FILE_VERSION "\n", stdout);
            return 0;
        }
        if (std::strcmp(argv[first], "--verify") != 0)
            return usage_error("unknown option ", argv[first]);
        verifying = true;
    }
    if (first == argc) return usage_error("no file given", "");
    int all_good = 1;
    std::vector<std::string> described;
    for (const driver::FileName& file : driver::file_names(argc, argv, first))
        all_good &= check_file(file, verifying, described);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("statinfo: cannot write the report\n", stderr);
        return 1;
    }
    return all_good ? 0 : 1;
}
