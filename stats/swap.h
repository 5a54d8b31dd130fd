// The names of one conversion or revert, and the steps the two share: a
// file swapped for another under its own name, in the directory it lives
// in, so that no moment of the swap loses the data of either.
//
// The calling sequence, for a conversion (a revert is the same with NAME.new
// and NAME.old changing roles):
//
//   1. hold_names(names, NAME) resolves NAME once: the directory it lives in
//      is held for the whole call, and every later step names a file by its
//      last part in that directory. Nothing is looked up by its whole path
//      again, so a directory on the path that someone renames, or swaps for
//      a symbolic link, meanwhile leads nowhere else.
//
//   2. The caller opens NAME in the held directory and holds it; then
//      take_own_spelling(names, held) forms NAME.new and NAME.old from the
//      directory's own spelling of NAME's last part (on Windows, COLLSTAT
//      gives COLLSTAT.old, and an 8.3 short name the long name's).
//
//   3. The caller builds the copy under NAME.new, on storage, and closed.
//
//   4. swap_names(names, aside, incoming, read) renames NAME to `aside`
//      (NAME.old), then `incoming` (NAME.new) to NAME. Neither rename
//      replaces a file. Before the first, NAME must still be the file that
//      was read, as it was read; after it, `aside` must be, with who may use
//      it unchanged. Otherwise, or if the second rename fails, the first is
//      undone.
//
//   5. sync_names(names) puts the renames on storage.
//
// What a run cut off at any moment leaves, and what completes it:
//
//   NAME, NAME.new             cut off while the copy was built, or the swap
//                              was refused: NAME is untouched; converting
//                              again takes over a copy that a cut-off run
//                              left
//   NAME (version 1),          a revert cut off after its renames: NAME is
//   NAME.new                   reverted, and NAME.new, where it is the exact
//                              conversion of NAME, may simply be removed
//   NAME.old, NAME.new,        cut off between the two renames: renaming
//   no NAME                    NAME.new to NAME completes the conversion,
//                              NAME.old to NAME the revert (statinfo gives
//                              both commands)
//   NAME and NAME.old, one     a rename by link and unlink (on a file system
//   file                       without a non-replacing rename) cut off
//                              between the two: converting again finishes it
//   NAME and NAME.new, one     the same, in a rename to or from NAME.new:
//   file                       removing the name NAME.new finishes it
//   NAME (version 2),          converted, or a revert cut off before its
//   NAME.old                   renames
#pragma once

#include <cstddef>
#include <cstdio>

#include "platform/platform.h"
#include "stats/names.h"

namespace stats {

// A name in the held directory: whole, as the operator is told it (the
// directory part as given, then the last part), and where its last part,
// the name within the directory, begins.
struct Name {
    char path[name_buffer_size] = "";
    std::size_t last_at = 0;
    const char* last() const { return path + last_at; }
};

// NAME as given, its directory, held, and the three names in it.
struct Names {
    const char* given = nullptr;
    platform::Directory directory;
    Name file, old_file, new_file;
};

// Holds NAME's directory and forms the three names from NAME as given.
// Fails (ENAMETOOLONG) where NAME is too long for NAME.new and NAME.old, or
// with the reason the directory cannot be held.
int hold_names(Names& names, const char* name);

// Forms the three names again from the directory's own spelling of the
// last part of NAME, held on `held`.
int take_own_spelling(Names& names, std::FILE* held);

// The file a conversion read, as it stood when its header was read: held on
// `held` (null once let go), with its stamp.
struct AsRead {
    std::FILE* held;
    platform::Stamp stamp;
    unsigned long long access = 0; // who may use it (platform::access_of)
};

// Moves NAME aside to `aside`, then `incoming` to NAME; neither rename
// replaces a file. If the second fails, the first is undone so that NAME
// does not go missing; an undo that fails too is named on a line of its own,
// and leaves `aside` and `incoming`, both whole. Each failed rename gets
// "Cannot rename %s to %s\n". With `read`, NAME must be the file that was
// read, unchanged and (as far as the system tells) opened by no writer,
// before the first rename, and `aside` must be it after, with the owner,
// group, permissions, ACL and single name it had when it was read, which
// the copy was given (the rename itself changes its change time, so a
// change made in the moment before it is seen only so); otherwise nothing
// is left renamed and `incoming` is kept, with a line that says so.
// Returns 1 when both renames were made.
int swap_names(const Names& names, const Name& aside, const Name& incoming,
               const AsRead* read = nullptr);

// Returns once the renames in the held directory are on storage.
int sync_names(const Names& names);

} // namespace stats
