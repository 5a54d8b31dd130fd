// The comparison engine: what a statistics file is, whether a version 2
// file is exactly the conversion of a version 1 file, and what a file left
// under NAME.new is to a conversion of NAME. The conversion, the revert and
// statinfo all judge by these functions, which read with fixed memory, a
// record at a time, and print nothing.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "stats/layout.h"
#include "stats/names.h"
#include "stats/stream.h"

namespace stats {

// How a version 2 file stands against the version 1 file it should be the
// conversion of.
enum class Match {
    exact,       // it is exactly that conversion
    v2_unusable, // the version 2 file cannot be read, or is not version 2
    v1_unusable, // the version 1 file cannot be read, or is not version 1
    differs,     // both are what they should be, but the data differs
};

// What a comparison found, in a few words for a message: "verified 4
// records against x.old", "record 3, block_1 differs from x.old",
// "cannot open x.old", ...; and, for an exact match, how many records were
// compared.
// `checked` is false where a file could not be opened or read, so that no
// comparison was made; `error` then says why (an errno value).
struct Finding {
    char text[4 * name_buffer_size + 200] = "";
    std::int64_t records = 0;
    bool checked = true;
    int error = 0;
};

// What a file is, as far as its header and size tell.
enum class State { cannot_open, cannot_read, too_short, not_statistics, version_1, version_2 };

// Reads the header and size of the file open on `in` (which may have failed
// to open); `error` tells why where it could not be opened or read.
State read_state(const Stream& in, Header& header, long long& size, int& error);

// Compares the version 2 file open on `v2` with the version 1 file open on
// `v1` (either may have failed to open), both read from their start, under
// the conversion's mapping: header bytes other than `version` and
// `file_length` equal, the same number of whole records, `file_length`
// right, and in every record `lead_word` and both blocks equal and
// `added_a` and `added_b` zero. Reads a record at a time. The finding names
// the version 1 file `v1_shown`, its name as it is shown (ShownNames).
Match compare_conversion(const Stream& v2, const Stream& v1, const char* v1_shown,
                         Finding& finding);

// Whether the file open on `copy`, of `size` bytes, is a beginning of what
// a conversion of the version 1 file open on `v1` writes: the header with
// "Ver2" and `file_length` either still the version 1 bytes or already the
// final length (the header block may reach the disk before the records),
// then the converted records, the last perhaps in part. Both are read from
// their start, a record at a time.
bool begins_conversion(std::FILE* copy, long long size, std::FILE* v1);

// What a file under NAME.new is to a conversion of NAME: the one rule by
// which statconv takes over a copy that a cut-off run left, and by which
// statinfo tells what statconv will do with it.
enum class Leftover {
    empty,      // nothing in it yet: taken over
    unfinished, // marked as unfinished by its creation (whatever its
                // bytes), or exactly a beginning of the conversion: taken over
    whole,      // exactly the whole conversion: taken over
    differs,    // other data, perhaps found nowhere else: left alone
    not_ours,   // not a regular file with one name, or not the caller's
                // (for root: not NAME's owner's): left alone
};

// Judges the file open on `copy` (its name shown as `copy_shown`) against
// NAME open on `v1`; both are read from their start, each at most once.
Leftover judge_leftover(const Stream& copy, const char* copy_shown, const Stream& v1);

// The same for a copy that the caller may not open for reading, by what the
// system tells of it (`facts`): only a marked copy with one name, the
// caller's own, is unfinished; anything else is not_ours.
Leftover judge_unreadable_leftover(const platform::Facts& facts);

} // namespace stats
