#include "stats/replacement.h"

#include <cerrno>
#include <cstring>
#include <new>

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
// NAME.new from it, and how the three are shown.
int form_names(Names& names, const char* last) {
    char own[name_buffer_size];
    if (std::strlen(last) >= sizeof own) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::strcpy(own, last);
    if (!form_name(names.file, names.file, own, "") ||
        std::strlen(names.file.path) > max_name_length ||
        !form_name(names.old_file, names.file, own, ".old") ||
        !form_name(names.new_file, names.file, own, ".new"))
        return 0;
    ShownNames& shown_names = *names.shown;
    shown_names.file = shown(names.given, shown_names.file_room);
    shown_names.old_file = shown(names.old_file.path, shown_names.old_room);
    shown_names.new_file = shown(names.new_file.path, shown_names.new_room);
    return 1;
}

// Whether a fingerprint that could not be read tells of no change: the file
// moved aside is unlinked under a name the file system keeps for it, or
// reads its attributes by a name that has gone (FUSE).
bool unreadable_is_no_change(int error) {
#ifdef ESTALE
    if (error == ESTALE) return true;
#endif
    return error == ENOENT;
}

} // namespace

int hold_names(Names& names, const char* name) {
    names.given = name;
    if (std::strlen(name) > max_name_length) {
        errno = ENAMETOOLONG;
        return 0;
    }
    names.shown.reset(new (std::nothrow) ShownNames);
    if (names.shown == nullptr) {
        errno = ENOMEM;
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

int Replacement::begin(const char* name, Role role, std::size_t buffer_bytes) {
    role_ = role;
    if (!hold_names(names_, name) || !original_.open(buffer_bytes, [&] {
            return platform::open_removable(names_.directory, names_.file.last());
        }))
        return 0;
    if (!take_own_spelling(names_, original_.get()) ||
        !platform::stamp_of(original_.get(), read_) ||
        !platform::access_of(original_.get(), read_access_)) {
        original_.close();
        return 0;
    }
    step_ = Step::held;
    return 1;
}

const Name& Replacement::aside() const {
    return role_ == Role::convert ? names_.old_file : names_.new_file;
}

const Name& Replacement::incoming_name() const {
    return role_ == Role::convert ? names_.new_file : names_.old_file;
}

const char* Replacement::shown_aside() const {
    return role_ == Role::convert ? shown_old() : shown_new();
}

const char* Replacement::shown_incoming() const {
    return role_ == Role::convert ? shown_new() : shown_old();
}

int Replacement::create_copy(std::size_t buffer_bytes) {
    if (!incoming_.open(buffer_bytes, [&] {
            return platform::create_copy(names_.directory, names_.new_file.last());
        }))
        return 0;
    step_ = Step::building;
    return 1;
}

int Replacement::name_copy() {
    if (!platform::name_copy(incoming_.get(), names_.directory, names_.new_file.last()) ||
        !sync() || !platform::stamp_of(incoming_.get(), named_) ||
        !platform::access_of(incoming_.get(), named_access_))
        return 0;
    step_ = Step::ready;
    return 1;
}

int Replacement::remove_copy() {
    if (step_ != Step::building) return 1;
    step_ = Step::held;
    int removed = platform::remove_held(incoming_.get(), names_.directory, names_.new_file.last());
    int saved = errno;
    incoming_.close();
    errno = saved;
    return removed;
}

int Replacement::hold_incoming() {
    if (!incoming_.open(
            0, [&] { return platform::open_removable(names_.directory, names_.old_file.last()); }))
        return 0;
    step_ = Step::ready;
    return 1;
}

int Replacement::sync() {
    std::FILE* within = original_.get() != nullptr ? original_.get() : incoming_.get();
    return platform::sync_directory(names_.directory, within);
}

// Whether NAME (or, `moved`, the file just moved aside) is the file that was
// read, its data as it was when it was read, and no other program has opened
// it for writing since. Before the rename NAME's own stamp must match, so
// that a file saved over NAME meanwhile is seen; after it the held file
// itself is judged, since the rename changed its change time: its size,
// modification time, names (unless the rename went by link and unlink, when
// the count was judged in between and may now be stale) and who may use it.
int Replacement::still_as_read(bool moved, bool by_link) {
    platform::Stamp now;
    std::FILE* held = original_.get();
    if (!moved)
        return platform::stamp_of_name(names_.directory, names_.file.last(), now) &&
               now.volume == read_.volume && now.index == read_.index && now.size == read_.size &&
               now.modified == read_.modified && now.changed == read_.changed &&
               platform::no_writer_since_held(held);
    unsigned long long access = read_access_;
    if (!platform::access_of(held, access) && !unreadable_is_no_change(errno)) return 0;
    return platform::stamp_of(held, now) && now.size == read_.size &&
           now.modified == read_.modified && (by_link || now.links == read_.links) &&
           access == read_access_ && platform::no_writer_since_held(held);
}

// Moves the file aside back to NAME, so that NAME is not left missing; the
// platform tries again while another program's brief open stands in the way.
int Replacement::move_back() {
    if (!platform::rename_held(original_.get(), names_.directory, aside().last(),
                               names_.file.last())) {
        report_error("Cannot rename %s to %s: %s\n", shown_aside(), shown_name(),
                     reason(errno).text);
        step_ = Step::ready; // both files whole under their names, as the line says
        return 0;
    }
    step_ = Step::ready;
    if (!sync())
        report_error("Cannot sync the directory of %s: %s; the renames may not survive a power "
                     "cut\n",
                     shown_name(), reason(errno).text);
    return 1;
}

// Whether the copy, held, is as it was when it was named: no other program
// wrote to it, or changed who may use it or its names, since. (On Windows
// no other program can open it at all.)
int Replacement::copy_as_named() {
    platform::Stamp now;
    unsigned long long access = 0;
    return platform::stamp_of(incoming_.get(), now) && now.size == named_.size &&
           now.modified == named_.modified && now.changed == named_.changed &&
           now.links == named_.links && platform::access_of(incoming_.get(), access) &&
           access == named_access_;
}

int Replacement::commit(bool check) {
    changed_ = check && !still_as_read(false, false);
    copy_changed_ = check && !changed_ && !copy_as_named();
    if (changed_ || copy_changed_) return 0;
    bool by_link = false;
    if (!platform::rename_held(original_.get(), names_.directory, names_.file.last(),
                               aside().last(), &by_link)) {
        changed_ = check && errno == EBUSY; // NAME is another file now
        if (!changed_)
            report_error("Cannot rename %s to %s: %s\n", shown_name(), shown_aside(),
                         reason(errno).text);
        return 0;
    }
    step_ = Step::moved_aside;
    if (!sync()) { // the next rename must not reach storage before this one
        report_error("Cannot sync the directory of %s: %s\n", shown_name(), reason(errno).text);
        move_back();
        return 0;
    }
    changed_ = check && !still_as_read(true, by_link);
    copy_changed_ = check && !changed_ && !copy_as_named();
    if (changed_ || copy_changed_) {
        move_back();
        return 0;
    }
    if (!platform::rename_held(incoming_.get(), names_.directory, incoming_name().last(),
                               names_.file.last())) {
        int error = errno;
        copy_changed_ = check && error == EBUSY; // NAME.new is another file now
        if (!copy_changed_)
            report_error("Cannot rename %s to %s: %s\n", shown_incoming(), shown_name(),
                         reason(error).text);
        move_back();
        return 0;
    }
    step_ = Step::committed;
    return 1;
}

void Replacement::roll_back() {
    switch (step_) {
    case Step::building:
        remove_copy();
        break;
    case Step::moved_aside:
        move_back();
        break;
    default:
        break;
    }
}

std::unique_ptr<Replacement> new_replacement(const char* name, const char* too_long_line,
                                             bool& too_long) {
    too_long = std::strlen(name) > max_name_length;
    if (too_long) {
        print_shown(stderr, name); // longer than a name buffer: shown piece by piece
        report_error("%s", too_long_line);
        return nullptr;
    }
    std::unique_ptr<Replacement> replacement(new (std::nothrow) Replacement);
    if (replacement == nullptr) errno = ENOMEM;
    return replacement;
}

} // namespace stats
