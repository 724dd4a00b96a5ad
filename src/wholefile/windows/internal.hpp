// What the Windows files of the whole-file module share with one another and with nobody else:
// text in UTF-8 and UTF-16 and the one mapping of entry names to file names, errors as errno
// values, identities, opening files relative to a directory's handle, the console events held
// while an output is put in place, the pending file and the directory the run made, the
// standard streams, and the piece writer's entry points.
//
// Paths given on the command line are Win32 paths: they are made absolute with
// GetFullPathNameW and opened in their \\?\ form, which no length limit and no reading of
// device names applies to after that first step. Names inside a directory the run opened (an
// entry's file, a replacement, a file of an unpack) are opened relative to the directory's
// handle through ntdll (NtCreateFile with RootDirectory, the call every Win32 open ends in), so
// that they are taken exactly as given, never read as a device or shortened, and land in that
// directory whatever becomes of the path it was opened by, as openat() does on POSIX systems.
#pragma once

#include "common.hpp"
#include "wholefile.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winternl.h>

namespace wholefile {

// directories.cpp: a Directory's handle and full path, for the files of this module.
struct DirectoryAccess {
    [[nodiscard]] static HANDLE handle(const Directory& dir) {
        return reinterpret_cast<HANDLE>(dir.handle_);
    }
    // Its full \\?\ path, as it was opened (kept as the bytes of its UTF-16 units).
    [[nodiscard]] static std::wstring path(const Directory& dir) {
        std::wstring wide(dir.path_.size() / sizeof(wchar_t), L'\0');
        std::memcpy(wide.data(), dir.path_.data(), wide.size() * sizeof(wchar_t));
        return wide;
    }
    // Takes `handle`, a directory just opened by the full path `path`, as `dir`.
    static void adopt(Directory& dir, HANDLE handle, bool owned, FileId id,
                      std::wstring_view path) {
        dir.handle_ = reinterpret_cast<std::intptr_t>(handle);
        dir.owned_ = owned;
        dir.id_ = id;
        dir.path_.assign(reinterpret_cast<const char*>(path.data()), path.size() * sizeof(wchar_t));
    }
};

} // namespace wholefile

namespace wholefile::detail {

// ---- names.cpp: text and names.

// UTF-8 as UTF-16, strictly: no value where `text` is not UTF-8.
[[nodiscard]] std::optional<std::wstring> from_utf8(std::string_view text);

// UTF-16 as UTF-8; a lone surrogate, which no UTF-8 can hold, in its WTF-8 form.
[[nodiscard]] std::string to_utf8(std::wstring_view text);

// The one mapping from a component of an entry's name (bytes) to a Windows file name
// (docs/windows.md): the component read as UTF-8 where it is UTF-8, otherwise as Shift-JIS
// (code page 932) where that reads it and gives back the same bytes; no value otherwise.
[[nodiscard]] std::optional<std::wstring> file_name_of(std::string_view component);

// A path's components, split at slashes, each through the mapping and joined by backslashes.
// A backslash inside a component that is UTF-8 stays, and Windows reads it as its own
// separator; one inside a component read as Shift-JIS is the second byte of a character there
// and no separator. No value where a component cannot be mapped.
[[nodiscard]] std::optional<std::wstring> windows_path(std::string_view path);

// A path from the command line as the absolute \\?\ path Win32 opens it by: made absolute from
// the working directory with GetFullPathNameW, which also reads device names (NUL, CON) and
// gives them as \\.\ paths, kept so. No value where it cannot be mapped or made absolute.
[[nodiscard]] std::optional<std::wstring> full_path(std::string_view path);

// Whether `path` (a full path) names a device, as \\.\NUL does.
[[nodiscard]] bool is_device_path(std::wstring_view path);

// The errno value nearest a Windows error code, and an NTSTATUS's.
[[nodiscard]] int errno_of(DWORD error);
[[nodiscard]] int errno_of_status(NTSTATUS status);

// Sets errno (last_error()) for a Win32 call that failed, or an ntdll call's status; returns
// the errno value.
int note_error(DWORD error);
int note_last_error();
int note_status(NTSTATUS status);

// ---- directories.cpp: handles, identities, names relative to a directory.

// A handle as Source::fd and identity(int) carry it, and back: the system keeps handle
// values within 32 bits, and sign-extends them (INVALID_HANDLE_VALUE is -1 either way).
[[nodiscard]] inline int fd_of(HANDLE handle) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}
[[nodiscard]] inline HANDLE handle_of(int fd) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

// The identity of the file open as `handle`: its volume's serial number, and its 128-bit
// number folded into 64 bits.
[[nodiscard]] std::optional<FileId> identity_of(HANDLE handle);

// Whether two identities name one file. Standard handles that wine makes from Linux
// descriptors report volume 0, so a volume of 0 matches any.
[[nodiscard]] bool same_file(FileId a, FileId b);

// Whether the directory is the working directory, from which paths are Win32 paths.
[[nodiscard]] bool is_working(const Directory& dir);

// Opens (or, with FILE_CREATE, creates) `name`, one or more components joined by
// backslashes, relative to the directory open as `root`, with NtCreateFile: names are taken
// as they are, case ignored as Win32 ignores it. `sd` is the new file's security descriptor,
// or null for what a new file gets there. Returns the status; *handle on success.
[[nodiscard]] NTSTATUS open_at(HANDLE root, std::wstring_view name, ACCESS_MASK access, ULONG share,
                               ULONG disposition, ULONG options, HANDLE* handle,
                               ULONG attributes = FILE_ATTRIBUTE_NORMAL,
                               PSECURITY_DESCRIPTOR sd = nullptr);

// The attributes of `name` in the directory open as `root` (whose full path is `root_path`),
// asked by name: wine shows a Linux link to a directory as a reparse point only this way. On
// Windows the name is looked up relative to the handle; under wine by the full path, since
// wine's NtQueryAttributesFile takes a relative name from the working directory whatever
// directory it is given. No value, with errno set, where nothing is there.
[[nodiscard]] std::optional<ULONG> attributes_at(HANDLE root, std::wstring_view root_path,
                                                 std::wstring_view name);

// The attributes of `name` in `dir`, asked by name, a link not followed (for the working
// directory, `name` is a path from the command line); no value, with errno set, where nothing
// is there.
[[nodiscard]] std::optional<ULONG> attributes_by_name(const Directory& dir, std::string_view name);

// Opens the file or directory `path` (a path relative to `base`, or from the command line when
// `base` is the working directory) with `access`: links followed, or with `follow` false the
// name itself, a link included (where the system opens links: wine follows them all the same).
// Directories open too. INVALID_HANDLE_VALUE, with errno set, on failure.
[[nodiscard]] HANDLE open_path(const Directory& base, std::string_view path, ACCESS_MASK access,
                               bool follow);

// What the file open as `handle` is; `by_name` is its attributes as asked by name, where that
// was done.
[[nodiscard]] Found found_of(HANDLE handle, std::optional<ULONG> by_name = std::nullopt);

// Whether attributes (and the reparse tag they came with) make a link: a symbolic link or a
// junction, which Windows follows.
[[nodiscard]] bool is_link(ULONG attributes, ULONG tag);

// The full path the file open as `handle` has, links resolved, in \\?\ form; empty where the
// system cannot tell.
[[nodiscard]] std::wstring final_path_of(HANDLE handle);

// ---- run.cpp: what ends the run.

// Holds back, for as long as it lives, the console events (Ctrl-C, Ctrl-Break, a closed
// console) that end the process: their handler waits until it goes.
class HeldEvents {
public:
    HeldEvents();
    ~HeldEvents();
    HeldEvents(const HeldEvents&) = delete;
    HeldEvents& operator=(const HeldEvents&) = delete;
};

// The unfinished output: a new file, open as `handle` and marked for deletion while it is
// written, which every ending of the run takes away by closing it. forget_pending() once it
// has its final name.
void note_pending(HANDLE handle);
void forget_pending();

// The directory the run made, `name` in the directory open as `parent` (kept open), which a
// failure removes while it is still empty.
void note_made_directory(HANDLE parent, std::wstring name, FileId id);

// Whether the run is under wine, whose files hold Unix modes in place of security descriptors.
[[nodiscard]] bool under_wine();

// ---- inputs.cpp

// When `address` lies in an input's mapping, the message that the input changed, for the
// fault's handler; otherwise null.
[[nodiscard]] const char* fault_message(const void* address, std::size_t* length);

// Unmaps and closes every mapping of the file `id`, which an output is about to replace: a
// rename over a file open anywhere fails on Windows. The run no longer reads it.
void release_file(FileId id);

// ---- streams.cpp

// Learns, at the run's start, what standard output and standard error are: the files they
// go to, which no output may replace, and whether each is a console.
void learn_standard_streams(StandardOutput use);

// Refuses a target, the file `id`, that standard output (when the program prints lines
// there) or, with `error_too`, standard error goes to.
void refuse_streams(FileId id, const char* shown, bool error_too);

// ---- piece_writer.cpp

// Writes the pieces to the file open as `handle` from its current offset; messages about the
// output quote `shown`.
void write_pieces(HANDLE handle, const char* shown, std::span<const Piece> pieces,
                  std::span<const Source> sources);

} // namespace wholefile::detail
