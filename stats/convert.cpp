#include "stats/convert.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"
#include "stats/compare.h"
#include "stats/layout.h"
#include "stats/names.h"
#include "stats/replacement.h"
#include "stats/report.h"
#include "stats/shown_name.h"
#include "stats/stream.h"

namespace stats {
namespace {

// Records move in blocks of this many (about 66 KiB of each version), read,
// upgraded and written whole: the record is the unit of the format, the
// block the unit of I/O. Each stream carries its block as its buffer (the
// size is the benchmark's choice: docs/benchmark.md).
constexpr std::size_t block_records = 256;
constexpr std::size_t v1_block_bytes = block_records * sizeof(RecordV1);
constexpr std::size_t v2_block_bytes = block_records * sizeof(RecordV2);

// Every this many blocks (8192 records, about 2 MiB) the copy's data is
// handed to the system to be written out, so that the disk works while
// conversion goes on instead of all at once in the final sync.
constexpr int writeback_blocks = 8192 / block_records;

// Reads and classifies the header of the open input. Refuses, with its
// diagnostic, a short header, a foreign file, a version 2 file, and a file
// whose version 2 copy would be 2 GiB or more: decided from the size up
// front, so that even a huge sparse file is refused at once.
int read_version_1_header(std::FILE* in, const char* name, Header& header) { // name as shown
    if (std::fread(&header, sizeof header, 1, in) != 1) {
        report_error("Cannot read header");
        return 0;
    }
    switch (classify_header(header)) {
    case HeaderKind::not_statistics:
        report_error("%s is NOT a statistics file\n", name);
        return 0;
    case HeaderKind::version_2:
        report_error("%s is already version 2\n", name);
        return 0;
    case HeaderKind::version_1:
        break;
    }
    long long size = 0;
    if (platform::file_size(in, &size) && whole_records(size) > max_records) {
        report_error("%s is too large to convert\n", name);
        return 0;
    }
    return 1;
}

// Whether the file held on `held` as NAME.new is a copy that a cut-off
// conversion of NAME, held on `in`, left (judge_leftover): marked as
// unfinished, empty, exactly a beginning of the conversion, or the whole
// exact conversion, and a regular file with no other names, the caller's
// own (or, for root, who gives its copies to NAME's owner, NAME's owner's).
// Anything else is somebody's data.
int is_leftover(const Stream& held, const char* new_name, const Stream& in) {
    Leftover leftover = judge_leftover(held, new_name, in);
    return leftover == Leftover::empty || leftover == Leftover::unfinished ||
           leftover == Leftover::whole;
}

// Removes a leftover copy at NAME.new, held while it is judged and removed,
// so that nothing can change it in between; one that another program opened
// for writing meanwhile is not removed. A marked copy that the caller may
// not open for reading is judged by what the system tells of it and removed
// while it still is that. Leaves `in` just after its header. Fails,
// touching nothing, for anything that is not a leftover, and succeeds where
// nothing is in the way.
int clear_the_way(const Stream& in, const Names& names) {
    const Name& copy = names.new_file;
    if (platform::name_is_free(names.directory, copy.last())) return 1;
    if (errno != EEXIST) return 0;
    Stream held(platform::open_removable(names.directory, copy.last()));
    int removed = 0;
    if (held.get() != nullptr) {
        removed = is_leftover(held, names.shown->new_file, in) &&
                  platform::no_writer_since_held(held.get()) &&
                  platform::remove_held(held.get(), names.directory, copy.last());
    } else if (errno == EACCES) {
        platform::Facts facts;
        removed = platform::facts_of_name(names.directory, copy.last(), facts) &&
                  judge_unreadable_leftover(facts) == Leftover::unfinished &&
                  platform::remove_unfinished(names.directory, copy.last());
    } else {
        removed = errno == ENOENT; // gone meanwhile
    }
    return std::fseek(in.get(), header_size, SEEK_SET) == 0 && removed;
}

// Room for what became of an abandoned copy: a few words and the reason.
constexpr std::size_t fate_size = 64 + sizeof(Reason::text);

// Removes the copy being built after a failure, and says in `text` what
// became of it, for the end of the line that names the failure. A copy
// that cannot be removed stays under NAME.new, marked, and the next
// conversion takes it over.
const char* abandon(Replacement& replacement, char (&text)[fate_size]) {
    if (replacement.remove_copy()) return "the copy is removed";
    std::snprintf(text, sizeof text, "the copy is kept, as it cannot be removed: %s",
                  reason(errno).text);
    return text;
}

// The same, after a failure whose line (fixed long ago) says nothing of the
// copy: a line of its own, only where the copy is kept.
void report_kept(Replacement& replacement) {
    if (replacement.remove_copy()) return;
    report_error("%s is kept, as it cannot be removed: %s\n", replacement.shown_new(),
                 reason(errno).text);
}

// Streams every whole version 1 record through the upgrade, a block at a
// time, until the end of the input, then hands the last of them to the
// system. The trailing bytes of an incomplete last record are dropped. A
// read error ends the loop as a failure; so do a failed write (of records,
// or of the last buffer of them: a disk that fills there is no different)
// and a file that grew past what the format can hold.
int copy_records(Replacement& replacement, int* count) {
    Stream& in = replacement.original();
    Stream& out = replacement.incoming();
    const char* name = replacement.shown_name();
    const char* new_name = replacement.shown_new();
    auto* v1 = reinterpret_cast<RecordV1*>(in.buffer());
    auto* v2 = reinterpret_cast<RecordV2*>(out.buffer());
    *count = 0;
    int written = 1;
    for (int blocks = 1; written && !std::feof(in.get()); blocks++) {
        std::size_t got = std::fread(v1, sizeof *v1, block_records, in.get());
        if (std::ferror(in.get()) || (got == 0 && !std::feof(in.get()))) {
            report_error("Failed to read record from %s\n", name);
            return 0;
        }
        if (!platform::no_writer_since_held(in.get())) { // a writer that ignores the hold
            char fate[fate_size];
            report_error("%s changed while it was converted; %s\n", name,
                         abandon(replacement, fate));
            return 0;
        }
        if (static_cast<long long>(got) > max_records - *count) {
            report_error("%s is too large to convert\n", name);
            return 0;
        }
        for (std::size_t i = 0; i < got; i++)
            upgrade_record(v1[i], v2[i]);
        written = std::fwrite(v2, sizeof *v2, got, out.get()) == got &&
                  (blocks % writeback_blocks != 0 || platform::start_writeback(out.get()));
        if (written) *count += static_cast<int>(got);
    }
    if (written && std::fflush(out.get()) == 0) return 1;
    report_error("Failed to write new record to %s\n", new_name);
    return 0;
}

// Stores the finished file's length, its position after the last record, in
// the header and rewrites the header at offset 0. A position that cannot be
// taken, or that disagrees with the records written, is a failure.
int finish_header(std::FILE* out, Header& header, int count) {
    long length = std::ftell(out);
    if (length < 0 || length != version_2_length(count)) return 0;
    store_file_length(header, static_cast<std::uint32_t>(length));
    return std::fseek(out, 0, SEEK_SET) == 0 && std::fwrite(&header, sizeof header, 1, out) == 1;
}

// Puts the finished copy on storage, gives it what it must carry of NAME
// (which takes off its mark), and puts that on storage too; then gives it
// its name, NAME.new. A failure is named, with its cause.
int secure_copy(Replacement& replacement) {
    std::FILE* in = replacement.original().get();
    std::FILE* out = replacement.incoming().get();
    const char* copy = replacement.shown_new();
    char fate[fate_size];
    if (!platform::sync_to_storage(out)) {
        int error = errno;
        report_error("Cannot sync %s: %s; %s\n", copy, reason(error).text,
                     abandon(replacement, fate));
        return 0;
    }
    if (!platform::carry_metadata(in, out)) {
        int error = errno;
        report_error("Cannot give %s the owner, group, permissions and attributes of %s: %s; %s\n",
                     copy, replacement.shown_name(), reason(error).text,
                     abandon(replacement, fate));
        return 0;
    }
    if (!platform::sync_to_storage(out)) {
        int error = errno;
        report_error("Cannot sync %s: %s; %s\n", copy, reason(error).text,
                     abandon(replacement, fate));
        return 0;
    }
    if (replacement.name_copy()) return 1;
    int error = errno;
    report_error("Cannot give the copy the name %s: %s; %s\n", copy, reason(error).text,
                 abandon(replacement, fate));
    return 0;
}

// Builds the complete version 2 copy: its data on storage, then what it
// must carry of NAME, then its name NAME.new. On any failure the copy is
// removed again, while the input is still held, and 0 is returned.
int build_copy(Replacement& replacement, Header& header, int* count) {
    Stream& in = replacement.original();
    const Names& names = replacement.names();
    if (!clear_the_way(in, names) || !replacement.create_copy(v2_block_bytes)) {
        report_error("Cannot create %s\n", replacement.shown_new());
        return 0;
    }
    Stream& out = replacement.incoming();
    upgrade_header(header);
    if (std::fwrite(&header, sizeof header, 1, out.get()) != 1) { // silent, as it always was
        report_kept(replacement);
        return 0;
    }
    if (!copy_records(replacement, count)) {
        report_kept(replacement);
        return 0;
    }
    if (!finish_header(out.get(), header, *count)) {
        report_kept(replacement);
        return 0;
    }
    return secure_copy(replacement);
}

} // namespace

namespace {

// Whether NAME, held on `in`, has no other names: converted, a file with
// others would leave them naming the version 1 data. NAME.old as the second
// name is what a rename cut off between its link and its unlink leaves, and
// the swap completes it.
int has_no_other_names(std::FILE* in, const Names& names) {
    platform::Facts facts;
    return platform::facts_of(in, facts) &&
           (facts.links == 1 ||
            (facts.links == 2 &&
             platform::same_file(names.directory, names.file.last(), names.old_file.last())));
}

} // namespace

int convert_file(const char* name) {
    bool too_long = false;
    std::unique_ptr<Replacement> held =
        new_replacement(name, " is too long a name to convert\n", too_long);
    if (too_long) return 0;
    if (held == nullptr || !held->begin(name, Role::convert, v1_block_bytes) ||
        !has_no_other_names(held->original().get(), held->names())) {
        report_error("Cannot open ");
        report_named(name, "\n");
        return 0;
    }
    Replacement& replacement = *held;
    Header header;
    int count = 0;
    if (!read_version_1_header(replacement.original().get(), replacement.shown_name(), header))
        return 0;
    if (!build_copy(replacement, header, &count)) return 0;
    report_error("Converted %d records\n", count);
    if (!replacement.commit(true)) {
        if (replacement.changed())
            report_error("%s changed while it was converted; the copy is kept as %s\n",
                         replacement.shown_name(), replacement.shown_new());
        if (replacement.copy_changed())
            report_error("%s changed before it was swapped in; it is kept\n",
                         replacement.shown_new());
        return 0;
    }
    if (!replacement.sync())
        report_error("Cannot sync the directory of %s: %s; the renames may not survive a power "
                     "cut\n",
                     replacement.shown_name(), reason(errno).text);
    return 1;
}

} // namespace stats
