// The operating system beneath the programs: holding files, creating,
// renaming and removing them, putting them on storage, and the command line.
//
// This layer is mechanism only: it knows nothing of what the files hold.
// Reading, writing, seeking and closing go through the standard C streams it
// hands out. Each promise below is made once, for both systems; a "Linux:" or
// "Windows:" note says only how that system keeps it.
//
// Every operation reports 1 (or a stream) for success and 0 (or null) for
// failure, and on every failure errno tells why: the system's own code, or
// one named here (EBUSY, EEXIST, ELOOP, EINVAL).
//   Windows: the system's error (GetLastError) is mapped onto errno.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// ---- Holding files -------------------------------------------------------
//
// A held file is open for binary reading (or update) and held for exclusive
// use: no other program that asks for the file through this layer gets it
// until the stream is closed. The opens below take only a regular file under
// the name given, never through a final symbolic link (ELOOP), never a FIFO,
// device or directory (EINVAL, EISDIR), and never wait for anything.
//   Linux:   flock(LOCK_EX|LOCK_NB), advisory, and the name must still refer
//            to the locked file afterwards (EBUSY); on NFS, where a file open
//            for reading gets no exclusive lock, the shared one, which every
//            exclusive lock still excludes. O_NOFOLLOW, O_NONBLOCK.
//   Windows: CreateFile with no sharing at all, so that no other program
//            may even read the file; FILE_FLAG_OPEN_REPARSE_POINT, and a
//            reparse point (a symbolic link or junction) is refused.
//
// On Windows every open below also takes a file only under the name exactly
// as given (ENOENT otherwise): Windows keeps every part of it (none but "."
// and ".." ends in a dot or a space, which Windows drops, and the last part
// names a file, not "."), and the system's own full path for the handle
// (GetFinalPathNameByHandle) is the full path of the name (GetFullPathName),
// case included but for the drive's or share's, compared in UTF-16. An 8.3
// short name, a name in other case, and a link to a file elsewhere each
// reach a file whose own name is not the one its .old and .new are made
// from.

// Opens `name` and holds it. A program that ignores the hold is still kept
// from writing unseen where the system can tell: a file that another program
// has open for writing is refused (EBUSY), and still_alone tells whether one
// has opened it since.
//   Linux:   a read lease (F_SETLEASE), where the file system offers one
//            and the caller owns the file or is root.
std::FILE* open_exclusive(const char* name);

// The same, for a file whose name this process may then remove with
// remove_held.
//   Windows: the handle also carries DELETE and FILE_WRITE_ATTRIBUTES.
std::FILE* open_removable(const char* name);

// Creates `name`, which must not exist (EEXIST when anything has the name,
// even a dangling symbolic link), for binary update, and holds it. Nobody
// else may read it: it is created for its owner alone.
//   Linux:   O_CREAT|O_EXCL, mode 0600, then the lock.
//   Windows: CreateFile with CREATE_NEW and no sharing.
std::FILE* create_new(const char* name);

// Opens `name`, a regular file, for binary reading without holding it, so
// that reading never keeps a holder off the file. Symbolic links are
// followed; FIFOs and devices are refused, never waited on.
//   Windows: a name Windows would change is refused, as above.
std::FILE* open_read(const char* name);

// What the system tells of the file held on `held`, opened under `name`.
struct Facts {
    long long size = 0;
    unsigned long links = 0;      // how many names the file has
    bool owned_by_caller = false; // the file's owner is the user running this
    bool plain = false;           // a plain disk file reached under `name`
                                  // itself, not through a link to it
};
//   Linux:   fstat; a file held here is always plain (the open refused
//            links and other kinds of file).
//   Windows: GetFileInformationByHandle, GetFileType, and the whole-path
//            check above for `name`; the owner is the one this process
//            gives the files it creates (its token's owner).
int facts_of(std::FILE* held, const char* name, Facts& facts);

// Whether the files held on `a` and `b` have the same owner.
int same_owner(std::FILE* a, std::FILE* b);

// Whether the user running this may give files away to other owners, as
// root does (Linux); never on Windows.
bool caller_is_privileged();

// Whether, as far as the system can tell, no other program has opened the
// file held on `held` for writing (or truncated it) since it was held. An
// opener that ignored the hold is let go on at once; 1 where it cannot be
// told.
//   Linux:   the read lease taken when the file was held is still there; a
//            broken one is given up, so that the opener waits no longer.
//   Windows: always 1: no other program could open the file at all.
int still_alone(std::FILE* held);

// Which file a name or stream stands for, and how its data stood: two
// stamps of one file whose size and modification time agree tell that its
// data has not been written in between (a rename changes only `changed`).
struct Stamp {
    unsigned long long volume = 0, index = 0; // the file itself
    long long size = 0;
    long long modified = 0; // when its data last changed, in nanoseconds
    long long changed = 0;  // when anything about it last changed
};
//   Linux:   st_dev, st_ino, st_size, st_mtim, st_ctim.
//   Windows: volume serial, file index, size, last write and change times.
int stamp_of(std::FILE* stream, Stamp& stamp);
// The same for a name, not following a symbolic link.
int stamp_of_name(const char* name, Stamp& stamp);

// Removes the name `name` of the file held on `held`, but only while it is
// still that file's name (EBUSY otherwise). The name is free once `held` is
// closed.
//   Linux:   the name is compared with the held file, then unlinked.
//   Windows: the held handle (from open_removable or create_new) is marked
//            for deletion, after clearing a read-only attribute; the file
//            goes when the handle is closed.
int remove_held(std::FILE* held, const char* name);

// Gives `copy`, open and on storage, what it must carry of `original` so
// that the copy can stand in its place: nobody may read or write the copy
// who could not do so with the original.
// Fails, rather than hand the permissions to someone else, where the owner
// or group cannot be reproduced. A file system without ACLs, attributes or
// flags is no failure where the original has none to carry.
//   Linux:   the owner and group (fchown: root may set both, the owner only
//            a group she belongs to), the access ACL exactly (libacl),
//            replacing what the copy took from a default ACL, then the
//            permission bits, the extended attributes as cp carries them
//            (libattr), and the chattr flags but immutable and append-only.
//   Windows: the security descriptor (the DACL with its protection flag,
//            the owner and group where the process may set them), then the
//            read-only attribute.
int carry_metadata(std::FILE* original, std::FILE* copy);

// The size of the file open on `stream`, in bytes, even past 2 GiB.
int file_size(std::FILE* stream, long long* size);

// Readies the process for the work above: a write past a file-size limit
// (ulimit -f) fails (EFBIG) rather than ending the process, and the notice
// that a held file was opened ends nothing.
//   Linux:   SIGXFSZ and SIGIO are ignored. Windows: nothing to do.
void prepare_process();

// ---- Storage -------------------------------------------------------------

// Flushes `stream` and lets the system start writing its data to storage
// without waiting for it, so that the disk works while the program goes on
// and sync_to_storage has little left to wait for. Fails only when the flush
// fails.
//   Linux:   sync_file_range. Windows: the flush alone.
int start_writeback(std::FILE* stream);

// Flushes `stream` and returns once its data and metadata are on stable
// storage.
//   Linux:   fsync. Windows: _commit (FlushFileBuffers).
int sync_to_storage(std::FILE* stream);

// ---- Names ---------------------------------------------------------------

// Renames `from` to `to`, failing (EEXIST) rather than replacing an existing
// `to`. An existing `to` that is another name of `from` (left by a rename cut
// off between its link and its unlink) is no obstacle: `from` is removed.
//   Linux:   renameat2(RENAME_NOREPLACE); link and unlink on a file system
//            without it.
//   Windows: MoveFileEx without MOVEFILE_REPLACE_EXISTING, and with
//            MOVEFILE_WRITE_THROUGH, so it returns once the rename is on
//            disk.
int rename_no_replace(const char* from, const char* to);

// Returns once the renames in the directory holding `name` are on storage.
//   Linux:   fsync of the directory.
//   Windows: nothing is left to do: each rename was written through.
int sync_directory_of(const char* name);

// Removes the name `name`, whatever its permission bits or attributes.
//   Windows: a read-only attribute is cleared first.
int remove_file(const char* name);

// Whether `a` and `b` are two names of one file. Links are not followed.
//   Linux:   device and inode. Windows: volume serial and file index.
int same_file(const char* a, const char* b);

// Whether no directory entry of any kind has the name `name`: a symbolic
// link (even a dangling one) or a directory counts, and is not followed.
// Returns 0 with errno EEXIST when there is one, 0 with the system's errno
// when it cannot be told.
int name_is_free(const char* name);

// Whether a held file may be renamed while it is held. Where it may
// (Linux), a program keeps it held until it has been moved aside, so that no
// other can take it between close and rename.
#ifdef _WIN32
inline constexpr bool rename_while_open = false;
#else
inline constexpr bool rename_while_open = true;
#endif

// ---- Text for the operator ---------------------------------------------

// Writes what `format` makes of `args`, as vfprintf does, for text that
// holds file names.
//   Linux:   vfprintf.
//   Windows: where `out` is a console, the text is converted from the ANSI
//            code page and written as characters (WriteConsoleW), so that
//            the operator sees each name as it is whatever the console's
//            code page; to a file or pipe the bytes go as they are.
[[gnu::format(printf, 2, 0)]] int vprint_text(std::FILE* out, const char* format,
                                              std::va_list args);

[[gnu::format(printf, 2, 3)]] inline int print_text(std::FILE* out, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    int written = vprint_text(out, format, args);
    va_end(args);
    return written;
}

// ---- The command line ----------------------------------------------------

struct FileName {
    std::string name;
    bool as_typed; // false: the name that arrived is not what was typed
};

// The file names that the command-line arguments argv[first] to
// argv[count - 1] stand for, in order, all expanded at once, so that a
// pattern never picks up a file (NAME.old) that work on an earlier name made.
// '*' and '?' in the last part of an argument are wildcards (every other
// byte stands for itself); the argument stands for the matching entries of
// its directory, a name beginning with a dot only where the pattern does too.
// A pattern that matches nothing is passed on as typed.
//   Linux:   expanded here, sorted; every name arrives as typed.
//   Windows: expanded here too, sorted, from the wide arguments with
//            FindFirstFileW (the runtime's start-up expansion is off):
//            letters match in either case, as Windows names do, and only an
//            entry's long name is matched, never its 8.3 short name (through
//            which "*.old" would match y.older). The runtime gives main its
//            arguments in the ANSI code page, which turns a character it
//            cannot hold into a look-alike ("Omega" for "Ωmega"): an
//            argument, or a match, is as typed only where the code page
//            holds it exactly.
std::vector<FileName> file_names(int count, char** argv, int first);

} // namespace platform
