#include "driver/statinfo_report.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "stats/compare.h"
#include "stats/layout.h"
#include "stats/names.h"
#include "stats/replacement.h"
#include "stats/report.h"
#include "stats/shown_name.h"
#include "stats/stream.h"

namespace driver {

using namespace stats;

namespace {

// Writes part of the report, as printf does: through the platform, so that
// the names in it reach a console as they are.
[[gnu::format(printf, 1, 2)]] int print_names(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    int written = platform::vprint_text(stdout, format, args);
    va_end(args);
    return written;
}

int cannot(const char* what, const char* name, int error) {
    print_named(stdout, name, ": %s: %s\n", what, reason(error).text);
    return 0;
}

// `name` without `suffix`, in the same directory, in `out`; 0 where it
// does not end so, or its last part is nothing but the suffix.
int strip_name(const Name& name, const char* suffix, Name& out) {
    out.last_at = name.last_at;
    return strip_suffix(out.path, name.path, suffix) && out.path[out.last_at] != '\0';
}

// Opens `name` in the held directory for reading.
std::FILE* open_in(const Names& names, const Name& name) {
    return platform::open_read(names.directory, name.last(), true);
}

// The state of `name`, a version 1 file, or of whatever is there.
State state_of(const Names& names, const Name& name) {
    Stream in(open_in(names, name));
    Header header;
    long long size = 0;
    int error = 0;
    return read_state(in, header, size, error);
}

// Whether the file that `in` opened, or failed to open, is held by a
// conversion or revert running now: it is held elsewhere, or (Windows) an
// open of it was refused for that.
bool running_now(const Stream& in) {
    return in.get() != nullptr ? platform::held_elsewhere(in.get()) : in.error() == EBUSY;
}

// A conversion or a revert holds NAME, or what stands for it, now: nothing
// is cut off, and nothing is to be done but wait.
int describe_running(const char* name) {
    print_named(stdout, name,
                ": in use by a conversion or a revert running now; run statinfo again once it "
                "has finished\n");
    return 0;
}

// Prints the advice to rename `from` to `to`: the command, or, where a name
// would not reach the command as it is, the two names in words.
void print_rename(const char* from, const char* to, bool command) {
    if (command)
        print_names("with: %s ", rename_command);
    else
        std::fputs("by renaming ", stdout);
    print_quoted(stdout, from);
    std::fputs(command ? " " : " to ", stdout);
    print_quoted(stdout, to);
}

// A NAME that does not exist may be a conversion or a revert cut off between
// its two renames: NAME.old holding the version 1 data, NAME.new the
// version 2 data. Either rename completes one of them, and the commands are
// given only when NAME.new is exactly the conversion of NAME.old; otherwise
// what is wrong is said, and no advice.
int describe_missing(const Names& names, int error) {
    const char *name = names.given, *old_name = names.old_file.path,
               *new_name = names.new_file.path;
    Stream in_old(open_in(names, names.old_file));
    Stream in_new(open_in(names, names.new_file));
    if (running_now(in_old) || running_now(in_new)) return describe_running(name);
    if (in_old.get() == nullptr || in_new.get() == nullptr)
        return cannot("cannot open", name, error);
    Finding finding;
    ShownName name_room, old_room, new_room;
    const char *name_text = shown(name, name_room), *old_text = shown(old_name, old_room),
               *new_text = shown(new_name, new_room);
    bool command = command_safe(name) && command_safe(old_name) && command_safe(new_name);
    switch (compare_conversion(in_new, in_old, old_name, finding)) {
    case Match::exact:
        print_names("%s: missing; a conversion or a revert was cut off between its two renames "
                    "(%s is version 1, %s is its exact conversion); complete the conversion ",
                    name_text, old_text, new_text);
        print_rename(new_name, name, command);
        std::fputs(", or the revert ", stdout);
        print_rename(old_name, name, command);
        if (!command)
            std::fputs(", by hand (cmd expands % in a command, even within quotes)", stdout);
        std::putchar('\n');
        return 0;
    case Match::differs:
        print_names("%s: missing; %s is version 1, but %s is not its exact conversion (%s)\n",
                    name_text, old_text, new_text, finding.text);
        return 0;
    default:
        return cannot("cannot open", name, error);
    }
}

// Whether the version 2 file `v2_name` is exactly the conversion of the
// version 1 file `v1_name`.
bool is_exact_conversion(const Names& names, const Name& v2_name, const Name& v1_name) {
    Stream v2(open_in(names, v2_name));
    Stream v1(open_in(names, v1_name));
    Finding finding;
    return compare_conversion(v2, v1, v1_name.path, finding) == Match::exact;
}

// Prints the command that removes the extra names `first` and, unless null,
// `second`, and ends the line.
void print_remove(const char* first, const char* second) {
    print_names("%s ", remove_command);
    print_quoted(stdout, first);
    if (second != nullptr) {
        std::putchar(' ');
        print_quoted(stdout, second);
    }
    std::putchar('\n');
}

// A rename cut off between its link and its unlink (where the file system
// has no non-replacing rename) leaves a file under two names. Beside a
// version 1 NAME, NAME.old is then a second name: a conversion cut off while
// moving NAME aside, or, where NAME.new is the exact conversion, a revert
// cut off while moving NAME.old back.
int describe_second_name(const Names& names) {
    const char *name = names.given, *old_name = names.old_file.path,
               *new_name = names.new_file.path;
    if (!platform::same_file(names.directory, names.file.last(), names.old_file.last())) return 0;
    ShownName name_room, old_room, new_room;
    const char *name_text = shown(name, name_room), *old_text = shown(old_name, old_room),
               *new_text = shown(new_name, new_room);
    if (is_exact_conversion(names, names.new_file, names.file)) {
        print_names("%s: version 1, and %s is another name of it (%s is its exact conversion): a "
                    "conversion was cut off while moving it aside, or a revert while moving it "
                    "back; finish the conversion by running statconv on %s again, or the revert "
                    "with: ",
                    name_text, old_text, new_text, name_text);
        print_remove(old_name, new_name);
    } else {
        print_names("%s: version 1, and %s is another name of it: a conversion was cut off while "
                    "moving it aside; running statconv on it again finishes it\n",
                    name_text, old_text);
    }
    return 1;
}

// Says, after a version 1 file's line, what would keep statconv from
// converting it here, where that can be told beforehand.
void print_hindrance(const Stream& in, const Names& names) {
    ShownName room;
    if (!platform::can_give_owners_of(in.get()))
        print_names("; statconv would refuse it: its owner or group is not one this user may give "
                    "the converted copy");
    else if (!platform::may_create_in(names.directory))
        print_names("; statconv cannot convert it: its directory is not writable");
    else if (!platform::name_is_free(names.directory, names.old_file.last()) && errno == EEXIST)
        print_names("; statconv cannot swap it in: %s is in the way",
                    shown(names.old_file.path, room));
}

// What the file at `copy`, beside the version 1 file open on `v1`, is to a
// conversion of it (judge_leftover). A marked copy that this user may not
// open for reading is judged by what the system tells of it.
Leftover judge_copy(const Names& names, const Name& copy, const Stream& v1) {
    Stream in(open_in(names, copy));
    platform::Facts facts;
    if (in.get() == nullptr && in.error() == EACCES &&
        platform::facts_of_name(names.directory, copy.last(), facts))
        return judge_unreadable_leftover(facts);
    return judge_leftover(in, copy.path, v1);
}

// Prints the advice for a version 1 NAME beside its exact conversion under
// NAME.new, a state that a conversion cut off before its renames and a
// revert cut off before removing the copy leave alike, and ends the line.
void print_exact_copy_advice(const char* name, const char* new_name) {
    ShownName room;
    print_names("a conversion was cut off before its renames, or a revert before removing the "
                "copy; complete the conversion by running statconv on %s again, or the revert "
                "with: ",
                shown(name, room));
    print_remove(new_name, nullptr);
}

// Ends a version 1 NAME's line with what NAME.new beside it is, where there
// is one. Returns 1 where there is none.
int print_copy_state(const Stream& in, const Names& names) {
    const char *name = names.given, *new_name = names.new_file.path;
    if (platform::name_is_free(names.directory, names.new_file.last()) || errno != EEXIST) {
        std::putchar('\n');
        return 1;
    }
    ShownName room, new_room;
    const char* new_text = shown(new_name, new_room);
    switch (judge_copy(names, names.new_file, in)) {
    case Leftover::whole:
        print_names("; %s is its exact conversion: ", new_text);
        print_exact_copy_advice(name, new_name);
        break;
    case Leftover::empty:
    case Leftover::unfinished:
        print_names("; %s is an unfinished copy, cut off while it was being built, which running "
                    "statconv on %s again takes over, or which removing abandons: ",
                    new_text, shown(name, room));
        print_remove(new_name, nullptr);
        break;
    case Leftover::differs:
        print_names("; %s differs from its conversion and may hold data found nowhere else: "
                    "statconv leaves it alone, and cannot convert %s until it is moved away\n",
                    new_text, shown(name, room));
        break;
    case Leftover::not_ours:
        print_names("; %s has other names or another owner: statconv leaves it alone, and cannot "
                    "convert %s until it is moved away\n",
                    new_text, shown(name, room));
        break;
    }
    return 0;
}

int describe_version_1(const Stream& in, const Names& names, long long size) {
    const char* name = names.given;
    if (describe_second_name(names)) return 0;
    std::int64_t records = whole_records(size);
    std::int64_t trailing = size - header_size - v1_record_size * records;
    print_named(stdout, name, ": version 1, %" PRId64 " records", records);
    if (trailing > 0)
        print_names(", %" PRId64 " trailing bytes (a conversion drops them)", trailing);
    if (records > max_records) print_names(", too large to convert");
    platform::Facts facts;
    if (platform::facts_of(in.get(), facts) && facts.links > 1)
        print_names(", and %lu other names (hard links): statconv refuses it, as they would go on "
                    "naming the version 1 data",
                    facts.links - 1);
    print_hindrance(in, names);
    return print_copy_state(in, names);
}

// Whether `name` is NAME.new beside a version 1 NAME: the copy a conversion
// of NAME builds, NAME formed in `base`.
bool is_copy_of_version_1(const Names& names, Name& base) {
    return strip_name(names.file, ".new", base) && state_of(names, base) == State::version_1;
}

// Describes NAME.new beside a version 1 NAME (`base`), whatever it holds,
// by the rule statconv follows: the exact conversion (left by a cut-off
// run), unfinished (which statconv takes over), a copy that statconv will
// not take over, or one that differs (which it leaves alone).
int describe_copy(const Names& names, const Name& base) {
    const char* name = names.given;
    Stream v1(open_in(names, base));
    ShownName shown_base;
    const char* base_text = shown(base.path, shown_base);
    switch (judge_copy(names, names.file, v1)) {
    case Leftover::whole:
        print_named(stdout, name, ": the exact conversion of %s: ", base_text);
        print_exact_copy_advice(base.path, name);
        return 0;
    case Leftover::empty:
    case Leftover::unfinished:
        print_named(stdout, name,
                    ": an unfinished copy, cut off while it was being built; running statconv "
                    "on %s again takes it over and builds it afresh, or removing it abandons "
                    "the conversion: ",
                    base_text);
        print_remove(name, nullptr);
        return 0;
    case Leftover::not_ours:
        print_named(stdout, name,
                    ": a copy that statconv will not take over, as it has other names or "
                    "another owner; statconv leaves it alone\n");
        return 0;
    case Leftover::differs:
        break;
    }
    Stream in(open_in(names, names.file));
    Header header;
    long long size = 0;
    int error = 0;
    Finding finding;
    State state = read_state(in, header, size, error);
    if (state == State::cannot_open || state == State::cannot_read)
        return cannot(state == State::cannot_open ? "cannot open" : "cannot read", name, error);
    if (state != State::version_2 || !whole_version_2(header, size))
        std::snprintf(finding.text, sizeof finding.text, "not a beginning of it");
    else if (std::fseek(in.get(), 0, SEEK_SET) != 0 || std::fseek(v1.get(), 0, SEEK_SET) != 0)
        return cannot("cannot read", name, errno);
    else
        compare_conversion(in, v1, base.path, finding);
    print_named(stdout, name,
                ": a kept copy that differs from the conversion of %s (%s); statconv leaves it "
                "alone, as it may hold data found nowhere else\n",
                base_text, finding.text);
    return 0;
}

int describe_version_2(const Names& names, const Header& header, long long size) {
    std::uint32_t stated = load_file_length(header);
    std::int64_t length = size;
    const char *name = names.given, *new_name = names.new_file.path;
    ShownName shown_new;
    if (platform::same_file(names.directory, names.file.last(), names.new_file.last())) {
        print_named(stdout, name,
                    ": version 2, and %s is another name of it, left by a rename that was cut "
                    "off; remove the extra name with: ",
                    shown(new_name, shown_new));
        print_remove(new_name, nullptr);
        return 0;
    }
    if ((size - header_size) % v2_record_size != 0) {
        print_named(stdout, name,
                    ": version 2, damaged: %" PRId64 " bytes is not 32 + 264 x records, header "
                    "says %" PRIu32 "\n",
                    length, stated);
        return 0;
    }
    if (stated != size) {
        print_named(stdout, name,
                    ": version 2, damaged: %" PRId64 " bytes, header says %" PRIu32 "\n", length,
                    stated);
        return 0;
    }
    print_named(stdout, name,
                ": version 2, %" PRId64 " records, %" PRId64 " bytes, header length agrees\n",
                static_cast<std::int64_t>(version_2_records(size)), length);
    return 1;
}

} // namespace

int stands_for_original(const char* name, char (&original)[name_buffer_size]) {
    Names names;
    Name base, partner;
    const char* suffix = nullptr;
    if (!hold_names(names, name)) return 0;
    if (strip_name(names.file, ".new", base))
        suffix = ".old";
    else if (strip_name(names.file, ".old", base))
        suffix = ".new";
    else
        return 0;
    partner = base;
    if (std::strlen(base.path) + 4 > max_name_length) return 0;
    std::strcat(partner.path, suffix);
    std::strcpy(original, base.path);
    Stream in(open_in(names, base));
    if (in.get() == nullptr)
        return in.error() == ENOENT && !platform::name_is_free(names.directory, partner.last());
    // NAME and NAME.old one file: a rename by link and unlink was cut off.
    Name& old_name = suffix[1] == 'o' ? partner : names.file;
    return platform::same_file(names.directory, base.last(), old_name.last());
}

int describe_file(const char* name) {
    Header header;
    long long size = 0;
    int error = 0;
    Names names;
    if (!hold_names(names, name)) return cannot("cannot open", name, errno);
    Stream in(open_in(names, names.file));
    if (in.get() != nullptr && !take_own_spelling(names, in.get()))
        return cannot("cannot open", name, errno);
    if (running_now(in)) return describe_running(name);
    Name base;
    if (is_copy_of_version_1(names, base)) return describe_copy(names, base);
    switch (read_state(in, header, size, error)) {
    case State::cannot_open:
        return error == ENOENT ? describe_missing(names, error)
                               : cannot("cannot open", name, error);
    case State::cannot_read:
        return cannot("cannot read", name, error);
    case State::too_short:
        print_named(stdout, name, ": too short for a header\n");
        return 0;
    case State::not_statistics:
        print_named(stdout, name, ": NOT a statistics file\n");
        return 0;
    case State::version_1:
        return describe_version_1(in, names, size);
    case State::version_2:
        break;
    }
    return describe_version_2(names, header, size);
}

int verify_file(const char* name) {
    Names names;
    if (!hold_names(names, name)) return cannot("cannot open", name, errno);
    Stream in_new(open_in(names, names.file));
    if (in_new.get() != nullptr && !take_own_spelling(names, in_new.get()))
        return cannot("cannot open", name, errno);
    Stream in_old(open_in(names, names.old_file));
    Finding finding;
    Match match = compare_conversion(in_new, in_old, names.old_file.path, finding);
    print_named(stdout, name, ": %s\n", finding.text);
    return match == Match::exact;
}

} // namespace driver
