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
//   3. It creates NAME.new (or takes over one left by a run that was cut
//      off), holds it for exclusive use, and streams every whole version 1
//      record through the upgrade into it. Trailing bytes of an incomplete
//      last record are dropped. It then stores the file's length in the
//      header, puts the data on stable storage, and closes the file; on
//      Windows it then gives it NAME's read-only attribute. Any failure in
//      this step deletes NAME.new again.
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
// and on storage. Where the system allows (POSIX), NAME stays held until it
// has been moved aside, so no second converter can slip in between.
//
// Messages go to standard error, one per refusal or failure; only a failed
// header write, seek, flush, sync or close of NAME.new, or a failure to give
// it NAME's read-only attribute (Windows), is silent. Memory is fixed:
// one header, one record of each version and two name buffers.
#pragma once

namespace stats {

// Returns 1 when NAME was converted and swapped in, 0 otherwise.
int convert_file(const char* name);

// Formats a diagnostic to standard error, adding nothing of its own.
// Returns what the formatting returns.
[[gnu::format(printf, 1, 2)]] int report_error(const char* format, ...);

} // namespace stats
