#include "stats/revert.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "stats/convert.h"
#include "stats/examine.h"
#include "stats/names.h"
#include "stats/stream.h"

namespace stats {
namespace {

// Says, for a comparison of NAME (on `v2`) with NAME.old (on `v1`) that was
// not exact, why NAME is not reverted. A read error is told apart from the
// difference it would otherwise look like.
void report_refusal(const char* name, const char* old_name, std::FILE* v2, std::FILE* v1,
                    Match match, const Finding& finding) {
    if (v2 != nullptr && std::ferror(v2))
        report_error("%s: cannot read %s; not reverted\n", name, name);
    else if (v1 != nullptr && std::ferror(v1))
        report_error("%s: cannot read %s; not reverted\n", name, old_name);
    else if (match == Match::differs)
        report_error("%s has changed since it was converted (%s); not reverted\n", name,
                     finding.text);
    else
        report_error("%s: %s; not reverted\n", name, finding.text);
}

// Refuses, with its diagnostic, when anything at all has the name NAME.new.
int new_name_free(const char* name, const char* new_name) {
    if (platform::name_is_free(new_name)) return 1;
    if (errno == EEXIST)
        report_error("%s: %s is in the way; not reverted\n", name, new_name);
    else
        report_error("%s: cannot make sure that %s is free; not reverted\n", name, new_name);
    return 0;
}

// Whether NAME.new, after the renames, is still exactly the conversion of
// the version 1 file now under NAME. Reads without taking the lock: on
// Linux this process still holds NAME, and a second lock of its own would
// be refused.
// `v2` is a closed stream whose room serves for NAME.new.
int still_derivable(const char* name, const char* new_name, Stream& v2) {
    v2.reset(platform::open_read(new_name));
    Stream v1(platform::open_read(name));
    Finding finding;
    Match match = compare_conversion(v2.get(), v1.get(), name, finding);
    v2.close(); // let go of NAME.new, which Windows cannot remove while it is open
    if (match == Match::exact) return 1;
    report_error("%s: %s is kept, as it is not exactly the conversion of %s (%s)\n", name, new_name,
                 name, finding.text);
    return 0;
}

// Removes NAME.new once the renames are on storage and it is proven to hold
// nothing that NAME lacks; otherwise keeps it.
int remove_version_2(const char* name, const char* new_name, Stream& spare) {
    if (!platform::sync_directory_of(name)) {
        report_error("%s: cannot sync its directory; %s is kept\n", name, new_name);
        return 0;
    }
    if (!still_derivable(name, new_name, spare)) return 0;
    if (!platform::remove_file(new_name)) {
        report_error("Cannot remove %s\n", new_name);
        return 0;
    }
    // Only the removal is left to reach storage: a NAME.new that comes back
    // after a power cut is still the exact conversion of NAME.
    platform::sync_directory_of(name);
    return 1;
}

} // namespace

int revert_file(const char* name) {
    char old_name[name_buffer_size];
    char new_name[name_buffer_size];
    if (!derive_names(old_name, new_name, name)) {
        report_error("%s is too long a name to revert\n", name);
        return 0;
    }

    Stream in(platform::open_exclusive_read(name));
    Stream in_old(platform::open_exclusive_read(old_name));
    Finding finding;
    Match match = compare_conversion(in.get(), in_old.get(), old_name, finding);
    if (match != Match::exact) {
        report_refusal(name, old_name, in.get(), in_old.get(), match, finding);
        return 0;
    }
    if (!new_name_free(name, new_name)) return 0;

    if (!platform::rename_while_open) {
        in.close();
        in_old.close();
    }
    if (!swap_names(name, new_name, old_name)) return 0;
    // The version 2 file is read again by its name, NAME.new, in the room of
    // its held stream; the version 1 file stays held under NAME, so no
    // converter starts on it meanwhile.
    in.close();
    if (!remove_version_2(name, new_name, in)) return 0;
    platform::print_text(stdout, "Reverted %s: %" PRId64 " records, version 1 again\n", name,
                         finding.records);
    return 1;
}

} // namespace stats
