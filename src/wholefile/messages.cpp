// Messages and progress lines: every line a program prints goes through emit() here, on
// every system; the platform's files (posix/, windows/) only write the finished text to the
// stream (common.hpp).
//
// Standard output is flushed before anything goes to standard error, and after every line
// of its own, so that in a log that holds both streams a message follows the lines that led
// to it, and a run that a signal ends leaves a log that names everything it did. A line
// costs one write; the runs that print the most lines create a file for each of them, which
// costs far more.
#include "common.hpp"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace wholefile {

namespace {

// Set once standard output is closed, after which it is never touched again.
bool stdout_closed = false;
bool reasons_given = false;

// The progress line: when the work began, when the line was last drawn, whether it is shown.
struct Progress {
    bool started = false;
    bool shown = false;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point drawn;
};
Progress shown_progress;

// The length of the progress line last drawn, which a terminal that cannot clear to the end
// of a line has overwritten with spaces.
std::size_t drawn_length = 0;

void clear_progress() {
    if (!shown_progress.shown) return;
    if (detail::terminal_erases_lines()) {
        detail::put(detail::Stream::error, "\r\033[K");
    } else {
        // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) about "\r" + string.
        std::string spaces(1, '\r');
        spaces.append(drawn_length, ' ').push_back('\r');
        detail::put(detail::Stream::error, spaces);
    }
    shown_progress.shown = false;
}

// The text of `format` with `args`, as printf would print it.
__attribute__((format(WHOLEFILE_PRINTF, 1, 0))) std::string formatted(const char* format,
                                                                      std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    char small[512];
    const int length = std::vsnprintf(small, sizeof small, format, args);
    std::string text;
    if (length > 0 && static_cast<std::size_t>(length) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(length));
    } else if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<std::size_t>(length));
    }
    va_end(again);
    return text;
}

// The format is checked where the public routines are called, which pass theirs through.
__attribute__((format(WHOLEFILE_PRINTF, 2, 0))) void emit(detail::Stream stream, const char* format,
                                                          std::va_list args) {
    clear_progress();
    if (!stdout_closed) detail::flush_output(); // a failure shows again when it is closed
    detail::put(stream, formatted(format, args));
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
    emit(detail::Stream::output, format, args);
    va_end(args);
}

void fail_with_status(int status, const char* format, ...) {
    detail::clean_up();
    std::va_list args;
    va_start(args, format);
    emit(detail::Stream::error, format, args);
    va_end(args);
    std::exit(status);
}

void fail(const char* format, ...) {
    detail::clean_up();
    std::va_list args;
    va_start(args, format);
    emit(detail::Stream::error, format, args);
    va_end(args);
    std::exit(1);
}

void fail_because(int error, const char* format, const char* path) {
    std::string text(format);
    const std::size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, printable(path));
    if (reasons_given && error != 0) text.append(": ").append(std::strerror(error));
    fail("%s\n", text.c_str());
}

void warn(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    emit(detail::Stream::error, format, args);
    va_end(args);
}

void say_bytes(std::string_view text) {
    clear_progress();
    detail::put(detail::Stream::output, text);
}

void progress(std::uint64_t done, std::uint64_t all, std::uint64_t bytes) {
    using namespace std::chrono_literals;
    if (!detail::standard_error_is_terminal()) return;
    const auto now = std::chrono::steady_clock::now();
    Progress& p = shown_progress;
    if (!p.started) {
        p.started = true;
        p.start = now;
    }
    // After a second of work, ten times a second at most.
    if (now - p.start < 1s || (p.shown && now - p.drawn < 100ms)) return;
    p.drawn = now;
    p.shown = true;
    char line[96];
    const int length = std::snprintf(
        line, sizeof line, "\r%llu of %llu entries, %.1f MB", static_cast<unsigned long long>(done),
        static_cast<unsigned long long>(all), static_cast<double>(bytes) / 1e6);
    std::string text(line, length > 0 ? static_cast<std::size_t>(length) : 0);
    if (detail::terminal_erases_lines()) {
        text += "\033[K";
    } else {
        // Spaces over what is left of a longer line drawn before.
        const std::size_t width = text.size() - 1;
        if (width < drawn_length) text.append(drawn_length - width, ' ');
        drawn_length = std::max(drawn_length, width);
    }
    detail::put(detail::Stream::error, text);
}

void end_progress() {
    clear_progress();
}

void close_standard_output() {
    int error = 0;
    const bool closed = detail::close_output(&error);
    stdout_closed = true;
    if (!closed) detail::fail_because(error, "can't write to standard output", "");
}

namespace detail {

void fail_changed(const char* path) {
    fail("'%s' changed during the run\n", printable(path).c_str());
}

void give_reasons(bool given) {
    reasons_given = given;
}

void fail_writing(const char* shown, int error) {
    if (const char* const input = changed_input()) fail_changed(input);
    fail_because(error, "can't write to '%s'", shown);
}

} // namespace detail

} // namespace wholefile
