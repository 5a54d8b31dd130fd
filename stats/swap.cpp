#include "stats/swap.h"

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "stats/names.h"
#include "stats/report.h"
#include "stats/shown_name.h"

namespace stats {
namespace {

// Forms `name` as the directory part of `file` followed by `last` and
// `suffix`; 0 (ENAMETOOLONG) where that does not fit.
int form_name(Name& name, const Name& file, const char* last, const char* suffix) {
    std::size_t last_length = std::strlen(last), suffix_length = std::strlen(suffix);
    if (file.last_at + last_length + suffix_length >= sizeof name.path) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::memmove(name.path, file.path, file.last_at);
    std::memmove(name.path + file.last_at, last, last_length);
    std::memcpy(name.path + file.last_at + last_length, suffix, suffix_length + 1);
    name.last_at = file.last_at;
    return 1;
}

// Forms NAME from the directory part of NAME and `last`, then NAME.old and
// NAME.new from it.
int form_names(Names& names, const char* last) {
    char own[name_buffer_size];
    if (std::strlen(last) >= sizeof own) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::strcpy(own, last);
    return form_name(names.file, names.file, own, "") &&
           std::strlen(names.file.path) <= max_name_length &&
           form_name(names.old_file, names.file, own, ".old") &&
           form_name(names.new_file, names.file, own, ".new");
}

// Whether `where` names the file that was read, its data as it was when
// `read` was taken, and, while it is held on `held` (null where it was let
// go), no other program has opened it for writing since. `moved`: `where`
// is the name it was just renamed to, which changed its change time.
int still_as_read(const Names& names, const AsRead& read, const Name& where, bool moved) {
    platform::Stamp now;
    unsigned long long access = 0;
    int same = platform::stamp_of_name(names.directory, where.last(), now) &&
               now.volume == read.stamp.volume && now.index == read.stamp.index &&
               now.size == read.stamp.size && now.modified == read.stamp.modified &&
               (moved || now.changed == read.stamp.changed) &&
               (read.held == nullptr || platform::no_writer_since_held(read.held));
    if (!same || !moved) return same;
    // Moved, its change time tells nothing: its single name, and who may
    // use it, are compared themselves, through the held file where it is
    // still held.
    return now.links == 1 &&
           (read.held != nullptr
                ? platform::access_of(read.held, access)
                : platform::access_of_name(names.directory, where.last(), access)) &&
           access == read.access;
}

// Undoes the first rename of a swap; a failure is named on a line of its own.
void move_back(const Names& names, const Name& aside) {
    ShownName from, to;
    if (!platform::rename_no_replace(names.directory, aside.last(), names.file.last()))
        report_error("Cannot rename %s to %s\n", shown(aside.path, from), shown(names.given, to));
}

} // namespace

int hold_names(Names& names, const char* name) {
    names.given = name;
    if (std::strlen(name) > max_name_length) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::strcpy(names.file.path, name);
    return platform::hold_directory_of(name, names.directory, &names.file.last_at) &&
           form_names(names, name + names.file.last_at);
}

int take_own_spelling(Names& names, std::FILE* held) {
    char own[name_buffer_size];
    return platform::own_name(held, names.directory, names.file.last(), own, sizeof own) &&
           form_names(names, own);
}

int swap_names(const Names& names, const Name& aside, const Name& incoming, const AsRead* read) {
    ShownName shown_name, first, second;
    const char* name = shown(names.given, shown_name);
    if (read != nullptr && !still_as_read(names, *read, names.file, false)) {
        report_error("%s changed while it was converted; the copy is kept as %s\n", name,
                     shown(incoming.path, second));
        return 0;
    }
    if (!platform::rename_no_replace(names.directory, names.file.last(), aside.last())) {
        report_error("Cannot rename %s to %s\n", name, shown(aside.path, second));
        return 0;
    }
    if (read != nullptr && !still_as_read(names, *read, aside, true)) {
        move_back(names, aside);
        report_error("%s changed while it was converted; the copy is kept as %s\n", name,
                     shown(incoming.path, second));
        return 0;
    }
    if (!platform::rename_no_replace(names.directory, incoming.last(), names.file.last())) {
        report_error("Cannot rename %s to %s\n", shown(incoming.path, first), name);
        move_back(names, aside);
        return 0;
    }
    return 1;
}

int sync_names(const Names& names) {
    return platform::sync_directory(names.directory);
}

} // namespace stats
