#include "driver/statinfo_report.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "driver/statinfo_advice.h"
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

// The names of `name`, held (hold_names), on the heap: on Windows a held
// directory keeps its path, and a frame could not take two sets of names
// and a finding. Null, with errno, where they cannot be held.
std::unique_ptr<Names> held_names(const char* name) {
    std::unique_ptr<Names> names(new (std::nothrow) Names);
    if (names == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (!hold_names(*names, name)) return nullptr;
    return names;
}

// Opens `name` in the held directory for reading.
std::FILE* open_for_report(const Names& names, const Name& name) {
    return platform::open_read(names.directory, name.last(), true);
}

// The state of `name`, a version 1 file, or of whatever is there.
State state_of(const Names& names, const Name& name) {
    Stream in(open_for_report(names, name));
    Header header;
    long long size = 0;
    int error = 0;
    return read_state(in, header, size, error);
}

// Whether the file that `in` opened, or failed to open, is held by another
// program now: held elsewhere, or (Windows) an open of it was refused for
// that.
bool running_now(const Stream& in) {
    return in.get() != nullptr ? platform::held_elsewhere(in.get()) : in.error() == EBUSY;
}

// Another program holds NAME, or what stands for it, now (a conversion or a
// revert running, or one that locks it or has it open for writing), as
// statconv's own open would find: nothing is to be done but wait.
int describe_running(const char* name) {
    print_named(stdout, name,
                ": in use by another program; statconv would refuse it now; run statinfo again "
                "once that program has let it go\n");
    return 0;
}

// A NAME that does not exist may be a conversion or a revert cut off between
// its two renames: NAME.old holding the version 1 data, NAME.new the
// version 2 data. Either rename completes one of them, and the commands are
// given only when NAME.new is exactly the conversion of NAME.old; otherwise
// what is wrong is said, and no advice.
int describe_missing(const Names& names, int error) {
    const char *name = names.given, *old_name = names.old_file.path,
               *new_name = names.new_file.path;
    Stream in_old(open_for_report(names, names.old_file));
    Stream in_new(open_for_report(names, names.new_file));
    if (running_now(in_old) || running_now(in_new)) return describe_running(name);
    if (in_old.get() == nullptr || in_new.get() == nullptr)
        return cannot("cannot open", name, error);
    Finding finding;
    const ShownNames& shown = *names.shown;
    const char *name_text = shown.file, *old_text = shown.old_file, *new_text = shown.new_file;
    bool command = command_safe(name) && command_safe(old_name) && command_safe(new_name);
    switch (compare_conversion(in_new, in_old, old_text, finding)) {
    case Match::exact:
        write_report("%s: missing; a conversion or a revert was cut off between its two renames "
                     "(%s is version 1, %s is its exact conversion); complete the conversion ",
                     name_text, old_text, new_text);
        print_rename(new_name, name, names.file.last(), command);
        std::fputs(", or the revert ", stdout);
        print_rename(old_name, name, names.file.last(), command);
        if (!command) {
            std::fputs(", by hand", stdout);
            print_by_hand_reason();
        }
        std::putchar('\n');
        return 0;
    case Match::differs:
        write_report("%s: missing; %s is version 1, but %s is not its exact conversion (%s)\n",
                     name_text, old_text, new_text, finding.text);
        return 0;
    default:
        return cannot("cannot open", name, error);
    }
}

// Whether the version 2 file `v2_name` is exactly the conversion of the
// version 1 file `v1_name`.
bool is_exact_conversion(const Names& names, const Name& v2_name, const Name& v1_name) {
    Stream v2(open_for_report(names, v2_name));
    Stream v1(open_for_report(names, v1_name));
    Finding finding; // not shown
    return compare_conversion(v2, v1, "", finding) == Match::exact;
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
    const ShownNames& shown = *names.shown;
    const char *name_text = shown.file, *old_text = shown.old_file, *new_text = shown.new_file;
    if (is_exact_conversion(names, names.new_file, names.file)) {
        write_report("%s: version 1, and %s is another name of it (%s is its exact conversion): a "
                     "conversion was cut off while moving it aside, or a revert while moving it "
                     "back; finish the conversion by running statconv on %s again, or the revert ",
                     name_text, old_text, new_text, name_text);
        print_remove(old_name, new_name, name);
    } else {
        write_report("%s: version 1, and %s is another name of it: a conversion was cut off while "
                     "moving it aside; running statconv on it again finishes it\n",
                     name_text, old_text);
    }
    return 1;
}

// Says, after a version 1 file's line, what would keep statconv from
// converting it here, where the system can be asked beforehand (`facts`
// are those of the file open on `in`). Returns whether it said anything.
bool print_hindrance(const Stream& in, const Names& names, const platform::Facts& facts) {
    if (platform::marked_original_refused && facts.unfinished)
        write_report("; statconv would refuse it: its permissions are those that mark an "
                     "unfinished copy (1000)");
    else if (!platform::can_give_owners_of(names.directory, in.get()))
        write_report("; statconv would refuse it: its owner or group is not one this user may give "
                     "the converted copy");
    else if (platform::fixed_in_place(in.get()))
        write_report("; statconv cannot swap it in: it is immutable or append-only");
    else if (!platform::may_create_in(names.directory))
        write_report("; statconv cannot convert it: its directory is not writable");
    else if (!platform::name_is_free(names.directory, names.old_file.last()) && errno == EEXIST)
        write_report("; statconv cannot swap it in: %s is in the way", names.shown->old_file);
    else
        return false;
    return true;
}

// What NAME.new, beside NAME, the version 1 file open on `v1`, is to a
// conversion of it (judge_leftover). A marked copy that this user may not
// open for reading is judged by what the system tells of it.
Leftover judge_copy(const Names& names, const Stream& v1) {
    Stream in(open_for_report(names, names.new_file));
    platform::Facts facts;
    if (in.get() == nullptr && in.error() == EACCES &&
        platform::facts_of_name(names.directory, names.new_file.last(), facts))
        return judge_unreadable_leftover(facts);
    return judge_leftover(in, names.shown->new_file, v1);
}

// Prints the advice for a version 1 NAME beside its exact conversion under
// NAME.new, a state that a conversion cut off before its renames and a
// revert cut off before removing the copy leave alike, and ends the line.
void print_exact_copy_advice(const Names& names) {
    write_report("a conversion was cut off before its renames, or a revert before removing the "
                 "copy; complete the conversion by running statconv on %s again, or the revert ",
                 names.shown->file);
    print_remove(names.new_file.path, nullptr);
}

// Ends a version 1 NAME's line with what NAME.new beside it is, where there
// is one. Returns 1 where there is none.
int print_copy_state(const Stream& in, const Names& names, bool hindered) {
    const char* new_name = names.new_file.path;
    if (platform::name_is_free(names.directory, names.new_file.last()) || errno != EEXIST) {
        std::putchar('\n');
        return 1;
    }
    const char *name_text = names.shown->file, *new_text = names.shown->new_file;
    Leftover leftover = judge_copy(names, in);
    if (hindered && leftover != Leftover::differs && leftover != Leftover::not_ours) {
        write_report("; %s is the copy of a run that stopped there, which statconv takes over "
                     "once that is mended\n",
                     new_text);
        return 0;
    }
    switch (leftover) {
    case Leftover::whole:
        write_report("; %s is its exact conversion: ", new_text);
        print_exact_copy_advice(names);
        break;
    case Leftover::empty:
    case Leftover::unfinished:
        write_report("; %s is an unfinished copy, cut off while it was being built, which running "
                     "statconv on %s again takes over; abandon it ",
                     new_text, name_text);
        print_remove(new_name, nullptr);
        break;
    case Leftover::differs:
        write_report("; %s differs from its conversion and may hold data found nowhere else: "
                     "statconv leaves it alone, and cannot convert %s until it is moved away\n",
                     new_text, name_text);
        break;
    case Leftover::not_ours:
        write_report("; %s has other names or another owner: statconv leaves it alone, and cannot "
                     "convert %s until it is moved away\n",
                     new_text, name_text);
        break;
    }
    return 0;
}

// Describes `name`, a version 1 NAME.old beside a version 2 NAME (whose
// names are `base`), as the file the conversion of NAME kept, which is
// nothing to convert, and whether statrevert can still go back to it.
int describe_kept_original(const char* name, const Names& base, long long size) {
    print_named(stdout, name,
                ": version 1, %" PRId64 " records: the version 1 file that the conversion of %s ",
                static_cast<std::int64_t>(whole_records(size)), base.shown->file);
    if (is_exact_conversion(base, base.file, base.old_file))
        write_report("kept, the one statrevert goes back to\n");
    else
        write_report("kept; %s has changed since, and statrevert will not go back to it\n",
                     base.shown->file);
    return 1;
}

int describe_version_1(const Stream& in, const Names& names, long long size) {
    const char* name = names.given;
    if (describe_second_name(names)) return 0;
    std::int64_t records = whole_records(size);
    std::int64_t trailing = size - header_size - v1_record_size * records;
    print_named(stdout, name, ": version 1, %" PRId64 " records", records);
    if (trailing > 0)
        write_report(", %" PRId64 " trailing bytes (a conversion drops them)", trailing);
    if (records > max_records) write_report(", too large to convert");
    platform::Facts facts; // all false where the system cannot tell
    (void)platform::facts_of(in.get(), facts);
    if (facts.links > 1)
        write_report(", and %lu other names (hard links): statconv refuses it, as they would go on "
                     "naming the version 1 data",
                     facts.links - 1);
    bool hindered = print_hindrance(in, names, facts);
    return print_copy_state(in, names, hindered);
}

// Whether `names` are those of NAME.new beside a version 1 NAME, or of
// NAME.old beside a version 2 NAME, as `suffix` says: then NAME, formed in
// `base_name`, is held in `base`.
bool is_beside(const Names& names, const char* suffix, State state, Name& base_name,
               std::unique_ptr<Names>& base) {
    if (!strip_name(names.file, suffix, base_name) || state_of(names, base_name) != state)
        return false;
    base = held_names(base_name.path);
    return base != nullptr;
}

// Describes `name`, NAME.new beside a version 1 NAME (whose names are
// `base`), whatever it holds, by the rule statconv follows: the exact
// conversion (left by a cut-off run), unfinished (which statconv takes
// over), a copy that statconv will not take over, or one that differs
// (which it leaves alone).
int describe_copy(const char* name, const Names& base) {
    Stream v1(open_for_report(base, base.file));
    const char* base_text = base.shown->file;
    switch (judge_copy(base, v1)) {
    case Leftover::whole:
        print_named(stdout, name, ": the exact conversion of %s: ", base_text);
        print_exact_copy_advice(base);
        return 0;
    case Leftover::empty:
    case Leftover::unfinished:
        print_named(stdout, name,
                    ": an unfinished copy, cut off while it was being built; running statconv "
                    "on %s again takes it over and builds it afresh; abandon the conversion ",
                    base_text);
        print_remove(base.new_file.path, nullptr);
        return 0;
    case Leftover::not_ours:
        print_named(stdout, name,
                    ": a copy that statconv will not take over, as it has other names or "
                    "another owner; statconv leaves it alone\n");
        return 0;
    case Leftover::differs:
        break;
    }
    Stream in(open_for_report(base, base.new_file));
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
        compare_conversion(in, v1, base_text, finding);
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
    if (platform::same_file(names.directory, names.file.last(), names.new_file.last())) {
        print_named(stdout, name,
                    ": version 2, and %s is another name of it, left by a rename that was cut "
                    "off; remove the extra name ",
                    names.shown->new_file);
        print_remove(new_name, nullptr, name);
        return 0;
    }
    if (!whole_version_2_size(size)) {
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
    std::unique_ptr<Names> held = held_names(name);
    if (held == nullptr) return 0;
    const Names& names = *held;
    Name base, partner;
    const char* suffix = nullptr;
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
    Stream in(open_for_report(names, base));
    if (in.get() == nullptr)
        return in.error() == ENOENT && !platform::name_is_free(names.directory, partner.last());
    // NAME and NAME.old one file: a rename by link and unlink was cut off.
    const Name& old_name = suffix[1] == 'o' ? partner : names.file;
    return platform::same_file(names.directory, base.last(), old_name.last());
}

int describe_file(const char* name) {
    Header header;
    long long size = 0;
    int error = 0;
    std::unique_ptr<Names> held = held_names(name);
    if (held == nullptr) return cannot("cannot open", name, errno);
    Names& names = *held;
    Stream in(open_for_report(names, names.file));
    if (in.get() != nullptr && !take_own_spelling(names, in.get()))
        return cannot("cannot open", name, errno);
    if (running_now(in)) return describe_running(name);
    Name base_name;
    std::unique_ptr<Names> base;
    if (is_beside(names, ".new", State::version_1, base_name, base))
        return describe_copy(name, *base);
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
        if (is_beside(names, ".old", State::version_2, base_name, base))
            return describe_kept_original(name, *base, size);
        return describe_version_1(in, names, size);
    case State::version_2:
        break;
    }
    return describe_version_2(names, header, size);
}

int verify_file(const char* name) {
    std::unique_ptr<Names> held = held_names(name);
    if (held == nullptr) return cannot("cannot open", name, errno);
    Names& names = *held;
    Stream in_new(open_for_report(names, names.file));
    if (in_new.get() != nullptr && !take_own_spelling(names, in_new.get()))
        return cannot("cannot open", name, errno);
    Stream in_old(open_for_report(names, names.old_file));
    Finding finding;
    Match match = compare_conversion(in_new, in_old, names.shown->old_file, finding);
    print_named(stdout, name, ": %s\n", finding.text);
    return match == Match::exact;
}

} // namespace driver
