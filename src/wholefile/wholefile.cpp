// Whole-file input and output; see wholefile.hpp for what each routine promises.
//
// An output goes to a temporary file created beside its target (same directory, so the
// final rename never crosses file systems) and the rename is the one step that changes
// what the target holds. The temporary file's name is kept where the failure path and the
// signal handler can reach it; signals that end the process are held back while it is
// created and while it is renamed, so that no moment exists at which it could be left over.
#include "wholefile.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace wholefile {

namespace {

// The format is checked where the public routines are called, which pass theirs through.
__attribute__((format(printf, 1, 0))) void print_message(const char* format, std::va_list args) {
    std::vfprintf(stderr, format, args);
    std::fflush(stderr);
}

// ---- The unfinished output: removed on failure and on a signal that ends the process.

struct Pending {
    volatile std::sig_atomic_t live = 0;
    int dir = AT_FDCWD;
    char name[NAME_MAX + 1] = {};
};
Pending pending; // static storage, so the signal handler may read it

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void remove_pending() {
    if (pending.live == 0) return;
    ::unlinkat(pending.dir, pending.name, 0);
    pending.live = 0;
}

void on_ending_signal(int signal) {
    remove_pending();
    // Ends the process as the signal would have, so the caller sees which one it was.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void install_signal_handlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (const int signal : ending_signals) {
        struct sigaction old {};
        ::sigaction(signal, nullptr, &old);
        if (old.sa_handler == SIG_IGN) continue; // whoever started us wants it ignored
        struct sigaction action {};
        action.sa_handler = on_ending_signal;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

// Holds back the signals that end the process for as long as it lives.
class HeldSignals {
public:
    HeldSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (const int signal : ending_signals) sigaddset(&set, signal);
        ::sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~HeldSignals() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

private:
    sigset_t old_;
};

// ---- Writing pieces.

#ifdef IOV_MAX
constexpr int batch_max = IOV_MAX < 1024 ? IOV_MAX : 1024;
#else
constexpr int batch_max = 16; // the least a POSIX system allows
#endif
// Keeps what one call is asked to write far below what a single call may write.
constexpr std::uint64_t slice_max = std::uint64_t{1} << 30;
constexpr std::size_t zero_block = 64 * 1024;
// Never written: every zero run of an output is written from here.
std::uint8_t zero_bytes[zero_block];
// Where a file that cannot be copied inside the kernel is read through.
std::uint8_t bounce[zero_block];

[[nodiscard]] std::uintptr_t address(const std::uint8_t* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

// The output of a piece-wise write, and the iovecs gathered for its next writev.
struct Output {
    int fd = -1;
    const char* shown = nullptr; // the path messages quote
    bool can_copy = true;        // false once the kernel has refused an in-kernel copy
    iovec batch[batch_max];
    int count = 0;
};

[[noreturn]] void fail_writing(const Output& out) {
    fail("can't write to '%s'\n", printable(out.shown).c_str());
}

[[noreturn]] void fail_changed(const Source& source) {
    fail("'%s' changed during the run\n", printable(source.path ? source.path : "").c_str());
}

// Writes the whole batch, resuming after short writes and interrupted calls.
void flush(Output& out) {
    iovec* iov = out.batch;
    int count = out.count;
    out.count = 0;
    while (count > 0) {
        const ssize_t written = ::writev(out.fd, iov, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) fail_writing(out);
        auto left = static_cast<std::size_t>(written);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<std::uint8_t*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
}

// Adds a run to the batch in slices, writing the batch out whenever it is full.
void gather(Output& out, Piece run) {
    for (std::uint64_t done = 0; done < run.size;) {
        if (out.count == batch_max) flush(out);
        const std::uint64_t take = std::min(run.size - done, run.data ? slice_max : zero_block);
        void* const base =
            run.data ? const_cast<std::uint8_t*>(run.data + done) : static_cast<void*>(zero_bytes);
        out.batch[out.count++] = {base, static_cast<std::size_t>(take)};
        done += take;
    }
}

// The source whose mapping holds the whole run, or null.
[[nodiscard]] const Source* source_of(Piece run, std::span<const Source> sources) {
    if (run.data == nullptr) return nullptr;
    for (const Source& source : sources) {
        const std::uintptr_t begin = address(source.mapping.data());
        const std::uintptr_t at = address(run.data);
        if (at >= begin && at - begin <= source.mapping.size() &&
            run.size <= source.mapping.size() - (at - begin))
            return &source;
    }
    return nullptr;
}

// A source's descriptor for as long as its piece is written: a named source is opened when
// its turn comes, checked to be still what the output was laid out with, and closed after;
// an open source is used as it is.
class SourceFile {
public:
    explicit SourceFile(const Source& source) : source_(source), fd_(source.fd) {
        if (fd_ >= 0) return;
        fd_ = ::open(source.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) fail_changed(source);
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<std::uint64_t>(st.st_size) != source.size)
            fail_changed(source);
    }
    ~SourceFile() {
        if (fd_ != source_.fd) ::close(fd_);
    }
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;
    [[nodiscard]] int fd() const { return fd_; }

private:
    const Source& source_;
    int fd_;
};

// Reads `size` bytes of `fd` from `offset` into `to`; a file that ends early has changed.
void read_exactly(int fd, std::uint64_t offset, std::uint8_t* to, std::uint64_t size,
                  const Source& source) {
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t ask = static_cast<std::size_t>(std::min(size - done, slice_max));
        const ssize_t got = ::pread(fd, to + done, ask, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) fail_changed(source);
        done += static_cast<std::uint64_t>(got);
    }
}

// Copies `size` bytes of the file open as `from`, from `offset`, inside the kernel, which
// spares reading them into memory; whatever the kernel does not copy (a file system without
// the call, an output that is not a regular file, a real write error) goes the ordinary way,
// from `mapped` when the bytes are in memory and otherwise read through `bounce`, and fails
// there.
void copy_from(Output& out, int from, std::uint64_t offset, std::uint64_t size,
               const std::uint8_t* mapped, const Source& source) {
    std::uint64_t done = 0;
#ifdef __linux__
    flush(out);
    off64_t at = static_cast<off64_t>(offset);
    while (done < size && out.can_copy) {
        const std::size_t ask = static_cast<std::size_t>(std::min(size - done, slice_max));
        const ssize_t copied = ::copy_file_range(from, &at, out.fd, nullptr, ask, 0);
        if (copied < 0 && errno == EINTR) continue;
        if (copied <= 0) {
            out.can_copy = false;
            break;
        }
        done += static_cast<std::uint64_t>(copied);
    }
#endif
    if (mapped != nullptr) {
        gather(out, {mapped + done, size - done});
        return;
    }
    while (done < size) {
        const std::uint64_t take = std::min<std::uint64_t>(size - done, sizeof bounce);
        read_exactly(from, offset + done, bounce, take, source);
        gather(out, {bounce, take});
        flush(out); // the bounce buffer is refilled next
        done += take;
    }
}

void write_file_piece(Output& out, const Piece& run) {
    const Source& source = *run.file;
    const SourceFile file(source);
    const std::uint8_t* const mapped =
        source.mapping.empty() ? nullptr : source.mapping.data() + run.offset;
    copy_from(out, file.fd(), run.offset, run.size, mapped, source);
}

void write_pieces(Output& out, std::span<const Piece> pieces, std::span<const Source> sources) {
    for (std::size_t k = 0; k < pieces.size();) {
        Piece run = pieces[k++];
        if (run.file != nullptr) {
            write_file_piece(out, run);
            continue;
        }
        // Pieces that follow one another in memory, or zero runs in a row, are one run.
        while (k < pieces.size() && pieces[k].file == nullptr &&
               (run.data ? address(pieces[k].data) == address(run.data) + run.size
                         : pieces[k].data == nullptr))
            run.size += pieces[k++].size;
        const Source* const source = source_of(run, sources);
        if (source != nullptr && out.can_copy)
            copy_from(
                out, source->fd,
                static_cast<std::uint64_t>(address(run.data) - address(source->mapping.data())),
                run.size, run.data, *source);
        else
            gather(out, run);
    }
    flush(out);
}

// The pieces copied into one block, for a target written in place that may be one of the
// files they come from. May throw std::bad_alloc.
[[nodiscard]] std::vector<std::uint8_t> assemble(std::span<const Piece> pieces) {
    std::uint64_t total = 0;
    for (const Piece& piece : pieces) total += piece.size;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(total));
    std::uint8_t* at = block.data();
    for (const Piece& piece : pieces) {
        if (piece.file != nullptr) {
            const SourceFile file(*piece.file);
            read_exactly(file.fd(), piece.offset, at, piece.size, *piece.file);
        } else if (piece.data != nullptr) {
            std::memcpy(at, piece.data, piece.size);
        } // zero runs are zero already
        at += piece.size;
    }
    return block;
}

// ---- Targets.

// Where an output goes. Names are relative to `dir`.
struct Target {
    int dir = AT_FDCWD;
    bool own_dir = false;        // dir was opened for this target and is closed after it
    std::string name;            // the target itself
    bool follow = true;          // a symbolic link at `name` may be written through
    const char* shown = nullptr; // the path messages quote
    bool direct = false;         // written in place, without a temporary file
    bool regular = false;        // the target exists and is a regular file
    struct stat old {};          // what it was, when it exists
    int fd = -1;
};

[[noreturn]] void fail_opening(const char* shown) {
    fail("can't open '%s' for writing\n", printable(shown).c_str());
}

// Links in /proc and /dev/fd name open descriptors, not files: writing through them is
// writing to whatever the descriptor is.
[[nodiscard]] bool names_descriptor(const std::string& path) {
    return path.starts_with("/proc/") || path.starts_with("/dev/fd/");
}

// The path that `path` leads to when it is a symbolic link, followed link by link (at most
// 40, the system's own limit), so that the link stays and that file is the one replaced.
[[nodiscard]] std::string follow_links(const char* path, bool* through_descriptor) {
    std::string at = path;
    for (int hop = 0; hop < 40; ++hop) {
        if (names_descriptor(at)) {
            *through_descriptor = true;
            return at;
        }
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
        std::string link(PATH_MAX, '\0');
        const ssize_t n = ::readlink(at.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) == link.size()) return at;
        link.resize(static_cast<std::size_t>(n));
        const std::size_t slash = at.rfind('/');
        at = link.front() == '/' || slash == std::string::npos ? link
                                                               : at.substr(0, slash + 1) + link;
    }
    return at;
}

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

// Creates the temporary file beside the target, or decides to write the target in place
// when its directory cannot take a new file.
void open_temporary(Target& t) {
    const HeldSignals held;
    install_signal_handlers();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temp_name(t.name);
        const int fd = ::openat(t.dir, name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            pending.dir = t.dir;
            std::memcpy(pending.name, name.c_str(), name.size() + 1);
            pending.live = 1;
            t.fd = fd;
            return;
        }
        if (errno == EEXIST) continue;
        if (errno == EACCES || errno == EPERM || errno == EROFS) {
            t.direct = true;
            return;
        }
        break;
    }
    fail_opening(t.shown);
}

// Looks at what the target is now and opens where the output goes.
void prepare(Target& t) {
    if (t.name.empty() || t.name == "." || t.name == "..") {
        t.direct = true; // no file can be made there; the open reports why
        return;
    }
    if (::fstatat(t.dir, t.name.c_str(), &t.old, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(t.old.st_mode) && !t.follow) {
            // replaced by the new file like any missing target
        } else if (!S_ISREG(t.old.st_mode)) {
            t.direct = true;
            return;
        } else {
            t.regular = true;
            // A file the user may not write stays so, as an in-place write would leave it.
            if (::faccessat(t.dir, t.name.c_str(), W_OK, AT_EACCESS) != 0) fail_opening(t.shown);
        }
    } else if (errno != ENOENT) {
        t.direct = true;
        return;
    }
    open_temporary(t);
    if (t.direct || !t.regular) return;
    // The new file takes the old one's owner (where allowed) and permission bits.
    if (t.old.st_uid != ::geteuid() || t.old.st_gid != ::getegid())
        static_cast<void>(::fchown(t.fd, t.old.st_uid, t.old.st_gid));
    static_cast<void>(::fchmod(t.fd, t.old.st_mode & 07777));
}

[[nodiscard]] Target target_at_path(const char* path) {
    Target t;
    t.shown = path;
    bool through_descriptor = false;
    const std::string real = follow_links(path, &through_descriptor);
    const std::size_t slash = real.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : real.substr(0, slash);
    if (!through_descriptor) t.dir = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (through_descriptor || t.dir < 0) {
        // Written in place: the open either works or says why it cannot.
        t.dir = AT_FDCWD;
        t.name = path;
        t.direct = true;
        return t;
    }
    t.own_dir = true;
    t.name = slash == std::string::npos ? real : real.substr(slash + 1);
    prepare(t);
    return t;
}

[[nodiscard]] Target target_in(int dir, const char* name, const char* shown) {
    Target t;
    t.dir = dir;
    t.name = name;
    t.follow = false;
    t.shown = shown;
    prepare(t);
    return t;
}

[[nodiscard]] int open_in_place(const Target& t) {
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (t.follow ? 0 : O_NOFOLLOW);
    const int fd = ::openat(t.dir, t.name.c_str(), flags, 0666);
    if (fd < 0) fail_opening(t.shown);
    return fd;
}

// Copies the finished temporary file into the target in place and removes it, for a target
// that a rename cannot replace: a mount point of its own, or another user's file in a sticky
// directory such as /tmp. Such a target could always be written in place, and still is; the
// caller holds back the signals that end the process, so the copy is never left half done.
void copy_into_place(const Target& t, const Output& out) {
    Output into;
    into.fd = open_in_place(t);
    into.shown = t.shown;
    const int from = ::openat(t.dir, pending.name, O_RDONLY | O_CLOEXEC);
    if (from < 0) fail_writing(out);
    for (;;) {
        const ssize_t got = ::read(from, bounce, sizeof bounce);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail_writing(out);
        if (got == 0) break;
        gather(into, {bounce, static_cast<std::uint64_t>(got)});
        flush(into); // the bounce buffer is refilled next
    }
    ::close(from);
    if (::close(into.fd) != 0) fail_writing(out);
    remove_pending();
}

// Closes the written file and puts it in the target's place.
void finish(Target& t, const Output& out) {
    if (::close(t.fd) != 0) fail_writing(out);
    if (!t.direct) {
        const HeldSignals held;
        if (::renameat(t.dir, pending.name, t.dir, t.name.c_str()) == 0)
            pending.live = 0;
        else if (errno == EBUSY || errno == EPERM || errno == EACCES || errno == EXDEV)
            copy_into_place(t, out);
        else
            fail_writing(out);
    }
    if (t.own_dir) ::close(t.dir);
}

FileId write_to(Target t, std::span<const Piece> pieces, std::span<const Source> sources) {
    // Past a file-size limit the write then fails with EFBIG and is reported, instead of the
    // limit's signal ending the process without a word.
    std::signal(SIGXFSZ, SIG_IGN);

    // In place, the target may be one of the files the pieces come from: it is truncated
    // only once they are all read.
    std::vector<std::uint8_t> assembled;
    Piece whole;
    const bool from_files = !sources.empty() || std::any_of(pieces.begin(), pieces.end(),
                                                            [](const Piece& p) { return p.file; });
    if (t.direct && t.regular && from_files) {
        assembled = assemble(pieces);
        whole = {assembled.data(), assembled.size()};
        pieces = {&whole, 1};
        sources = {};
    }
    if (t.direct) t.fd = open_in_place(t);

    Output out;
    out.fd = t.fd;
    out.shown = t.shown;
    write_pieces(out, pieces, sources);

    struct stat st {};
    ::fstat(t.fd, &st);
    finish(t, out);
    return {st.st_dev, st.st_ino};
}

// Maps the whole file; keeps the descriptor open in *keep when it is not null.
std::span<std::uint8_t> map_whole(const char* path, int* keep) {
    // O_NONBLOCK so that a FIFO given as input cannot stall the open; it then reports as
    // empty, like any other file without a size.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fail("mmap can't open '%s'\n", printable(path).c_str());

    // The size comes from the descriptor, so it describes the file that was opened.
    struct stat st {};
    if (::fstat(fd, &st) != 0) fail("can't get the size of '%s'\n", printable(path).c_str());
    if (st.st_size <= 0) fail("empty '%s'\n", printable(path).c_str());

    const auto size = static_cast<std::size_t>(st.st_size);
    void* const map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (keep != nullptr && map != MAP_FAILED)
        *keep = fd;
    else
        ::close(fd);
    if (map == MAP_FAILED) fail("can't mmap '%s'\n", printable(path).c_str());
    return {static_cast<std::uint8_t*>(map), size};
}

} // namespace

void guard_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        // Opened read-only, so writing to it fails as writing to a closed descriptor would.
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            static_cast<void>(::open("/dev/null", O_RDONLY));
    }
}

void close_standard_output() {
    const bool flushed = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    if (std::fclose(stdout) != 0 || !flushed) fail("can't write to standard output\n");
}

std::span<std::uint8_t> mmap_file(const char* path) {
    return map_whole(path, nullptr);
}

std::span<std::uint8_t> mmap_file(const char* path, int* fd) {
    return map_whole(path, fd);
}

void write_file(const char* path, std::span<const std::uint8_t> data) {
    const Piece whole{data.data(), data.size()};
    write_to(target_at_path(path), {&whole, 1}, {});
}

void write_file(const char* path, std::span<const Piece> pieces, std::span<const Source> sources) {
    write_to(target_at_path(path), pieces, sources);
}

FileId write_file_in(int dir, const char* name, const char* shown, std::span<const Piece> pieces,
                     std::span<const Source> sources) {
    return write_to(target_in(dir, name, shown), pieces, sources);
}

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

void fail_with_status(int status, const char* format, ...) {
    remove_pending();
    std::va_list args;
    va_start(args, format);
    print_message(format, args);
    va_end(args);
    std::exit(status);
}

void fail(const char* format, ...) {
    remove_pending();
    std::va_list args;
    va_start(args, format);
    print_message(format, args);
    va_end(args);
    std::exit(1);
}

void warn(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    print_message(format, args);
    va_end(args);
}

} // namespace wholefile
