// Putting a converted statistics file back to version 1, in place.
//
// A conversion leaves the version 2 file under NAME and the version 1 file
// it came from under NAME.old. revert_file(NAME) puts NAME.old back under
// NAME, but only when the version 2 file holds nothing that NAME.old lacks:
// a file the new software has written to since it was converted is never
// reverted. It writes no byte of any file. It proceeds in steps:
//
//   1. It forms NAME.old and NAME.new, refusing a name too long for them,
//      before anything is opened.
//
//   2. It opens NAME and NAME.old, regular files and no symbolic links, and
//      holds each for exclusive use, as the converter does.
//
//   3. It refuses, having changed nothing, when NAME is not a version 2
//      statistics file or has other names, NAME.old is missing or is not
//      version 1, NAME is
//      not exactly the conversion of NAME.old (statinfo's --verify check,
//      whose first difference the message gives), or any entry at all,
//      even a dangling symbolic link, has the name NAME.new.
//
//   4. It renames NAME to NAME.new, then NAME.old to NAME, through the held
//      files (stats/replacement.h), the first on storage before the second.
//      Neither rename replaces an existing file. If the second fails, the
//      first is undone.
//
//   5. It syncs the directory, so that the renames are on storage before
//      anything is removed.
//
//   6. It reads NAME.new, held, and NAME once more. Only when NAME.new is
//      still exactly the conversion of NAME, that is, when it can be made
//      again from NAME at any time, and no other program has opened it for
//      writing since it was held (where the system tells, through a lease),
//      is NAME.new removed, and the directory synced again. Otherwise
//      NAME.new is kept, with a message: whatever wrote to the file or put
//      another file under its name since step 3 did not lose its data.
//
// So at every moment the complete version 1 data is under NAME or NAME.old,
// and the version 2 data under NAME or NAME.new (or, once removed, exactly
// derivable from NAME). Cut off between the two renames, NAME is missing
// and NAME.old and NAME.new are both whole: either rename completes the
// change without loss, and statinfo says so. Cut off after them, NAME is
// version 1 with NAME.new beside it, which may simply be removed. Both
// files stay held through the renames and to the end, so no converter or
// second reverter can slip in between the steps.
//
// Messages go to standard error, one line naming the file for each refusal
// or failure, with the system's reason where there is one; the success line
// goes to standard output. Memory is fixed: at most three streams, one
// record of each version and two name buffers.
#pragma once

namespace stats {

// Returns 1 when NAME was reverted and NAME.new removed, 0 otherwise.
int revert_file(const char* name);

} // namespace stats
