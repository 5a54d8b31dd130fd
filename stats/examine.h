// Examination of statistics files for the operator: what a file is, whether
// it is consistent, and whether a converted file holds exactly the data of
// the version 1 file kept beside it. Each function prints one line about the
// file to standard output and reads with fixed memory, a record at a time.
#pragma once

namespace stats {

// Prints NAME's version, record count and state:
//   NAME: version 1, N records[, T trailing bytes (a conversion drops them)]
//   NAME: version 2, N records, L bytes, header length agrees
//   NAME: version 2, damaged: ...        (length and header disagree)
//   NAME: NOT a statistics file | too short for a header | cannot open
// and, for a missing NAME beside a version 1 NAME.old and a whole version 2
// NAME.new, that a conversion was cut off between its two renames, with the
// command that completes it. Returns 1 when NAME is a readable statistics
// file in a consistent state (trailing bytes are only a warning), else 0.
int describe_file(const char* name);

// Checks a converted NAME against NAME.old under the conversion's mapping:
// header bytes other than `version` and `file_length` equal, the same number
// of whole records, `file_length` right, and in every record `lead_word` and
// both blocks equal and `added_a` and `added_b` zero. Prints
//   NAME: verified N records against NAME.old
// or the first difference (the header field, or the record counting from 1
// and its field). Returns 1 when verified, else 0.
int verify_file(const char* name);

} // namespace stats
