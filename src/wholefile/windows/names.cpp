// Text and names on Windows: the program's arguments in UTF-8, the one mapping from an entry's
// name to a Windows file name, the names Windows cannot hold, paths from the command line in
// their \\?\ form, and errors as errno values.
//
// Inside the programs every name and path is bytes, as on POSIX systems: UTF-8 for what came
// from the command line (taken in UTF-16 and converted), and whatever bytes an archive holds
// for entry names. An entry's name becomes a file name one component at a time, by one rule
// (docs/windows.md): a component that is UTF-8 is read as UTF-8; one that is not, but that
// Shift-JIS (code page 932) reads and gives back byte for byte, is read as Shift-JIS; any other
// cannot name a file and is an unsafe name. Every conversion is strict (MB_ERR_INVALID_CHARS,
// WC_NO_BEST_FIT_CHARS): a lenient one replaces what it cannot read, or lets a bad trail byte
// swallow the byte after it, and two names would then land on one file unseen. Listing a
// directory gives its names back in UTF-8, so a component read as Shift-JIS is listed in its
// UTF-8 form (as_listed() gives that form for a recorded path).
#include "internal.hpp"

#include <shellapi.h>

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <vector>

namespace wholefile {

namespace {

constexpr UINT shift_jis = 932;

[[nodiscard]] int length_of(std::size_t size) {
    return size > 0x7FFFFFFF ? -1 : static_cast<int>(size);
}

// `text` read in code page `page`, strictly; no value where it does not read.
[[nodiscard]] std::optional<std::wstring> decoded(UINT page, std::string_view text) {
    if (text.empty()) return std::wstring();
    const int size = length_of(text.size());
    if (size < 0) return std::nullopt;
    const int n = ::MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (n <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    if (::MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), n) != n)
        return std::nullopt;
    return wide;
}

// Whether Shift-JIS gives `wide` back as exactly `bytes`, with no character left out or made
// up.
[[nodiscard]] bool encodes_back(std::wstring_view wide, std::string_view bytes) {
    const int size = length_of(wide.size());
    if (size <= 0) return false;
    BOOL defaulted = FALSE;
    const int n = ::WideCharToMultiByte(shift_jis, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr,
                                        0, nullptr, &defaulted);
    if (n <= 0 || defaulted || static_cast<std::size_t>(n) != bytes.size()) return false;
    std::string back(static_cast<std::size_t>(n), '\0');
    if (::WideCharToMultiByte(shift_jis, WC_NO_BEST_FIT_CHARS, wide.data(), size, back.data(), n,
                              nullptr, &defaulted) != n ||
        defaulted)
        return false;
    return back == bytes;
}

[[nodiscard]] bool is_utf8(std::string_view text) {
    return detail::from_utf8(text).has_value();
}

// The names Windows gives devices, which a file of that name before its first dot (and any
// spaces before it) would be read as: compared in ASCII case.
[[nodiscard]] bool is_device_name(std::wstring_view name) {
    std::wstring_view base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
    std::wstring upper(base);
    for (wchar_t& c : upper)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (upper == device) return true;
    // COM1 to COM9 and LPT1 to LPT9, and with the superscript digits Windows also takes.
    if (upper.size() == 4 && (upper.starts_with(L"COM") || upper.starts_with(L"LPT"))) {
        const wchar_t digit = upper[3];
        return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
               digit == L'\u00B3';
    }
    return false;
}

// The program's arguments in UTF-8, kept for the whole run.
std::vector<std::string> argument_texts;
std::vector<char*> argument_pointers;

} // namespace

namespace detail {

std::optional<std::wstring> from_utf8(std::string_view text) {
    return decoded(CP_UTF8, text);
}

std::string to_utf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t k = 0; k < text.size(); ++k) {
        std::uint32_t c = text[k];
        if (c >= 0xD800 && c <= 0xDBFF && k + 1 < text.size() && text[k + 1] >= 0xDC00 &&
            text[k + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(text[++k]) - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) { // a lone surrogate too: its WTF-8 form
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<std::wstring> file_name_of(std::string_view component) {
    if (auto wide = from_utf8(component)) return wide;
    auto wide = decoded(shift_jis, component);
    if (wide && encodes_back(*wide, component)) return wide;
    return std::nullopt;
}

std::optional<std::wstring> windows_path(std::string_view path) {
    std::wstring out;
    out.reserve(path.size());
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, slash - start);
        if (start > 0) out += L'\\';
        std::optional<std::wstring> name = file_name_of(part);
        if (!name) return std::nullopt;
        out += *name;
        start = slash + 1;
    }
    return out;
}

std::optional<std::wstring> full_path(std::string_view path) {
    const std::optional<std::wstring> windows = windows_path(path);
    if (!windows || windows->empty() || windows->find(L'\0') != std::wstring::npos)
        return std::nullopt;
    if (windows->starts_with(LR"(\\?\)") || windows->starts_with(LR"(\\.\)")) return windows;
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetFullPathNameW(windows->c_str(), static_cast<DWORD>(full.size()),
                                           full.data(), nullptr);
        if (n == 0) return std::nullopt;
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n);
    }
    if (full.starts_with(LR"(\\.\)") || full.starts_with(LR"(\\?\)")) return full; // a device
    if (full.starts_with(LR"(\\)")) return LR"(\\?\UNC\)" + full.substr(2);        // a share
    return LR"(\\?\)" + full;
}

bool is_device_path(std::wstring_view path) {
    return path.starts_with(LR"(\\.\)");
}

int errno_of(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS:
        return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_CANT_ACCESS_FILE:
    case ERROR_DELETE_PENDING:
        return EACCES;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT:
        return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
        return EPIPE;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_FILE_TOO_LARGE:
        return EFBIG;
    case ERROR_CANT_RESOLVE_FILENAME:
        return ELOOP;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        return ENOSYS;
    case ERROR_INVALID_PARAMETER:
        return EINVAL;
    default:
        return EIO;
    }
}

int errno_of_status(NTSTATUS status) {
    return errno_of(::RtlNtStatusToDosError(status));
}

int note_error(DWORD error) {
    errno = errno_of(error);
    return errno;
}

int note_last_error() {
    return note_error(::GetLastError());
}

int note_status(NTSTATUS status) {
    errno = errno_of_status(status);
    return errno;
}

} // namespace detail

int last_error() {
    return errno;
}

bool means_missing(int error) {
    return error == ENOENT || error == ENOTDIR;
}

bool can_name(std::string_view component) {
    const std::optional<std::wstring> name = detail::file_name_of(component);
    if (!name || name->empty() || name->size() > 255) return false;
    for (const wchar_t c : *name)
        if (c < 0x20 || c == 0x7F || std::wcschr(LR"(<>:"/\|?*)", c) != nullptr) return false;
    if (name->back() == L'.' || name->back() == L' ') return false;
    return !is_device_name(*name);
}

std::string as_listed(std::string_view path) {
    std::string out;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, slash - start);
        if (start > 0) out += '/';
        if (is_utf8(part)) {
            out += part;
        } else if (const auto name = detail::file_name_of(part)) {
            out += detail::to_utf8(*name);
        } else {
            out += part; // it names no file, and so matches none
        }
        start = slash + 1;
    }
    return out;
}

Spot spot(FileId dir, std::string_view name) {
    const std::optional<std::wstring> wide = detail::file_name_of(name);
    if (!wide || wide->empty()) return {dir, std::string(name)};
    // The file systems compare names in upper case, by a table of their own close to the
    // invariant locale's.
    std::wstring upper(wide->size(), L'\0');
    const int n = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide->data(),
                                  static_cast<int>(wide->size()), upper.data(),
                                  static_cast<int>(upper.size()), nullptr, nullptr, 0);
    if (n <= 0) return {dir, detail::to_utf8(*wide)};
    upper.resize(static_cast<std::size_t>(n));
    return {dir, detail::to_utf8(upper)};
}

void start_run(int& argc, char**& argv, StandardOutput use, Reasons reasons) {
    start_run(use, reasons);
    // The command line as the program was started with it, in UTF-16; main's own arguments
    // went through the code page, which may not hold them.
    int count = 0;
    LPWSTR* const words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (words == nullptr) return; // main's own, then
    argument_texts.clear();
    for (int k = 0; k < count; ++k) argument_texts.push_back(detail::to_utf8(words[k]));
    ::LocalFree(words);
    argument_pointers.clear();
    for (std::string& text : argument_texts) argument_pointers.push_back(text.data());
    argument_pointers.push_back(nullptr);
    argc = count;
    argv = argument_pointers.data();
}

} // namespace wholefile
