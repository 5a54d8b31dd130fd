// How statconv and statrevert announce each file before they work on it.
#pragma once

#include <cstdio>

#include "platform/platform.h"
#include "stats/shown_name.h"

namespace driver {

// Writes "VERB NAME" (`verb` with its space) on standard output, the name
// shown as stats/shown_name.h shows it, and flushes it, so that a combined
// log keeps the announcement before what follows on standard error.
inline void announce(const char* verb, const char* name) {
    platform::print_text(stdout, "%s", verb);
    stats::print_named(stdout, name, "\n");
    std::fflush(stdout);
}

} // namespace driver
