// The standard streams on Windows, as messages.cpp writes them, and what the run learns of them
// at its start.
//
// Bytes go to a pipe or a file exactly as on POSIX systems, with WriteFile: no code page and
// no C runtime in text mode comes between (which would turn every "\n" into "\r\n"). A console
// is given characters instead, with WriteConsoleW, whatever code page it is set to: the text,
// UTF-8 with names in the escaped form of printable(), is read as UTF-8, or where it is not
// UTF-8 as the name mapping reads a component (Shift-JIS), and shown as such. Nothing is
// buffered, so nothing is left to flush; a write to standard output that fails is remembered
// and reported when standard output is closed, as a failed flush is on POSIX systems.
#include "internal.hpp"

#include <cerrno>

namespace wholefile {

namespace {

struct StandardStream {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool console = false;
    std::optional<FileId> file; // the file it goes to, when it goes to one
};
StandardStream out_stream;
StandardStream err_stream;
bool guard_stdout = false;
bool erases_lines = false;
DWORD output_failure = 0; // the first failed write to standard output, if any
bool output_closed = false;

[[nodiscard]] StandardStream learned(DWORD which) {
    StandardStream s;
    s.handle = ::GetStdHandle(which);
    if (s.handle == nullptr || s.handle == INVALID_HANDLE_VALUE) return s;
    DWORD mode = 0;
    s.console = ::GetConsoleMode(s.handle, &mode) != 0;
    if (::GetFileType(s.handle) == FILE_TYPE_DISK) s.file = detail::identity_of(s.handle);
    return s;
}

[[nodiscard]] bool write_bytes(HANDLE handle, std::string_view text) {
    while (!text.empty()) {
        DWORD written = 0;
        const DWORD ask = text.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(text.size());
        if (!::WriteFile(handle, text.data(), ask, &written, nullptr) || written == 0) return false;
        text.remove_prefix(written);
    }
    return true;
}

// `text` as the characters a console shows.
[[nodiscard]] std::wstring shown_on_console(std::string_view text) {
    if (auto wide = detail::from_utf8(text)) return *wide;
    if (auto wide = detail::file_name_of(text)) return *wide;
    // Neither: UTF-8 as far as it reads, the rest as the replacement character.
    std::wstring wide(text.size(), L'\0');
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        wide.data(), static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return wide;
}

[[nodiscard]] bool write_console(HANDLE handle, std::string_view text) {
    const std::wstring wide = shown_on_console(text);
    std::wstring_view rest = wide;
    while (!rest.empty()) {
        DWORD written = 0;
        const DWORD ask = rest.size() > 16384 ? 16384 : static_cast<DWORD>(rest.size());
        if (!::WriteConsoleW(handle, rest.data(), ask, &written, nullptr) || written == 0)
            return false;
        rest.remove_prefix(written);
    }
    return true;
}

} // namespace

namespace detail {

void learn_standard_streams(StandardOutput use) {
    out_stream = learned(STD_OUTPUT_HANDLE);
    err_stream = learned(STD_ERROR_HANDLE);
    // A pipe cannot be named by a path an output is given, and a console or a device is no
    // file that lines could corrupt: only a file is guarded.
    guard_stdout = use == StandardOutput::prints_lines && out_stream.file.has_value();
    // The progress line's "\033[K", where the console can be asked to read such sequences.
    DWORD mode = 0;
    if (err_stream.console && ::GetConsoleMode(err_stream.handle, &mode))
        erases_lines =
            (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
            ::SetConsoleMode(err_stream.handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void refuse_streams(FileId id, const char* shown, bool error_too) {
    if (guard_stdout && same_file(id, *out_stream.file))
        fail("won't write to '%s': it is this run's standard output\n", printable(shown).c_str());
    if (error_too && err_stream.file && same_file(id, *err_stream.file))
        fail("won't write to '%s': it is this run's standard error\n", printable(shown).c_str());
}

bool standard_error_is_terminal() {
    return err_stream.console;
}

bool terminal_erases_lines() {
    return erases_lines;
}

void put(Stream stream, std::string_view text) {
    const StandardStream& s = stream == Stream::output ? out_stream : err_stream;
    if (text.empty()) return;
    if (stream == Stream::output && output_closed) return;
    const bool written = s.handle != nullptr && s.handle != INVALID_HANDLE_VALUE &&
                         (s.console ? write_console(s.handle, text) : write_bytes(s.handle, text));
    if (!written && stream == Stream::output && output_failure == 0) {
        output_failure = s.handle == nullptr || s.handle == INVALID_HANDLE_VALUE
                             ? ERROR_INVALID_HANDLE
                             : ::GetLastError();
        if (output_failure == 0) output_failure = ERROR_WRITE_FAULT;
    }
}

void flush_output() {} // nothing waits in a buffer

bool close_output(int* error) {
    output_closed = true;
    *error = output_failure == 0 ? 0 : errno_of(output_failure);
    return output_failure == 0;
}

} // namespace detail

void check_output(const char* path) {
    if (!guard_stdout) return;
    // Only the identity matters here; the output itself is looked at when it is written.
    if (const std::optional<FileId> id = identity(path)) detail::refuse_streams(*id, path, false);
}

} // namespace wholefile
