// Test helper for the Windows programs: another program at work on a file.
//   hold_file NAME           holds NAME with no sharing, as a program at
//                            work on it would, until a line arrives on
//                            standard input; prints "held" once it holds it.
//   hold_file --append NAME  once NAME.new appears (a conversion is under
//                            way), opens NAME sharing everything as soon as
//                            it can and appends `appended` to it.
//   hold_file --scan NAME    as a scanner would: whenever NAME.new or
//                            NAME.old can be opened (sharing reading only),
//                            holds it 300 ms and lets go, until a line
//                            arrives on standard input.
// The last two print "ready" once at work; --append gives up after a minute.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <share.h>

namespace {

constexpr char appended[] = "appended by another program\n";

int append(const char* name) {
    char copy[MAX_PATH];
    std::snprintf(copy, sizeof copy, "%s.new", name);
    ULONGLONG until = GetTickCount64() + 60000;
    while (GetFileAttributesA(copy) == INVALID_FILE_ATTRIBUTES)
        if (GetTickCount64() > until) return 1;
    constexpr DWORD any = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = INVALID_HANDLE_VALUE;
    while (file == INVALID_HANDLE_VALUE && GetTickCount64() < until)
        file = CreateFileA(name, FILE_APPEND_DATA, any, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD written = 0;
    bool whole = file != INVALID_HANDLE_VALUE &&
                 WriteFile(file, appended, sizeof appended - 1, &written, nullptr) &&
                 written == sizeof appended - 1;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
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

void say_ready(const char* word) {
    std::puts(word);
    std::fflush(stdout);
}

int hold(const char* name) {
    std::FILE* file = _fsopen(name, "rb", _SH_DENYRW);
    if (file == nullptr) return 1;
    say_ready("held");
    std::getchar();
    std::fclose(file);
    return 0;
}

// The scanner ends with the process, once a line arrives.
int scan_until_told(char* name) {
    HANDLE scanner = CreateThread(nullptr, 0, scan, name, 0, nullptr);
    if (scanner == nullptr) return 1;
    say_ready("ready");
    std::getchar();
    CloseHandle(scanner);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2) return hold(argv[1]);
    if (argc == 3 && std::strcmp(argv[1], "--scan") == 0) return scan_until_told(argv[2]);
    if (argc != 3 || std::strcmp(argv[1], "--append") != 0) return 2;
    say_ready("ready");
    return append(argv[2]);
}
