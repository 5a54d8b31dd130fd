// The runtime layer on Windows, through the C runtime msvcrt.dll alone:
// _fsopen with _SH_DENYRW for exclusive use, rename (which never replaces an
// existing file there), _commit to reach storage, and the start-up's own
// wildcard expansion.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/types.h>

// Asks the runtime's start-up (__getmainargs) to expand wildcard arguments
// into the names of the matching files before main sees them.
extern "C" {
int _dowildcard = -1;
}

namespace platform {

namespace {

std::FILE* open_regular(const char* name, int sharing) {
    std::FILE* stream = _fsopen(name, "rb", sharing);
    if (stream == nullptr) return nullptr;
    struct _stati64 st;
    if (_fstati64(_fileno(stream), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}

} // namespace

std::FILE* open_exclusive_read(const char* name) {
    return open_regular(name, _SH_DENYRW);
}

std::FILE* open_read(const char* name) {
    return open_regular(name, _SH_DENYNO);
}

// A file held by another process cannot be opened under _SH_DENYRW, and the
// refused open does not truncate it.
std::FILE* create_exclusive(const char* name, std::FILE* /*original*/) {
    return _fsopen(name, "w+b", _SH_DENYRW);
}

int file_size(std::FILE* stream, long long* size) {
    long long length = _filelengthi64(_fileno(stream));
    if (length < 0) return 0;
    *size = length;
    return 1;
}

int start_writeback(std::FILE* stream) {
    return std::fflush(stream) == 0;
}

int sync_to_storage(std::FILE* stream) {
    return std::fflush(stream) == 0 && _commit(_fileno(stream)) == 0;
}

int rename_no_replace(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

int remove_file(const char* name) {
    return _unlink(name) == 0;
}

int name_is_free(const char* name) {
    if (_access(name, 0) == 0) {
        errno = EEXIST;
        return 0;
    }
    return errno == ENOENT;
}

// NTFS journals its directory changes itself; the runtime offers no way to
// flush a directory.
int sync_directory_of(const char* /*name*/) {
    return 1;
}

// Windows names cannot hold a double quote, so quoting is enough.
void print_quoted(std::FILE* out, const char* name) {
    std::fprintf(out, "\"%s\"", name);
}

// Never: msvcrt's rename is a single step, so no cut-off rename leaves a
// file under two names.
int same_file(const char* /*a*/, const char* /*b*/) {
    return 0;
}

void for_each_file_name(int count, char** args, void (*visit)(const char* name, void* context),
                        void* context) {
    for (int i = 0; i < count; i++)
        visit(args[i], context);
}

} // namespace platform
