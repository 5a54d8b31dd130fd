// statinfo's report: one line about each file, for the operator, and the
// advice that completes a run that was cut off. It judges by the
// comparison engine (stats/compare.h) and the leftover rule statconv
// follows, so that it never promises what statconv will refuse.
#pragma once

#include "stats/names.h"

namespace driver {

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

// Whether `name` is NAME.new or NAME.old that stands for NAME, formed in
// `original`, which is then the file to describe, since describing it tells
// what became of all three: NAME does not exist, and its partner (NAME.old
// or NAME.new) does; or NAME and NAME.old are one file, as a rename by link
// and unlink cut off between the two leaves them. A NAME.old alone is
// described as itself.
int stands_for_original(const char* name, char (&original)[stats::name_buffer_size]);

// Checks a converted NAME against NAME.old (compare_conversion). Prints
//   NAME: verified N records against NAME.old
// or what stands in the way: the first difference (the header field, or the
// record counting from 1 and its field), or a file that cannot be opened or
// is not of its version. Returns 1 when verified, else 0.
int verify_file(const char* name);

} // namespace driver
