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
// one named here (EBUSY, EEXIST, EILSEQ, EINVAL, EISDIR, ELOOP,
// ENAMETOOLONG, ENOENT, ENOMEM, ENOSYS, ENOTDIR, EPERM), and error_text
// gives it in the system's words.
//   Windows: the system's error (GetLastError) as below (Errors).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// ---- Errors ----------------------------------------------------------------
//
// Windows: a system error that callers tell apart is the runtime's errno
// value for it (ENOENT, EEXIST, EACCES, EBUSY, ENOSPC, ENOSYS, EXDEV,
// ENOTDIR, EPERM, ENAMETOOLONG; windows_errors.cpp lists which error is
// which); every other one is carried in errno as itself, system_error_base
// plus its code (ERROR_INVALID_NAME, 123, as 0x1007B), so that none is
// reported as another. A code too large to be carried so (no Win32 error
// is) is EIO.
constexpr int system_error_base = 0x10000;

// The system's words for `error`, an errno value from this layer, in `text`
// of `room` bytes: one line, without the period that ends a sentence, cut
// short where it does not fit.
//   Linux:   strerror.
//   Windows: for a system error carried as itself, its message
//            (FormatMessageW, in the language the system picks), in the ANSI
//            code page in which the programs hold names, so that print_text
//            shows it as it shows a name; else the runtime's strerror.
void error_text(int error, char* text, std::size_t room);

// ---- The directory a name lives in --------------------------------------
//
// A name is resolved once: the directory that its directory part names is
// opened and held for the length of a call, and every later step names a
// file by its last part within that directory. What happens to the path
// that led there meanwhile (a directory on it renamed, or swapped for a
// symbolic link) changes nothing: each open, create, rename, removal and
// sync below acts in the held directory.
//   Linux:   a descriptor of the directory; each step through it (openat,
//            fstatat, renameat2, linkat, unlinkat, fsync). The exception: a
//            directory that may be written and searched but not read is
//            held for its path alone (O_PATH), which cannot be synced
//            itself (sync_directory says how it is then).
//   Windows: a handle opened with backup semantics and, where nobody else
//            has it open for deletion, without FILE_SHARE_DELETE, so that the
//            directory cannot be renamed or removed while it is held; files
//            are named by the directory's own full path and their last part.
class Directory {
  public:
    Directory() = default;
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    ~Directory();
    bool held() const { return native != -1; }
    long long native = -1; // the descriptor or handle
#ifdef _WIN32
    // Room for a full path in UTF-16 (after \\?\, past MAX_PATH),
    // terminator included.
    static constexpr unsigned long path_size = 4096;
    // The directory's full path, in the \\?\ form that takes any length:
    // its own where the system gives it, else as it was resolved.
    wchar_t path[path_size] = L"";
#endif
};

// Holds the directory of `name` and gives the offset in `name` at which its
// last part begins. The directory part is resolved as typed, relative to
// the current directory unless absolute, and safely: a step through a
// symbolic link or ".." out of a directory that an ordinary user owns into
// one that someone else owns is refused (EPERM), so that no other user can
// lead the resolution into a directory of the caller's that she could not
// write herself. A directory on a file system that an ordinary user mounted
// counts as hers, whatever owners that file system reports. A last part that
// names no file ("", ".", "..") is refused (EISDIR).
//   Linux:   FUSE records the mounting user in /proc/self/mountinfo
//            (user_id=).
//   Windows: a directory part on any drive letter, share, subst or mapped
//            drive, junction, in any case or as a short name, reaches the
//            directory; a part that ends in a dot or a space (which Windows
//            would drop) is refused (ENOENT).
int hold_directory_of(const char* name, Directory& directory, std::size_t* last_at);

// ---- Holding files -------------------------------------------------------
//
// A held file is open for binary reading (or update) and held for exclusive
// use: no other program that asks for the file through this layer gets it
// until the stream is closed. The opens below take only a regular file that
// lives in `directory` under `last`, never through a final symbolic link
// (ELOOP), never a FIFO, device or directory (EINVAL, EISDIR), which they
// refuse before opening anything for its data, and never wait for anything.
// The exceptions, where the system gives no other way: on Linux without
// /proc, a FIFO or device swapped in between the look and the open is
// opened (without waiting, O_NONBLOCK) and refused at once; on Windows the
// file is first opened for no data at all, without following a reparse
// point, and judged by its handle.
//   Linux:   flock(LOCK_EX|LOCK_NB), advisory, and the name must still refer
//            to the locked file afterwards (EBUSY). The exception: on NFS,
//            where a file open for reading gets no exclusive lock, the
//            shared one, which every exclusive lock still excludes but a
//            second shared one does not: two reverters, which open both of
//            their files for reading, are not kept apart there.
//            O_NOFOLLOW, O_NONBLOCK.
//   Windows: CreateFile with no sharing at all, so that no other program
//            may even read the file; FILE_FLAG_OPEN_REPARSE_POINT, and a
//            reparse point (a symbolic link or junction) is refused. The
//            file must live in the held directory itself, judged by handles
//            (volume serial number and file index): a name that the system
//            resolves to a file elsewhere is refused (ENOENT). `last` may be
//            in other case or an 8.3 short name; own_name tells the
//            directory's own spelling.

// Opens `last` and holds it. A program that ignores the hold is still kept
// from writing unseen where the system can tell: a file that another program
// has open for writing is refused (EBUSY), and no_writer_since_held tells
// whether one has opened it since.
//   Linux:   a read lease (F_SETLEASE), where the file system offers one
//            and the caller owns the file or is root.
std::FILE* open_exclusive(const Directory& directory, const char* last);

// The same, for a file that this process may then remove with remove_held.
//   Windows: the handle also carries DELETE and FILE_WRITE_ATTRIBUTES.
std::FILE* open_removable(const Directory& directory, const char* last);

// Creates the copy that is to take the place of a file in `directory`, for
// binary update, and holds it. It is made for its owner alone, and is
// either unnamed or marked until it is complete:
//   - where the system can make a file with no name (Linux: O_TMPFILE), it
//     has none until name_copy gives it `last`, so that nothing of it
//     outlives a crash before then;
//   - elsewhere it is created as `last` at once (EEXIST when anything has
//     the name, even a dangling symbolic link), bearing the mark of an
//     unfinished copy (Facts::unfinished), which its creation puts on
//     storage with the name and which only carry_metadata takes off, once
//     the copy's data is on storage. A file with the mark, one name and
//     the caller's ownership is a copy that a cut-off run left, whatever
//     its bytes.
//   Linux:   O_TMPFILE in the directory, else O_CREAT|O_EXCL|O_NOFOLLOW;
//            mode 1000 (the mark: the sticky bit alone), then the lock.
//   Windows: CreateFile with CREATE_NEW, no sharing, a protected DACL that
//            lets only the process's user in (none of the directory's
//            inherited entries) and FILE_ATTRIBUTE_TEMPORARY (the mark).
std::FILE* create_copy(const Directory& directory, const char* last);

// Gives the copy held on `copy` (from create_copy), complete and on
// storage, the name `last` in `directory`, never replacing anything
// (EEXIST). A copy that was created under its name keeps it: nothing to do.
//   Linux:   linkat of the unnamed file (through /proc/self/fd, else
//            AT_EMPTY_PATH).
int name_copy(std::FILE* copy, const Directory& directory, const char* last);

// Opens `last`, a regular file, for binary reading without holding it, so
// that reading never keeps a holder off the file. A FIFO or device is
// refused, never opened. A final symbolic link is refused (ELOOP) unless
// `follow_link`; then it is followed only to a regular file and, for root,
// only where root made it, so that another user's link cannot make root
// read what she could not. The link is followed from what it holds, read
// from the link itself (never by looking `last` up again), by the rule of
// hold_directory_of.
//   Linux:   the file is opened for its path alone (O_PATH), looked at, and
//            then opened through /proc/self/fd, so that nothing swapped in
//            between is opened.
//   Windows: the file must live in the held directory, as above; a reparse
//            point is refused unless `follow_link`.
std::FILE* open_read(const Directory& directory, const char* last, bool follow_link = false);

// The directory's own spelling of the last part of the file held on `held`
// in `directory`, in `own` (of `room` bytes): on Windows the long name in
// the case it was made in, whatever spelling reached it; on Linux the name
// itself, `last`. Fails (ENAMETOOLONG) where it does not fit, and (EILSEQ)
// where the ANSI code page cannot hold it.
int own_name(std::FILE* held, const Directory& directory, const char* last, char* own,
             std::size_t room);

// What the system tells of the file held on `held`.
struct Facts {
    long long size = 0;
    unsigned long links = 0;      // how many names the file has
    bool owned_by_caller = false; // the file's owner is the user running this
    bool regular = false;         // a regular disk file
    bool unfinished = false;      // bears create_copy's mark
};
//   Linux:   fstat; the mark is permission bits of 1000 (carry_metadata
//            refuses an original with those bits, EPERM).
//   Windows: GetFileInformationByHandle and GetFileType; the owner is the
//            one this process gives the files it creates (its token's
//            owner); the mark is FILE_ATTRIBUTE_TEMPORARY, which
//            carry_metadata takes off a copy of an original that bears it.
int facts_of(std::FILE* held, Facts& facts);
#ifdef _WIN32
inline constexpr bool marked_original_refused = false;
#else
inline constexpr bool marked_original_refused = true;
#endif
// The same for `last` in `directory`, without opening it for its data and
// without following a symbolic link, so that a marked copy the caller may
// not read is told all the same; `regular` is false for anything but a
// regular file.
int facts_of_name(const Directory& directory, const char* last, Facts& facts);

// Whether another program has the file open on `file` (opened here without
// holding it, by open_read) so that a hold of it (open_exclusive,
// open_removable), as a converter or reverter takes, would be refused now:
// a running converter or reverter, or any program at the file that the
// system tells of.
//   Linux:   flock's exclusive lock, taken and given back at once, is
//            refused (by any other lock, shared too), or a read lease
//            cannot be had because another has the file open for writing
//            (where no lease can be had at all, that is not told).
//   Windows: the file opened again through its handle (ReOpenFile) for
//            reading and deletion, sharing reading alone, is refused for
//            a sharing violation: another program has it open for writing
//            or deletion, or without sharing reading or deletion. (One that
//            holds it without sharing reading has made open_read fail
//            already, EBUSY.) A reader that shares all three is not told
//            from this process's own open, which statconv's would also meet.
bool held_elsewhere(std::FILE* file);

// Whether the files held on `a` and `b` have the same owner.
int same_owner(std::FILE* a, std::FILE* b);

// Whether the user running this may give files away to other owners, as
// root does (Linux); never on Windows.
bool caller_is_privileged();

// Whether a copy that this process makes in `directory` could be given the
// owner and group of the file open on `file` (carry_metadata's first step),
// as the system answers: true where it cannot be asked.
//   Linux:   asked of an unnamed file made there (O_TMPFILE) and let go, so
//            that a set-group-ID directory, the process's groups and the
//            file system's own rules all count.
//   Windows: the file is the caller's own.
bool can_give_owners_of(const Directory& directory, std::FILE* file);

// Whether this process may create files in `directory`, as far as the
// permissions tell. Windows: always (the system tells only by trying).
bool may_create_in(const Directory& directory);

// Whether the file open on `file` may not be renamed or removed by anyone
// while it stays so, whatever the permissions.
//   Linux:   the immutable or append-only flag (chattr +i, +a).
//   Windows: never (the read-only attribute keeps no file from a rename).
bool fixed_in_place(std::FILE* file);

// Whether, as far as the system can tell, no other program has opened the
// file held on `held` for writing (or truncated it) since it was held. An
// opener that ignored the hold is let go on at once; 1 where it cannot be
// told.
//   Linux:   the read lease taken when the file was held is still there; a
//            broken one is given up, so that the opener waits no longer.
//   Windows: always 1: no other program could open the file at all.
int no_writer_since_held(std::FILE* held);

// Which file a name or stream stands for, and how its data stood: two
// stamps of one file whose size and modification time agree tell that its
// data has not been written in between (a rename changes only `changed`).
struct Stamp {
    unsigned long long volume = 0, index = 0; // the file itself
    long long size = 0;
    unsigned long links = 0; // how many names it has
    long long modified = 0;  // when its data last changed, in nanoseconds
    long long changed = 0;   // when anything about it last changed
};
//   Linux:   st_dev, st_ino, st_size, st_nlink, st_mtim, st_ctim.
//   Windows: volume serial, file index, size, link count, last write and
//            change times.
int stamp_of(std::FILE* stream, Stamp& stamp);
// The same for `last` in `directory`, not following a symbolic link.
int stamp_of_name(const Directory& directory, const char* last, Stamp& stamp);

// A fingerprint of who may use the file held on `held`: its owner, group,
// permissions and ACL. Two fingerprints of one file differ where any of
// those changed in between.
//   Linux:   owner, group, mode bits and the access ACL as stored
//            (system.posix_acl_access).
//   Windows: the security descriptor (owner, group, DACL) and the
//            read-only attribute.
int access_of(std::FILE* held, unsigned long long& fingerprint);
// The same for the regular file `last` in `directory`.
int access_of_name(const Directory& directory, const char* last, unsigned long long& fingerprint);

// Removes the name `last` of the file held on `held`, but only while it is
// still that file's name (EBUSY otherwise). The name is free once `held` is
// closed. A copy that has no name yet (create_copy) has nothing to remove.
//   Linux:   the name is compared with the held file, then unlinked.
//   Windows: the held handle (from open_removable or create_copy) is marked
//            for deletion, after clearing a read-only attribute; the file
//            goes when the handle is closed.
int remove_held(std::FILE* held, const Directory& directory, const char* last);

// Removes `last`, a marked copy (Facts::unfinished) that the caller may not
// open for its data, but only while it is a regular file with the mark, one
// name and the caller's own (EBUSY otherwise), judged on the file itself.
//   Windows: never needed (the mark's DACL lets the caller in); ENOSYS.
int remove_unfinished(const Directory& directory, const char* last);

// Gives `copy`, open and on storage, what it must carry of `original` so
// that the copy can stand in its place: nobody may read or write the copy
// who could not do so with the original. This takes off create_copy's mark.
// Fails (EPERM), rather than hand the permissions to someone else, where
// the owner or group cannot be reproduced. A file system without ACLs,
// attributes or flags is no failure where the original has none to carry.
//   Linux:   the owner and group (fchown: root may set both, the owner only
//            a group she belongs to), the access ACL exactly (libacl),
//            replacing what the copy took from a default ACL, then the
//            permission bits, the extended attributes as cp carries them
//            (libattr), and the chattr flags but immutable and append-only.
//   Windows: the security descriptor (the DACL with its protection flag,
//            the owner and group, which must end up the original's), then
//            the read-only attribute.
int carry_metadata(std::FILE* original, std::FILE* copy);

// The size of the file open on `stream`, in bytes, even past 2 GiB.
int file_size(std::FILE* stream, long long* size);

// Readies the process for the work above: a write past a file-size limit
// (ulimit -f) fails (EFBIG) rather than ending the process, a write to a
// closed pipe (statconv | head -1) fails (EPIPE) rather than ending it, and
// the notice that a held file was opened ends nothing.
//   Linux:   SIGXFSZ, SIGPIPE and SIGIO are ignored. Windows: nothing to do.
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

// Returns once the names made, renamed and removed in `directory` so far
// are on storage. `within` is a file held in it, through which a
// directory that may be written and searched but not read is reached.
//   Linux:   fsync of the held directory; where it is held for its path
//            alone, syncfs through `within`.
//   Windows: FlushFileBuffers of the held directory where it was opened
//            with the right to add files, else of `within`. The exception:
//            where neither may be flushed (a directory that refused the
//            right, and no `within` opened for writing), it returns 1 having
//            done nothing more; each rename was flushed through its handle.
int sync_directory(const Directory& directory, std::FILE* within);

// ---- Names within a held directory ---------------------------------------

// Renames the file held on `held` (from open_removable or create_copy),
// now named `from` in `directory`, to `to`, failing (EEXIST) rather than
// replacing an existing `to`. Only the held file is moved: where `from` is
// not its name (EBUSY) nothing is renamed, and on success `to` names it.
// An existing `to` that is another name of the held file (left by a rename
// cut off between its link and its unlink) is no obstacle: `from` is
// removed. A refusal that another program's brief open causes (a sharing
// violation, access denied) is tried again with growing waits for about
// five seconds before it counts. `by_link`, where given, tells whether the
// rename was made by a link and an unlink; the held file's link count may
// then be stale afterwards (a file system that keeps an unlinked open file
// under a hidden name), and was judged between the two instead.
//   Linux:   renameat2(RENAME_NOREPLACE); on a file system without it,
//            linkat, fsync of the directory, a check that `to` is the held
//            file (by inode, or by its having gained exactly one name),
//            then unlinkat.
//   Windows: SetFileInformationByHandle(FileRenameInfo) on the held
//            handle, never replacing, then FlushFileBuffers, so that the
//            rename is written through before it returns. The exception:
//            an existing `to` that is another name of the held file fails
//            (EEXIST), as no name of a file held without sharing can be
//            removed; only another program's hard link made meanwhile
//            leaves that, never a rename of ours.
int rename_held(std::FILE* held, const Directory& directory, const char* from, const char* to,
                bool* by_link = nullptr);

// Whether `a` and `b` are two names of one file. Links are not followed.
//   Linux:   device and inode. Windows: volume serial and file index.
int same_file(const Directory& directory, const char* a, const char* b);

// Whether no directory entry of any kind has the name `last`: a symbolic
// link (even a dangling one) or a directory counts, and is not followed.
// Returns 0 with errno EEXIST when there is one, 0 with the system's errno
// when it cannot be told.
//   Windows: the exception: a name that Windows would not take as it
//            stands (ending in a dot or space, say) is free, as nothing can
//            be found or made under it as it stands.
int name_is_free(const Directory& directory, const char* last);

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

// ---- The command line: platform/command_line.h ----------------------------

} // namespace platform
