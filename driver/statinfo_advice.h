// statinfo's report as it is written: its text, and the advice that ends a
// line, the commands an operator types (stats/shown_name.h says how a name
// is quoted, and why each command does exactly what it says or nothing).
#pragma once

namespace driver {

// Writes part of the report, as printf does: through the platform, so that
// the names in it reach a console as they are.
[[gnu::format(printf, 1, 2)]] int write_report(const char* format, ...);

// Ends advice given in words, for names that would not reach a command as
// they are, with why.
void print_by_hand_reason();

// Prints the advice to rename `from` to `to` (of which `to_last` is the last
// part): the command, or, where a name would not reach the command as it is,
// the two names in words.
void print_rename(const char* from, const char* to, const char* to_last, bool command);

// Prints the advice to remove `first` and, unless null, `second`, and ends
// the line. Where `same_as` is given, `first` is another name of that file,
// and the command removes nothing unless it still is (`same_as` no symbolic
// link made since, which the test would follow to `first`); where the
// command line cannot test that, or a name would not reach it as it is, the
// advice is in words.
void print_remove(const char* first, const char* second, const char* same_as = nullptr);

} // namespace driver
