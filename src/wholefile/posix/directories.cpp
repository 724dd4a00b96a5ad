// Directories: opening them to name files relative to them, making them, looking at what is
// at a name, and following a path one name at a time.
//
// On POSIX systems a Directory holds an open descriptor (O_PATH on Linux, where search permission
// is all that naming files inside it needs), so that everything done in it is done in that
// directory, whatever becomes of the path it was opened by; its identity is learned once, when it
// is opened. Nothing here follows a link it was not asked to follow.
#include "internal.hpp"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace wholefile {

namespace {

[[nodiscard]] Directory adopted(int fd, bool owned = true) {
    Directory dir;
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0) {
        DirectoryAccess::adopt(dir, fd, owned, file_id(st));
    } else if (fd >= 0 && owned) {
        ::close(fd);
    }
    return dir;
}

} // namespace

namespace detail {

int open_directory_fd(int base, const char* path, bool follow) {
    const int nofollow = follow ? 0 : O_NOFOLLOW;
#if BIPAFS_LINUX
    return ::openat(base, path, O_PATH | O_DIRECTORY | O_CLOEXEC | nofollow);
#elif defined(O_SEARCH)
    return ::openat(base, path, O_SEARCH | O_DIRECTORY | O_CLOEXEC | nofollow);
#else
    return ::openat(base, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | nofollow);
#endif
}

Found found_of(const struct stat& st) {
    Found found;
    found.kind = S_ISREG(st.st_mode)   ? Kind::file
                 : S_ISDIR(st.st_mode) ? Kind::directory
                 : S_ISLNK(st.st_mode) ? Kind::link
                                       : Kind::other;
    found.id = file_id(st);
    found.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    found.mode = static_cast<std::uint32_t>(st.st_mode);
    found.uid = static_cast<std::uint32_t>(st.st_uid);
    found.gid = static_cast<std::uint32_t>(st.st_gid);
    return found;
}

ssize_t read_link(int dir, const char* name, std::string& text) {
    if (text.empty()) text.resize(256);
    for (;;) {
        const ssize_t n = ::readlinkat(dir, name, text.data(), text.size());
        if (n < 0 || static_cast<std::size_t>(n) < text.size()) return n;
        text.resize(2 * text.size()); // it may have been cut short
    }
}

} // namespace detail

Directory::~Directory() {
    if (handle_ != closed && owned_) ::close(static_cast<int>(handle_));
}

Directory::Directory(Directory&& other) noexcept
    : handle_(other.handle_), owned_(other.owned_), id_(other.id_) {
    other.handle_ = closed;
}

Directory& Directory::operator=(Directory&& other) noexcept {
    if (this != &other) {
        if (handle_ != closed && owned_) ::close(static_cast<int>(handle_));
        handle_ = other.handle_;
        owned_ = other.owned_;
        id_ = other.id_;
        other.handle_ = closed;
    }
    return *this;
}

// ---- Names: a POSIX system holds any bytes but '/' and the zero byte in a name, and tells
// names apart byte by byte.

int last_error() {
    return errno;
}

bool means_missing(int error) {
    return error == ENOENT || error == ENOTDIR;
}

bool can_name(std::string_view) {
    return true;
}

std::string as_listed(std::string_view path) {
    return std::string(path);
}

Spot spot(FileId dir, std::string_view name) {
    return {dir, std::string(name)};
}

const Directory& Directory::working() {
    static const Directory dir = [] {
        Directory d;
        struct stat st {};
        static_cast<void>(::stat(".", &st)); // the identity, where it can be had
        DirectoryAccess::adopt(d, AT_FDCWD, false, file_id(st));
        return d;
    }();
    return dir;
}

Directory open_directory(const Directory& base, std::string_view path, bool follow) {
    return adopted(
        detail::open_directory_fd(DirectoryAccess::fd(base), std::string(path).c_str(), follow));
}

Directory make_directory_in(const Directory& base, std::string_view name) {
    const std::string leaf(name);
    const int at = DirectoryAccess::fd(base);
    if (::mkdirat(at, leaf.c_str(), 0755) != 0 && errno != EEXIST) return {};
    return adopted(detail::open_directory_fd(at, leaf.c_str(), false));
}

Found look_at(const Directory& dir, std::string_view name) {
    struct stat st {};
    if (::fstatat(DirectoryAccess::fd(dir), std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) !=
        0)
        return {};
    return detail::found_of(st);
}

Probed probe(const Directory& base, std::string_view path) {
    const int fd = ::openat(DirectoryAccess::fd(base), std::string(path).c_str(),
                            O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {errno == ENOENT || errno == ENOTDIR ? Probe::missing : Probe::cannot_open, {}};
    struct stat st {};
    const bool sized = ::fstat(fd, &st) == 0;
    ::close(fd);
    if (!sized) return {Probe::cannot_size, {}};
    return {Probe::found, detail::found_of(st)};
}

std::optional<FileId> identity(const Directory& dir, std::string_view path) {
    if (path.empty()) return dir.id();
    struct stat st {};
    if (::fstatat(DirectoryAccess::fd(dir), std::string(path).c_str(), &st, 0) != 0)
        return std::nullopt;
    return file_id(st);
}

std::optional<FileId> identity(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0) return std::nullopt;
    return file_id(st);
}

std::optional<FileId> identity(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return file_id(st);
}

std::optional<std::vector<Named>> list_directory(const Directory& dir) {
    const int fd = ::openat(DirectoryAccess::fd(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    DIR* const listing = ::fdopendir(fd);
    if (listing == nullptr) {
        ::close(fd);
        return std::nullopt;
    }
    std::vector<Named> names;
    errno = 0;
    while (const dirent* const e = ::readdir(listing)) {
        const std::string_view name = e->d_name;
        if (name != "." && name != "..") names.push_back({std::string(name), look_at(dir, name)});
        errno = 0;
    }
    const bool read = errno == 0;
    ::closedir(listing);
    if (!read) return std::nullopt;
    return names;
}

std::string absolute_path(const char* path) {
    if (*path == '/') return path;
    std::string cwd(256, '\0');
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE) return path; // as given, which still names it from here
        cwd.resize(2 * cwd.size());
    }
    cwd.resize(std::char_traits<char>::length(cwd.c_str()));
    if (cwd.back() != '/') cwd += '/';
    return cwd + path;
}

bool make_directory(const char* path) {
    std::string at = path;
    while (at.size() > 1 && at.back() == '/') at.pop_back();
    const std::size_t slash = at.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : at.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? at : at.substr(slash + 1);
    const int parent = detail::open_directory_fd(AT_FDCWD, dir.c_str(), true);
    if (parent < 0) return ::mkdir(path, 0755) == 0; // fails the same way, and says why
    struct stat st {};
    if (::mkdirat(parent, leaf.c_str(), 0755) != 0 ||
        ::fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        ::close(parent);
        return false;
    }
    detail::note_made_directory(parent, leaf.c_str(), file_id(st)); // the parent stays open
    return true;
}

bool spots_of(const Directory& base, std::string_view path, std::vector<Spot>& passed) {
    // The components still to pass, the next one last.
    std::vector<std::string> rest;
    const auto push = [&rest](std::string_view text) {
        const std::size_t first = rest.size();
        for (std::size_t at = 0; at <= text.size();) {
            const std::size_t slash = std::min(text.find('/', at), text.size());
            const std::string_view part = text.substr(at, slash - at);
            if (!part.empty() && part != ".") rest.emplace_back(part);
            at = slash + 1;
        }
        std::reverse(rest.begin() + static_cast<std::ptrdiff_t>(first), rest.end());
    };
    push(path);
    int dir = detail::open_directory_fd(DirectoryAccess::fd(base),
                                        path.starts_with('/') ? "/" : ".", true);
    std::string link;
    bool finished = dir >= 0;
    for (int links = 0; finished && !rest.empty();) {
        const std::string name = std::move(rest.back());
        rest.pop_back();
        int next = -1;
        if (name == "..") {
            next = detail::open_directory_fd(dir, "..", true);
        } else {
            struct stat st {};
            if (::fstat(dir, &st) != 0) {
                finished = false;
                break;
            }
            passed.push_back({file_id(st), name});
            const ssize_t n = detail::read_link(dir, name.c_str(), link);
            if (n >= 0) {
                finished = links++ < detail::links_max;
                const std::string_view text(link.data(), static_cast<std::size_t>(n));
                push(text);
                if (text.starts_with('/'))
                    next = detail::open_directory_fd(AT_FDCWD, "/", true);
                else
                    continue;
            } else if (errno == ENOENT || errno == EINVAL) {
                // Nothing there yet ends the walk, which only a last name may; neither may a
                // file that is not a directory.
                if (rest.empty() || errno == ENOENT) {
                    finished = rest.empty();
                    break;
                }
                next = detail::open_directory_fd(dir, name.c_str(), false);
            }
        }
        ::close(dir);
        dir = next;
        finished = finished && dir >= 0;
    }
    if (dir >= 0) ::close(dir);
    return finished;
}

} // namespace wholefile
