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
#include "stats/stream.h"

namespace stats {
namespace {

enum class State { cannot_open, too_short, not_statistics, version_1, version_2 };

// Reads the header and size of the file open on `in` (null if it did not open).
State read_state(std::FILE* in, Header& header, long long& size) {
    if (in == nullptr || !platform::file_size(in, &size)) return State::cannot_open;
    if (std::fread(&header, sizeof header, 1, in) != 1) return State::too_short;
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

// Writes part of the report, as printf does: through the platform, so that
// the names in it reach a console as they are.
[[gnu::format(printf, 1, 2)]] int print_names(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    int written = platform::vprint_text(stdout, format, args);
    va_end(args);
    return written;
}

int cannot_open(const char* name) {
    print_names("%s: cannot open\n", name);
    return 0;
}

// Whether `name` is NAME.new beside a version 1 NAME: the copy a conversion
// of NAME builds.
bool is_copy_of_version_1(const char* name) {
    char base[name_buffer_size];
    if (!strip_suffix(base, name, ".new")) return false;
    Stream in(platform::open_read(base));
    Header header;
    long long size = 0;
    return read_state(in.get(), header, size) == State::version_1;
}

// Prints the advice to rename `from` to `to`: the command, or, where a name
// would not reach the command as it is, the two names in words.
void print_rename(const char* from, const char* to, bool command) {
    if (command)
        print_names("with: %s ", platform::rename_command);
    else
        std::fputs("by renaming ", stdout);
    platform::print_quoted(stdout, from);
    std::fputs(command ? " " : " to ", stdout);
    platform::print_quoted(stdout, to);
}

// A NAME that does not exist may be a conversion or a revert cut off between
// its two renames: NAME.old holding the version 1 data, NAME.new the
// version 2 data. Either rename completes one of them, and the commands are
// given only when NAME.new is exactly the conversion of NAME.old; otherwise
// what is wrong is said, and no advice.
int describe_missing(const char* name) {
    char old_name[name_buffer_size], new_name[name_buffer_size];
    if (!derive_names(old_name, new_name, name)) return cannot_open(name);
    Stream in_old(platform::open_read(old_name));
    Stream in_new(platform::open_read(new_name));
    if (in_old.get() == nullptr || in_new.get() == nullptr) return cannot_open(name);
    Finding finding;
    bool command = platform::command_safe(name) && platform::command_safe(old_name) &&
                   platform::command_safe(new_name);
    switch (compare_conversion(in_new.get(), in_old.get(), old_name, finding)) {
    case Match::exact:
        print_names("%s: missing; a conversion or a revert was cut off between its two renames "
                    "(%s is version 1, %s is its exact conversion); complete the conversion ",
                    name, old_name, new_name);
        print_rename(new_name, name, command);
        std::fputs(", or the revert ", stdout);
        print_rename(old_name, name, command);
        if (!command)
            std::fputs(", by hand (cmd expands % in a command, even within quotes)", stdout);
        std::putchar('\n');
        return 0;
    case Match::differs:
        print_names("%s: missing; %s is version 1, but %s is not its exact conversion (%s)\n", name,
                    old_name, new_name, finding.text);
        return 0;
    default:
        return cannot_open(name);
    }
}

// Whether the version 2 file `v2_name` is exactly the conversion of the
// version 1 file `v1_name`.
bool is_exact_conversion(const char* v2_name, const char* v1_name) {
    Stream v2(platform::open_read(v2_name));
    Stream v1(platform::open_read(v1_name));
    Finding finding;
    return compare_conversion(v2.get(), v1.get(), v1_name, finding) == Match::exact;
}

// Prints the command that removes the extra names `first` and, unless null,
// `second`, and ends the line.
void print_remove(const char* first, const char* second) {
    std::fputs("rm -- ", stdout);
    platform::print_quoted(stdout, first);
    if (second != nullptr) {
        std::putchar(' ');
        platform::print_quoted(stdout, second);
    }
    std::putchar('\n');
}

// A rename cut off between its link and its unlink (where the file system
// has no non-replacing rename) leaves a file under two names. Beside a
// version 1 NAME, NAME.old is then a second name: a conversion cut off while
// moving NAME aside, or, where NAME.new is the exact conversion, a revert
// cut off while moving NAME.old back.
int describe_second_name(const char* name) {
    char old_name[name_buffer_size], new_name[name_buffer_size];
    if (!derive_names(old_name, new_name, name) || !platform::same_file(name, old_name)) return 0;
    if (is_exact_conversion(new_name, name)) {
        print_names("%s: version 1, and %s is another name of it: a revert was cut off while "
                    "moving it back (%s is the exact conversion); finish it with: ",
                    name, old_name, new_name);
        print_remove(old_name, new_name);
    } else {
        print_names("%s: version 1, and %s is another name of it: a conversion was cut off while "
                    "moving it aside; running statconv on it again finishes it\n",
                    name, old_name);
    }
    return 1;
}

int describe_version_1(const char* name, long long size) {
    if (describe_second_name(name)) return 0;
    std::int64_t records = whole_records(size);
    std::int64_t trailing = size - header_size - v1_record_size * records;
    print_names("%s: version 1, %" PRId64 " records", name, records);
    if (trailing > 0)
        print_names(", %" PRId64 " trailing bytes (a conversion drops them)", trailing);
    if (records > max_records) print_names(", too large to convert");
    std::putchar('\n');
    return 1;
}

int describe_version_2(const char* name, const Header& header, long long size) {
    std::uint32_t stated = load_file_length(header);
    std::int64_t length = size;
    char new_name[name_buffer_size];
    if (derive_name(new_name, name, ".new") && platform::same_file(name, new_name)) {
        print_names("%s: version 2, and %s is another name of it, left by a rename that was cut "
                    "off; remove the extra name with: ",
                    name, new_name);
        print_remove(new_name, nullptr);
        return 0;
    }
    if (!whole_version_2(header, size) && is_copy_of_version_1(name)) {
        print_names("%s: an unfinished copy, cut off while it was being built; running statconv "
                    "on the version 1 file again builds it afresh\n",
                    name);
        return 0;
    }
    if ((size - header_size) % v2_record_size != 0) {
        print_names("%s: version 2, damaged: %" PRId64 " bytes is not 32 + 264 x records, header "
                    "says %" PRIu32 "\n",
                    name, length, stated);
        return 0;
    }
    if (stated != size) {
        print_names("%s: version 2, damaged: %" PRId64 " bytes, header says %" PRIu32 "\n", name,
                    length, stated);
        return 0;
    }
    print_names("%s: version 2, %" PRId64 " records, %" PRId64 " bytes, header length agrees\n",
                name, static_cast<std::int64_t>(version_2_records(size)), length);
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
            std::fread(&old_record, sizeof old_record, 1, v1) != 1)
            return found(finding, Match::differs, "cannot read record %" PRId64, r);
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
    if (!strip_suffix(original, name, ".new") && !strip_suffix(original, name, ".old")) return 0;
    Stream in(platform::open_read(original));
    return in.get() == nullptr && errno == ENOENT;
}

int describe_file(const char* name) {
    Header header;
    long long size = 0;
    Stream in(platform::open_read(name));
    bool missing = in.get() == nullptr && errno == ENOENT;
    switch (read_state(in.get(), header, size)) {
    case State::cannot_open:
        return missing ? describe_missing(name) : cannot_open(name);
    case State::too_short:
        print_names("%s: too short for a header\n", name);
        return 0;
    case State::not_statistics:
        print_names("%s: NOT a statistics file\n", name);
        return 0;
    case State::version_1:
        return describe_version_1(name, size);
    case State::version_2:
        break;
    }
    return describe_version_2(name, header, size);
}

Match compare_conversion(std::FILE* v2, std::FILE* v1, const char* v1_name, Finding& finding) {
    Header new_header, old_header;
    long long new_size = 0, old_size = 0;
    switch (read_state(v2, new_header, new_size)) {
    case State::cannot_open:
        return found(finding, Match::v2_unusable, "cannot open");
    case State::version_2:
        break;
    default:
        return found(finding, Match::v2_unusable, "not a version 2 statistics file");
    }
    switch (read_state(v1, old_header, old_size)) {
    case State::cannot_open:
        return found(finding, Match::v1_unusable, "cannot open %s", v1_name);
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
    return compare_records(v2, v1, v1_name, records, finding);
}

int verify_file(const char* name) {
    char old_name[name_buffer_size];
    if (!derive_name(old_name, name, ".old")) {
        print_names("%s: cannot open\n", name);
        return 0;
    }
    Stream in_new(platform::open_read(name));
    Stream in_old(platform::open_read(old_name));
    Finding finding;
    Match match = compare_conversion(in_new.get(), in_old.get(), old_name, finding);
    print_names("%s: %s\n", name, finding.text);
    return match == Match::exact;
}

} // namespace stats
