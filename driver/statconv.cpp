// statconv: upgrades statistics files from version 1 to version 2 in place.
//
// With no arguments it converts the five statistics files of the built-in
// list, below the current directory; with arguments, exactly the named files
// (wildcard patterns expanded). Every argument is a file name: there are no
// options. The exit status is the last file's conversion result, 1 when it
// was converted and 0 when it was not.
#include <cstdio>

#include "driver/announce.h"
#include "driver/builtin_files.h"
#include "driver/file_names.h"
#include "platform/platform.h"
#include "stats/convert.h"
#include "stats/shown_name.h"

namespace {

// Announces one file and converts it; its result becomes the last result. A
// name that did not reach the program as it was typed names another file,
// and cannot be opened as the one meant. Standard output is flushed so that
// a combined log reads in order. The name is shown as it is unless it holds
// a byte that does not print (stats/shown_name.h), so that no name can move
// the terminal's cursor.
int convert_announced(const char* name, bool as_typed) {
    driver::announce("Converting ", name);
    if (as_typed) return stats::convert_file(name);
    stats::report_error("Cannot open ");
    stats::print_named(stderr, name, "\n");
    std::fflush(stderr);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    platform::prepare_process();
    int last_result = 0;
    if (argc <= 1) {
        for (const char* name : driver::builtin_files)
            last_result = convert_announced(name, true);
    } else {
        for (const driver::FileName& file : driver::file_names(argc, argv, 1))
            last_result = convert_announced(file.name.c_str(), file.as_typed);
    }
    return last_result;
}
