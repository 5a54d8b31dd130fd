// Diagnostics: what the programs tell the operator on standard error.
#pragma once

namespace stats {

// Formats a diagnostic to standard error, adding nothing of its own, and
// flushes it, so that a combined log keeps each line in its place.
// Returns what the formatting returns.
[[gnu::format(printf, 1, 2)]] int report_error(const char* format, ...);

// Why a file could not be opened or read, from `error` (an errno value), in
// a few words for a message: "No such file or directory", "in use by
// another program", "not a regular file", ...
const char* reason(int error);

} // namespace stats
