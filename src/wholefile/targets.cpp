// Output targets: how each output is written, decided from what its target is.
//
// A path is first followed to where it leads, one symbolic link at a time, each step from
// the directory the last one was found in, so no path of any length is ever put together.
// What it leads to decides the rest:
// - a directory of this process's open descriptors (/proc/self/fd, /dev/fd, which
//   /dev/stdout leads into): the output goes through that descriptor as the caller opened
//   it, at its offset, in append mode if it was opened so, and is never truncated;
// - a regular file or nothing: the output is written to a private new file in the same
//   directory (an unnamed one where the system has them, otherwise named and mode 0600),
//   given its final mode, and renamed over the target once complete;
// - a device, a FIFO or a socket: written directly, as such targets are used;
// - a file the run reads (inputs.cpp) is only ever replaced by a rename; where that cannot
//   happen the run refuses, before or instead of writing it.
// Only a regular file that the run does not read, in a directory that takes no new file (or
// whose name the rename cannot replace), is written in place; then its whole content is
// known first, the space is reserved and the size limit checked, and it is overwritten
// without being truncated first, so that a failure before the first byte leaves it as it
// was.
//
// The named temporary file, while it exists, is recorded where the signal handlers can
// reach it: every signal that ends the process removes it first. Signals that come from
// outside are held back while it is created and renamed, so no moment exists at which it
// could be left over; only SIGKILL can leave one, and only where unnamed files are missing.
#include "internal.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace wholefile {

namespace {

// ---- The unfinished output and the signals that end the process.

struct Pending {
    volatile std::sig_atomic_t live = 0;
    int dir = AT_FDCWD;
    char name[PATH_MAX + 1] = {};
};
Pending pending; // static storage, so the signal handlers may read it

// Signals sent from outside, held back around the creation and the rename.
constexpr int outside_signals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGPIPE,   SIGQUIT, SIGXCPU,
                                   SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF};
// Signals the run raises itself; they are never held, since a fault held back kills at once.
constexpr int fault_signals[] = {SIGABRT, SIGSEGV, SIGBUS};

// Where the fault handlers run, so a stack overflow can still remove the unfinished file.
alignas(16) char handler_stack[64 * 1024];

void on_ending_signal(int signal, siginfo_t* info, void*) {
    if ((signal == SIGBUS || signal == SIGSEGV) && info != nullptr) {
        std::size_t length = 0;
        if (const char* const message = detail::fault_message(info->si_addr, &length)) {
            detail::remove_pending();
            static_cast<void>(::write(STDERR_FILENO, message, length));
            ::_exit(1);
        }
    }
    detail::remove_pending();
    // Ends the process as the signal would have, so the caller sees which one it was.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    ::sigaction(signal, &action, nullptr);
    ::raise(signal);
}

void install_handler(int signal, bool on_own_stack) {
    struct sigaction old {};
    ::sigaction(signal, nullptr, &old);
    if (old.sa_handler == SIG_IGN) return; // whoever started us wants it ignored
    struct sigaction action {};
    action.sa_sigaction = on_ending_signal;
    action.sa_flags = SA_SIGINFO | (on_own_stack ? SA_ONSTACK : 0);
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

// Holds back the signals from outside for as long as it lives.
class HeldSignals {
public:
    HeldSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (const int signal : outside_signals) sigaddset(&set, signal);
        ::sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~HeldSignals() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

private:
    sigset_t old_;
};

// ---- What the run learned at its start.

mode_t creation_mask = 022;
// Standard output, when the program prints lines there and it is a file or a pipe that an
// output written there would corrupt.
bool guard_stdout = false;
struct stat stdout_stat {};
// The directories whose entries are this process's open descriptors.
constexpr int descriptor_dirs_max = 3;
FileId descriptor_dirs[descriptor_dirs_max];
int descriptor_dirs_count = 0;

[[nodiscard]] bool is_descriptor_dir(const struct stat& st) {
    for (int k = 0; k < descriptor_dirs_count; ++k)
        if (descriptor_dirs[k] == file_id(st)) return true;
    return false;
}

[[nodiscard]] bool is_stdout(const struct stat& st) {
    return guard_stdout && file_id(st) == file_id(stdout_stat);
}

// ---- Refusals.

[[noreturn]] void fail_opening(const char* shown) {
    fail("can't open '%s' for writing\n", printable(shown).c_str());
}

[[noreturn]] void refuse_stdout(const char* shown) {
    fail("won't write to '%s': it is this run's standard output\n", printable(shown).c_str());
}

[[noreturn]] void refuse_in_place(const char* shown) {
    fail("won't write over '%s' in place: this run reads it\n", printable(shown).c_str());
}

// ---- Where a path leads.

struct Place {
    int dir = AT_FDCWD;
    bool own_dir = false;  // dir was opened here and is closed after
    std::string name;      // relative to dir; the path as given when not resolved
    bool resolved = false; // links followed and the directory open
    int descriptor = -1;   // the open descriptor the path names, if it names one

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

// Follows `path` link by link (at most 40, the system's own limit). Each link is read from
// the directory that holds it and its text taken from there, so the link stays and the file
// it leads to is the one replaced.
void resolve(const char* path, Place& place) {
    place.name = path;
    std::string at = path;
    std::string link(PATH_MAX, '\0');
    int base = AT_FDCWD;
    for (int hop = 0; hop < 40; ++hop) {
        const std::size_t slash = at.rfind('/');
        const std::string dir = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : at.substr(0, slash);
        std::string leaf = slash == std::string::npos ? at : at.substr(slash + 1);
        if (leaf.empty() || leaf == "." || leaf == "..") break;
        const int fd = open_directory(base, dir.c_str(), true);
        if (base != AT_FDCWD) ::close(base);
        base = AT_FDCWD;
        if (fd < 0) break; // written by its path, whatever stopped the walk
        struct stat st {};
        if (::fstat(fd, &st) == 0 && is_descriptor_dir(st) && descriptor_number(leaf) >= 0) {
            place.descriptor = descriptor_number(leaf);
            ::close(fd);
            return;
        }
        const ssize_t n = ::readlinkat(fd, leaf.c_str(), link.data(), link.size());
        if (n < 0 || static_cast<std::size_t>(n) == link.size()) {
            if (n >= 0) { // a link too long to read: left to the system to follow
                ::close(fd);
                return;
            }
            place.dir = fd;
            place.own_dir = true;
            place.name = std::move(leaf);
            place.resolved = true;
            return;
        }
        at.assign(link.data(), static_cast<std::size_t>(n));
        base = fd; // a relative link is read from the directory that holds it
    }
    if (base != AT_FDCWD) ::close(base);
}

// What the path leads to now; false when nothing is there.
[[nodiscard]] bool stat_target(const Place& place, struct stat* st) {
    if (place.descriptor >= 0) return ::fstat(place.descriptor, st) == 0;
    const int flags = place.resolved ? AT_SYMLINK_NOFOLLOW : 0;
    return ::fstatat(place.dir, place.name.c_str(), st, flags) == 0;
}

// ---- Writing.

[[nodiscard]] std::string temp_name(std::string_view leaf) {
    static std::uint64_t state = 0;
    if (state == 0) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        state = (static_cast<std::uint64_t>(::getpid()) << 32) ^
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
    const HeldSignals held;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string made = temp_name(name);
        const int fd =
            ::openat(dir, made.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            pending.dir = dir;
            std::memcpy(pending.name, made.c_str(), made.size() + 1);
            pending.live = 1;
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

[[nodiscard]] Temporary create_temporary(int dir, const std::string& name) {
#if WHOLEFILE_LINUX
    const int fd = ::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return {fd, true};
    if (takes_no_new_file(errno)) return {};
#endif
    return {create_named(dir, name), false};
}

// Gives the unnamed file `fd` the name `name` in `dir`; fails with EEXIST when it is taken.
[[nodiscard]] bool link_unnamed(int fd, int dir, const char* name) {
#if WHOLEFILE_LINUX
    if (::linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0) return true;
    if (errno == EEXIST) return false;
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

// Names the finished unnamed file beside the target, as a pending file, so that the rename
// can put it in place; where it cannot be linked, its content is copied into a named one.
void name_unnamed(int& fd, int dir, const std::string& name, const char* shown,
                  std::uint64_t size) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string made = temp_name(name);
        if (link_unnamed(fd, dir, made.c_str())) {
            pending.dir = dir;
            std::memcpy(pending.name, made.c_str(), made.size() + 1);
            pending.live = 1;
            return;
        }
        if (errno != EEXIST) break;
    }
    const int named = create_named(dir, name);
    if (named < 0) detail::fail_writing(shown);
    struct stat st {};
    if (::fstat(fd, &st) == 0) static_cast<void>(::fchmod(named, st.st_mode & 07777));
    detail::copy_whole(fd, size, named, shown);
    ::close(fd);
    fd = named;
}

// Overwrites the regular file open as `fd` with `size` bytes that write(fd) produces, in
// place: the size limit is checked and the space reserved first, and the file is cut to
// its new length only after the last byte, so that a failure before the first byte
// leaves it as it was.
template <typename Write>
void overwrite(int fd, std::uint64_t size, const char* shown, Write&& write) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        size > limit.rlim_cur)
        detail::fail_writing(shown);
    struct stat st {};
    if (::fstat(fd, &st) != 0) detail::fail_writing(shown);
    if (size > static_cast<std::uint64_t>(st.st_size)) {
#if defined(__APPLE__)
        const int error = 0; // no posix_fallocate there: a full disk shows in the write
#else
        const int error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
#endif
        if (error != 0 && error != EINVAL && error != EOPNOTSUPP) {
            static_cast<void>(::ftruncate(fd, st.st_size));
            detail::fail_writing(shown);
        }
    }
    write();
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) detail::fail_writing(shown);
}

[[nodiscard]] std::uint64_t total_size(std::span<const Piece> pieces) {
    std::uint64_t total = 0;
    for (const Piece& piece : pieces) total += piece.size;
    return total;
}

// Writes a regular file that the run does not read in place, from pieces that are all read
// before it is touched. A file that does not exist yet is created, and removed again
// should the run fail.
FileId write_in_place(const Place& place, const char* shown, bool follow, bool exists,
                      std::span<const Piece> pieces, std::span<const Source> sources) {
    std::vector<std::uint8_t> assembled;
    Piece whole;
    if (!sources.empty() ||
        std::any_of(pieces.begin(), pieces.end(), [](const Piece& p) { return p.file; })) {
        assembled = detail::assemble(pieces, shown);
        whole = {assembled.data(), assembled.size()};
        pieces = {&whole, 1};
        sources = {};
    }
    const int flags =
        O_WRONLY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW) | (exists ? 0 : O_CREAT | O_EXCL);
    int fd = -1;
    {
        const HeldSignals held;
        fd = ::openat(place.dir, place.name.c_str(), flags, 0666);
        if (fd >= 0 && !exists && place.name.size() < sizeof pending.name) {
            pending.dir = place.dir;
            std::memcpy(pending.name, place.name.c_str(), place.name.size() + 1);
            pending.live = 1;
        }
    }
    if (fd < 0) fail_opening(shown);
    overwrite(fd, total_size(pieces), shown,
              [&] { detail::write_pieces(fd, shown, pieces, sources); });
    struct stat st {};
    ::fstat(fd, &st);
    if (::close(fd) != 0) detail::fail_writing(shown);
    pending.live = 0;
    return file_id(st);
}

// A target that is not a regular file: a device, a FIFO or a socket, written as it is.
FileId write_directly(const Place& place, const char* shown, std::span<const Piece> pieces,
                      std::span<const Source> sources) {
    const int fd = ::openat(place.dir, place.name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) fail_opening(shown);
    detail::write_pieces(fd, shown, pieces, sources);
    struct stat st {};
    ::fstat(fd, &st);
    if (::close(fd) != 0) detail::fail_writing(shown);
    return file_id(st);
}

// An output through a descriptor the caller opened: written from its offset, never
// truncated, never closed.
FileId write_through(int fd, const char* shown, std::span<const Piece> pieces,
                     std::span<const Source> sources) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) fail_opening(shown);
    if ((flags & O_ACCMODE) == O_RDONLY) detail::fail_writing(shown);
    struct stat st {};
    if (::fstat(fd, &st) != 0) detail::fail_writing(shown);
    if (is_stdout(st)) refuse_stdout(shown);
    if (S_ISREG(st.st_mode) && reads(file_id(st))) refuse_in_place(shown);
    detail::write_pieces(fd, shown, pieces, sources);
    return file_id(st);
}

// Puts the finished file in the target's place by a rename. A target the rename cannot
// replace (a mount point of its own, another user's file in a sticky directory) gets the
// content copied in, unless the run reads it.
void put_in_place(const Place& place, const char* shown, Temporary& temp, bool existed,
                  std::uint64_t size) {
    const HeldSignals held;
    if (temp.unnamed) {
        // A target that is not there yet is made by the link itself.
        if (!existed && link_unnamed(temp.fd, place.dir, place.name.c_str())) return;
        name_unnamed(temp.fd, place.dir, place.name, shown, size);
    }
    if (::renameat(pending.dir, pending.name, place.dir, place.name.c_str()) == 0) {
        pending.live = 0;
        return;
    }
    const int error = errno;
    struct stat st {};
    if ((error != EBUSY && error != EPERM && error != EACCES && error != EXDEV) ||
        ::fstatat(place.dir, place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
        detail::fail_writing(shown);
    if (reads(file_id(st))) refuse_in_place(shown);
    const int into = ::openat(place.dir, place.name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (into < 0) fail_opening(shown);
    overwrite(into, size, shown, [&] { detail::copy_whole(temp.fd, size, into, shown); });
    if (::close(into) != 0) detail::fail_writing(shown);
    detail::remove_pending();
}

// Writes the output at `place`. `follow` is false for a file extracted into a directory,
// where whatever is at the name and is not a regular file is replaced, never opened.
FileId write_at(const Place& place, const char* shown, bool follow, std::span<const Piece> pieces,
                std::span<const Source> sources) {
    if (place.descriptor >= 0) return write_through(place.descriptor, shown, pieces, sources);

    struct stat old {};
    bool exists = stat_target(place, &old);
    const bool regular = exists && S_ISREG(old.st_mode);
    if (exists && is_stdout(old)) refuse_stdout(shown);
    if (exists && !regular) {
        if (!follow) { // replaced like a missing target
            exists = false;
        } else if (S_ISLNK(old.st_mode)) {
            fail_opening(shown); // a chain of links longer than the system follows
        } else {
            return write_directly(place, shown, pieces, sources);
        }
    }
    // A file the user may not write stays so, as an in-place write would leave it.
    if (regular && ::faccessat(place.dir, place.name.c_str(), W_OK, AT_EACCESS) != 0)
        fail_opening(shown);
    const bool read_by_run = regular && reads(file_id(old));
    if (!place.resolved) {
        if (read_by_run) refuse_in_place(shown);
        return write_in_place(place, shown, follow, regular, pieces, sources);
    }

    Temporary temp = create_temporary(place.dir, place.name);
    if (temp.fd < 0) {
        if (!takes_no_new_file(errno) || !regular) fail_opening(shown);
        if (read_by_run) refuse_in_place(shown);
        return write_in_place(place, shown, follow, true, pieces, sources);
    }
    detail::write_pieces(temp.fd, shown, pieces, sources);
    // The new file takes the old one's owner (where allowed) and permission bits, or the
    // bits a new file gets, before anyone else can open it.
    if (regular && (old.st_uid != ::geteuid() || old.st_gid != ::getegid()))
        static_cast<void>(::fchown(temp.fd, old.st_uid, old.st_gid));
    const mode_t mode = regular ? old.st_mode & 07777 : 0666 & ~creation_mask;
    if (::fchmod(temp.fd, mode) != 0) detail::fail_writing(shown);
    struct stat st {};
    if (::fstat(temp.fd, &st) != 0) detail::fail_writing(shown);
    put_in_place(place, shown, temp, exists, static_cast<std::uint64_t>(st.st_size));
    if (::close(temp.fd) != 0) detail::fail_writing(shown);
    return file_id(st);
}

} // namespace

namespace detail {

void remove_pending() {
    if (pending.live == 0) return;
    ::unlinkat(pending.dir, pending.name, 0);
    pending.live = 0;
}

} // namespace detail

void start_run(StandardOutput use) {
    for (int fd = 0; fd <= 2; ++fd) {
        // Opened read-only, so writing to it fails as writing to a closed descriptor would.
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            static_cast<void>(::open("/dev/null", O_RDONLY));
    }
    creation_mask = ::umask(0);
    ::umask(creation_mask);
    if (use == StandardOutput::prints_lines && ::fstat(STDOUT_FILENO, &stdout_stat) == 0)
        guard_stdout = S_ISREG(stdout_stat.st_mode) || S_ISFIFO(stdout_stat.st_mode) ||
                       S_ISSOCK(stdout_stat.st_mode);
    for (const char* dir : {"/proc/self/fd", "/proc/thread-self/fd", "/dev/fd"}) {
        struct stat st {};
        if (::stat(dir, &st) == 0 && S_ISDIR(st.st_mode))
            descriptor_dirs[descriptor_dirs_count++] = file_id(st);
    }

    stack_t stack{};
    stack.ss_sp = handler_stack;
    stack.ss_size = sizeof handler_stack;
    ::sigaltstack(&stack, nullptr);
    for (const int signal : outside_signals) install_handler(signal, false);
    for (const int signal : fault_signals) install_handler(signal, true);
    // Past a file-size limit a write then fails with EFBIG and is reported, instead of the
    // limit's signal ending the process without a word.
    std::signal(SIGXFSZ, SIG_IGN);
}

int open_directory(int base, const char* path, bool follow) {
    const int nofollow = follow ? 0 : O_NOFOLLOW;
#if WHOLEFILE_LINUX
    // Search permission is all that naming files inside it needs.
    return ::openat(base, path, O_PATH | O_DIRECTORY | O_CLOEXEC | nofollow);
#elif defined(O_SEARCH)
    return ::openat(base, path, O_SEARCH | O_DIRECTORY | O_CLOEXEC | nofollow);
#else
    return ::openat(base, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | nofollow);
#endif
}

Landing landing_of(const char* path) {
    Place place;
    resolve(path, place);
    Landing landing;
    struct stat st {};
    if (!place.resolved || ::fstat(place.dir, &st) != 0) return landing;
    landing.known = true;
    landing.dir = file_id(st);
    landing.name = place.name;
    return landing;
}

void check_output(const char* path) {
    if (!guard_stdout) return;
    Place place;
    resolve(path, place);
    struct stat st {};
    if (stat_target(place, &st) && is_stdout(st)) refuse_stdout(path);
}

void write_file(const char* path, std::span<const std::uint8_t> data) {
    const Piece whole{data.data(), data.size()};
    write_file(path, {&whole, 1}, {});
}

void write_file(const char* path, std::span<const Piece> pieces, std::span<const Source> sources) {
    Place place;
    resolve(path, place);
    write_at(place, path, true, pieces, sources);
}

FileId write_file_in(int dir, const char* name, const char* shown, std::span<const Piece> pieces,
                     std::span<const Source> sources) {
    Place place;
    place.dir = dir;
    place.name = name;
    place.resolved = true;
    return write_at(place, shown, false, pieces, sources);
}

} // namespace wholefile
