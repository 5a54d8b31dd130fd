// Examination of statistics files for the operator: what a file is, whether
// it is consistent, and whether a converted file holds exactly the data of
// the version 1 file kept beside it. Each function prints one line about the
// file to standard output and reads with fixed memory, a record at a time.
#pragma once

#include <cstdint>
#include <cstdio>

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

// Why a file could not be opened or read, from `error` (an errno value), in
// a few words for a message: "No such file or directory", "in use by
// another program", "not a regular file", ...
const char* reason(int error);

// Compares the version 2 file open on `v2` with the version 1 file open on
// `v1` (either may have failed to open), both read from their start, under
// the conversion's mapping: header bytes other than `version` and
// `file_length` equal, the same number of whole records, `file_length`
// right, and in every record `lead_word` and both blocks equal and
// `added_a` and `added_b` zero. Reads a record at a time. The finding names
// `v1_name`, which fits a name buffer, as shown().
Match compare_conversion(const Stream& v2, const Stream& v1, const char* v1_name, Finding& finding);

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
    unfinished, // exactly a beginning of the conversion: taken over
    whole,      // exactly the whole conversion: taken over
    differs,    // other data, perhaps found nowhere else: left alone
    not_ours,   // not a regular file with one name, or not the caller's
                // (for root: not NAME's owner's): left alone
};

// Judges the file open on `copy`, under `copy_name`, against NAME open on
// `v1`; both are read from their start, each at most once.
Leftover judge_leftover(const Stream& copy, const char* copy_name, const Stream& v1);

// Names are printed as stats/shown_name.h shows them, so that a name with a
// byte that does not print cannot forge a line or move the cursor.
//
// Prints NAME's version, record count and state:
//   NAME: version 1, N records[, T trailing bytes (a conversion drops them)]
//   NAME: version 2, N records, L bytes, header length agrees
//   NAME: version 2, damaged: ...        (length and header disagree)
//   NAME: NOT a statistics file | too short for a header
//   NAME: cannot open: REASON | cannot read: REASON
// For a missing NAME beside a version 1 NAME.old and a NAME.new that is its
// exact conversion, it says that a conversion or a revert was cut off
// between its two renames, with the command that completes either; beside
// any other NAME.new, what is wrong with it. Beside a version 1 NAME it
// tells a NAME.new that a cut-off run left unfinished (which statconv takes
// over) from a copy that differs from the conversion (one statrevert kept,
// or one written to since, which statconv leaves alone). It names a
// NAME.old that is another name of NAME, and a file with other names, which
// statconv refuses. Returns 1 when NAME is a readable statistics file in a
// consistent state (trailing bytes are only a warning), else 0.
int describe_file(const char* name);

// Whether `name` is NAME.new or NAME.old of a NAME that does not exist,
// beside its partner (NAME.old or NAME.new); then NAME, formed in
// `original`, is the file to describe, since describing it tells what
// became of all three. A NAME.old alone is described as itself.
int missing_original(const char* name, char (&original)[name_buffer_size]);

// Checks a converted NAME against NAME.old (compare_conversion). Prints
//   NAME: verified N records against NAME.old
// or what stands in the way: the first difference (the header field, or the
// record counting from 1 and its field), or a file that cannot be opened or
// is not of its version. Returns 1 when verified, else 0.
int verify_file(const char* name);

} // namespace stats
