// One replacement of a file by another under its own name, held from
// beginning to end, the way a lock file is held until it is committed or
// rolled back. The conversion puts a version 2 copy in the place of NAME
// and keeps NAME as NAME.old; the revert puts NAME.old back in the place of
// NAME and moves the version 2 file aside to NAME.new.
//
// The calling sequence:
//
//   1. begin(NAME, role) resolves NAME once: the directory it lives in is
//      held for the whole call, and every later step names a file by its
//      last part there (platform.h). NAME is opened and held for exclusive
//      use, with what was read of it (its stamp: which file, its size and
//      times; who may use it), and the names NAME.old and NAME.new are
//      formed from the directory's own spelling of NAME.
//
//   2. The file that is to come in is held:
//      conversion: create_copy() makes the copy, unnamed or marked as
//        unfinished (platform::create_copy); the caller writes it, puts it
//        on storage and gives it what it carries of NAME, which takes the
//        mark off; name_copy() then gives it the name NAME.new and puts the
//        name on storage.
//      revert: hold_incoming() holds NAME.old.
//
//   3. commit() checks that NAME is still the file read, as it was read;
//      renames NAME to the name aside (NAME.old, or for a revert NAME.new)
//      and puts that on storage; checks that the file moved aside is still
//      the one read; renames the incoming file to NAME. Both renames go
//      through the held files, and neither ever replaces a file. The caller
//      puts the second rename on storage with sync().
//
//   4. Whatever was not committed is rolled back when the object goes (or
//      by roll_back()): a copy still being built is removed; a file moved
//      aside is moved back, so that NAME is never left missing; a finished
//      copy under NAME.new stays, for the next conversion to take over.
//
// The invariant, at every moment and whatever stops the run: the complete
// version 1 data is under NAME or NAME.old; a name appears only for data
// that is complete and on storage, or for a marked copy (which a later
// conversion takes over, whatever its bytes); and each step is on storage
// before the step that depends on it is made.
//
// What a run cut off at any moment leaves, what statinfo calls it, and what
// completes it:
//
//   NAME only (version 1)       cut off while the copy was built (an unnamed
//                               copy leaves nothing): convert again
//   NAME, NAME.new unfinished   cut off while the copy was built, under its
//   (marked, empty, or a        name (a file system without unnamed files):
//   beginning of the copy)      converting again takes it over
//   NAME (version 1), NAME.new  a conversion cut off before its renames, or
//   its exact conversion        a revert cut off before removing the copy:
//                               convert again, or remove NAME.new
//   NAME.old, NAME.new (its     cut off between the two renames: renaming
//   exact conversion), no NAME  NAME.new to NAME completes the conversion,
//                               NAME.old to NAME the revert
//   NAME and NAME.old one file  a rename by link and unlink cut off between
//   (version 1), NAME.new its   the two, in a conversion (converting again
//   exact conversion            finishes it) or in a revert (removing the
//                               names NAME.old and NAME.new finishes it)
//   NAME and NAME.new one file  the same, in a revert's first rename:
//   (version 2), NAME.old       removing the name NAME.new undoes it
//   NAME (version 2), NAME.old  converted, or a revert cut off before its
//                               renames
//   any of these, held now      a conversion or revert running now, or
//                               another program at the file: nothing
//                               to do but wait for it
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

#include "platform/platform.h"
#include "stats/names.h"
#include "stats/shown_name.h"
#include "stats/stream.h"

namespace stats {

// A name in the held directory: whole, as the operator is told it (the
// directory part as given, then the last part), and where its last part,
// the name within the directory, begins.
struct Name {
    char path[name_buffer_size] = "";
    std::size_t last_at = 0;
    const char* last() const { return path + last_at; }
};

// How NAME as given, NAME.old and NAME.new are shown (stats/shown_name.h),
// made once with them. Each may take four times the bytes of its name, so
// it is kept on the heap, not in a frame.
struct ShownNames {
    ShownName file_room, old_room, new_room;
    const char *file = "", *old_file = "", *new_file = "";
};

// NAME as given, its directory, held, the three names in it, and how they
// are shown.
struct Names {
    const char* given = nullptr;
    platform::Directory directory;
    Name file, old_file, new_file;
    std::unique_ptr<ShownNames> shown;
};

// Holds NAME's directory and forms the three names from NAME as given, and
// their shown forms. Fails (ENAMETOOLONG) where NAME is too long for
// NAME.new and NAME.old, (ENOMEM) where there is no room for the shown
// forms, or with the reason the directory cannot be held.
int hold_names(Names& names, const char* name);

// Forms the three names again from the directory's own spelling of the
// last part of NAME, held on `held`.
int take_own_spelling(Names& names, std::FILE* held);

// Which way the replacement goes: what comes in under NAME, and where NAME
// goes aside.
enum class Role {
    convert, // a copy comes in from NAME.new; NAME goes to NAME.old
    revert,  // NAME.old comes back; NAME goes to NAME.new
};

class Replacement {
  public:
    Replacement() = default;
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;
    ~Replacement() { roll_back(); }

    // Step 1: holds NAME's directory and NAME (open_removable), with a
    // block buffer of `buffer_bytes` (0: none), and takes what was read of
    // it. Fails, holding nothing, with errno.
    int begin(const char* name, Role role, std::size_t buffer_bytes);

    // Step 2, conversion: makes the copy, with a block buffer of
    // `buffer_bytes`. Fails with errno.
    int create_copy(std::size_t buffer_bytes);
    // Gives the finished copy, on storage, the name NAME.new, and puts the
    // name on storage. Fails with errno, the copy still held.
    int name_copy();
    // Removes the copy being built; 1 when no name of it is left, else 0
    // with errno (the copy is then kept under NAME.new, marked).
    int remove_copy();

    // Step 2, revert: holds NAME.old as the file to come in. Fails with
    // errno.
    int hold_incoming();

    // Step 3. With `check`, NAME must be the file read, as it was read, and
    // opened by no writer since (where the system tells), and the file moved
    // aside must still be it after the first rename, with who may use it
    // unchanged; otherwise nothing is left renamed and changed() tells so.
    // Every other failure is named on standard error ("Cannot rename %s to
    // %s: %s\n", ...); where the second rename fails, the first is undone.
    // Returns 1 once both renames are made; the caller then puts the second
    // on storage (sync()) before anything that depends on it.
    // The copy, too, must still be as it was when it was named: where
    // another program wrote to it, or changed who may use it or its names,
    // nothing is left renamed and copy_changed() tells so.
    int commit(bool check);
    bool changed() const { return changed_; }
    bool copy_changed() const { return copy_changed_; }

    // Step 4, also done on destruction: undoes what was not committed.
    void roll_back();

    // The held directory, the names, and how they are shown.
    const Names& names() const { return names_; }
    const char* shown_name() const { return names_.shown->file; }
    const char* shown_old() const { return names_.shown->old_file; }
    const char* shown_new() const { return names_.shown->new_file; }

    // NAME as held (after commit, the file moved aside), and the file that
    // comes in.
    Stream& original() { return original_; }
    Stream& incoming() { return incoming_; }

    // Puts what was done in the directory on storage; 0 with errno.
    int sync();

  private:
    enum class Step { idle, held, building, ready, moved_aside, committed };

    const Name& aside() const;
    const Name& incoming_name() const;
    const char* shown_aside() const;
    const char* shown_incoming() const;
    int still_as_read(bool moved, bool by_link);
    int copy_as_named();
    int move_back();

    Names names_;
    Role role_ = Role::convert;
    Step step_ = Step::idle;
    bool changed_ = false, copy_changed_ = false;
    Stream original_, incoming_;
    platform::Stamp read_, named_;
    unsigned long long read_access_ = 0, named_access_ = 0;
};

// A replacement for `name`, on the heap (on Windows a held directory keeps
// an 8 KiB path, which would crowd a frame), or null: where `name` is too
// long for NAME.new and NAME.old, after saying so on standard error, NAME
// then `too_long_line` (`too_long` then set), or (ENOMEM) where there is no
// room for it.
std::unique_ptr<Replacement> new_replacement(const char* name, const char* too_long_line,
                                             bool& too_long);

} // namespace stats
