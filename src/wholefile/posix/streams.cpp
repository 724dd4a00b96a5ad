// The standard streams on POSIX systems, as messages.cpp writes them: through the C library's
// own streams, each flushed after every piece of text, so that nothing waits in a buffer when
// the process ends.
#include "internal.hpp"

#include <cerrno>
#include <cstdio>

namespace wholefile::detail {

void put(Stream stream, std::string_view text) {
    std::FILE* const file = stream == Stream::output ? stdout : stderr;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
}

void flush_output() {
    std::fflush(stdout);
}

bool close_output(int* error) {
    const bool flushed = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    const bool closed = std::fclose(stdout) == 0;
    *error = errno;
    return closed && flushed;
}

bool terminal_erases_lines() {
    return true; // every terminal a POSIX system drives takes the escape
}

} // namespace wholefile::detail
