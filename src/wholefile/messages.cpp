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

// The format is checked where the public routines are called, which pass theirs through.
__attribute__((format(printf, 2, 0))) void emit(std::FILE* stream, const char* format,
                                                std::va_list args) {
    std::fflush(stdout); // a failure shows again, and is reported, when it is closed
    std::vfprintf(stream, format, args);
    std::fflush(stream);
}

} // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
            continue;
        }
        static constexpr char named[] = "abtnvfr"; // \a (7) to \r (13)
        out += '\\';
        if (byte >= '\a' && byte <= '\r') {
            out += named[byte - '\a'];
        } else {
            out += static_cast<char>('0' + (byte >> 6));
            out += static_cast<char>('0' + ((byte >> 3) & 7));
            out += static_cast<char>('0' + (byte & 7));
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
    detail::remove_pending();
    std::va_list args;
    va_start(args, format);
    emit(stderr, format, args);
    va_end(args);
    std::exit(status);
}

void fail(const char* format, ...) {
    detail::remove_pending();
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
    if (std::fclose(stdout) != 0 || !flushed) fail("can't write to standard output\n");
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
