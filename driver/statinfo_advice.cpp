#include "driver/statinfo_advice.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"
#include "stats/shown_name.h"

namespace driver {

using namespace stats;

namespace {

// Prints `first` and, unless null, `second`, quoted, joined by `joint`.
void print_pair(const char* first, const char* second, const char* joint) {
    print_quoted(stdout, first);
    if (second == nullptr) return;
    std::fputs(joint, stdout);
    print_quoted(stdout, second);
}

} // namespace

// Writes part of the report, as printf does: through the platform, so that
// the names in it reach a console as they are.
[[gnu::format(printf, 1, 2)]] int write_report(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    int written = platform::vprint_text(stdout, format, args);
    va_end(args);
    return written;
}

// Ends advice given in words, for names that would not reach a command as
// they are, with why.
void print_by_hand_reason() {
    std::fputs(" (cmd expands % and ! in a command, even within quotes)", stdout);
}

// Prints the advice to rename `from` to `to` (of which `to_last` is the last
// part): the command, or, where a name would not reach the command as it is,
// the two names in words.
void print_rename(const char* from, const char* to, const char* to_last, bool command) {
    if (command)
        write_report("with: %s ", rename_command);
    else
        std::fputs("by renaming ", stdout);
    print_quoted(stdout, from);
    std::fputs(command ? " " : " to ", stdout);
    print_quoted(stdout, command && rename_takes_last_part ? to_last : to);
}

// Prints the advice to remove `first` and, unless null, `second`, and ends
// the line. Where `same_as` is given, `first` is another name of that file,
// and the command removes nothing unless it still is (`same_as` no symbolic
// link made since, which the test would follow to `first`); where the
// command line cannot test that, or a name would not reach it as it is, the
// advice is in words.
void print_remove(const char* first, const char* second, const char* same_as) {
    bool safe = command_safe(first) && (second == nullptr || command_safe(second)) &&
                (same_as == nullptr || command_safe(same_as));
    if (safe && same_as == nullptr) {
        write_report("with: %s ", remove_command);
        print_pair(first, second, " ");
    } else if (safe && can_test_same_file) {
        std::fputs("with: [ ! -L ", stdout);
        print_quoted(stdout, same_as);
        std::fputs(" ] && [ ", stdout);
        print_pair(same_as, first, " -ef ");
        write_report(" ] && %s ", remove_command);
        print_pair(first, second, " ");
    } else {
        std::fputs("by removing ", stdout);
        print_pair(first, second, " and ");
        if (same_as != nullptr) {
            std::fputs(", once sure that the first is still another name of ", stdout);
            print_quoted(stdout, same_as);
        } else {
            std::fputs(", by hand", stdout);
        }
        if (!safe) print_by_hand_reason();
    }
    std::putchar('\n');
}

} // namespace driver
