// The runtime operations the converter needs that differ between systems.
//
// Everything else (reading, writing, seeking and closing streams) is plain
// standard C stdio and is used directly. This layer has one implementation
// for POSIX systems (platform_posix.cpp) and one for the Windows C runtime,
// msvcrt.dll (platform_windows.cpp). Every operation reports 1 for success
// and 0 for failure, or a null stream, and leaves errno as the system set it.
#pragma once

#include <cstdio>

namespace platform {

// Opens `name`, a regular file, for binary reading and holds it for
// exclusive use. Fails (returns null) when the file is missing, is not a
// regular file, is a symbolic link, or is held by another converter.
//   POSIX:   flock(LOCK_EX|LOCK_NB), and the name must still refer to the
//            file that was locked. FIFOs and devices are never blocked on.
//   Windows: _fsopen with _SH_DENYRW.
// On Windows, as in open_read, a name that would not reach the file system
// as given is refused: one with a part ending in a dot or a space (which
// Windows drops), and a command-line argument that the ANSI code page could
// not hold exactly (the runtime's start-up gives main a look-alike).
std::FILE* open_exclusive_read(const char* name);

// Opens `name`, a regular file, for binary reading without holding it, so
// that reading never keeps a converter off the file. Never blocks on a FIFO
// or device. Symbolic links are followed.
std::FILE* open_read(const char* name);

// Creates `name`, or takes over a leftover regular file of that name with no
// other names, for binary update, and holds it for exclusive use. Never
// follows a symbolic link. Anything else at `name` fails the call and is left
// as it was.
//   POSIX:   the leftover is held and only then truncated. The file is
//            created with mode 0600 and then given the permission bits of
//            `original` (and its owner and group where the process may set
//            them), so the data is never readable by more people than before.
//   Windows: the leftover must also be no reparse point, and empty or
//            beginning with "StAt" "Ver2"; it is held without sharing while
//            checked, then removed, and the copy created afresh (CREATE_NEW),
//            so that no handle opened on it earlier reaches the new data.
std::FILE* create_exclusive(const char* name, std::FILE* original);

// Gives the finished copy `copy`, closed, what it must carry of the file
// open on `original` that could not be given while it was written.
//   POSIX:   nothing: the mode was carried when the copy was created.
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
int rename_no_replace(const char* from, const char* to);

int remove_file(const char* name);

// Makes the renames of entries in the directory holding `name` durable.
int sync_directory_of(const char* name);

// Whether a file held by open_exclusive_read may be renamed while it is
// open. Where it may (POSIX), the input stays held until it has been moved
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

// Whether `name`, written with print_quoted, reaches rename_command as it is.
//   POSIX:   always.
//   Windows: not when it holds '%': cmd expands %...% even within quotes.
int command_safe(const char* name);

// Calls `visit` for each file name that the command-line argument `arg`
// stands for, in order.
//   POSIX:   an argument containing '*' or '?' is expanded to the matching
//            names, sorted; a pattern that matches nothing is passed on as
//            typed. Any other argument is passed on untouched.
//   Windows: the runtime's start-up has already expanded patterns, so `arg`
//            is passed on as it stands.
void for_each_file_name(const char* arg, void (*visit)(const char* name, void* context),
                        void* context);

} // namespace platform
