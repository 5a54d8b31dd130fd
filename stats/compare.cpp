#include "stats/compare.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "stats/layout.h"
#include "stats/report.h"
#include "stats/shown_name.h"
#include "stats/stream.h"

namespace stats {

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

namespace {

// Writes the finding's words, as printf does, and returns `match`.
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
    return found(finding, match, "%s%s%s: %s", what, *name != '\0' ? " " : "", name,
                 reason(error).text);
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
                         reason(finding.error).text);
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

Match compare_conversion(const Stream& v2, const Stream& v1, const char* v1_shown,
                         Finding& finding) {
    const char* v1_name = v1_shown;
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
    Header expected, have_header;
    long long v1_size = 0;
    if (!platform::file_size(v1, &v1_size) || std::fread(&expected, sizeof expected, 1, v1) != 1 ||
        size > version_2_length(whole_records(v1_size)))
        return false;
    upgrade_header(expected);
    Header finished = expected;
    store_file_length(finished,
                      static_cast<std::uint32_t>(version_2_length(whole_records(v1_size))));
    auto part = static_cast<std::size_t>(size < header_size ? size : header_size);
    if (std::fread(&have_header, 1, part, copy) != part ||
        (std::memcmp(&have_header, &expected, part) != 0 &&
         std::memcmp(&have_header, &finished, part) != 0))
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

Leftover judge_unreadable_leftover(const platform::Facts& facts) {
    return facts.unfinished && facts.regular && facts.links == 1 && facts.owned_by_caller
               ? Leftover::unfinished
               : Leftover::not_ours;
}

Leftover judge_leftover(const Stream& copy, const char* copy_shown, const Stream& v1) {
    platform::Facts facts;
    if (copy.get() == nullptr || v1.get() == nullptr) return Leftover::differs;
    if (!platform::facts_of(copy.get(), facts)) return Leftover::not_ours;
    bool ours = facts.owned_by_caller ||
                (platform::caller_is_privileged() && platform::same_owner(copy.get(), v1.get()));
    if (!facts.regular || facts.links != 1 || !ours) return Leftover::not_ours;
    if (facts.unfinished) return Leftover::unfinished; // marked: whatever reached the disk
    if (facts.size == 0) return Leftover::empty;
    Header header;
    if (std::fseek(v1.get(), 0, SEEK_SET) != 0 || std::fseek(copy.get(), 0, SEEK_SET) != 0)
        return Leftover::differs;
    if (std::fread(&header, sizeof header, 1, copy.get()) == 1 &&
        whole_version_2(header, facts.size)) {
        Finding finding;
        return std::fseek(copy.get(), 0, SEEK_SET) == 0 &&
                       compare_conversion(copy, v1, copy_shown, finding) == Match::exact
                   ? Leftover::whole
                   : Leftover::differs;
    }
    return std::fseek(copy.get(), 0, SEEK_SET) == 0 &&
                   begins_conversion(copy.get(), facts.size, v1.get())
               ? Leftover::unfinished
               : Leftover::differs;
}

} // namespace stats
