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

#include "platform/platform.h"
#include "stats/examine.h"

namespace {

constexpr const char* usage_text =
    "usage: statinfo [--verify] FILE...\n"
    "Reports the version, record count and state of each statistics file.\n"
    "  --verify  check each converted FILE against FILE.old, record by record\n"
    "  --help    show this help\n"
    "Exit status: 0 when every file is consistent (or verified), 1 otherwise,\n"
    "2 for a usage error.\n";

struct Run {
    int (*check)(const char* name);
    int all_good;
    std::vector<std::string> originals; // missing files described in place of NAME.new or NAME.old
};

// A NAME.new or NAME.old whose NAME is missing stands for NAME, described
// once: a pattern lists only the files that exist, and NAME is the one that
// tells whether a conversion was cut off.
void check_file(const char* name, void* context) {
    Run* run = static_cast<Run*>(context);
    char original[stats::name_buffer_size];
    if (run->check == stats::describe_file && stats::missing_original(name, original)) {
        for (const std::string& done : run->originals)
            if (done == original) return;
        run->originals.emplace_back(original);
        name = original;
    }
    if (!run->check(name)) run->all_good = 0;
}

int usage_error(const char* problem, const char* argument) {
    std::fprintf(stderr, "statinfo: %s%s\n%s", problem, argument, usage_text);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    Run run{stats::describe_file, 1, {}};
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; first++) {
        if (std::strcmp(argv[first], "--") == 0) {
            first++;
            break;
        }
        if (std::strcmp(argv[first], "--help") == 0) {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (std::strcmp(argv[first], "--verify") != 0)
            return usage_error("unknown option ", argv[first]);
        run.check = stats::verify_file;
    }
    if (first == argc) return usage_error("no file given", "");
    platform::for_each_file_name(argc - first, argv + first, check_file, &run);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("statinfo: cannot write the report\n", stderr);
        return 1;
    }
    return run.all_good ? 0 : 1;
}
