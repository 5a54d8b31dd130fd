// Diagnostics: what the programs tell the operator on standard error.
#pragma once

namespace stats {

// Formats a diagnostic to standard error, adding nothing of its own, and
// flushes it, so that a combined log keeps each line in its place.
// Returns what the formatting returns.
[[gnu::format(printf, 1, 2)]] int report_error(const char* format, ...);

// The same, beginning with `name` as it is shown (stats/shown_name.h),
// whole, whatever its length: for a name that has no shown form made yet.
[[gnu::format(printf, 2, 3)]] void report_named(const char* name, const char* format, ...);

// Why a file could not be opened or read, in a few words for a message.
struct Reason {
    char text[512];
};

// The reason for `error` (an errno value from the platform): the system's
// own words ("No such file or directory", on Windows its message for an
// error such as an invalid name), or for what the programs word themselves
// "in use by another program", "not a regular file", "a symbolic link".
// Use it within the statement that prints it: reason(errno).text.
Reason reason(int error);

} // namespace stats
