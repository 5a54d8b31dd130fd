// The command line as the system gives it, and the entries of a directory:
// the part of the operating-system layer (platform/platform.h) that the
// programs' file names are made from.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// Mechanism only: the arguments as the system gives them, and the entries of
// a directory. What a pattern matches is decided above this layer
// (driver/file_names.h), the same way on both systems.

// A name as the system keeps it: bytes on Linux, UTF-16 on Windows.
#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif
using NativeName = std::basic_string<NativeChar>;

// One command-line argument: as the program holds names (`name`), and as
// the system gave it (`native`). `as_typed` is false where the name that
// arrived is not what was typed; `native` is then not to be used.
//   Linux:   both are the argument itself, always as typed.
//   Windows: `native` from the wide command line (the runtime's start-up
//            expansion is off); the runtime gives main its arguments in the
//            ANSI code page, which turns a character it cannot hold into a
//            look-alike ("Omega" for "Ωmega"): as typed only where the code
//            page holds the wide argument exactly.
struct Argument {
    std::string name;
    NativeName native;
    bool as_typed;
};
std::vector<Argument> arguments(int count, char** argv, int first);

// Where the last part of `path` begins: after its last separator.
//   Linux:   '/'. Windows: '/', '\\' or a drive's ':'.
std::size_t last_part_at(const NativeName& path);

// The entries of the directory that `directory` names (empty: the current
// one, else ending in a separator), but "." and "..", in no order.
//   Windows: by their long names only, never an 8.3 short name (through
//            which "*.old" would match y.older).
std::vector<NativeName> directory_entries(const NativeName& directory);

// Whether the system's command line gives a pattern's trailing "." and
// ".*" their own meanings, as cmd does on Windows: "*.*" every name, "*."
// every name without an extension.
#ifdef _WIN32
inline constexpr bool patterns_as_cmd = true;
#else
inline constexpr bool patterns_as_cmd = false;
#endif

// Whether "/?" asks a program for its help, as on Windows.
#ifdef _WIN32
inline constexpr bool slash_question_is_help = true;
#else
inline constexpr bool slash_question_is_help = false;
#endif

// Whether two characters of names are the same as the file system matches
// names: on Windows letters in either case.
bool same_letter(NativeChar a, NativeChar b);

// `native` as the program holds names, in `name`; `as_typed` false where
// the conversion changed a character. False where it cannot be held at
// all.
bool to_program_name(const NativeName& native, std::string& name, bool& as_typed);

} // namespace platform
