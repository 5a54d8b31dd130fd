// How a file name reaches the operator: in the messages of all three
// programs and in the commands statinfo advises. One rule for every name, so
// that no name can forge a line, move the terminal's cursor or reorder the
// text after it, and so that a pasted command names exactly the file meant.
//
// Linux: a name in which every byte is part of a printable UTF-8 character
// is shown as it is. Any other is shown whole in the shell's $'...' form,
// each byte that is not part of a printable character escaped (\n, \r, \t,
// \e or \xHH; a quote and a backslash as \' and \\): bytes below 0x20 and
// DEL; bytes that are not UTF-8 (a lone 0x9b or 0xff, a sequence cut short,
// an overlong form, a surrogate); and the characters that act rather than
// print: the C1 controls U+0080-U+009F, the line and paragraph separators
// U+2028 and U+2029, and the bidirectional controls U+061C, U+200E, U+200F,
// U+202A-U+202E and U+2066-U+2069.
// Windows: names are in the ANSI code page, cannot hold control characters,
// and cmd knows no $'...'; a control character or DEL is shown as '?'.
//
// Nothing is cut: print_shown writes a name of any length, a piece at a
// time, and shown() is for names that fit a name buffer, whose shown form
// always fits its room.
#pragma once

#include <cstdio>

#include "stats/names.h"

namespace stats {

// Writes `name` to `out` as it is shown, whole, through platform::print_text
// (so that on Windows it reaches a console as it is).
void print_shown(std::FILE* out, const char* name);

// Writes `name` as it is shown, then what `format` makes of the rest, as
// printf does.
[[gnu::format(printf, 3, 4)]] void print_named(std::FILE* out, const char* name, const char* format,
                                               ...);

// Room for the shown form of a name that fits a name buffer: each byte may
// take four, and the quotes three more.
struct ShownName {
    char text[4 * (name_buffer_size - 1) + 4];
};

// `name` as it is shown, for a message's "%s": `name` itself where it is
// shown as it is, else the shown form in `room`. For a name of fewer than
// name_buffer_size bytes (NAME once NAME.new and NAME.old are formed, and
// those two); any longer one is shown as "(a name too long to show)", never
// as part of itself.
const char* shown(const char* name, ShownName& room);

// ---- Advice: the commands an operator types -------------------------------
//
// Every command advised does exactly what it says or nothing, even when it
// is pasted after the files have changed: a rename never replaces a file and
// never moves one into a directory, and a name that a command line would not
// take as it is gets the advice in words instead.
//   Linux:   "mv -T -n --": -T never treats the target as a directory (nor
//            follows a symbolic link made there), -n never replaces it.
//   Windows: "ren SOURCE NEWNAME", which never replaces and never leaves the
//            directory, NEWNAME the last part alone; "del /f", since del
//            alone refuses a read-only file, and /f removes the files named
//            and nothing else. cmd cannot test whether two names are one
//            file, so the advice to remove a second name is in words.
#ifdef _WIN32
inline constexpr const char* rename_command = "ren";
inline constexpr const char* remove_command = "del /f";
inline constexpr bool rename_takes_last_part = true;
inline constexpr bool can_test_same_file = false;
#else
inline constexpr const char* rename_command = "mv -T -n --";
inline constexpr const char* remove_command = "rm --";
inline constexpr bool rename_takes_last_part = false;
inline constexpr bool can_test_same_file = true; // [ A -ef B ]: one file under both names
#endif

// Writes `name` so that the command line takes it as one word naming exactly
// that file.
//   Linux:   as it is where it holds only characters the shell takes
//            literally; in the $'...' form where it is shown so; otherwise
//            in single quotes, each quote in it written as '\''.
//   Windows: in double quotes, which names cannot hold, each '/' written as
//            '\\', which cmd's commands take as a separator in every case.
void print_quoted(std::FILE* out, const char* name);

// Whether `name`, written with print_quoted, reaches a command as it is.
//   Linux:   always.
//   Windows: not when it holds '%' or '!': cmd expands %...% even within
//            quotes, and !...! too where delayed expansion is on (in a batch
//            file after setlocal EnableDelayedExpansion, or under cmd /V:ON).
int command_safe(const char* name);

} // namespace stats
