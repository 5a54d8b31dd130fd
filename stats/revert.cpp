#include "stats/revert.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "stats/compare.h"
#include "stats/names.h"
#include "stats/replacement.h"
#include "stats/report.h"
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
        report_error("%s: cannot read %s: %s; not reverted\n", n, n, reason(finding.error).text);
    else if (v1.get() != nullptr && std::ferror(v1.get()))
        report_error("%s: cannot read %s: %s; not reverted\n", n, o, reason(finding.error).text);
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
    if (!platform::facts_of(in.get(), facts)) {
        report_error("%s: cannot tell its names: %s; not reverted\n", shown(name, room),
                     reason(errno).text);
        return 0;
    }
    if (facts.links == 1) return 1;
    if (facts.links == 0) { // moved away, or saved over, since it was opened
        report_error("%s: it was removed or replaced meanwhile; not reverted\n", shown(name, room));
        return 0;
    }
    report_error("%s: it has other names (hard links), which would go on naming the version 2 "
                 "data; not reverted\n",
                 shown(name, room));
    return 0;
}

// Refuses, with its diagnostic, a NAME.old that is not NAME's: one with
// other names, which would go on naming the data put back under NAME, or
// one that another user could have put there, who would then own NAME: not
// the caller's own, or, for root, not owned by NAME's owner.
int old_is_its_own(const Stream& in, const Stream& in_old, const Names& names) {
    platform::Facts facts;
    ShownName room, old_room;
    const char *name = shown(names.given, room), *old_name = shown(names.old_file.path, old_room);
    if (!platform::facts_of(in_old.get(), facts)) {
        report_error("%s: cannot tell whose %s is: %s; not reverted\n", name, old_name,
                     reason(errno).text);
        return 0;
    }
    if (facts.links != 1) {
        report_error("%s: %s has other names (hard links), which would go on naming the data put "
                     "back; not reverted\n",
                     name, old_name);
        return 0;
    }
    bool its_own = platform::caller_is_privileged() ? platform::same_owner(in.get(), in_old.get())
                                                    : facts.owned_by_caller;
    if (its_own) return 1;
    report_error("%s: %s belongs to another user, who would then own %s; not reverted\n", name,
                 old_name, name);
    return 0;
}

// Refuses, with its diagnostic, when anything at all has the name NAME.new.
int new_name_free(const Names& names) {
    const char *name = names.given, *new_name = names.new_file.path;
    if (platform::name_is_free(names.directory, names.new_file.last())) return 1;
    ShownName room, new_room;
    if (errno == EEXIST)
        report_error("%s: %s is in the way; not reverted\n", shown(name, room),
                     shown(new_name, new_room));
    else
        report_error("%s: cannot make sure that %s is free: %s; not reverted\n", shown(name, room),
                     shown(new_name, new_room), reason(errno).text);
    return 0;
}

// Whether NAME.new, held on `v2` after the renames, is still exactly the
// conversion of the version 1 file now under NAME, held on `v1`, and no
// program has opened it for writing since it was held. Both are read
// through what is held: on Windows not even this process may open a file
// again that it holds without sharing.
int still_derivable(const Names& names, const Stream& v2, const Stream& v1) {
    const char *name = names.given, *new_name = names.new_file.path;
    Finding finding;
    Match match = Match::v2_unusable;
    if ((v2.get() != nullptr && std::fseek(v2.get(), 0, SEEK_SET) != 0) ||
        (v1.get() != nullptr && std::fseek(v1.get(), 0, SEEK_SET) != 0)) {
        finding.checked = false;
        std::snprintf(finding.text, sizeof finding.text, "cannot read: %s", reason(errno).text);
    } else {
        match = compare_conversion(v2, v1, name, finding);
    }
    if (match == Match::exact && platform::no_writer_since_held(v2.get())) return 1;
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

// Removes NAME.new, the version 2 file still held as the original, once the
// renames are on storage and it is proven, while held, to hold
// nothing that NAME lacks; otherwise keeps it.
int remove_version_2(Replacement& replacement) {
    const Names& names = replacement.names();
    Stream& v2 = replacement.original();
    const char *name = replacement.shown_name(), *new_name = replacement.shown_new();
    if (!replacement.sync()) {
        report_error("%s: cannot sync its directory: %s; %s is kept\n", name, reason(errno).text,
                     new_name);
        return 0;
    }
    if (!still_derivable(names, v2, replacement.incoming())) return 0;
    if (!platform::remove_held(v2.get(), names.directory, names.new_file.last())) {
        report_error("Cannot remove %s: %s\n", new_name, reason(errno).text);
        return 0;
    }
    v2.close(); // on Windows the file goes once its handle is closed
    // Only the removal is left to reach storage: a NAME.new that comes back
    // after a power cut is still the exact conversion of NAME.
    if (replacement.sync()) return 1;
    report_error("%s: reverted, but cannot sync its directory: %s; %s may come back after a power "
                 "cut, and may then simply be removed\n",
                 name, reason(errno).text, new_name);
    return 0;
}

} // namespace

int revert_file(const char* name) {
    ShownName room;
    if (std::strlen(name) > max_name_length) {
        print_shown(stderr, name); // longer than a name buffer: shown piece by piece
        report_error(" is too long a name to revert\n");
        return 0;
    }
    Replacement replacement;
    if (!replacement.begin(name, Role::revert, 0)) {
        report_error("%s: cannot open: %s; not reverted\n", shown(name, room), reason(errno).text);
        return 0;
    }
    const Names& names = replacement.names();
    Stream &in = replacement.original(), &in_old = replacement.incoming();
    replacement.hold_incoming(); // a failure is told by the comparison
    Finding finding;
    Match match = compare_conversion(in, in_old, names.old_file.path, finding);
    if (match != Match::exact) {
        report_refusal(name, names.old_file.path, in, in_old, match, finding);
        return 0;
    }
    if (!has_no_other_names(in, name) || !old_is_its_own(in, in_old, names) ||
        !new_name_free(names) || !replacement.commit(false))
        return 0;
    // The version 1 file stays held under NAME, so no converter starts on it
    // meanwhile.
    if (!remove_version_2(replacement)) return 0;
    platform::print_text(stdout, "Reverted %s: %" PRId64 " records, version 1 again\n",
                         shown(name, room), finding.records);
    return 1;
}

} // namespace stats
