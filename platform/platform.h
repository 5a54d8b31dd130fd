// The runtime operations the converter needs that differ between systems.
//
// Everything else (reading, writing, seeking and closing streams) is plain
// standard C stdio and is used directly. This layer has one implementation
// for Linux (platform_linux.cpp) and one for the Windows C runtime,
// msvcrt.dll (platform_windows.cpp). Every operation reports 1 for success
// and 0 for failure, or a null stream, and leaves errno as the system set it.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace platform {

// Opens `name`, a regular file, for binary reading and holds it for
// exclusive use. Fails (returns null) when the file is missing, is not a
// regular file, is a symbolic link, or is held by another converter.
//   Linux:   flock(LOCK_EX|LOCK_NB) (the shared lock on NFS, which refuses
//            the exclusive one on a file open for reading), and the name
//            must still refer to the file that was locked. FIFOs and
//            devices are never blocked on.
//   Windows: _fsopen with _SH_DENYRW.
// On Windows, as in open_read, a name that would not reach the file system
// as given is refused: one with a part ending in a dot or a space (which
// Windows drops) or ending in "." or "..", a command-line argument that the
// ANSI code page could not hold exactly (the runtime's start-up gives main a
// look-alike), and any name under which the file opened has another full
// path than the name's own (GetFinalPathNameByHandle against
// GetFullPathName, in UTF-16, case included but for the drive letter's): an
// 8.3 short name, a name in other case, a link to a file elsewhere.
std::FILE* open_exclusive_read(const char* name);

// Opens `name`, a regular file, for binary reading without holding it, so
// that reading never keeps a converter off the file. Never blocks on a FIFO
// or device. Symbolic links are followed.
std::FILE* open_read(const char* name);

// Creates `name` afresh for binary update and holds it for exclusive use.
// An existing `name` is removed first only when it is a copy that a cut-off
// conversion left: a regular file with no other names, the converter's own,
// empty or beginning with "StAt" "Ver2". Anything else there (a symbolic
// link, a file with other names, another user's file, a file of other data)
// fails the call and is left exactly as it was. The leftover is held while
// it is checked and removed, and the copy is then created exclusively, so
// that nothing opened on the leftover earlier reaches the new data.
//   Linux:   "the converter's own" is owned by the user running it (or by
//            the owner of `original`, for a copy root made). The file is
//            created with mode 0600 and then given the permission bits of
//            `original` (and its owner and group where the process may set
//            them), so the data is never readable by more people than before.
//   Windows: the leftover must also be no reparse point and be reached under
//            its own full path, as open_exclusive_read checks; it is held without sharing while
//            checked, then removed, and the copy created with CREATE_NEW.
std::FILE* create_exclusive(const char* name, std::FILE* original);

// Gives the finished copy `copy`, closed, what it must carry of the file
// open on `original` that could not be given while it was written.
//   Linux:   nothing: the mode was carried when the copy was created.
//   Windows: the read-only attribute (_chmod), which would have kept the
//            copy from being written.
int carry_read_only(std::FILE* original, const char* copy);

// The size of the file open on `stream`, in bytes, even past 2 GiB.
int file_size(std::FILE* stream, long long* size);

// Flushes `stream` and lets the system start writing its data to storage
// without waiting for it, so that the disk works while the conversion goes
// on and sync_to_storage has little left to wait for. Fails only when the
// flush fails. (Linux: sync_file_range; elsewhere the flush alone.)
int start_writeback(std::FILE* stream);

// Flushes `stream` and asks the system to put its data on stable storage.
int sync_to_storage(std::FILE* stream);

// Renames `from` to `to`, failing rather than replacing an existing `to`.
// An existing `to` that is another name of `from` (left by a rename cut off
// between its link and its unlink) is no obstacle: `from` is unlinked.
int rename_no_replace(const char* from, const char* to);

// Whether `a` and `b` are two names of one file.
int same_file(const char* a, const char* b);

int remove_file(const char* name);

// Whether no directory entry of any kind has the name `name`: a symbolic
// link (even a dangling one) or a directory counts, and is not followed.
// Returns 0 with errno EEXIST when there is one, 0 with the system's errno
// when it cannot be told.
int name_is_free(const char* name);

// Makes the renames of entries in the directory holding `name` durable.
int sync_directory_of(const char* name);

// Whether a file held by open_exclusive_read may be renamed while it is
// open. Where it may (Linux), the input stays held until it has been moved
// aside, so that no other converter can take it between close and rename.
#ifdef _WIN32
inline constexpr bool rename_while_open = false;
#else
inline constexpr bool rename_while_open = true;
#endif

// The command an operator types to rename a file, and how a name is written
// so that the command line takes it as one word, whatever it holds.
#ifdef _WIN32
inline constexpr const char* rename_command = "move";
#else
inline constexpr const char* rename_command = "mv --";
#endif
void print_quoted(std::FILE* out, const char* name);

// Writes what `format` makes of `args`, as vfprintf does, for text that holds
// file names. On Windows, where `out` is a console the text is converted from
// the ANSI code page and written as characters (WriteConsoleW), so that the
// operator sees each name as it is whatever the console's code page; to a
// file or pipe, and on Linux always, the bytes go as they are.
int vprint_text(std::FILE* out, const char* format, std::va_list args);

[[gnu::format(printf, 2, 3)]] inline int print_text(std::FILE* out, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    int written = vprint_text(out, format, args);
    va_end(args);
    return written;
}

// Whether `name`, written with print_quoted, reaches rename_command as it is.
//   Linux:   always.
//   Windows: not when it holds '%': cmd expands %...% even within quotes.
int command_safe(const char* name);

// Calls `visit` for each file name that the `count` command-line arguments
// `args` stand for, in order. Every argument is expanded before the first
// name is visited, so a pattern never picks up a file (NAME.old) that the
// work on an earlier name made.
//   Linux:   '*' and '?' in the last part of an argument are wildcards
//            (every other byte, brackets and backslashes too, stands for
//            itself); the argument stands for the matching entries of its
//            directory, sorted, a name beginning with a dot only where the
//            pattern does too. A pattern that matches nothing is passed on
//            as typed.
//   Windows: the same rule, with FindFirstFileW: letters match in either
//            case, as Windows names do, and only the long name of an entry
//            is matched, never its 8.3 short name (through which FindFirstFile
//            and the runtime's start-up would match "*.old" to y.older). The
//            start-up's own expansion is off. `args` must be the last `count`
//            command-line arguments; a match that the ANSI code page cannot
//            hold exactly is refused when it is opened, as such an argument is.
void for_each_file_name(int count, char** args, void (*visit)(const char* name, void* context),
                        void* context);

} // namespace platform
