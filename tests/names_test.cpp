// The tables that guard what a name does: the pattern matcher, what a
// pattern's match stands for, and how a name is shown and quoted.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/file_names.h"
#include "stats/shown_name.h"

namespace {

TEST(Patterns, MatchAsTheCommandLineMeansThem) {
    struct Case {
        const char *pattern, *name;
        bool matches, on_windows;
    };
    const Case cases[] = {
        {"*", "collstat", true, true},
        {"*stat", "collstat", true, true},
        {"*stat", "collstat.old", false, false},
        {"c?ll*", "collstat", true, true},
        {"c?ll*", "cll", false, false},
        {"[ab]", "a", false, false},
        {"[ab]", "[ab]", true, true},
        {"*.old", "x.old", true, true},
        {"*.old", "x.older", false, false},
        {"*a*b*", "xaybz", true, true},
        {"*.*", "collstat", false, true},
        {"*.*", "x.dat", true, true},
        {"coll*.*", "collstat", false, true},
        {"*.", "collstat", false, true},
        {"*.", "x.dat", false, false},
        {"x.", "x", false, true},
        {"", "", true, true},
        {"?", "", false, false},
    };
    bool windows = platform::patterns_as_cmd;
    for (const Case& c : cases) {
        platform::NativeName pattern(c.pattern,
                                     c.pattern + std::char_traits<char>::length(c.pattern));
        platform::NativeName name(c.name, c.name + std::char_traits<char>::length(c.name));
        EXPECT_EQ(driver::matches_as_meant(pattern, name), windows ? c.on_windows : c.matches)
            << c.pattern << " against " << c.name;
    }
}

TEST(Patterns, AMatchBesideItsFileStandsForNothing) {
    struct Case {
        std::vector<std::string> entries;
        const char* entry;
        bool stands;
        const char* base;
    };
    const Case cases[] = {
        {{"x", "x.old"}, "x.old", false, ""},
        {{"x", "x.new"}, "x.new", false, ""},
        {{"x.old"}, "x.old", true, "x.old"},
        {{"x.old", "x.new"}, "x.old", true, "x"},
        {{"x.old", "x.new"}, "x.new", true, "x"},
        {{"x", "x.old.1"}, "x.old.1", true, "x.old.1"},
        {{".old", "x"}, ".old", true, ".old"},
        {{"x", "xold"}, "xold", true, "xold"},
        {{"x.old", "x.old.old"}, "x.old.old", false, ""},
    };
    for (const Case& c : cases) {
        std::vector<platform::NativeName> entries;
        for (const std::string& e : c.entries)
            entries.emplace_back(e.begin(), e.end());
        std::string entry_text(c.entry), base_text(c.base);
        platform::NativeName entry(entry_text.begin(), entry_text.end()), base;
        EXPECT_EQ(driver::stands_for(entry, entries, base), c.stands) << c.entry;
        if (c.stands) {
            EXPECT_EQ(base, platform::NativeName(base_text.begin(), base_text.end())) << c.entry;
        }
    }
}

#ifndef _WIN32
// What `print` writes of `name`, through a memory stream.
template <typename Print>
std::string written(Print print, const char* name) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    print(out, name);
    std::fclose(out);
    std::string got(text, size);
    std::free(text);
    return got;
}

TEST(ShownNames, WhatDoesNotPrintIsEscapedAndQuotedWhole) {
    struct Case {
        const char *name, *shown, *quoted;
    };
    const Case cases[] = {
        {"trans/collstat", "trans/collstat", "trans/collstat"},
        {"a b", "a b", "'a b'"},
        {"it's", "it's", "'it'\\''s'"},
        {"-x", "-x", "-x"},
        {"$HOME", "$HOME", "'$HOME'"},
        {"x\ny", "$'x\\ny'", "$'x\\ny'"},
        {"\x1b[2J", "$'\\e[2J'", "$'\\e[2J'"},
        {"tab\there", "$'tab\\there'", "$'tab\\there'"},
        {"del\x7f", "$'del\\x7f'", "$'del\\x7f'"},
        {"caf\xc3\xa9", "caf\xc3\xa9", "'caf\xc3\xa9'"},              // é prints
        {"lone\x9b", "$'lone\\x9b'", "$'lone\\x9b'"},                 // not UTF-8
        {"\xc2\x9b", "$'\\xc2\\x9b'", "$'\\xc2\\x9b'"},               // C1 control U+009B
        {"cut\xe2\x80", "$'cut\\xe2\\x80'", "$'cut\\xe2\\x80'"},      // a sequence cut short
        {"\xc0\xaf", "$'\\xc0\\xaf'", "$'\\xc0\\xaf'"},               // overlong '/'
        {"\xed\xa0\x80", "$'\\xed\\xa0\\x80'", "$'\\xed\\xa0\\x80'"}, // a surrogate
        {"a\xe2\x80\xa8"
         "b",
         "$'a\\xe2\\x80\\xa8b'", "$'a\\xe2\\x80\\xa8b'"},                   // U+2028
        {"\xe2\x80\xaeoa", "$'\\xe2\\x80\\xaeoa'", "$'\\xe2\\x80\\xaeoa'"}, // U+202E
        {"\xd8\x9c", "$'\\xd8\\x9c'", "$'\\xd8\\x9c'"},                     // U+061C
        {"\xe2\x81\xa6", "$'\\xe2\\x81\\xa6'", "$'\\xe2\\x81\\xa6'"},       // U+2066
        {"q'\x01", "$'q\\'\\x01'", "$'q\\'\\x01'"},
        {"b\\\x01", "$'b\\\\\\x01'", "$'b\\\\\\x01'"},
    };
    for (const Case& c : cases) {
        stats::ShownName room;
        EXPECT_STREQ(stats::shown(c.name, room), c.shown) << c.name;
        EXPECT_EQ(written(stats::print_shown, c.name), c.shown) << c.name;
        EXPECT_EQ(written(stats::print_quoted, c.name), c.quoted) << c.name;
        EXPECT_EQ(stats::command_safe(c.name), 1) << c.name;
    }
}
#endif

} // namespace
