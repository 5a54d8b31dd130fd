#include "driver/companion.h"

#include <cstdio>
#include <cstring>

#include "driver/builtin_files.h"
#include "platform/command_line.h"
#include "platform/platform.h"
#include "version.h"

namespace driver {
namespace {

// The part of the help that the companions share, between their own.
constexpr const char* common_help =
    "  -h, --help  show this help (on Windows also /?)\n"
    "  --version   show the version\n"
    "  --          end of options: every argument after it is a file name\n"
    "Options may come before or after the names. A FILE holding * or ? in its last\n"
    "part, which the shell passed on, is expanded to the matching names, sorted,\n"
    "leaving out NAME.old and NAME.new beside a NAME.\n";

void print_help(const Companion& companion, std::FILE* out) {
    std::fputs(companion.usage_text, out);
    std::fputs(common_help, out);
    std::fputs(companion.exit_status, out);
}

bool is_help(const char* argument) {
    return std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0 ||
           (platform::slash_question_is_help && std::strcmp(argument, "/?") == 0);
}

// Whether `argument` is an option, not a name: it begins with a dash and is
// more than one, or it is Windows' "/?".
bool is_option(const char* argument) {
    return (argument[0] == '-' && argument[1] != '\0') || is_help(argument);
}

} // namespace

int read_command_line(const Companion& companion, int count, char** argv, CommandLine& line) {
    std::vector<platform::Argument> names;
    bool options_end = false;
    for (platform::Argument& argument : platform::arguments(count, argv, 1)) {
        const char* text = argument.name.c_str();
        if (options_end || !is_option(text)) {
            names.push_back(std::move(argument));
        } else if (std::strcmp(text, "--") == 0) {
            options_end = true;
        } else if (is_help(text)) {
            print_help(companion, stdout);
            return 0;
        } else if (std::strcmp(text, "--version") == 0) {
            std::printf("%s %s\n", companion.program, STATCONV_FILE_VERSION);
            return 0;
        } else if (companion.flag != nullptr && std::strcmp(text, companion.flag) == 0) {
            line.flag = true;
        } else {
            std::fprintf(stderr, "%s: unknown option ", companion.program);
            platform::print_text(stderr, "%s\n", text);
            print_help(companion, stderr);
            return 2;
        }
    }
    if (names.empty()) {
        for (const char* name : builtin_files)
            line.names.push_back({name, true});
    } else {
        line.names = expand_names(names);
    }
    return -1;
}

} // namespace driver
