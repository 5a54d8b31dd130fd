// Test helper for the Windows programs: another program at work on NAME.
//   hold_file NAME: holds it with no sharing until a line arrives on
//     standard input; prints "held" once it holds it.
//   hold_file --write NAME, hold_file --read NAME: the same, with NAME open
//     for writing or for reading, sharing reading and writing.
//   hold_file --append NAME: once NAME.new appears, opens NAME sharing
//     everything as soon as it can and appends a line to it.
//   hold_file --scan NAME: whenever NAME.new or NAME.old can be opened
//     (sharing reading only), holds it 300 ms, until a line arrives.
// The last two print "ready" first; --append gives up after a minute.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <share.h>

namespace {

int append(const char* name) {
    char copy[MAX_PATH], line[] = "appended by another program\n";
    std::snprintf(copy, sizeof copy, "%s.new", name);
    ULONGLONG until = GetTickCount64() + 60000;
    while (GetFileAttributesA(copy) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < until) {
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    while (file == INVALID_HANDLE_VALUE && GetTickCount64() < until)
        file = CreateFileA(name, FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    bool whole =
        WriteFile(file, line, sizeof line - 1, &written, nullptr) && written == sizeof line - 1;
    CloseHandle(file);
    return whole ? 0 : 1;
}

DWORD WINAPI scan(void* name) {
    char names[2][MAX_PATH];
    std::snprintf(names[0], MAX_PATH, "%s.new", static_cast<const char*>(name));
    std::snprintf(names[1], MAX_PATH, "%s.old", static_cast<const char*>(name));
    for (int i = 0;; i = 1 - i) {
        HANDLE file = CreateFileA(names[i], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        Sleep(300);
        CloseHandle(file);
    }
}

} // namespace

// Opens NAME as the options before it say: with no sharing, or open for
// writing or reading while sharing both.
std::FILE* open_as_asked(int argc, char** argv) {
    if (argc == 2) return _fsopen(argv[1], "rb", _SH_DENYRW);
    if (std::strcmp(argv[1], "--write") == 0) return _fsopen(argv[2], "r+b", _SH_DENYNO);
    if (std::strcmp(argv[1], "--read") == 0) return _fsopen(argv[2], "rb", _SH_DENYNO);
    return nullptr;
}

int main(int argc, char** argv) {
    bool appending = argc == 3 && std::strcmp(argv[1], "--append") == 0;
    bool scanning = argc == 3 && std::strcmp(argv[1], "--scan") == 0;
    if (argc != 2 && argc != 3) return 2;
    std::FILE* file = open_as_asked(argc, argv);
    HANDLE scanner = scanning ? CreateThread(nullptr, 0, scan, argv[2], 0, nullptr) : nullptr;
    if (file == nullptr && scanner == nullptr && !appending) return 1;
    std::puts(file != nullptr ? "held" : "ready");
    std::fflush(stdout);
    if (appending) return append(argv[2]);
    std::getchar(); // the scanner ends with the process
    if (file != nullptr) std::fclose(file);
    if (scanner != nullptr) CloseHandle(scanner);
    return 0;
}
