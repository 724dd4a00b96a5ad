#include "wholefile.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace wholefile {

namespace {

void print_message(const char* format, std::va_list args) {
    std::vfprintf(stderr, format, args);
    std::fflush(stderr);
}

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

[[nodiscard]] std::uintptr_t address(const std::uint8_t* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

// The output of a piece-wise write, and the iovecs gathered for its next writev.
struct Output {
    int fd = -1;
    const char* path = nullptr;
    bool can_copy = true; // false once the kernel has refused an in-kernel copy
    iovec batch[batch_max];
    int count = 0;
};

// Writes the whole batch, resuming after short writes and interrupted calls.
void flush(Output& out) {
    iovec* iov = out.batch;
    int count = out.count;
    out.count = 0;
    while (count > 0) {
        const ssize_t written = ::writev(out.fd, iov, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) fail("can't write to '%s'\n", out.path);
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

// Copies the run from the source's file inside the kernel, which spares reading it through
// the mapping; whatever the kernel does not copy (a file system without the call, an output
// that is not a regular file, a real write error) goes the ordinary way and fails there.
void copy_run(Output& out, const Source& source, Piece run) {
#ifdef __linux__
    flush(out);
    off64_t from = static_cast<off64_t>(address(run.data) - address(source.mapping.data()));
    std::uint64_t done = 0;
    while (done < run.size && out.can_copy) {
        const std::size_t ask = static_cast<std::size_t>(std::min(run.size - done, slice_max));
        const ssize_t copied = ::copy_file_range(source.fd, &from, out.fd, nullptr, ask, 0);
        if (copied < 0 && errno == EINTR) continue;
        if (copied <= 0) {
            out.can_copy = false;
            break;
        }
        done += static_cast<std::uint64_t>(copied);
    }
    gather(out, {run.data + done, run.size - done});
#else
    (void)source;
    gather(out, run);
#endif
}

} // namespace

void fail_with_status(int status, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    print_message(format, args);
    va_end(args);
    std::exit(status);
}

void fail(const char* format, ...) {
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

namespace {

// Maps the whole file; keeps the descriptor open in *keep when it is not null.
std::span<std::uint8_t> map_whole(const char* path, int* keep) {
    // O_NONBLOCK so that a FIFO given as input cannot stall the open; it then reports as
    // empty, like any other file without a size.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fail("mmap can't open '%s'\n", path);

    // The size comes from the descriptor, so it describes the file that was opened.
    struct stat st {};
    if (::fstat(fd, &st) != 0) fail("can't get the size of '%s'\n", path);
    if (st.st_size <= 0) fail("empty '%s'\n", path);

    const auto size = static_cast<std::size_t>(st.st_size);
    void* const map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (keep != nullptr && map != MAP_FAILED)
        *keep = fd;
    else
        ::close(fd);
    if (map == MAP_FAILED) fail("can't mmap '%s'\n", path);
    return {static_cast<std::uint8_t*>(map), size};
}

} // namespace

std::span<std::uint8_t> mmap_file(const char* path) {
    return map_whole(path, nullptr);
}

std::span<std::uint8_t> mmap_file(const char* path, int* fd) {
    return map_whole(path, fd);
}

void unmap_file(std::span<std::uint8_t> mapping) {
    if (!mapping.empty()) ::munmap(mapping.data(), mapping.size());
}

void write_file(const char* path, std::span<const std::uint8_t> data) {
    // Past a file-size limit the write then fails with EFBIG and is reported below, instead
    // of the limit's signal ending the process without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    std::FILE* const file = std::fopen(path, "wb");
    if (file == nullptr) fail("can't open '%s' for writing\n", path);

    const std::size_t written = data.empty() ? 0 : std::fwrite(data.data(), 1, data.size(), file);
    if (written != data.size()) fail("can't write to '%s'\n", path);

    // Buffered bytes reach the file only at the close, so a failed close is a failed write.
    if (std::fclose(file) != 0) fail("can't write to '%s'\n", path);
}

void write_file(const char* path, std::span<const Piece> pieces, std::span<const Source> sources) {
    std::signal(SIGXFSZ, SIG_IGN);
    // The same file as the "wb" mode of the one-buffer form gives.
    Output out;
    out.path = path;
    out.fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out.fd < 0) fail("can't open '%s' for writing\n", path);

    for (std::size_t k = 0; k < pieces.size();) {
        Piece run = pieces[k++];
        // Pieces that follow one another in memory, or zero runs in a row, are one run.
        while (k < pieces.size() &&
               (run.data ? address(pieces[k].data) == address(run.data) + run.size
                         : pieces[k].data == nullptr))
            run.size += pieces[k++].size;
        const Source* const source = source_of(run, sources);
        if (source != nullptr && out.can_copy)
            copy_run(out, *source, run);
        else
            gather(out, run);
    }
    flush(out);

    if (::close(out.fd) != 0) fail("can't write to '%s'\n", path);
}

} // namespace wholefile
