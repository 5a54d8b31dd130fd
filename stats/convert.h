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
//      NAME.old are formed from the directory's own spelling of NAME. A
//      foreign file, a version 2 file, or one whose conversion would not fit
//      the format's 32-bit length is refused here, and nothing has been
//      created.
//
//   3. It makes the copy (stats/replacement.h): on Linux an unnamed file in
//      the directory, elsewhere NAME.new at once, marked as unfinished. A
//      leftover already under NAME.new is removed first only where, held and
//      judged once, it is what a cut-off run left (judge_leftover,
//      stats/compare.h); anything else in the way is refused and left as it
//      was. Every whole version 1 record then streams through the upgrade
//      into the copy, a block at a time; trailing bytes of an incomplete last
//      record are dropped. It stores the file's length in the header and puts
//      the data on stable storage; then the copy is given what it must carry
//      of NAME (platform::carry_metadata), which takes its mark off, synced
//      again, and only then named NAME.new. Any failure in this step removes
//      the copy again.
//
//   4. It renames NAME to NAME.old, then NAME.new to NAME, through the held
//      files, each rename on storage before the next step. Neither rename
//      replaces an existing file. Before the first, NAME must still name the
//      file that was read, with the size and times it had when it was
//      opened, and no other program may have opened it for writing since
//      (where the system tells, through a lease); after it, NAME.old must be
//      that file, unchanged. Otherwise nothing is left renamed. If the first
//      rename fails, the finished copy waits under NAME.new; if the second
//      fails, NAME.old is moved back to NAME. Either way the result is 0 and
//      a diagnostic says so.
//
// So at every moment the complete version 1 data is under NAME or NAME.old,
// and a version 2 file appears under NAME or NAME.new only once it is whole
// and on storage (or marked as unfinished, which the next run takes over).
// NAME and the copy stay held from the first step to the last, so no second
// converter can slip in between, and on Windows no other program can open
// NAME between the last check and its rename.
//
// Memory is fixed: one header, the three names and how they are shown, and
// one block of 256 records of each version (about 66 KiB each), which the
// two streams allocate when they open and free when they close.
//
// What it says on standard error, and what each line means, is statconv(1)
// (man/statconv.1.in): that page is the one list, and a test checks that
// every message here is in it.
#pragma once

#include "stats/report.h"

namespace stats {

// Returns 1 when NAME was converted and swapped in, 0 otherwise.
int convert_file(const char* name);

} // namespace stats
