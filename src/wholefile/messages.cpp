// Messages and progress lines: every line a program prints goes through emit() here.
//
// Standard output is flushed before anything goes to standard error, and after every line
// of its own, so that in a log that holds both streams a message follows the lines that led
// to it, and a run that a signal ends leaves a log that names everything it did. A line
// costs one write; the runs that print the most lines create a file for each of them, which
// costs far more.
#include "internal.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace wholefile {

namespace {

// Set once standard output is closed, after which it is never touched again.
bool stdout_closed = false;

// The format is checked where the public routines are called, which pass theirs through.
__attribute__((format(printf, 2, 0))) void emit(std::FILE* stream, const char* format,
                                                std::va_list args) {
    if (!stdout_closed) std::fflush(stdout); // a failure shows again when it is closed
    std::vfprintf(stream, format, args);
    std::fflush(stream);
}

void escape(std::string& out, unsigned char byte) {
    out += '\\';
    out += static_cast<char>('0' + (byte >> 6));
    out += static_cast<char>('0' + ((byte >> 3) & 7));
    out += static_cast<char>('0' + (byte & 7));
}

} // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t k = 0; k < text.size(); ++k) {
        const auto byte = static_cast<unsigned char>(text[k]);
        // The C1 controls (U+0080 to U+009F) in UTF-8, C2 80 to C2 9F, act on a terminal that
        // reads UTF-8 (CSI, OSC). The same bytes alone are Shift-JIS lead bytes and stay.
        const auto next = k + 1 < text.size() ? static_cast<unsigned char>(text[k + 1]) : 0u;
        if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            escape(out, byte);
            escape(out, static_cast<unsigned char>(next));
            ++k;
            continue;
        }
        if (byte >= 0x20 && byte != 0x7F) {
            out += static_cast<char>(byte);
            continue;
        }
        static constexpr char named[] = "abtnvfr"; // \a (7) to \r (13)
        if (byte >= '\a' && byte <= '\r') {
            out += '\\';
            out += named[byte - '\a'];
        } else {
            escape(out, byte);
        }
    }
    return out;
}

void say(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    emit(stdout, format, args);
    va_end(args);
}

void fail_with_status(int status, const char* format, ...) {
    detail::clean_up();
    std::va_list args;
    va_start(args, format);
    emit(stderr, format, args);
    va_end(args);
    std::exit(status);
}

void fail(const char* format, ...) {
    detail::clean_up();
    std::va_list args;
    va_start(args, format);
    emit(stderr, format, args);
    va_end(args);
    std::exit(1);
}

void warn(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    emit(stderr, format, args);
    va_end(args);
}

void close_standard_output() {
    const bool flushed = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    const bool closed = std::fclose(stdout) == 0;
    stdout_closed = true;
    if (!closed || !flushed) fail("can't write to standard output\n");
}

namespace detail {

void fail_changed(const char* path) {
    fail("'%s' changed during the run\n", printable(path).c_str());
}

void fail_writing(const char* shown) {
    if (const char* const input = changed_input()) fail_changed(input);
    fail("can't write to '%s'\n", printable(shown).c_str());
}

} // namespace detail

} // namespace wholefile
