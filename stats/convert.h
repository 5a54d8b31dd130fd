// In-place conversion of one statistics file from version 1 to version 2.
//
// convert_file(NAME) never writes a byte of NAME. It proceeds in steps:
//
//   1. It forms NAME.new and NAME.old, refusing a name too long for them,
//      before anything is opened.
//
//   2. It opens NAME, a regular file, and holds it for exclusive use, then
//      reads and checks the header. A foreign file, a version 2 file, or one
//      whose conversion would not fit the format's 32-bit length is refused
//      here, and nothing has been created.
//
//   3. It creates NAME.new afresh (removing first a copy that a cut-off run
//      left there, and refusing anything else in its place), holds it for
//      exclusive use, and streams every whole version 1
//      record through the upgrade into it. Trailing bytes of an incomplete
//      last record are dropped. It then stores the file's length in the
//      header, puts the data on stable storage, and closes the file; it
//      then gives it what it must carry of NAME (on Linux the owner and
//      group, checked, the ACL, the mode, the extended attributes and the
//      file flags; on Windows the read-only attribute, the security having
//      come with its creation). Any failure in this step deletes NAME.new
//      again.
//
//   4. It renames NAME to NAME.old, then NAME.new to NAME. Neither rename
//      replaces an existing file. If the first fails, the finished copy waits
//      under NAME.new; if the second fails, NAME.old is moved back to NAME.
//      Either way the result is 0 and a diagnostic names the rename.
//
//   5. It makes the renames durable by syncing the directory.
//
// So at every moment the complete version 1 data is under NAME or NAME.old,
// and a version 2 file appears under NAME or NAME.new only once it is whole
// and on storage. Where the system allows (Linux), NAME stays held until it
// has been moved aside, so no second converter can slip in between.
//
// Memory is fixed: one header, one record of each version, two name buffers
// and two streams with 32 KiB buffers, all on the stack (under 80 KiB).
//
// What it says, on standard error, in the order it can happen. The README's
// and the man page's tables follow this list.
//
//   "%s is too long a name to convert\n"   NAME; over 1023 bytes
//   "Cannot open %s\n"                     NAME; missing, not a regular file,
//                                          a symbolic link, held, or (Windows)
//                                          a name Windows would change
//   "Cannot read header"                   no line break; under 32 bytes
//   "%s is NOT a statistics file\n"        NAME
//   "%s is already version 2\n"            NAME
//   "%s is too large to convert\n"         NAME; a copy of 2 GiB or more
//   "Cannot create %s\n"                   NAME.new; not creatable, or
//                                          something other than a leftover
//                                          copy is in the way, or (Windows)
//                                          NAME's security cannot be given
//                                          to it
//   "Failed to read record from %s\n"      NAME; the copy is removed
//   "Failed to write new record to %s\n"   NAME.new; a record, or the last
//                                          buffer of them; the copy is removed
//   (nothing)                              the header's write, the position
//                                          check, the seek back, the header's
//                                          rewrite, the sync or the close of
//                                          NAME.new failed, or (Windows) giving
//                                          it NAME's read-only attribute, or
//                                          (Linux) carrying its ACL, attributes
//                                          or flags failed / owner or group
//                                          could not be reproduced; the copy
//                                          is removed
//   "Converted %d records\n"               the copy is whole and on storage
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

namespace stats {

// Returns 1 when NAME was converted and swapped in, 0 otherwise.
int convert_file(const char* name);

// Moves NAME aside to `aside`, then `incoming` to NAME; neither rename
// replaces a file. If the second fails, the first is undone so that NAME
// does not go missing; an undo that fails too is named on a line of its own,
// and leaves `aside` and `incoming`, both whole. Each failed rename gets
// "Cannot rename %s to %s\n". Returns 1 when both renames were made.
int swap_names(const char* name, const char* aside, const char* incoming);

// Formats a diagnostic to standard error, adding nothing of its own.
// Returns what the formatting returns.
[[gnu::format(printf, 1, 2)]] int report_error(const char* format, ...);

} // namespace stats
