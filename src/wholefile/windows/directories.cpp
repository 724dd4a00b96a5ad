// Directories on Windows: opening them to name files relative to them, making them, looking at
// what is at a name, and following a path one name at a time.
//
// A Directory holds a handle, opened for listing and traversal and shared with every other
// opener, deletion included (so that a ja/ the run made can still be removed while it is open);
// its identity is learned once, when it is opened. Names inside it are opened relative to that
// handle (internal.hpp): a name from an archive is never read as a device or a drive, never
// shortened by Win32's trimming of trailing dots and spaces, and never reaches past the
// directory, whatever becomes of the path the directory was opened by. The working directory
// is the one exception: what is named from it is a path from the command line, read as Win32
// reads paths (drives, shares, "..", device names), and opened in its \\?\ form.
//
// Links are Windows's symbolic links and junctions (reparse points). A link is found by the
// attributes of its name, asked of the directory that holds it, as well as by the attributes
// of what was opened: under wine a Linux link to a directory shows as a reparse point only by
// name, and a Linux link to a file shows as the file itself.
#include "internal.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" NTSTATUS NTAPI NtQueryAttributesFile(POBJECT_ATTRIBUTES attributes,
                                                PFILE_BASIC_INFORMATION information);

namespace wholefile {

namespace {

constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK directory_access =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// The links one path may pass through, as on POSIX systems.
constexpr int links_max = 40;

[[nodiscard]] Directory adopted(HANDLE handle, std::wstring_view path) {
    Directory dir;
    if (handle == INVALID_HANDLE_VALUE) return dir;
    const std::optional<FileId> id = detail::identity_of(handle);
    if (!id) {
        detail::note_last_error();
        ::CloseHandle(handle);
        return dir;
    }
    DirectoryAccess::adopt(dir, handle, true, *id, path);
    return dir;
}

// `path` (relative to `base`, or from the command line from the working directory) as a
// full path.
[[nodiscard]] std::wstring full_path_from(const Directory& base, std::string_view path);

// `path`'s components, as a name relative to a directory: empty ones and "." left out, since
// they name no step; no value for "..", which would leave the directory, or a component that
// cannot be mapped.
[[nodiscard]] std::optional<std::wstring> relative_name(std::string_view path) {
    std::wstring out;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, slash - start);
        start = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return std::nullopt;
        const std::optional<std::wstring> name = detail::file_name_of(part);
        if (!name) return std::nullopt;
        if (!out.empty()) out += L'\\';
        out += *name;
    }
    return out;
}

// A full path without the backslashes that end it, but for a drive's root's own ("C:\").
void trim_separators(std::wstring& path) {
    while (path.size() > 4 && path.back() == L'\\' && path[path.size() - 2] != L':')
        path.pop_back();
}

// Whether the reparse point at the full path `full` leads elsewhere, as a link does: what
// opening it finds has another path. A directory another volume is mounted on keeps its own
// path (under wine every Linux mount point shows as a reparse point, /dev and /proc among
// them); one that opens onto nothing is a link that leads nowhere.
[[nodiscard]] bool leads_elsewhere(const std::wstring& full) {
    const HANDLE there = ::CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (there == INVALID_HANDLE_VALUE) return true;
    const std::wstring final = detail::final_path_of(there);
    ::CloseHandle(there);
    return final.empty() ||
           ::CompareStringOrdinal(final.data(), static_cast<int>(final.size()), full.data(),
                                  static_cast<int>(full.size()), TRUE) != CSTR_EQUAL;
}

// The attributes of a full path, asked by name; no value where nothing is there. A reparse
// point that leads nowhere else is no link: its attributes say a plain directory.
[[nodiscard]] std::optional<ULONG> attributes_of(const std::wstring& full) {
    DWORD attributes = ::GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        detail::note_last_error();
        return std::nullopt;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !leads_elsewhere(full))
        attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
    return attributes;
}

// The root of a full path (\\?\C:\, \\?\UNC\server\share\), the rest split into its names.
[[nodiscard]] bool split_full(const std::wstring& full, std::wstring* root,
                              std::vector<std::wstring>* names) {
    std::size_t at = 0;
    if (full.starts_with(LR"(\\?\UNC\)")) {
        at = full.find(L'\\', 8);
        if (at != std::wstring::npos) at = full.find(L'\\', at + 1);
    } else if (full.starts_with(LR"(\\?\)")) {
        at = full.find(L'\\', 4);
    } else {
        return false;
    }
    if (at == std::wstring::npos) return false;
    *root = full.substr(0, at + 1);
    for (std::size_t start = at + 1; start < full.size();) {
        const std::size_t next = std::min(full.find(L'\\', start), full.size());
        if (next > start) names->push_back(full.substr(start, next - start));
        start = next + 1;
    }
    return true;
}

// Adds the places passed on the way along `full` (a full path) to `passed`; see spots_of().
[[nodiscard]] bool walk_full(const std::wstring& full, std::vector<Spot>& passed, int links);

// The walk from the directory open as `dir`, whose full path is `dir_path`, along `names`, from
// `next` on.
[[nodiscard]] bool walk_from(HANDLE dir, std::wstring dir_path,
                             const std::vector<std::wstring>& names, std::size_t next,
                             std::vector<Spot>& passed, int links) {
    HANDLE at = dir;
    bool own = false;
    const auto done = [&](bool result) {
        if (own) ::CloseHandle(at);
        return result;
    };
    for (std::size_t k = next; k < names.size(); ++k) {
        const std::wstring& name = names[k];
        const bool last = k + 1 == names.size();
        const std::optional<FileId> here = detail::identity_of(at);
        if (!here) return done(false);
        passed.push_back(spot(*here, detail::to_utf8(name)));
        const std::optional<ULONG> attributes = detail::attributes_at(at, dir_path, name);
        if (!attributes) return done(last); // nothing there yet ends the walk: a last name only
        HANDLE step = INVALID_HANDLE_VALUE;
        const bool linked = detail::is_link(*attributes, 0);
        if (!linked && last) return done(true);
        if (!linked && (*attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return done(false);
        if (detail::open_at(at, name, directory_access, share_all, FILE_OPEN, 0, &step) != 0)
            return done(false);
        if (linked) {
            // Followed as the system follows it, the rest of the way from where it leads.
            std::wstring target = detail::final_path_of(step);
            ::CloseHandle(step);
            if (target.empty() || links >= links_max) return done(false);
            for (std::size_t rest = k + 1; rest < names.size(); ++rest)
                target += L'\\' + names[rest];
            return done(walk_full(target, passed, links + 1));
        }
        if (own) ::CloseHandle(at);
        at = step;
        own = true;
        dir_path += L'\\';
        dir_path += name;
    }
    return done(true);
}

bool walk_full(const std::wstring& full, std::vector<Spot>& passed, int links) {
    std::wstring root;
    std::vector<std::wstring> names;
    if (detail::is_device_path(full)) return true; // a device: no place a file lands on
    if (!split_full(full, &root, &names)) return false;
    const HANDLE dir = ::CreateFileW(root.c_str(), directory_access, share_all, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) return false;
    const bool finished = walk_from(dir, root, names, 0, passed, links);
    ::CloseHandle(dir);
    return finished;
}

} // namespace

namespace detail {

std::optional<FileId> identity_of(HANDLE handle) {
    FILE_ID_INFO info{};
    if (::GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info)) {
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        std::memcpy(&low, info.FileId.Identifier, 8);
        std::memcpy(&high, info.FileId.Identifier + 8, 8);
        // NTFS numbers files in 64 bits; ReFS's 128-bit numbers are folded in.
        return FileId{info.VolumeSerialNumber, low ^ (high * 0x9E3779B97F4A7C15u)};
    }
    BY_HANDLE_FILE_INFORMATION by{};
    if (!::GetFileInformationByHandle(handle, &by)) return std::nullopt;
    return FileId{by.dwVolumeSerialNumber,
                  static_cast<std::uint64_t>(by.nFileIndexHigh) << 32 | by.nFileIndexLow};
}

bool same_file(FileId a, FileId b) {
    return a.ino == b.ino && (a.dev == b.dev || a.dev == 0 || b.dev == 0);
}

bool is_working(const Directory& dir) {
    return &dir == &Directory::working();
}

NTSTATUS open_at(HANDLE root, std::wstring_view name, ACCESS_MASK access, ULONG share,
                 ULONG disposition, ULONG options, HANDLE* handle, ULONG attributes,
                 PSECURITY_DESCRIPTOR sd) {
    *handle = INVALID_HANDLE_VALUE;
    if (name.size() * sizeof(wchar_t) > 0xFFFE) return static_cast<NTSTATUS>(0xC0000106);
    UNICODE_STRING text{};
    text.Buffer = const_cast<PWSTR>(name.data());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES object{};
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, root, sd);
    IO_STATUS_BLOCK io{};
    HANDLE opened = nullptr;
    const NTSTATUS status =
        ::NtCreateFile(&opened, access | SYNCHRONIZE, &object, &io, nullptr, attributes, share,
                       disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status >= 0) *handle = opened;
    return status;
}

std::optional<ULONG> attributes_at(HANDLE root, std::wstring_view root_path,
                                   std::wstring_view name) {
    if (under_wine()) {
        std::wstring full(root_path);
        if (!full.ends_with(L'\\')) full += L'\\';
        full += name;
        return attributes_of(full);
    }
    if (name.size() * sizeof(wchar_t) > 0xFFFE) return std::nullopt;
    UNICODE_STRING text{};
    text.Buffer = const_cast<PWSTR>(name.data());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES object{};
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
    FILE_BASIC_INFORMATION basic{};
    const NTSTATUS status = ::NtQueryAttributesFile(&object, &basic);
    if (status < 0) {
        note_status(status);
        return std::nullopt;
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        std::wstring full(root_path);
        if (!full.ends_with(L'\\')) full += L'\\';
        full += name;
        if (!leads_elsewhere(full))
            basic.FileAttributes &= ~static_cast<ULONG>(FILE_ATTRIBUTE_REPARSE_POINT);
    }
    return basic.FileAttributes;
}

bool is_link(ULONG attributes, ULONG tag) {
    // Wine gives a Linux link no tag of its own (0, which Windows never uses).
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (tag == 0 || tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT);
}

std::wstring final_path_of(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(n + 1);
    }
    if (!path.starts_with(LR"(\\?\)")) {
        if (path.starts_with(LR"(\\)")) return LR"(\\?\UNC\)" + path.substr(2);
        return LR"(\\?\)" + path;
    }
    return path;
}

HANDLE open_path(const Directory& base, std::string_view path, ACCESS_MASK access, bool follow) {
    if (is_working(base)) {
        std::optional<std::wstring> full = full_path(path);
        if (!full) {
            errno = ENOENT;
            return INVALID_HANDLE_VALUE;
        }
        trim_separators(*full);
        const HANDLE handle = ::CreateFileW(
            full->c_str(), access, share_all, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
        if (handle == INVALID_HANDLE_VALUE) note_last_error();
        return handle;
    }
    const std::optional<std::wstring> name = relative_name(path);
    if (!name) {
        errno = ENOENT;
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE root = DirectoryAccess::handle(base);
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS status = open_at(root, *name, access, share_all, FILE_OPEN,
                                    follow ? 0 : FILE_OPEN_REPARSE_POINT, &handle);
    if (status < 0) note_status(status);
    return handle;
}

std::optional<ULONG> attributes_by_name(const Directory& dir, std::string_view name) {
    if (is_working(dir)) {
        std::optional<std::wstring> full = full_path(name);
        if (!full) return std::nullopt;
        trim_separators(*full);
        return attributes_of(*full);
    }
    const std::optional<std::wstring> relative = relative_name(name);
    if (!relative || relative->empty()) return std::nullopt;
    return attributes_at(DirectoryAccess::handle(dir), DirectoryAccess::path(dir), *relative);
}

Found found_of(HANDLE handle, std::optional<ULONG> by_name) {
    Found found;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const bool tagged =
        ::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) != 0;
    ULONG attributes = tagged ? tag.FileAttributes : 0;
    if (by_name) attributes |= *by_name & FILE_ATTRIBUTE_REPARSE_POINT;
    const DWORD type = ::GetFileType(handle);
    if (is_link(attributes, tagged ? tag.ReparseTag : 0))
        found.kind = Kind::link;
    else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        found.kind = Kind::directory;
    else if (type == FILE_TYPE_DISK && tagged)
        found.kind = Kind::file;
    else
        found.kind = Kind::other;
    if (found.kind == Kind::file) {
        FILE_STANDARD_INFO standard{};
        if (::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard))
            found.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
    }
    if (const std::optional<FileId> id = identity_of(handle)) found.id = *id;
    found.mode = attributes;
    return found;
}

} // namespace detail

Directory::~Directory() {
    if (handle_ != closed && owned_) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

Directory::Directory(Directory&& other) noexcept
    : handle_(other.handle_), owned_(other.owned_), id_(other.id_), path_(std::move(other.path_)) {
    other.handle_ = closed;
}

Directory& Directory::operator=(Directory&& other) noexcept {
    if (this != &other) {
        if (handle_ != closed && owned_) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
        handle_ = other.handle_;
        owned_ = other.owned_;
        id_ = other.id_;
        path_ = std::move(other.path_);
        other.handle_ = closed;
    }
    return *this;
}

const Directory& Directory::working() {
    static const Directory dir = [] {
        Directory d;
        const HANDLE handle = ::CreateFileW(L".", directory_access, share_all, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        std::optional<FileId> id;
        if (handle != INVALID_HANDLE_VALUE) id = detail::identity_of(handle);
        std::wstring path = detail::full_path(".").value_or(std::wstring());
        trim_separators(path);
        DirectoryAccess::adopt(d, handle, true, id.value_or(FileId{}), path);
        return d;
    }();
    return dir;
}

Directory open_directory(const Directory& base, std::string_view path, bool follow) {
    if (!follow) {
        const std::optional<ULONG> by_name = detail::attributes_by_name(base, path);
        if (by_name && detail::is_link(*by_name, 0)) {
            errno = ELOOP;
            return {};
        }
    }
    const HANDLE handle = detail::open_path(base, path, directory_access, follow);
    if (handle == INVALID_HANDLE_VALUE) return {};
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (!follow && detail::is_link(tag.FileAttributes, tag.ReparseTag))) {
        ::CloseHandle(handle);
        errno = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? ENOTDIR : ELOOP;
        return {};
    }
    return adopted(handle, full_path_from(base, path));
}

Directory make_directory_in(const Directory& base, std::string_view name) {
    if (detail::is_working(base)) {
        const std::optional<std::wstring> full = detail::full_path(name);
        if (full && !::CreateDirectoryW(full->c_str(), nullptr) &&
            ::GetLastError() != ERROR_ALREADY_EXISTS) {
            detail::note_last_error();
            return {};
        }
        return open_directory(base, name, false);
    }
    const std::optional<std::wstring> leaf = detail::file_name_of(name);
    if (!leaf || leaf->empty()) {
        errno = ENOENT;
        return {};
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS status = detail::open_at(DirectoryAccess::handle(base), *leaf, directory_access,
                                            share_all, FILE_CREATE, FILE_DIRECTORY_FILE, &handle);
    if (status >= 0) return adopted(handle, full_path_from(base, name));
    if (static_cast<ULONG>(status) != 0xC0000035) { // STATUS_OBJECT_NAME_COLLISION
        detail::note_status(status);
        return {};
    }
    return open_directory(base, name, false); // one already there, never through a link
}

Found look_at(const Directory& dir, std::string_view name) {
    const std::optional<ULONG> by_name = detail::attributes_by_name(dir, name);
    if (!by_name) return {};
    const HANDLE handle = detail::open_path(dir, name, FILE_READ_ATTRIBUTES, false);
    if (handle == INVALID_HANDLE_VALUE) {
        // What the name says of itself, where what is there cannot be opened.
        Found found;
        found.kind = detail::is_link(*by_name, 0)                 ? Kind::link
                     : (*by_name & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::directory
                                                                  : Kind::file;
        found.mode = *by_name;
        return found;
    }
    const Found found = detail::found_of(handle, by_name);
    ::CloseHandle(handle);
    return found;
}

Probed probe(const Directory& base, std::string_view path) {
    const HANDLE handle = detail::open_path(base, path, GENERIC_READ, true);
    if (handle == INVALID_HANDLE_VALUE)
        return {means_missing(errno) ? Probe::missing : Probe::cannot_open, {}};
    const Found found = detail::found_of(handle);
    ::CloseHandle(handle);
    return {Probe::found, found};
}

std::optional<FileId> identity(const Directory& dir, std::string_view path) {
    if (path.empty()) return dir.id();
    const HANDLE handle = detail::open_path(dir, path, FILE_READ_ATTRIBUTES, true);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    const std::optional<FileId> id = detail::identity_of(handle);
    ::CloseHandle(handle);
    return id;
}

std::optional<FileId> identity(const char* path) {
    return identity(Directory::working(), path);
}

std::optional<FileId> identity(int fd) {
    return detail::identity_of(detail::handle_of(fd));
}

std::optional<std::vector<Named>> list_directory(const Directory& dir) {
    const HANDLE handle = DirectoryAccess::handle(dir);
    // The listing comes in blocks of entries; the first call starts it over.
    std::vector<std::uint8_t> block(64 * 1024);
    std::vector<Named> names;
    for (FILE_INFO_BY_HANDLE_CLASS which = FileIdBothDirectoryRestartInfo;;
         which = FileIdBothDirectoryInfo) {
        if (!::GetFileInformationByHandleEx(handle, which, block.data(),
                                            static_cast<DWORD>(block.size()))) {
            if (::GetLastError() == ERROR_NO_MORE_FILES) break;
            detail::note_last_error();
            return std::nullopt;
        }
        for (std::size_t at = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(block.data() + at);
            const std::wstring_view wide(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (wide != L"." && wide != L"..") {
                std::string name = detail::to_utf8(wide);
                Found found = look_at(dir, name);
                names.push_back({std::move(name), found});
            }
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
    return names;
}

std::string absolute_path(const char* path) {
    const std::optional<std::wstring> full = detail::full_path(path);
    if (!full) return path;
    if (full->starts_with(LR"(\\?\UNC\)")) return "\\\\" + detail::to_utf8(full->substr(8));
    if (full->starts_with(LR"(\\?\)")) return detail::to_utf8(full->substr(4));
    return detail::to_utf8(*full);
}

bool make_directory(const char* path) {
    std::optional<std::wstring> full = detail::full_path(path);
    if (!full || detail::is_device_path(*full)) {
        errno = full ? EEXIST : ENOENT;
        return false;
    }
    trim_separators(*full);
    const std::size_t slash = full->rfind(L'\\');
    const std::wstring parent = full->substr(0, slash + 1);
    const std::wstring leaf = full->substr(slash + 1);
    const HANDLE dir =
        ::CreateFileW(parent.c_str(), directory_access | FILE_ADD_SUBDIRECTORY, share_all, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE || leaf.empty()) {
        if (dir != INVALID_HANDLE_VALUE) ::CloseHandle(dir);
        if (!::CreateDirectoryW(full->c_str(), nullptr)) detail::note_last_error();
        return false; // fails as that would, and says why
    }
    HANDLE made = INVALID_HANDLE_VALUE;
    const NTSTATUS status = detail::open_at(dir, leaf, directory_access, share_all, FILE_CREATE,
                                            FILE_DIRECTORY_FILE, &made);
    if (status < 0) {
        detail::note_status(status);
        ::CloseHandle(dir);
        return false;
    }
    const std::optional<FileId> id = detail::identity_of(made);
    ::CloseHandle(made);
    detail::note_made_directory(dir, leaf, id.value_or(FileId{})); // the parent stays open
    return true;
}

bool spots_of(const Directory& base, std::string_view path, std::vector<Spot>& passed) {
    if (detail::is_working(base)) {
        std::optional<std::wstring> full = detail::full_path(path);
        if (!full) return false;
        trim_separators(*full);
        return walk_full(*full, passed, 0);
    }
    std::vector<std::wstring> names;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, slash - start);
        start = slash + 1;
        if (part.empty() || part == ".") continue;
        const std::optional<std::wstring> name = detail::file_name_of(part);
        if (part == ".." || !name) return false;
        names.push_back(*name);
    }
    return walk_from(DirectoryAccess::handle(base), DirectoryAccess::path(base), names, 0, passed,
                     0);
}

void prefer_large_pages(std::span<std::uint8_t>) {} // no such advice for an ordinary buffer

namespace {

std::wstring full_path_from(const Directory& base, std::string_view path) {
    if (detail::is_working(base)) {
        std::wstring full = detail::full_path(path).value_or(std::wstring());
        trim_separators(full);
        return full;
    }
    std::wstring full = DirectoryAccess::path(base);
    if (const std::optional<std::wstring> name = relative_name(path); name && !name->empty()) {
        if (!full.ends_with(L'\\')) full += L'\\';
        full += *name;
    }
    return full;
}

} // namespace

} // namespace wholefile
