// statconv: upgrades statistics files from version 1 to version 2 in place.
//
// With no arguments it converts the five statistics files of the built-in
// list, below the current directory; with arguments, exactly the named files
// (wildcard patterns expanded). Every argument is a file name: there are no
// options. The exit status is the last file's conversion result, 1 when it
// was converted and 0 when it was not.
#include <cstdio>

#include "driver/builtin_files.h"
#include "platform/platform.h"
#include "stats/convert.h"

namespace {

// Announces one file, converts it and keeps its result as the last result.
// Standard output is flushed so that a combined log reads in order.
void convert_announced(const char* name, void* last_result) {
    platform::print_text(stdout, "Converting %s\n", name);
    std::fflush(stdout);
    *static_cast<int*>(last_result) = stats::convert_file(name);
}

} // namespace

int main(int argc, char** argv) {
    int last_result = 0;
    if (argc <= 1) {
        for (const char* name : driver::builtin_files)
            convert_announced(name, &last_result);
    } else {
        platform::for_each_file_name(argc - 1, argv + 1, convert_announced, &last_result);
    }
    return last_result;
}
