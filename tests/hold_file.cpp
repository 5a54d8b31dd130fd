// Test helper for the Windows program: holds a file open with no sharing,
// as another program at work on it would, until a line arrives on standard
// input. Prints "held" once it holds the file.
#include <cstdio>
#include <share.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::FILE* file = _fsopen(argv[1], "rb", _SH_DENYRW);
    if (file == nullptr) return 1;
    std::puts("held");
    std::fflush(stdout);
    std::getchar();
    std::fclose(file);
    return 0;
}
