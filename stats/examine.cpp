#include "stats/examine.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "stats/layout.h"
#include "stats/names.h"
#include "stats/shown_name.h"
#include "stats/stream.h"
#include "stats/swap.h"

namespace stats {

const char* reason(int error) {
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EBUSY:
        return "in use by another program";
    case EINVAL:
        return "not a regular file";
    case ELOOP:
        return "a symbolic link";
    default:
        return std::strerror(error);
    }
}

namespace {

enum class State { cannot_open, cannot_read, too_short, not_statistics, version_1, version_2 };

// Reads the header and size of the file open on `in`; `error` tells why
// where it could not be opened or read.
State read_state(const Stream& in, Header& header, long long& size, int& error) {
    error = in.error();
    if (in.get() == nullptr) return State::cannot_open;
    if (!platform::file_size(in.get(), &size)) {
        error = errno;
        return State::cannot_read;
    }
    if (std::fread(&header, sizeof header, 1, in.get()) != 1) {
        error = errno;
        return std::ferror(in.get()) ? State::cannot_read : State::too_short;
    }
    switch (classify_header(header)) {
    case HeaderKind::not_statistics:
        return State::not_statistics;
    case HeaderKind::version_2:
        return State::version_2;
    case HeaderKind::version_1:
        break;
    }
    return State::version_1;
}

[[gnu::format(printf, 3, 4)]] Match found(Finding& finding, Match match, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(finding.text, sizeof finding.text, format, args);
    va_end(args);
    return match;
}

// What a comparison says where a file could not be opened or read: no
// comparison was made.
Match not_checked(Finding& finding, Match match, int error, const char* what, const char* name) {
    finding.checked = false;
    finding.error = error;
    return found(finding, match, "%s%s%s: %s", what, *name != '\0' ? " " : "", name, reason(error));
}

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
    print_named(stdout, name, ": %s: %s\n", what, reason(error));
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
    return platform::open_read(names.directory, name.last());
}

// The state of `name`, a version 1 file, or of whatever is there.
State state_of(const Names& names, const Name& name) {
    Stream in(open_in(names, name));
    Header header;
    long long size = 0;
    int error = 0;
    return read_state(in, header, size, error);
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
    if (in_old.get() == nullptr || in_new.get() == nullptr)
        return cannot("cannot open", name, error);
    Finding finding;
    ShownName shown_name, shown_old, shown_new;
    const char *n = shown(name, shown_name), *o = shown(old_name, shown_old),
               *w = shown(new_name, shown_new);
    bool command = command_safe(name) && command_safe(old_name) && command_safe(new_name);
    switch (compare_conversion(in_new, in_old, old_name, finding)) {
    case Match::exact:
        print_names("%s: missing; a conversion or a revert was cut off between its two renames "
                    "(%s is version 1, %s is its exact conversion); complete the conversion ",
                    n, o, w);
        print_rename(new_name, name, command);
        std::fputs(", or the revert ", stdout);
        print_rename(old_name, name, command);
        if (!command)
            std::fputs(", by hand (cmd expands % in a command, even within quotes)", stdout);
        std::putchar('\n');
        return 0;
    case Match::differs:
        print_names("%s: missing; %s is version 1, but %s is not its exact conversion (%s)\n", n, o,
                    w, finding.text);
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
    ShownName shown_name, shown_old, shown_new;
    const char *n = shown(name, shown_name), *o = shown(old_name, shown_old),
               *w = shown(new_name, shown_new);
    if (is_exact_conversion(names, names.new_file, names.file)) {
        print_names("%s: version 1, and %s is another name of it: a revert was cut off while "
                    "moving it back (%s is the exact conversion); finish it with: ",
                    n, o, w);
        print_remove(old_name, new_name);
    } else {
        print_names("%s: version 1, and %s is another name of it: a conversion was cut off while "
                    "moving it aside; running statconv on it again finishes it\n",
                    n, o);
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
    std::putchar('\n');
    return 1;
}

// Whether `name`, a version 2 file, is NAME.new beside a version 1 NAME:
// the copy a conversion of NAME builds, NAME formed in `base`.
bool is_copy_of_version_1(const Names& names, Name& base) {
    return strip_name(names.file, ".new", base) && state_of(names, base) == State::version_1;
}

// Describes NAME.new, open on `in`, beside a version 1 NAME (`base`), by
// the rule statconv follows, unless it is the exact conversion: unfinished,
// as a cut-off run leaves it (which statconv takes over), a copy that
// statconv will not take over, or one that differs (which it leaves alone).
// Returns -1 for the exact conversion, which is described as any version 2
// file is.
int describe_copy(const Stream& in, const Names& names, const Name& base, const Header& header,
                  long long size) {
    const char* name = names.given;
    Stream v1(open_in(names, base));
    switch (judge_leftover(in, name, v1)) {
    case Leftover::whole:
        return -1;
    case Leftover::empty:
    case Leftover::unfinished:
        print_named(stdout, name,
                    ": an unfinished copy, cut off while it was being built; running statconv "
                    "on the version 1 file again builds it afresh\n");
        return 0;
    case Leftover::not_ours:
        print_named(stdout, name,
                    ": a copy that statconv will not take over, as it has other names or "
                    "another owner; statconv leaves it alone\n");
        return 0;
    case Leftover::differs:
        break;
    }
    Finding finding;
    ShownName shown_base;
    if (!whole_version_2(header, size))
        found(finding, Match::differs, "not a beginning of it");
    else if (std::fseek(in.get(), 0, SEEK_SET) != 0 || std::fseek(v1.get(), 0, SEEK_SET) != 0)
        return cannot("cannot read", name, errno);
    else
        compare_conversion(in, v1, base.path, finding);
    print_named(stdout, name,
                ": a kept copy that differs from the conversion of %s (%s); statconv leaves it "
                "alone, as it may hold data found nowhere else\n",
                shown(base.path, shown_base), finding.text);
    return 0;
}

int describe_version_2(const Stream& in, const Names& names, const Header& header, long long size) {
    std::uint32_t stated = load_file_length(header);
    std::int64_t length = size;
    const char *name = names.given, *new_name = names.new_file.path;
    Name base;
    ShownName shown_new;
    if (platform::same_file(names.directory, names.file.last(), names.new_file.last())) {
        print_named(stdout, name,
                    ": version 2, and %s is another name of it, left by a rename that was cut "
                    "off; remove the extra name with: ",
                    shown(new_name, shown_new));
        print_remove(new_name, nullptr);
        return 0;
    }
    if (is_copy_of_version_1(names, base)) {
        int described = describe_copy(in, names, base, header, size);
        if (described >= 0) return described;
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

// Where each field the conversion carries over lies in the two records.
struct CarriedField {
    const char* name;
    std::size_t v1_offset, v2_offset, size;
};
constexpr CarriedField carried_fields[] = {
    {"lead_word", offsetof(RecordV1, lead_word), offsetof(RecordV2, lead_word), 4},
    {"block_1", offsetof(RecordV1, block_1), offsetof(RecordV2, block_1), 128},
    {"block_2", offsetof(RecordV1, block_2), offsetof(RecordV2, block_2), 128},
};

// The first carried field in which a converted record differs from its
// version 1 record, or null.
const char* carried_difference(const RecordV1& old_record, const RecordV2& new_record) {
    const auto* v1 = reinterpret_cast<const unsigned char*>(&old_record);
    const auto* v2 = reinterpret_cast<const unsigned char*>(&new_record);
    for (const CarriedField& field : carried_fields)
        if (std::memcmp(v1 + field.v1_offset, v2 + field.v2_offset, field.size) != 0)
            return field.name;
    return nullptr;
}

// The first added field of a converted record that is not zero, or null.
const char* nonzero_added_field(const RecordV2& record) {
    const unsigned char zero[2] = {0, 0};
    if (std::memcmp(record.added_a, zero, sizeof zero) != 0) return "added_a";
    if (std::memcmp(record.added_b, zero, sizeof zero) != 0) return "added_b";
    return nullptr;
}

// Compares the records of both files one at a time.
Match compare_records(std::FILE* v2, std::FILE* v1, const char* v1_name, std::int64_t records,
                      Finding& finding) {
    RecordV1 old_record;
    RecordV2 new_record;
    for (std::int64_t r = 1; r <= records; r++) {
        if (std::fread(&new_record, sizeof new_record, 1, v2) != 1 ||
            std::fread(&old_record, sizeof old_record, 1, v1) != 1) {
            finding.checked = false;
            finding.error = std::ferror(v2) || std::ferror(v1) ? errno : EIO;
            return found(finding, Match::differs, "cannot read record %" PRId64 ": %s", r,
                         reason(finding.error));
        }
        if (const char* field = carried_difference(old_record, new_record))
            return found(finding, Match::differs, "record %" PRId64 ", %s differs from %s", r,
                         field, v1_name);
        if (const char* field = nonzero_added_field(new_record))
            return found(finding, Match::differs, "record %" PRId64 ", %s is not zero", r, field);
    }
    finding.records = records;
    return found(finding, Match::exact, "verified %" PRId64 " records against %s", records,
                 v1_name);
}

} // namespace

int missing_original(const char* name, char (&original)[name_buffer_size]) {
    Names names;
    Name partner;
    const char* suffix = nullptr;
    if (!hold_names(names, name)) return 0;
    if (strip_name(names.file, ".new", partner))
        suffix = ".old";
    else if (strip_name(names.file, ".old", partner))
        suffix = ".new";
    else
        return 0;
    std::strcpy(original, partner.path);
    Stream in(open_in(names, partner));
    std::strcat(partner.path, suffix);
    return in.get() == nullptr && in.error() == ENOENT &&
           std::strlen(partner.path) <= max_name_length &&
           !platform::name_is_free(names.directory, partner.last());
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
    return describe_version_2(in, names, header, size);
}

Match compare_conversion(const Stream& v2, const Stream& v1, const char* v1_name,
                         Finding& finding) {
    ShownName room;
    v1_name = shown(v1_name, room); // as the finding names it
    Header new_header, old_header;
    long long new_size = 0, old_size = 0;
    int error = 0;
    switch (read_state(v2, new_header, new_size, error)) {
    case State::cannot_open:
        return not_checked(finding, Match::v2_unusable, error, "cannot open", "");
    case State::cannot_read:
        return not_checked(finding, Match::v2_unusable, error, "cannot read", "");
    case State::version_2:
        break;
    default:
        return found(finding, Match::v2_unusable, "not a version 2 statistics file");
    }
    switch (read_state(v1, old_header, old_size, error)) {
    case State::cannot_open:
        return not_checked(finding, Match::v1_unusable, error, "cannot open", v1_name);
    case State::cannot_read:
        return not_checked(finding, Match::v1_unusable, error, "cannot read", v1_name);
    case State::version_1:
        break;
    default:
        return found(finding, Match::v1_unusable, "%s is not a version 1 statistics file", v1_name);
    }
    std::int64_t records = version_2_records(new_size), old_records = whole_records(old_size);
    if (!whole_version_2(new_header, new_size))
        return found(finding, Match::differs,
                     "file_length is %" PRIu32 ", the file is %" PRId64 " bytes",
                     load_file_length(new_header), static_cast<std::int64_t>(new_size));
    if (records != old_records)
        return found(finding, Match::differs, "%" PRId64 " records, %s has %" PRId64, records,
                     v1_name, old_records);
    if (std::memcmp(new_header.header_tail, old_header.header_tail,
                    sizeof old_header.header_tail) != 0)
        return found(finding, Match::differs, "header_tail differs from %s", v1_name);
    return compare_records(v2.get(), v1.get(), v1_name, records, finding);
}

bool begins_conversion(std::FILE* copy, long long size, std::FILE* v1) {
    Header expected, found;
    long long v1_size = 0;
    if (!platform::file_size(v1, &v1_size) || std::fread(&expected, sizeof expected, 1, v1) != 1 ||
        size > version_2_length(whole_records(v1_size)))
        return false;
    upgrade_header(expected);
    Header finished = expected;
    store_file_length(finished,
                      static_cast<std::uint32_t>(version_2_length(whole_records(v1_size))));
    auto part = static_cast<std::size_t>(size < header_size ? size : header_size);
    if (std::fread(&found, 1, part, copy) != part ||
        (std::memcmp(&found, &expected, part) != 0 && std::memcmp(&found, &finished, part) != 0))
        return false;
    RecordV1 old_record;
    RecordV2 want, have;
    for (long long left = size - header_size; left > 0; left -= v2_record_size) {
        part = static_cast<std::size_t>(left < v2_record_size ? left : v2_record_size);
        if (std::fread(&old_record, sizeof old_record, 1, v1) != 1 ||
            std::fread(&have, 1, part, copy) != part)
            return false;
        upgrade_record(old_record, want);
        if (std::memcmp(&have, &want, part) != 0) return false;
    }
    return true;
}

Leftover judge_leftover(const Stream& copy, const char* copy_name, const Stream& v1) {
    platform::Facts facts;
    if (copy.get() == nullptr || v1.get() == nullptr) return Leftover::differs;
    if (!platform::facts_of(copy.get(), facts)) return Leftover::not_ours;
    bool ours = facts.owned_by_caller ||
                (platform::caller_is_privileged() && platform::same_owner(copy.get(), v1.get()));
    if (!facts.regular || facts.links != 1 || !ours) return Leftover::not_ours;
    if (facts.size == 0) return Leftover::empty;
    Header header;
    if (std::fseek(v1.get(), 0, SEEK_SET) != 0 || std::fseek(copy.get(), 0, SEEK_SET) != 0)
        return Leftover::differs;
    if (std::fread(&header, sizeof header, 1, copy.get()) == 1 &&
        whole_version_2(header, facts.size)) {
        Finding finding;
        return std::fseek(copy.get(), 0, SEEK_SET) == 0 &&
                       compare_conversion(copy, v1, copy_name, finding) == Match::exact
                   ? Leftover::whole
                   : Leftover::differs;
    }
    return std::fseek(copy.get(), 0, SEEK_SET) == 0 &&
                   begins_conversion(copy.get(), facts.size, v1.get())
               ? Leftover::unfinished
               : Leftover::differs;
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

} // namespace stats
