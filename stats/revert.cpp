#include "stats/revert.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "stats/convert.h"
#include "stats/examine.h"
#include "stats/names.h"
#include "stats/shown_name.h"
#include "stats/stream.h"

namespace stats {
namespace {

// Says, for a comparison of NAME (on `v2`) with NAME.old (on `v1`) that was
// not exact, why NAME is not reverted. A read error is told apart from the
// difference it would otherwise look like.
void report_refusal(const char* name, const char* old_name, const Stream& v2, const Stream& v1,
                    Match match, const Finding& finding) {
    ShownName room, old_room;
    const char *n = shown(name, room), *o = shown(old_name, old_room);
    if (v2.get() != nullptr && std::ferror(v2.get()))
        report_error("%s: cannot read %s: %s; not reverted\n", n, n, reason(finding.error));
    else if (v1.get() != nullptr && std::ferror(v1.get()))
        report_error("%s: cannot read %s: %s; not reverted\n", n, o, reason(finding.error));
    else if (match == Match::differs)
        report_error("%s has changed since it was converted (%s); not reverted\n", n, finding.text);
    else
        report_error("%s: %s; not reverted\n", n, finding.text);
}

// Refuses, with its diagnostic, when NAME has other names: reverted, they
// would go on naming the version 2 data.
int has_no_other_names(const Stream& in, const char* name) {
    platform::Facts facts;
    ShownName room;
    if (!platform::facts_of(in.get(), name, facts)) {
        report_error("%s: cannot tell its names: %s; not reverted\n", shown(name, room),
                     reason(errno));
        return 0;
    }
    if (facts.links == 1) return 1;
    report_error("%s: it has other names (hard links), which would go on naming the version 2 "
                 "data; not reverted\n",
                 shown(name, room));
    return 0;
}

// Refuses, with its diagnostic, when anything at all has the name NAME.new.
int new_name_free(const char* name, const char* new_name) {
    if (platform::name_is_free(new_name)) return 1;
    ShownName room, new_room;
    if (errno == EEXIST)
        report_error("%s: %s is in the way; not reverted\n", shown(name, room),
                     shown(new_name, new_room));
    else
        report_error("%s: cannot make sure that %s is free: %s; not reverted\n", shown(name, room),
                     shown(new_name, new_room), reason(errno));
    return 0;
}

// Whether NAME.new, held on `v2` after the renames, is still exactly the
// conversion of the version 1 file now under NAME, and no program has opened
// it for writing since it was held. NAME is read without taking the lock:
// on Linux this process still holds it, and a second lock of its own would
// be refused.
int still_derivable(const char* name, const char* new_name, const Stream& v2) {
    Stream v1(platform::open_read(name));
    Finding finding;
    Match match = v2.get() != nullptr && std::fseek(v2.get(), 0, SEEK_SET) != 0
                      ? Match::v2_unusable
                      : compare_conversion(v2, v1, name, finding);
    if (match == Match::exact && platform::still_alone(v2.get())) return 1;
    ShownName room, new_room;
    const char *n = shown(name, room), *w = shown(new_name, new_room);
    if (match == Match::exact)
        report_error("%s: %s is kept, as another program opened it for writing\n", n, w);
    else if (!finding.checked)
        report_error("%s: %s is kept, as it could not be checked against %s (%s)\n", n, w, n,
                     finding.text);
    else
        report_error("%s: %s is kept, as it is not exactly the conversion of %s (%s)\n", n, w, n,
                     finding.text);
    return 0;
}

// Removes NAME.new once the renames are on storage and it is proven, while
// held, to hold nothing that NAME lacks; otherwise keeps it. `in` still
// holds it where a held file could be renamed; elsewhere it is held again.
int remove_version_2(const char* name, const char* new_name, Stream& in) {
    ShownName room, new_room;
    const char *n = shown(name, room), *w = shown(new_name, new_room);
    if (!platform::sync_directory_of(name)) {
        report_error("%s: cannot sync its directory: %s; %s is kept\n", n, reason(errno), w);
        return 0;
    }
    Stream held_again(platform::rename_while_open ? nullptr : platform::open_removable(new_name));
    Stream& v2 = platform::rename_while_open ? in : held_again;
    if (!still_derivable(name, new_name, v2)) return 0;
    if (!platform::remove_held(v2.get(), new_name)) {
        report_error("Cannot remove %s: %s\n", w, reason(errno));
        return 0;
    }
    v2.close(); // on Windows the file goes once its handle is closed
    // Only the removal is left to reach storage: a NAME.new that comes back
    // after a power cut is still the exact conversion of NAME.
    if (platform::sync_directory_of(name)) return 1;
    report_error("%s: reverted, but cannot sync its directory: %s; %s may come back after a power "
                 "cut, and may then simply be removed\n",
                 n, reason(errno), w);
    return 0;
}

} // namespace

int revert_file(const char* name) {
    char old_name[name_buffer_size];
    char new_name[name_buffer_size];
    if (!derive_names(old_name, new_name, name)) {
        print_shown(stderr, name); // longer than a name buffer: shown piece by piece
        report_error(" is too long a name to revert\n");
        return 0;
    }

    Stream in(platform::open_removable(name));
    Stream in_old(platform::open_exclusive(old_name));
    Finding finding;
    Match match = compare_conversion(in, in_old, old_name, finding);
    if (match != Match::exact) {
        report_refusal(name, old_name, in, in_old, match, finding);
        return 0;
    }
    if (!has_no_other_names(in, name) || !new_name_free(name, new_name)) return 0;

    if (!platform::rename_while_open) {
        in.close();
        in_old.close();
    }
    if (!swap_names(name, new_name, old_name)) return 0;
    // The version 1 file stays held under NAME, so no converter starts on it
    // meanwhile.
    if (!remove_version_2(name, new_name, in)) return 0;
    ShownName room;
    platform::print_text(stdout, "Reverted %s: %" PRId64 " records, version 1 again\n",
                         shown(name, room), finding.records);
    return 1;
}

} // namespace stats
