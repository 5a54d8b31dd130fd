#include "stats/convert.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "stats/examine.h"
#include "stats/layout.h"
#include "stats/names.h"
#include "stats/stream.h"

namespace stats {
namespace {

// Every this many records (about 2 MiB) the copy's data is handed to the
// system to be written out, so that the disk works while conversion goes on
// instead of all at once in the final sync.
constexpr int writeback_records = 8192;

// Reads and classifies the header of the open input. Refuses, with its
// diagnostic, a short header, a foreign file, a version 2 file, and a file
// whose version 2 copy would be 2 GiB or more: decided from the size up
// front, so that even a huge sparse file is refused at once.
int read_version_1_header(std::FILE* in, const char* name, Header& header) {
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

// Writes one version 2 record and counts it; every writeback_records
// records, hands the data written so far to the system.
int write_record(std::FILE* out, const RecordV2& record, int* count) {
    if (std::fwrite(&record, sizeof record, 1, out) != 1) return 0;
    ++*count;
    return *count % writeback_records != 0 || platform::start_writeback(out);
}

// Streams every whole version 1 record through the upgrade, one at a time,
// until the end of the input, then hands the last of them to the system. The
// trailing bytes of an incomplete last record are dropped. A read error ends
// the loop as a failure; so do a failed write (of a record, or of the last
// buffer of them: a disk that fills there is no different) and a file that
// grew past what the format can hold.
int copy_records(std::FILE* in, std::FILE* out, const char* name, const char* new_name,
                 int* count) {
    RecordV1 old_record;
    RecordV2 new_record;
    *count = 0;
    int written = 1;
    while (written && !std::feof(in)) {
        if (std::fread(&old_record, sizeof old_record, 1, in) != 1) {
            if (!std::ferror(in)) continue;
            report_error("Failed to read record from %s\n", name);
            return 0;
        }
        if (*count == max_records) {
            report_error("%s is too large to convert\n", name);
            return 0;
        }
        upgrade_record(old_record, new_record);
        written = write_record(out, new_record, count);
    }
    if (written && std::fflush(out) == 0) return 1;
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

// Whether a whole version 2 file at `new_name` may be made again: only when
// it is exactly the conversion of NAME, open on `in`, as a finished copy
// whose swap was refused is. One that differs holds data found nowhere else
// (statrevert keeps such a file) and is refused. Anything else at
// `new_name` is left to create_exclusive to judge. `in` is left just after
// the header. Kept out of line, so that its stream's room on the stack is
// free again before the copy's stream takes its own.
[[gnu::noinline]] int whole_copy_is_ours(std::FILE* in, const char* new_name) {
    Stream existing(platform::open_read(new_name));
    Header header;
    long long size = 0;
    if (existing.get() == nullptr || !platform::file_size(existing.get(), &size) ||
        std::fread(&header, sizeof header, 1, existing.get()) != 1 ||
        classify_header(header) != HeaderKind::version_2 || !whole_version_2(header, size))
        return 1;
    Finding finding;
    int same = std::fseek(existing.get(), 0, SEEK_SET) == 0 && std::fseek(in, 0, SEEK_SET) == 0 &&
               compare_conversion(existing.get(), in, new_name, finding) == Match::exact;
    return std::fseek(in, header_size, SEEK_SET) == 0 && same;
}

// Builds the complete version 2 copy under `new_name`, on stable storage and
// closed. On any failure the copy is deleted again, while the input is still
// held, and 0 is returned.
int build_copy(std::FILE* in, Header& header, const char* name, const char* new_name, int* count) {
    Stream out(whole_copy_is_ours(in, new_name) ? platform::create_exclusive(new_name, in)
                                                : nullptr);
    if (out.get() == nullptr) {
        report_error("Cannot create %s\n", new_name);
        return 0;
    }
    upgrade_header(header);
    int built = std::fwrite(&header, sizeof header, 1, out.get()) == 1 &&
                copy_records(in, out.get(), name, new_name, count) &&
                finish_header(out.get(), header, *count) && platform::sync_to_storage(out.get());
    int closed = out.close();
    if (built && closed && platform::carry_read_only(in, new_name)) return 1;
    platform::remove_file(new_name);
    return 0;
}

} // namespace

int swap_names(const char* name, const char* aside, const char* incoming) {
    if (!platform::rename_no_replace(name, aside)) {
        report_error("Cannot rename %s to %s\n", name, aside);
        return 0;
    }
    if (!platform::rename_no_replace(incoming, name)) {
        report_error("Cannot rename %s to %s\n", incoming, name);
        if (!platform::rename_no_replace(aside, name))
            report_error("Cannot rename %s to %s\n", aside, name);
        return 0;
    }
    return 1;
}

namespace {

// Moves the version 1 file aside and the finished copy into its place, and
// makes the renames durable.
int swap_in(const char* name, const char* old_name, const char* new_name) {
    if (!swap_names(name, old_name, new_name)) return 0;
    platform::sync_directory_of(name);
    return 1;
}

} // namespace

int report_error(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    int written = platform::vprint_text(stderr, format, args);
    va_end(args);
    // Standard error may be buffered (msvcrt buffers it when redirected):
    // flushed here, a combined log keeps each diagnostic in its place.
    std::fflush(stderr);
    return written;
}

int convert_file(const char* name) {
    char old_name[name_buffer_size];
    char new_name[name_buffer_size];
    if (!derive_names(old_name, new_name, name)) {
        report_error("%s is too long a name to convert\n", name);
        return 0;
    }

    Stream in(platform::open_exclusive_read(name));
    if (in.get() == nullptr) {
        report_error("Cannot open %s\n", name);
        return 0;
    }
    Header header;
    int count = 0;
    if (!read_version_1_header(in.get(), name, header)) return 0;
    if (!whole_copy_is_ours(in.get(), new_name)) {
        report_error("Cannot create %s\n", new_name);
        return 0;
    }
    if (!build_copy(in.get(), header, name, new_name, &count)) return 0;
    report_error("Converted %d records\n", count);

    if (!platform::rename_while_open) in.close();
    return swap_in(name, old_name, new_name);
}

} // namespace stats
