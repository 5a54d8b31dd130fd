// In-place conversion of one statistics file from version 1 to version 2.
//
// convert_file(NAME) never writes a byte of NAME. It proceeds in steps:
//
//   1. It refuses a name too long for NAME.new and NAME.old before anything
//      is opened, then holds the directory NAME lives in for the whole call
//      (stats/replacement.h): every later step names a file within it.
//
//   2. It opens NAME, a regular file with no other names, and holds it for
//      exclusive use, then reads and checks the header. NAME.new and
//      NAME.old are formed from the directory's own spelling of NAME. A foreign file, a version 2
//      file, or one whose conversion would not fit the format's 32-bit length is refused here, and
//      nothing has been created.
//
//   3. It creates NAME.new afresh and holds it for exclusive use. Something
//      already there is taken over only when, held and judged once, it is a
//      copy that a cut-off run left: a plain file with no other names, the
//      caller's own, and empty, or an unfinished version 2 copy, or the
//      exact conversion of NAME. It is then removed and the copy created
//      anew; anything else in the way is refused and left as it was.
//      Every whole version 1 record then streams through the upgrade into
//      the copy, a block at a time. Trailing bytes of an incomplete last
//      record are dropped. It then stores the file's length in the header
//      and puts the data on stable storage; then the copy is given what it
//      must carry of NAME (owner, group, permissions, ACL, extended
//      attributes and flags on Linux; the security descriptor and read-only
//      attribute on Windows), synced again and closed. Any failure in this
//      step removes NAME.new again.
//
//   4. It renames NAME to NAME.old, then NAME.new to NAME. Neither rename
//      replaces an existing file. Before the first, NAME must still name the
//      file that was read, with the size and times it had when its header
//      was read, and no other program may have opened it for writing since
//      (where the system tells, through a lease); after it, NAME.old must be
//      that file. Otherwise nothing is left renamed. If the first rename
//      fails, the finished copy waits under NAME.new; if the second fails,
//      NAME.old is moved back to NAME. Either way the result is 0 and a
//      diagnostic says so.
//
//   5. It makes the renames durable by syncing the directory.
//
// So at every moment the complete version 1 data is under NAME or NAME.old,
// and a version 2 file appears under NAME or NAME.new only once it is whole
// and on storage. Where the system allows (Linux), NAME stays held until it
// has been moved aside, so no second converter can slip in between.
//
// Memory is fixed: one header, two name buffers, and one block of 256
// records of each version (about 66 KiB each), which the two streams
// allocate when they open and free when they close.
//
// What it says, on standard error, in the order it can happen. The README's
// and the man page's tables follow this list.
//
//   "%s is too long a name to convert\n"   NAME; over 1023 bytes
//   "Cannot open %s\n"                     NAME; missing, not a regular file,
//                                          a directory part that cannot be
//                                          held (or that a symbolic link or
//                                          ".." leads out of an ordinary
//                                          user's directory into another's),
//                                          a symbolic link, held, open for
//                                          writing by another program (where
//                                          a lease tells), a file with other
//                                          names, no memory for its block, or
//                                          (Windows) a name Windows would
//                                          change
//   "Cannot read header"                   no line break; under 32 bytes
//   "%s is NOT a statistics file\n"        NAME
//   "%s is already version 2\n"            NAME
//   "%s is too large to convert\n"         NAME; a copy of 2 GiB or more
//   "Cannot create %s\n"                   NAME.new; not creatable (a
//                                          directory not writable, a last
//                                          part too long for the file system,
//                                          no memory for its block), or
//                                          something other than a leftover
//                                          copy is in the way (a copy that
//                                          differs from the conversion)
//   "Failed to read record from %s\n"      NAME; the copy is removed
//   "%s changed while it was converted;    NAME; another program opened it
//    the copy is removed\n"                for writing meanwhile (where a
//                                          lease tells, at the next block);
//                                          the copy is removed
//   "Failed to write new record to %s\n"   NAME.new; a record, or the last
//                                          buffer of them (a full disk, a
//                                          file-size limit); the copy is
//                                          removed
//   (nothing)                              the header's write, the position
//                                          check, the seek back, the header's
//                                          rewrite, a sync or the close of
//                                          NAME.new failed, or giving it what
//                                          it carries of NAME (owner and
//                                          group, which must be reproduced,
//                                          ACL, mode, extended attributes and
//                                          flags; on Windows the security
//                                          descriptor and read-only
//                                          attribute); the copy is removed
//   "Converted %d records\n"               the copy is whole and on storage
//   "%s changed while it was converted;    NAME, NAME.new; before the first
//    the copy is kept as %s\n"             rename NAME was not the file read
//                                          as it was read, or after it
//                                          NAME.old was not; nothing is left
//                                          renamed, the copy waits under
//                                          NAME.new
//   "Cannot rename %s to %s\n"             NAME to NAME.old; the copy waits
//                                          under NAME.new
//   "Cannot rename %s to %s\n"             NAME.new to NAME; NAME.old is moved
//                                          back, and if that fails too, a
//                                          third line names NAME.old and NAME
//   (nothing)                              syncing the directory after the
//                                          renames failed; NAME is converted,
//                                          the renames may not survive a
//                                          power cut (statinfo tells the state)
#pragma once

#include "stats/report.h"

namespace stats {

// Returns 1 when NAME was converted and swapped in, 0 otherwise.
int convert_file(const char* name);

} // namespace stats
