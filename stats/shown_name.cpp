#include "stats/shown_name.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace stats {
namespace {

// A shown piece: one character as it is, or one byte escaped.
using Piece = char[8];

#ifdef _WIN32

constexpr const char* opening = "";
constexpr const char* closing = "";

// How many bytes at `c` are shown as they are: one, or none for a control
// character or DEL.
std::size_t printable_length(const char* c) {
    auto byte = static_cast<unsigned char>(*c);
    return byte >= 0x20 && byte != 0x7f ? 1 : 0;
}

void escape(char /*byte*/, Piece& piece) {
    std::strcpy(piece, "?");
}

#else

constexpr const char* opening = "$'";
constexpr const char* closing = "'";

// A byte that begins a UTF-8 character of `length` bytes, beyond ASCII, and
// the range its second byte must fall in, which leaves out overlong forms,
// surrogates and code points past U+10FFFF.
struct Lead {
    unsigned char first, last, low, high;
    std::size_t length;
};
constexpr Lead leads[] = {
    {0xc2, 0xdf, 0x80, 0xbf, 2}, {0xe0, 0xe0, 0xa0, 0xbf, 3}, {0xe1, 0xec, 0x80, 0xbf, 3},
    {0xed, 0xed, 0x80, 0x9f, 3}, {0xee, 0xef, 0x80, 0xbf, 3}, {0xf0, 0xf0, 0x90, 0xbf, 4},
    {0xf1, 0xf3, 0x80, 0xbf, 4}, {0xf4, 0xf4, 0x80, 0x8f, 4},
};

// The characters that act rather than print: control characters, DEL and
// the C1 controls; the line and paragraph separators; the bidirectional
// controls, which reorder the rest of the line.
struct Range {
    std::uint32_t first, last;
};
constexpr Range acting[] = {{0x00, 0x1f},     {0x7f, 0x9f},     {0x061c, 0x061c},
                            {0x200e, 0x200f}, {0x2028, 0x202e}, {0x2066, 0x2069}};

// The length of the UTF-8 character of two to four bytes at `c`, its code
// point in `code`; 0 where the bytes there are not one. Reads no further
// than a byte that breaks the sequence, so never past the terminator.
std::size_t utf8_length(const unsigned char* c, std::uint32_t& code) {
    for (const Lead& lead : leads) {
        if (c[0] < lead.first || c[0] > lead.last) continue;
        if (c[1] < lead.low || c[1] > lead.high) return 0;
        code = c[0] & (0x7fu >> lead.length);
        for (std::size_t i = 1; i < lead.length; i++) {
            if ((c[i] & 0xc0) != 0x80) return 0;
            code = code << 6 | (c[i] & 0x3fu);
        }
        return lead.length;
    }
    return 0;
}

// How many bytes at `c` are shown as they are: the printable character
// there, or none.
std::size_t printable_length(const char* c) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(c);
    std::uint32_t code = bytes[0];
    std::size_t length = code < 0x80 ? 1 : utf8_length(bytes, code);
    for (const Range& range : acting)
        if (code >= range.first && code <= range.last) return 0;
    return length;
}

void escape(char byte, Piece& piece) {
    const char* named = byte == '\n'   ? "\\n"
                        : byte == '\r' ? "\\r"
                        : byte == '\t' ? "\\t"
                        : byte == 27   ? "\\e"
                                       : nullptr;
    if (named != nullptr)
        std::strcpy(piece, named);
    else
        std::snprintf(piece, sizeof piece, "\\x%02x", static_cast<unsigned char>(byte));
}

#endif

// Whether every byte of `name` is part of a character shown as it is.
bool shown_as_is(const char* name) {
    for (const char* c = name; *c != '\0';) {
        std::size_t length = printable_length(c);
        if (length == 0) return false;
        c += length;
    }
    return true;
}

// Forms in `piece` how the bytes at `c` (not the terminator) are shown
// within a shown form; returns how many bytes of the name that is.
std::size_t shown_piece(const char* c, Piece& piece) {
    std::size_t length = printable_length(c);
    if (length == 0) {
        escape(*c, piece);
        return 1;
    }
    bool quoted = *opening != '\0' && (*c == '\'' || *c == '\\');
    if (quoted) piece[0] = '\\';
    std::memcpy(piece + quoted, c, length);
    piece[quoted + length] = '\0';
    return length;
}

// Where a shown form is written: into `text`, of `size` bytes, which is
// written to `out` (unless null) whenever it fills up.
struct Sink {
    std::FILE* out;
    char* text;
    std::size_t size;
    std::size_t used;
};

void flush(Sink& sink) {
    if (sink.out != nullptr && sink.used > 0)
        platform::print_text(sink.out, "%.*s", static_cast<int>(sink.used), sink.text);
    sink.used = 0;
}

// Appends `piece`. A room without `out` is sized for the whole shown form.
void put(Sink& sink, const char* piece) {
    std::size_t length = std::strlen(piece);
    if (sink.used + length >= sink.size) {
        if (sink.out == nullptr) return;
        flush(sink);
    }
    std::memcpy(sink.text + sink.used, piece, length + 1);
    sink.used += length;
}

void write_shown(Sink& sink, const char* name) {
    put(sink, opening);
    for (const char* c = name; *c != '\0';) {
        Piece piece;
        c += shown_piece(c, piece);
        put(sink, piece);
    }
    put(sink, closing);
}

} // namespace

void print_shown(std::FILE* out, const char* name) {
    if (shown_as_is(name)) {
        platform::print_text(out, "%s", name);
        return;
    }
    char chunk[512];
    Sink sink{out, chunk, sizeof chunk, 0};
    write_shown(sink, name);
    flush(sink);
}

void print_named(std::FILE* out, const char* name, const char* format, ...) {
    print_shown(out, name);
    std::va_list args;
    va_start(args, format);
    platform::vprint_text(out, format, args);
    va_end(args);
}

const char* shown(const char* name, ShownName& room) {
    if (shown_as_is(name)) return name;
    if (std::strlen(name) >= name_buffer_size) return "(a name too long to show)";
    Sink sink{nullptr, room.text, sizeof room.text, 0};
    write_shown(sink, name);
    return room.text;
}

#ifdef _WIN32

void print_quoted(std::FILE* out, const char* name) {
    std::fputc('"', out);
    for (const char* part = name; *part != '\0';) {
        std::size_t plain = std::strcspn(part, "/");
        if (plain > 0) platform::print_text(out, "%.*s", static_cast<int>(plain), part);
        if (part[plain] == '/') std::fputc('\\', out);
        part += plain + (part[plain] == '/');
    }
    std::fputc('"', out);
}

int command_safe(const char* name) {
    return std::strpbrk(name, "%!") == nullptr;
}

#else

void print_quoted(std::FILE* out, const char* name) {
    if (!shown_as_is(name)) {
        print_shown(out, name);
        return;
    }
    std::size_t plain = std::strspn(name, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789_./-+,:@%=");
    if (name[plain] == '\0' && plain > 0) {
        std::fputs(name, out);
        return;
    }
    std::fputc('\'', out);
    for (const char* c = name; *c != '\0'; c++) {
        if (*c == '\'')
            std::fputs("'\\''", out);
        else
            std::fputc(*c, out);
    }
    std::fputc('\'', out);
}

int command_safe(const char* /*name*/) {
    return 1;
}

#endif

} // namespace stats
