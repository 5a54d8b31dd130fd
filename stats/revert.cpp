#include "stats/revert.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

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
void report_refusal(const ShownNames& shown, const Stream& v2, const Stream& v1, Match match,
                    const Finding& finding) {
    const char* name = shown.file;
    if (v2.get() != nullptr && std::ferror(v2.get()))
        report_error("%s: cannot read %s: %s; not reverted\n", name, name,
                     reason(finding.error).text);
    else if (v1.get() != nullptr && std::ferror(v1.get()))
        report_error("%s: cannot read %s: %s; not reverted\n", name, shown.old_file,
                     reason(finding.error).text);
    else if (match == Match::differs)
        report_error("%s has changed since it was converted (%s); not reverted\n", name,
                     finding.text);
    else
        report_error("%s: %s; not reverted\n", name, finding.text);
}

// Refuses, with its diagnostic, when NAME has other names: reverted, they
// would go on naming the version 2 data.
int has_one_name(const Stream& in, const ShownNames& shown) {
    platform::Facts facts;
    if (!platform::facts_of(in.get(), facts)) {
        report_error("%s: cannot tell its names: %s; not reverted\n", shown.file,
                     reason(errno).text);
        return 0;
    }
    if (facts.links == 1) return 1;
    if (facts.links == 0) { // moved away, or saved over, since it was opened
        report_error("%s: it was removed or replaced meanwhile; not reverted\n", shown.file);
        return 0;
    }
    report_error("%s: it has other names (hard links), which would go on naming the version 2 "
                 "data; not reverted\n",
                 shown.file);
    return 0;
}

// Refuses, with its diagnostic, a NAME.old that is not NAME's: one with
// other names, which would go on naming the data put back under NAME, or
// one that another user could have put there, who would then own NAME: not
// the caller's own, or, for root, not owned by NAME's owner.
int old_is_its_own(const Stream& in, const Stream& in_old, const ShownNames& shown) {
    platform::Facts facts;
    const char *name = shown.file, *old_name = shown.old_file;
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
    const char *name = names.shown->file, *new_name = names.shown->new_file;
    if (platform::name_is_free(names.directory, names.new_file.last())) return 1;
    if (errno == EEXIST)
        report_error("%s: %s is in the way; not reverted\n", name, new_name);
    else
        report_error("%s: cannot make sure that %s is free: %s; not reverted\n", name, new_name,
                     reason(errno).text);
    return 0;
}

// Whether NAME.new, held on `v2` after the renames, is still exactly the
// conversion of the version 1 file now under NAME, held on `v1`, and no
// program has opened it for writing since it was held. Both are read
// through what is held: on Windows not even this process may open a file
// again that it holds without sharing. The comparison's finding goes in
// `finding`, the revert's one.
int still_derivable(const ShownNames& shown, const Stream& v2, const Stream& v1, Finding& finding) {
    const char *name = shown.file, *new_name = shown.new_file;
    finding = Finding{};
    Match match = Match::v2_unusable;
    if ((v2.get() != nullptr && std::fseek(v2.get(), 0, SEEK_SET) != 0) ||
        (v1.get() != nullptr && std::fseek(v1.get(), 0, SEEK_SET) != 0)) {
        finding.checked = false;
        std::snprintf(finding.text, sizeof finding.text, "cannot read: %s", reason(errno).text);
    } else {
        match = compare_conversion(v2, v1, name, finding);
    }
    if (match == Match::exact && platform::no_writer_since_held(v2.get())) return 1;
    if (match == Match::exact)
        report_error("%s: %s is kept, as another program opened it for writing\n", name, new_name);
    else if (!finding.checked)
        report_error("%s: %s is kept, as it could not be checked against %s (%s)\n", name, new_name,
                     name, finding.text);
    else
        report_error("%s: %s is kept, as it is not exactly the conversion of %s (%s)\n", name,
                     new_name, name, finding.text);
    return 0;
}

// Removes NAME.new, the version 2 file still held as the original, once the
// renames are on storage and it is proven, while held, to hold
// nothing that NAME lacks; otherwise keeps it. `finding` is the revert's.
int remove_version_2(Replacement& replacement, Finding& finding) {
    const Names& names = replacement.names();
    Stream& v2 = replacement.original();
    const char *name = replacement.shown_name(), *new_name = replacement.shown_new();
    if (!replacement.sync()) {
        report_error("%s: cannot sync its directory: %s; %s is kept\n", name, reason(errno).text,
                     new_name);
        return 0;
    }
    if (!still_derivable(*names.shown, v2, replacement.incoming(), finding)) return 0;
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
    bool too_long = false;
    std::unique_ptr<Replacement> held =
        new_replacement(name, " is too long a name to revert\n", too_long);
    if (too_long) return 0;
    if (held == nullptr || !held->begin(name, Role::revert, 0)) {
        report_named(name, ": cannot open: %s; not reverted\n", reason(errno).text);
        return 0;
    }
    Replacement& replacement = *held;
    const ShownNames& shown = *replacement.names().shown;
    Stream &in = replacement.original(), &in_old = replacement.incoming();
    replacement.hold_incoming(); // a failure is told by the comparison
    Finding finding;
    Match match = compare_conversion(in, in_old, shown.old_file, finding);
    if (match != Match::exact) {
        report_refusal(shown, in, in_old, match, finding);
        return 0;
    }
    if (!has_one_name(in, shown) || !old_is_its_own(in, in_old, shown) ||
        !new_name_free(replacement.names()) || !replacement.commit(false))
        return 0;
    // The version 1 file stays held under NAME, so no converter starts on it
    // meanwhile.
    std::int64_t records = finding.records;
    if (!remove_version_2(replacement, finding)) return 0;
    platform::print_text(stdout, "Reverted %s: %" PRId64 " records, version 1 again\n", shown.file,
                         records);
    return 1;
}

} // namespace stats
