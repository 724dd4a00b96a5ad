// Output targets: how each output is written, decided from what its target is.
//
// A path is first followed to where it leads, one symbolic link at a time, each step from
// the directory the last one was found in, so no path of any length is ever put together;
// links are followed as far as the system follows them (40). A walk that cannot finish (a
// directory that cannot be opened, too many links) refuses the
// output: nothing is written anywhere. What the path leads to then picks one way of writing,
// a value of `Way` (write_at); the last two rows are not told by what the target is alone, and
// are decided later, where the new file cannot be made or renamed, or where the refusal is
// found:
//
//   what the target is                                 how it is written
//   -------------------------------------------------  ---------------------------------------
//   an entry of this process's descriptor directory    Way::through: that descriptor as the
//     (/proc/self/fd, /dev/fd; /dev/stdout leads in)     caller opened it, at its offset, in
//                                                        append mode if so opened, never
//                                                        truncated
//   a device, a FIFO or a socket                       Way::directly: opened and written
//   a regular file or nothing                          Way::replaced: a private new file
//                                                        beside it (unnamed where the system
//                                                        has them) takes what the old one had,
//                                                        or what a new file gets there, then
//                                                        is renamed over it once complete
//   (later) a regular file the run does not read, in   in place, within Way::replaced: once
//     a directory that takes no new file, or whose       the whole content is known, the space
//     name a rename cannot replace                       reserved and the signals held,
//                                                        overwritten and cut to its new length
//   (where found) the file standard output (when the   refused
//     program prints lines there) or standard error
//     goes to; a file the run reads where no rename
//     can happen; a file the user may not write; a
//     path that cannot be followed
//
// A replaced file keeps its owner and group where the system allows, its permission bits,
// its access list (ACL) and other extended attributes. Where owner or group cannot be kept,
// the set-id bits go, and so do the group's bits when the group is another; where the access
// list cannot be copied, only the owner keeps access, and a warning says so. Nobody gains
// access that the old file did not give, and no privilege passes to the new content: its
// capability never, its set-id bits only where a plain write by this user would keep them
// (a writer with CAP_FSETID). A new file gets what a plain new file gets in its directory:
// the default access list where there is one, 0666 less the umask elsewhere.
#include "bytes.hpp"
#include "internal.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>
#if BIPAFS_LINUX
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#endif

namespace wholefile {

namespace {

// ---- What the run learns about its own streams and settings.

// Standard output, when the program prints lines there and it is a file or a pipe that an
// output written there would corrupt; standard error, when it is a file, whose replacement
// would send the run's own messages to a file nobody can read any more.
bool guard_stdout = false;
struct stat stdout_stat {};
bool guard_stderr = false;
struct stat stderr_stat {};
bool stderr_terminal = false;

// Learned only when a new file needs it: reading the mask takes two calls.
[[nodiscard]] mode_t creation_mask() {
    static const mode_t mask = [] {
        const mode_t m = ::umask(0);
        ::umask(m);
        return m;
    }();
    return mask;
}

// The directories whose entries are this process's open descriptors, looked up only when a
// path ends in a number.
[[nodiscard]] bool is_descriptor_dir(const struct stat& st) {
    struct Dirs {
        FileId ids[3];
        int count = 0;
    };
    static const Dirs dirs = [] {
        Dirs d;
        for (const char* dir : {"/proc/self/fd", "/proc/thread-self/fd", "/dev/fd"}) {
            struct stat s {};
            if (::stat(dir, &s) == 0 && S_ISDIR(s.st_mode)) d.ids[d.count++] = file_id(s);
        }
        return d;
    }();
    return std::find(dirs.ids, dirs.ids + dirs.count, file_id(st)) != dirs.ids + dirs.count;
}

// ---- Refusals.

// For the reason `error`, the errno of the call that failed, or 0 where none did.
[[noreturn]] void fail_opening(const char* shown, int error) {
    detail::fail_because(error, "can't open '%s' for writing", shown);
}

[[noreturn]] void refuse_in_place(const char* shown) {
    fail("won't write over '%s' in place: this run reads it\n", printable(shown).c_str());
}

// Refuses a target that is the file or pipe the program's lines go to.
void refuse_stdout(const struct stat& st, const char* shown) {
    if (guard_stdout && file_id(st) == file_id(stdout_stat))
        fail("won't write to '%s': it is this run's standard output\n", printable(shown).c_str());
}

// Refuses a target that is the file standard output or standard error goes to.
void refuse_streams(const struct stat& st, const char* shown) {
    refuse_stdout(st, shown);
    if (guard_stderr && file_id(st) == file_id(stderr_stat))
        fail("won't write to '%s': it is this run's standard error\n", printable(shown).c_str());
}

// ---- Where a path leads.

struct Place {
    int dir = AT_FDCWD;
    bool own_dir = false; // dir was opened here and is closed after
    std::string name;     // relative to dir
    int descriptor = -1;  // the open descriptor the path names, if it names one

    Place() = default;
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    ~Place() {
        if (own_dir) ::close(dir);
    }
};

[[nodiscard]] int descriptor_number(const std::string& leaf) {
    if (leaf.empty() || leaf.size() > 9) return -1;
    int n = 0;
    for (const char c : leaf) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

// Follows `path` link by link. Each link is read from the directory that holds it and its
// text taken from there, so the link stays and the file it leads to is the one replaced.
// Returns false when the walk cannot finish; otherwise `place` holds the directory and name
// it ends at, or the descriptor it names.
[[nodiscard]] bool resolve(const char* path, Place& place) {
    std::string at = path;
    std::string link;
    int base = AT_FDCWD;
    for (int links = 0;; ++links) {
        const std::size_t slash = at.rfind('/');
        const std::string dir = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : at.substr(0, slash);
        std::string leaf = slash == std::string::npos ? at : at.substr(slash + 1);
        const int fd = leaf.empty() || leaf == "." || leaf == ".."
                           ? -1
                           : detail::open_directory_fd(base, dir.c_str(), true);
        if (base != AT_FDCWD) ::close(base);
        base = AT_FDCWD;
        if (fd < 0) return false;
        const int number = descriptor_number(leaf);
        if (number >= 0) {
            struct stat st {};
            if (::fstat(fd, &st) != 0) {
                ::close(fd);
                return false;
            }
            if (is_descriptor_dir(st)) {
                place.descriptor = number;
                ::close(fd);
                return true;
            }
        }
        const ssize_t n = detail::read_link(fd, leaf.c_str(), link);
        if (n < 0 && (errno == EINVAL || errno == ENOENT)) { // not a link, or nothing yet
            place.dir = fd;
            place.own_dir = true;
            place.name = std::move(leaf);
            return true;
        }
        if (n < 0 || links == detail::links_max) { // an error, or one link too many
            const int error = n < 0 ? errno : ELOOP;
            ::close(fd);
            errno = error;
            return false;
        }
        at.assign(link.data(), static_cast<std::size_t>(n));
        base = fd; // a relative link is read from the directory that holds it
    }
}

// ---- The new file.

[[nodiscard]] std::string temp_name(std::string_view leaf) {
    static std::uint64_t state = 0;
    if (state == 0) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        // The clock and where this process's stack lies (placed at random by the system),
        // with no system call: a name already taken is only tried again.
        const auto stack = reinterpret_cast<std::uintptr_t>(&now);
        state = (static_cast<std::uint64_t>(stack) << 16) ^
                static_cast<std::uint64_t>(now.tv_nsec) ^ static_cast<std::uint64_t>(now.tv_sec);
    }
    static constexpr char letters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // Leaves room in NAME_MAX for the dots and the suffix.
    // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) about "." + string.
    std::string name(1, '.');
    name.append(leaf.substr(0, 200));
    name += '.';
    for (int k = 0; k < 6; ++k) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        name += letters[(state >> 33) % (sizeof letters - 1)];
    }
    return name;
}

[[nodiscard]] bool takes_no_new_file(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

// Creates a named private file beside `name` in `dir` and records it as pending. Returns its
// descriptor, or -1 with errno set.
[[nodiscard]] int create_named(int dir, const std::string& name) {
    const detail::HeldSignals held;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string made = temp_name(name);
        const int fd =
            ::openat(dir, made.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            detail::note_pending(dir, made.c_str());
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// The new file beside the target: unnamed where the system and the file system have such
// files, so that nothing is left of it however the run ends; otherwise named.
struct Temporary {
    int fd = -1;
    bool unnamed = false;
};

// An unnamed file is made with the mode a plain new file is asked for, so that the system
// gives it what it gives such a file in its directory: the default access list where the
// directory has one, 0666 less the umask elsewhere. Nobody can open it while it has no name.
[[nodiscard]] Temporary create_temporary(int dir, const std::string& name) {
#if BIPAFS_LINUX
    if (!detail::seams.no_unnamed_files) {
        const int fd = ::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0) return {fd, true};
        if (takes_no_new_file(errno)) return {};
    }
#endif
    detail::handle_ending_signals(); // the named file lives while it is written
    return {create_named(dir, name), false};
}

// Gives the unnamed file `fd` the name `name` in `dir`; fails with EEXIST when it is taken.
// A writer without CAP_DAC_READ_SEARCH, on kernels before 6.10, can link it only through
// /proc/self/fd.
[[nodiscard]] bool link_unnamed(int fd, int dir, const char* name) {
#if BIPAFS_LINUX
    if (!detail::seams.no_empty_path_link) {
        if (::linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0) return true;
        if (errno == EEXIST) return false;
    }
    if (detail::seams.no_proc_link) {
        errno = ENOENT;
        return false;
    }
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, self, dir, name, AT_SYMLINK_FOLLOW) == 0;
#else
    static_cast<void>(fd);
    static_cast<void>(dir);
    static_cast<void>(name);
    errno = ENOTSUP;
    return false;
#endif
}

// ---- What a replaced file keeps.

#if BIPAFS_LINUX
constexpr const char* access_list = "system.posix_acl_access";
constexpr const char* default_list = "system.posix_acl_default";
constexpr const char* capabilities = "security.capability";

// Copies the extended attributes of `from` to `to`. Those this user may not set, or that the
// file system does not take, are left to the system, as a copy that keeps attributes does.
// An access list the new file took from its directory's default, where the old file had
// none, is removed. Returns false when an attribute that grants access (an access list, in
// the "system." namespace) was there and is not copied (`access_lists` false: the group is
// another), or when what was there cannot be told.
[[nodiscard]] bool copy_attributes(int from, int to, bool access_lists) {
    if (from < 0) return false;
    char small[256];
    std::vector<char> large;
    const char* list = small;
    ssize_t length = ::flistxattr(from, small, sizeof small);
    if (length < 0 && errno == ERANGE) {
        large.resize(XATTR_LIST_MAX);
        length = ::flistxattr(from, large.data(), large.size());
        list = large.data();
    }
    if (length < 0) return errno == ENOTSUP; // a file system without attributes has none
    bool kept = true;
    bool had_list = false;
    std::vector<char> value;
    for (const char* name = list; name < list + length; name += std::strlen(name) + 1) {
        // A plain write takes a file's capabilities away, for every writer: new content never
        // inherits them.
        if (std::strcmp(name, capabilities) == 0) continue;
        const bool grants = std::strncmp(name, "system.", 7) == 0;
        had_list = had_list || std::strcmp(name, access_list) == 0;
        if (grants && !access_lists) {
            kept = false;
            continue;
        }
        if (value.empty()) value.resize(XATTR_SIZE_MAX);
        const ssize_t size = ::fgetxattr(from, name, value.data(), value.size());
        if (size < 0 || ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(size), 0) != 0)
            kept = kept && !grants;
    }
    if (!had_list) static_cast<void>(::fremovexattr(to, access_list));
    return kept;
}

// Whether the file at `place` has no extended attributes at all, as most have: learned in
// one call, by its name under the directory's descriptor, where opening it to ask would take
// three. False when that cannot be told.
[[nodiscard]] bool has_no_attributes(int dir, const std::string& name) {
    char path[64 + NAME_MAX];
    if (dir == AT_FDCWD || std::snprintf(path, sizeof path, "/proc/self/fd/%d/%s", dir,
                                         name.c_str()) >= static_cast<int>(sizeof path))
        return false;
    const ssize_t length = ::llistxattr(path, nullptr, 0);
    return length == 0 || (length < 0 && errno == ENOTSUP);
}

// The new file keeps no access list from its directory's default that the old one lacked.
void drop_access_list(int to) {
    static_cast<void>(::fremovexattr(to, access_list));
}

// The default access list of the directory open as `dir`, as the system stores it (a 4-byte
// version, then 8-byte entries); empty where it has none or that cannot be told.
[[nodiscard]] std::vector<std::uint8_t> default_access_list(int dir) {
    char path[32] = ".";
    if (dir != AT_FDCWD) std::snprintf(path, sizeof path, "/proc/self/fd/%d", dir);
    const ssize_t size = ::getxattr(path, default_list, nullptr, 0);
    if (size <= 0) return {};
    std::vector<std::uint8_t> list(static_cast<std::size_t>(size));
    const ssize_t got = ::getxattr(path, default_list, list.data(), list.size());
    if (got < 4 || (got - 4) % 8 != 0) return {};
    list.resize(static_cast<std::size_t>(got));
    return list;
}

// Gives the new file `to` the access list a file created with mode 0666 takes from
// `inherited`, its directory's default: the owner's entry, everyone else's and the mask
// (the owning group's where there is no mask) cut to read and write. The system sets the
// permission bits to match, and keeps no list that the bits say all of.
void inherit_access_list(int to, std::vector<std::uint8_t> list, const char* shown) {
    constexpr unsigned owner = 0x01, owning_group = 0x04, mask = 0x10, others = 0x20;
    bool has_mask = false;
    for (std::size_t at = 4; at + 8 <= list.size(); at += 8)
        has_mask = has_mask || load_le16(&list[at]) == mask;
    for (std::size_t at = 4; at + 8 <= list.size(); at += 8) {
        const unsigned tag = load_le16(&list[at]);
        if (tag == owner || tag == others || tag == mask || (tag == owning_group && !has_mask))
            store_le16(&list[at + 2], static_cast<std::uint16_t>(load_le16(&list[at + 2]) & 06));
    }
    if (::fsetxattr(to, access_list, list.data(), list.size(), 0) != 0)
        detail::fail_writing(shown, errno);
}
#else
// No portable call reads a file's extended attributes; the owner, group and bits are kept.
[[nodiscard]] bool copy_attributes(int, int, bool) {
    return true;
}
[[nodiscard]] bool has_no_attributes(int, const std::string&) {
    return true;
}
void drop_access_list(int) {}
#endif

// Gives the new file `to`, now as `now` says, the owner, group and bits of the file it
// replaces (`was`) where the system allows, and nobody access the old file did not give.
// Returns whether the group was kept.
// Whether this process keeps the set-id bits of a file it writes, as a writer with
// CAP_FSETID does; a write by any other takes them away.
[[nodiscard]] bool keeps_set_id_bits() {
#if BIPAFS_LINUX
    static const bool kept = [] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
        if (::syscall(SYS_capget, &header, data) != 0) return ::geteuid() == 0;
        return (data[CAP_FSETID / 32].effective & (1u << (CAP_FSETID % 32))) != 0;
    }();
    return kept;
#else
    return ::geteuid() == 0;
#endif
}

// The set-id bits among `mode` that a plain write by this process would clear: set-uid,
// and set-gid where it grants anything (the group may execute), unless the writer has
// CAP_FSETID. (Setting the bits back clears set-gid for a writer outside the group anyway.)
[[nodiscard]] mode_t cleared_by_a_write(mode_t mode) {
    if ((mode & (S_ISUID | S_ISGID)) == 0 || keeps_set_id_bits()) return 0;
    return (mode & S_ISUID) | ((mode & S_IXGRP) != 0 ? (mode & S_ISGID) : 0);
}

[[nodiscard]] bool keep_owner_and_bits(const struct stat& was, int to, const struct stat& now,
                                       mode_t* mode, const char* shown) {
    bool owner = now.st_uid == was.st_uid;
    bool group = now.st_gid == was.st_gid;
    bool changed = false;
    if (!owner || !group) {
        if (::fchown(to, was.st_uid, was.st_gid) == 0) {
            owner = group = changed = true;
        } else if (!group && ::fchown(to, static_cast<uid_t>(-1), was.st_gid) == 0) {
            group = changed = true;
        }
    }
    *mode = was.st_mode & 07777;
    if (!owner || !group) *mode &= static_cast<mode_t>(~(S_ISUID | S_ISGID));
    // New content never inherits a privilege that writing it would take away.
    *mode &= static_cast<mode_t>(~cleared_by_a_write(*mode));
    if (!group) *mode &= static_cast<mode_t>(~S_IRWXG); // the old group's, not this one's
    // A change of owner clears the set-id bits, which are then given again.
    if ((*mode != (now.st_mode & 07777) || (changed && (*mode & (S_ISUID | S_ISGID)) != 0)) &&
        ::fchmod(to, *mode) != 0)
        detail::fail_writing(shown, errno);
    return group;
}

// Gives the new file `to` (mode `mode` now) what a plain file created with mode 0666 gets in
// the directory open as `dir`: the directory's default access list where it has one, 0666
// less the umask elsewhere. An unnamed file was made so and has it already, unless its mode
// is wider than the umask allows: from a default list, or from a kernel before 6.0, which
// applied no umask to an unnamed file on a file system without access lists.
void give_what_a_new_file_gets(int dir, int to, bool unnamed, mode_t mode, const char* shown) {
    const mode_t plain = 0666 & ~creation_mask();
    if (unnamed && (mode & 0777 & ~plain) == 0) return;
#if BIPAFS_LINUX
    std::vector<std::uint8_t> inherited = default_access_list(dir);
    if (!inherited.empty()) {
        if (!unnamed) inherit_access_list(to, std::move(inherited), shown);
        return;
    }
#else
    static_cast<void>(dir);
#endif
    if (::fchmod(to, plain) != 0) detail::fail_writing(shown, errno);
}

// Where an access list could not be kept: only the owner keeps access.
void lose_access_list(int to, mode_t mode, const char* shown) {
    if (::fchmod(to, mode & S_IRWXU) != 0) detail::fail_writing(shown, errno);
    warn("can't copy the ACL of '%s': only its owner has access now\n", printable(shown).c_str());
}

// Gives the new file `to` (now as `now` says) what the file it replaces had: `was`, open as
// `from` (-1: it could not be opened). The attributes come after the bits, which setting an
// access list adjusts to match it.
void take_over(int from, const struct stat& was, int to, const struct stat& now,
               const char* shown) {
    mode_t mode = 0;
    const bool group = keep_owner_and_bits(was, to, now, &mode, shown);
    if (!copy_attributes(from, to, group)) lose_access_list(to, mode, shown);
}

// The same for the file at `place`, read without opening it when it has no attributes.
void take_over(const Place& place, const struct stat& was, int to, const struct stat& now,
               const char* shown) {
    if (!has_no_attributes(place.dir, place.name)) {
        constexpr int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        int from = ::openat(place.dir, place.name.c_str(), O_RDONLY | flags);
        if (from < 0) from = ::openat(place.dir, place.name.c_str(), O_WRONLY | flags);
        take_over(from, was, to, now, shown);
        if (from >= 0) ::close(from);
        return;
    }
    mode_t mode = 0;
    static_cast<void>(keep_owner_and_bits(was, to, now, &mode, shown));
    drop_access_list(to);
}

// ---- The ways of writing.

// Reserves the new file's blocks before a file that replaces another is written. ext4 starts
// writing back a file whose blocks are not yet allocated when it is renamed over another
// (so that a crash does not leave it empty), which cost about a third of the time of
// re-extracting an archive of 66,000 small entries over their old files; a file whose
// blocks are reserved is renamed at once. A full disk is also found before the first byte.
// Where the file system reserves nothing, nothing is lost: the write finds out as before.
void reserve(int fd, std::uint64_t size, const char* shown) {
#if BIPAFS_LINUX
    if (size == 0 || size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return;
    if (::fallocate(fd, 0, 0, static_cast<off_t>(size)) != 0 && errno == ENOSPC)
        detail::fail_writing(shown, errno);
#else
    static_cast<void>(fd);
    static_cast<void>(size);
    static_cast<void>(shown);
#endif
}

// Names the finished unnamed file beside the target, as a pending file, so that the rename
// can put it in place; where it cannot be linked, its content is copied into a named one.
void name_unnamed(int& fd, int dir, const std::string& name, const char* shown,
                  std::uint64_t size) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string made = temp_name(name);
        if (link_unnamed(fd, dir, made.c_str())) {
            detail::note_pending(dir, made.c_str());
            return;
        }
        if (errno != EEXIST) break;
    }
    const int named = create_named(dir, name);
    if (named < 0) detail::fail_writing(shown, errno);
    detail::copy_whole(fd, size, named, shown);
    struct stat was {};
    struct stat now {};
    if (::fstat(fd, &was) != 0 || ::fstat(named, &now) != 0) detail::fail_writing(shown, errno);
    take_over(fd, was, named, now, shown);
    ::close(fd);
    fd = named;
}

// Overwrites the regular file open as `fd` with `size` bytes that write(fd) produces, in
// place: the size limit is checked and the whole range reserved first, holes included, and
// the file is cut to its new length only after the last byte, so that a failure before the
// first byte leaves it as it was. The caller holds the signals.
template <typename Write>
void overwrite(int fd, std::uint64_t size, const char* shown, Write&& write) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        size > limit.rlim_cur)
        detail::fail_writing(shown, EFBIG);
    struct stat st {};
    if (::fstat(fd, &st) != 0) detail::fail_writing(shown, errno);
#if !defined(__APPLE__) // no posix_fallocate there: a full disk shows in the write
    if (size > 0) {
        const int error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
        if (error != 0 && error != EINVAL && error != EOPNOTSUPP) {
            static_cast<void>(::ftruncate(fd, st.st_size));
            detail::fail_writing(shown, error);
        }
    }
#endif
    write();
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) detail::fail_writing(shown, errno);
}

[[nodiscard]] std::uint64_t total_size(std::span<const Piece> pieces) {
    std::uint64_t total = 0;
    for (const Piece& piece : pieces) total += piece.size;
    return total;
}

// Opens the regular file at `place` to overwrite it in place; refuses one the run reads.
[[nodiscard]] int open_in_place(const Place& place, const char* shown) {
    const int fd =
        ::openat(place.dir, place.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fail_opening(shown, errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) fail_opening(shown, errno);
    if (!S_ISREG(st.st_mode)) fail_opening(shown, 0);
    if (reads(file_id(st))) refuse_in_place(shown);
    return fd;
}

// Writes a regular file that the run does not read in place, from pieces that are all read
// before it is touched.
FileId write_in_place(const Place& place, const char* shown, std::span<const Piece> pieces,
                      std::span<const Source> sources) {
    std::vector<std::uint8_t> assembled;
    Piece whole;
    if (!sources.empty() ||
        std::any_of(pieces.begin(), pieces.end(), [](const Piece& p) { return p.file; })) {
        assembled = detail::assemble(pieces, shown);
        whole = {assembled.data(), assembled.size()};
        pieces = {&whole, 1};
        sources = {};
    }
    const int fd = open_in_place(place, shown);
    {
        const detail::HeldSignals held;
        overwrite(fd, total_size(pieces), shown,
                  [&] { detail::write_pieces(fd, shown, pieces, sources); });
    }
    struct stat st {};
    ::fstat(fd, &st);
    if (::close(fd) != 0) detail::fail_writing(shown, errno);
    return file_id(st);
}

// A target that is not a regular file: a device, a FIFO or a socket, written as it is.
FileId write_directly(const Place& place, const char* shown, std::span<const Piece> pieces,
                      std::span<const Source> sources) {
    const int fd = ::openat(place.dir, place.name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) fail_opening(shown, errno);
    detail::write_pieces(fd, shown, pieces, sources);
    struct stat st {};
    ::fstat(fd, &st);
    if (::close(fd) != 0) detail::fail_writing(shown, errno);
    return file_id(st);
}

// An output through a descriptor the caller opened: written from its offset, never
// truncated, never closed.
FileId write_through(int fd, const char* shown, std::span<const Piece> pieces,
                     std::span<const Source> sources) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) fail_opening(shown, errno);
    if ((flags & O_ACCMODE) == O_RDONLY) detail::fail_writing(shown, EBADF);
    struct stat st {};
    if (::fstat(fd, &st) != 0) detail::fail_writing(shown, errno);
    refuse_stdout(st, shown);
    if (S_ISREG(st.st_mode) && reads(file_id(st))) refuse_in_place(shown);
    detail::write_pieces(fd, shown, pieces, sources);
    return file_id(st);
}

// Puts the finished file in the target's place by a rename, the signals held throughout. A
// target the rename cannot replace (a mount point of its own, another user's file in a
// sticky directory) gets the content copied in, unless the run reads it.
void put_in_place(const Place& place, const char* shown, Temporary& temp, bool existed,
                  std::uint64_t size) {
    // A target that is not there yet is made by the link itself, which leaves nothing behind
    // at any moment, so no signal needs holding.
    if (temp.unnamed && !existed && link_unnamed(temp.fd, place.dir, place.name.c_str())) return;
    const detail::HeldSignals held;
    if (temp.unnamed) name_unnamed(temp.fd, place.dir, place.name, shown, size);
    if (::renameat(detail::pending_dir(), detail::pending_name(), place.dir, place.name.c_str()) ==
        0) {
        detail::forget_pending();
        return;
    }
    const int error = errno;
    if (error != EBUSY && error != EPERM && error != EACCES && error != EXDEV)
        detail::fail_writing(shown, errno);
    const int into = open_in_place(place, shown);
    overwrite(into, size, shown, [&] { detail::copy_whole(temp.fd, size, into, shown); });
    if (::close(into) != 0) detail::fail_writing(shown, errno);
    detail::remove_pending();
}

// The ways an output is written, one for each of the first three rows of the table at the
// top of this file; in-place writing is decided within `replaced`, and the refusals end the
// run where they are found.
enum class Way {
    through,  // an open descriptor of this process
    directly, // a device, a FIFO or a socket
    replaced, // a regular file, or nothing: a new file renamed into place (or, where none can
              // be made or renamed, the old one overwritten in place)
};

// What `found` says, as the lstat it was taken from said it, so far as the writer asks.
[[nodiscard]] struct stat stat_of(const Found& found) {
    struct stat st {};
    st.st_dev = static_cast<dev_t>(found.id.dev);
    st.st_ino = static_cast<ino_t>(found.id.ino);
    st.st_mode = static_cast<mode_t>(found.mode);
    st.st_uid = static_cast<uid_t>(found.uid);
    st.st_gid = static_cast<gid_t>(found.gid);
    st.st_size = static_cast<off_t>(found.size);
    return st;
}

// What the output's target is, and so how it is written.
struct Target {
    Way way = Way::replaced;
    bool exists = false; // a regular file is there, which the new one replaces
    struct stat old {};
};

// Classifies the target at `place`. `follow` is false for a file extracted into a directory,
// where whatever is at the name and is not a regular file is replaced, never opened.
[[nodiscard]] Target classify(const Place& place, const char* shown, bool follow,
                              const Found* found) {
    Target target;
    if (place.descriptor >= 0) {
        target.way = Way::through;
        return target;
    }
    bool there = found != nullptr ? found->exists()
                                  : ::fstatat(place.dir, place.name.c_str(), &target.old,
                                              AT_SYMLINK_NOFOLLOW) == 0;
    if (found != nullptr && there) target.old = stat_of(*found);
    if (there) refuse_streams(target.old, shown);
    if (there && !S_ISREG(target.old.st_mode)) {
        if (S_ISLNK(target.old.st_mode) && follow) fail_opening(shown, 0); // a link since the walk
        if (follow) target.way = Way::directly;
        return target; // in a directory extracted into, replaced like a missing target
    }
    // A file the user may not write stays so, as an in-place write would leave it.
    if (there && ::faccessat(place.dir, place.name.c_str(), W_OK, AT_EACCESS) != 0)
        fail_opening(shown, errno);
    target.exists = there;
    return target;
}

// Replaces the regular file at `place`, or makes it: written to a new file beside it, which
// takes what the old one had and is renamed into place. Where the directory takes no new
// file, an existing file is overwritten in place instead.
FileId replace(const Place& place, const Target& target, const char* shown,
               std::span<const Piece> pieces, std::span<const Source> sources) {
    Temporary temp = create_temporary(place.dir, place.name);
    if (temp.fd < 0) {
        if (!takes_no_new_file(errno) || !target.exists) fail_opening(shown, errno);
        return write_in_place(place, shown, pieces, sources); // refuses a file the run reads
    }
    if (target.exists) reserve(temp.fd, total_size(pieces), shown);
    detail::write_pieces(temp.fd, shown, pieces, sources);
    struct stat st {};
    if (::fstat(temp.fd, &st) != 0) detail::fail_writing(shown, errno);
    // The new file, private while it is written, takes what the old one had, or what a new
    // file gets there, before anyone else can open it.
    if (target.exists)
        take_over(place, target.old, temp.fd, st, shown);
    else
        give_what_a_new_file_gets(place.dir, temp.fd, temp.unnamed, st.st_mode, shown);
    put_in_place(place, shown, temp, target.exists, static_cast<std::uint64_t>(st.st_size));
    if (::close(temp.fd) != 0) detail::fail_writing(shown, errno);
    return file_id(st);
}

// Writes the output at `place`, the way what is there calls for.
FileId write_at(const Place& place, const char* shown, bool follow, std::span<const Piece> pieces,
                std::span<const Source> sources, const Found* found = nullptr) {
    const Target target = classify(place, shown, follow, found);
    switch (target.way) {
    case Way::through:
        return write_through(place.descriptor, shown, pieces, sources);
    case Way::directly:
        return write_directly(place, shown, pieces, sources);
    case Way::replaced:
        break;
    }
    return replace(place, target, shown, pieces, sources);
}

} // namespace

namespace detail {

void learn_standard_streams(StandardOutput use) {
    if (use == StandardOutput::prints_lines && ::fstat(STDOUT_FILENO, &stdout_stat) == 0)
        guard_stdout = S_ISREG(stdout_stat.st_mode) || S_ISFIFO(stdout_stat.st_mode) ||
                       S_ISSOCK(stdout_stat.st_mode);
    if (::fstat(STDERR_FILENO, &stderr_stat) == 0) guard_stderr = S_ISREG(stderr_stat.st_mode);
    stderr_terminal = ::isatty(STDERR_FILENO) == 1;
}

bool standard_error_is_terminal() {
    return stderr_terminal;
}

} // namespace detail

Scratch::Scratch(const Directory& near, const char* shown) : shown_(shown) {
    const int dir = DirectoryAccess::fd(near);
    int fd = -1;
#if BIPAFS_LINUX
    fd = ::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (fd < 0) {
        detail::handle_ending_signals(); // the named file lives an instant
        fd = create_named(dir, "scratch");
        if (fd >= 0) {
            const detail::HeldSignals held;
            ::unlinkat(detail::pending_dir(), detail::pending_name(), 0);
            detail::forget_pending();
        }
    }
    if (fd < 0) fail_opening(shown, errno);
    source_.fd = fd;
}

Scratch::~Scratch() {
    if (source_.fd >= 0) ::close(source_.fd);
}

std::uint64_t Scratch::append(std::span<const std::uint8_t> bytes) {
    const Piece piece{bytes.data(), bytes.size()};
    detail::write_pieces(source_.fd, shown_.c_str(), {&piece, 1}, {});
    const std::uint64_t at = size_;
    size_ += bytes.size();
    return at;
}

void check_output(const char* path) {
    if (!guard_stdout) return;
    // One look, links followed by the system: only the identity matters here, and the walk
    // that decides how the output is written comes when it is written.
    struct stat st {};
    if (::stat(path, &st) == 0) refuse_stdout(st, path);
}

void write_file(const char* path, std::span<const Piece> pieces, std::span<const Source> sources) {
    Place place;
    if (!resolve(path, place)) fail_opening(path, errno);
    write_at(place, path, true, pieces, sources);
}

FileId write_file_in(const Directory& dir, const char* name, const char* shown,
                     std::span<const Piece> pieces, std::span<const Source> sources,
                     const Found* found) {
    Place place;
    place.dir = DirectoryAccess::fd(dir);
    place.name = name;
    return write_at(place, shown, false, pieces, sources, found);
}

} // namespace wholefile
