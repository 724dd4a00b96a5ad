// The piece writer: an output given as runs of memory, runs of zeros and ranges of files is
// written with as few system calls as the pieces allow.
//
// Runs in memory are gathered into one writev of up to batch_max slices; zero runs are
// written from one static block of zeros. A range of a file is copied the cheapest way the
// file system offers, a rule set by measuring a rebuild of a 500 MB archive of 2,000 entries
// beside cat (docs/performance.md):
// - where the file system can copy a range without moving its bytes, by sharing blocks
//   (btrfs, XFS, bcachefs, OCFS2, ZFS) or on the server (NFS, SMB), copy_file_range does;
// - elsewhere (ext4, tmpfs, ...) copy_file_range moves the bytes page by page through a pipe
//   inside the kernel, which cost 1.4 to 1.5 times a plain read and write; and a write
//   straight from the input's mapping cost more still, in page faults. So large ranges are
//   read into a 1 MiB static bounce buffer, several ranges to a fill, and written from there
//   with the zeros between them, in one writev a fill; small ranges in the mapping are
//   written from it, where one call beats two.
// Nothing large lives on the stack: the tools run under stack limits as small as 32 KiB.
#include "internal.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/uio.h>
#if BIPAFS_LINUX
#include <sys/vfs.h>
#endif
#include <unistd.h>

namespace wholefile::detail {

namespace {

#ifdef IOV_MAX
constexpr int batch_max = IOV_MAX < 1024 ? IOV_MAX : 1024;
#else
constexpr int batch_max = 16; // the least a POSIX system allows
#endif
// Keeps what one call is asked to write far below what a single call may write, on 32-bit
// systems too.
constexpr std::uint64_t slice_max = std::uint64_t{1} << 30;
constexpr std::size_t zero_block = 64 * 1024;
// Never written: every zero run of an output is written from here.
std::uint8_t zero_bytes[zero_block];
// Where ranges of files are read through; large enough that a call moves a lot, small
// enough to stay in the cache levels a copy runs through.
constexpr std::size_t bounce_size = 1024 * 1024;
std::uint8_t bounce[bounce_size];
// Ranges in an input's mapping up to this size are written from the mapping: one call, and
// few pages to fault in.
constexpr std::uint64_t from_mapping_max = 64 * 1024;
// The slices of the next writev; one output is written at a time.
iovec batch[batch_max];

// The output being written and how far its batch is filled.
struct Output {
    int fd = -1;
    const char* shown = nullptr; // the path messages quote
    int copies = -1;             // whether ranges are copied inside the kernel; -1: not known yet
    int count = 0;
    std::size_t bounced = 0; // bytes of `bounce` the batch holds
};

// Writes the whole batch, resuming after short writes and interrupted calls.
void flush(Output& out) {
    iovec* iov = batch;
    int count = out.count;
    out.count = 0;
    out.bounced = 0;
    while (count > 0) {
        const ssize_t written = ::writev(out.fd, iov, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) fail_writing(out.shown, written < 0 ? errno : ENOSPC);
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
        batch[out.count++] = {base, static_cast<std::size_t>(take)};
        done += take;
    }
}

// A source's descriptor for as long as its piece is written: a named source is opened when
// its turn comes, checked to be still what the output was laid out with, and closed after;
// an open source is used as it is.
class SourceFile {
public:
    SourceFile(const Source& source, const char* shown) : source_(source), fd_(source.fd) {
        if (fd_ >= 0) return;
        fd_ = ::open(source.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        // Only a file that has gone has changed; one there that cannot be opened (too many
        // open files, no memory, no permission) says so, as when it was first looked at.
        if (fd_ < 0 && errno != ENOENT && errno != ENOTDIR)
            fail_because(errno, "mmap can't open '%s'", source.path);
        if (fd_ < 0) fail_source(source, shown, errno);
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<std::uint64_t>(st.st_size) != source.size)
            fail_source(source, shown, 0);
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
                  const Source& source, const char* shown) {
    for (std::uint64_t done = 0; done < size;) {
        const auto ask = static_cast<std::size_t>(std::min(size - done, slice_max));
        const ssize_t got = ::pread(fd, to + done, ask, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) fail_source(source, shown, got < 0 ? errno : 0);
        done += static_cast<std::uint64_t>(got);
    }
}

#if BIPAFS_LINUX
// Whether the file system `fd` is on copies a range without moving its bytes.
[[nodiscard]] bool copies_without_moving(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<std::uint32_t>(fs.f_type)) {
    case 0x9123683E: // btrfs
    case 0x58465342: // XFS
    case 0xCA451A4E: // bcachefs
    case 0x7461636F: // OCFS2
    case 0x2FC12FC1: // ZFS
    case 0x00006969: // NFS
    case 0xFF534D42: // CIFS
    case 0xFE534D42: // SMB2
        return true;
    default:
        return false;
    }
}
#endif

// Copies `size` bytes of the file open as `from`, from `offset`: inside the kernel where the
// file system shares blocks or copies on the server; otherwise (or for whatever the kernel
// does not copy) from `mapped` when the bytes are in memory and few, and otherwise read
// through `bounce`, failing there.
void copy_from(Output& out, int from, std::uint64_t offset, std::uint64_t size,
               const std::uint8_t* mapped, const Source& source) {
    std::uint64_t done = 0;
#if BIPAFS_LINUX
    // Only worth a look at the file system for a range that would not come from the mapping.
    if (out.copies < 0 && (mapped == nullptr || size > from_mapping_max))
        out.copies = copies_without_moving(out.fd) ? 1 : 0;
    if (out.copies == 1) flush(out);
    auto at = static_cast<off64_t>(offset);
    while (done < size && out.copies == 1) {
        const auto ask = static_cast<std::size_t>(std::min(size - done, slice_max));
        const ssize_t copied = ::copy_file_range(from, &at, out.fd, nullptr, ask, 0);
        if (copied < 0 && errno == EINTR) continue;
        if (copied <= 0) {
            out.copies = 0; // another file system, an output open for appending, an error
            break;
        }
        done += static_cast<std::uint64_t>(copied);
    }
#endif
    if (mapped != nullptr && (size - done <= from_mapping_max || from < 0)) {
        gather(out, {mapped + done, size - done});
        return;
    }
    while (done < size) {
        if (out.bounced == bounce_size || out.count == batch_max) flush(out);
        const std::size_t take = static_cast<std::size_t>(
            std::min<std::uint64_t>(size - done, bounce_size - out.bounced));
        std::uint8_t* const to = bounce + out.bounced;
        read_exactly(from, offset + done, to, take, source, out.shown);
        batch[out.count++] = {to, take};
        out.bounced += take;
        done += take;
    }
}

void write_file_piece(Output& out, const Piece& run) {
    const Source& source = *run.file;
    const SourceFile file(source, out.shown);
    const std::uint8_t* const mapped =
        source.mapping.empty() ? nullptr : source.mapping.data() + run.offset;
    copy_from(out, file.fd(), run.offset, run.size, mapped, source);
}

} // namespace

void write_pieces(int fd, const char* shown, std::span<const Piece> pieces,
                  std::span<const Source> sources) {
    Output out;
    out.fd = fd;
    out.shown = shown;
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
        if (source != nullptr)
            copy_from(
                out, source->fd,
                static_cast<std::uint64_t>(address(run.data) - address(source->mapping.data())),
                run.size, run.data, *source);
        else
            gather(out, run);
    }
    flush(out);
}

std::vector<std::uint8_t> assemble(std::span<const Piece> pieces, const char* shown) {
    std::uint64_t total = 0;
    for (const Piece& piece : pieces) total += piece.size;
    if (total > SIZE_MAX) throw std::bad_alloc(); // beyond a 32-bit address space
    std::vector<std::uint8_t> block(static_cast<std::size_t>(total));
    std::uint8_t* at = block.data();
    for (const Piece& piece : pieces) {
        if (piece.file != nullptr) {
            const SourceFile file(*piece.file, shown);
            read_exactly(file.fd(), piece.offset, at, piece.size, *piece.file, shown);
        } else if (piece.data != nullptr) {
            std::memcpy(at, piece.data, static_cast<std::size_t>(piece.size));
        } // zero runs are zero already
        at += piece.size;
    }
    return block;
}

void copy_whole(int from, std::uint64_t size, int to, const char* shown) {
    Output out;
    out.fd = to;
    out.shown = shown;
    const Source source{{}, from, nullptr, size};
    copy_from(out, from, 0, size, nullptr, source);
    flush(out);
}

} // namespace wholefile::detail
