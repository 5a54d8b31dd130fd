// Linux: the process's set-up (the signals it ignores), the command line as
// it came, a directory's entries (readdir) and text printed as it is.
#include "platform/command_line.h"
#include "platform/platform.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

namespace platform {

void prepare_process() {
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGIO, SIG_IGN);
}

int vprint_text(std::FILE* out, const char* format, std::va_list args) {
    return std::vfprintf(out, format, args);
}

std::vector<Argument> arguments(int count, char** argv, int first) {
    std::vector<Argument> got;
    for (int i = first; i < count; i++)
        got.push_back({argv[i], argv[i], true});
    return got;
}

std::size_t last_part_at(const NativeName& path) {
    std::size_t slash = path.rfind('/');
    return slash == NativeName::npos ? 0 : slash + 1;
}

std::vector<NativeName> directory_entries(const NativeName& directory) {
    std::vector<NativeName> entries;
    if (DIR* listing = opendir(directory.empty() ? "." : directory.c_str())) {
        while (const dirent* entry = readdir(listing))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                entries.emplace_back(entry->d_name);
        closedir(listing);
    }
    return entries;
}

bool same_letter(NativeChar a, NativeChar b) {
    return a == b;
}

bool to_program_name(const NativeName& native, std::string& name, bool& as_typed) {
    name = native;
    as_typed = true;
    return true;
}

} // namespace platform
