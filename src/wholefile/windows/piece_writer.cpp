// The piece writer on Windows: an output given as runs of memory, runs of zeros and ranges of
// files is written with as few calls as the pieces allow.
//
// WriteFile takes one buffer a call, so the small pieces of an archive (tables, entries of a
// few KB, the zeros between them) are gathered into one 1 MiB static block and written a block
// at a time; a run in memory larger than a quarter of the block is written from where it is,
// after whatever the block holds. A range of a file is taken as on POSIX systems: a small one
// from the input's mapping, where it is mapped; a large one read (ReadFile at its offset) into
// the block, which costs one copy where reading through the mapping would cost a fault a page.
// Nothing large lives on the stack.
#include "internal.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace wholefile::detail {

namespace {

constexpr std::size_t block_size = 1024 * 1024;
std::uint8_t block[block_size];
// Runs in memory from this size on are written from where they are.
constexpr std::uint64_t direct_min = block_size / 4;
// Ranges in an input's mapping up to this size are taken from the mapping.
constexpr std::uint64_t from_mapping_max = 64 * 1024;
// What one WriteFile or ReadFile is asked for at most.
constexpr std::uint64_t call_max = std::uint64_t{64} << 20;

struct Output {
    HANDLE handle = INVALID_HANDLE_VALUE;
    const char* shown = nullptr;
    std::size_t filled = 0; // bytes of `block` waiting to be written
};

void write_out(Output& out, const std::uint8_t* data, std::uint64_t size) {
    for (std::uint64_t done = 0; done < size;) {
        const auto ask = static_cast<DWORD>(std::min(size - done, call_max));
        DWORD written = 0;
        if (!::WriteFile(out.handle, data + done, ask, &written, nullptr))
            fail_writing(out.shown, note_last_error());
        if (written == 0) fail_writing(out.shown, ENOSPC);
        done += written;
    }
}

void flush(Output& out) {
    if (out.filled == 0) return;
    const std::size_t size = out.filled;
    out.filled = 0;
    write_out(out, block, size);
}

// Adds `size` bytes at `data` (zeros where null) to the output.
void gather(Output& out, const std::uint8_t* data, std::uint64_t size) {
    if (data != nullptr && size >= direct_min) {
        flush(out);
        write_out(out, data, size);
        return;
    }
    while (size > 0) {
        if (out.filled == block_size) flush(out);
        const auto take =
            static_cast<std::size_t>(std::min<std::uint64_t>(size, block_size - out.filled));
        if (data != nullptr) {
            std::memcpy(block + out.filled, data, take);
            data += take;
        } else {
            std::memset(block + out.filled, 0, take);
        }
        out.filled += take;
        size -= take;
    }
}

// A source's handle for as long as its piece is written: a named source is opened when its
// turn comes, checked to be still what the output was laid out with, and closed after.
class SourceFile {
public:
    SourceFile(const Source& source, const char* shown) : handle_(handle_of(source.fd)) {
        if (source.fd >= 0 || source.path == nullptr) return;
        handle_ = open_path(Directory::working(), source.path, GENERIC_READ, true);
        own_ = true;
        // Only a file that has gone has changed; one there that cannot be opened says so, as
        // when it was first looked at.
        if (handle_ == INVALID_HANDLE_VALUE && !means_missing(errno))
            fail_because(errno, "mmap can't open '%s'", source.path);
        if (handle_ == INVALID_HANDLE_VALUE) fail_source(source, shown, errno);
        const Found found = found_of(handle_);
        if (found.kind != Kind::file || found.size != source.size) fail_source(source, shown, 0);
    }
    ~SourceFile() {
        if (own_) ::CloseHandle(handle_);
    }
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;
    [[nodiscard]] HANDLE handle() const { return handle_; }

private:
    HANDLE handle_;
    bool own_ = false;
};

// Reads `size` bytes of the file open as `file` from `offset` into `to`; a file that ends
// early has changed.
void read_exactly(HANDLE file, std::uint64_t offset, std::uint8_t* to, std::uint64_t size,
                  const Source& source, const char* shown) {
    for (std::uint64_t done = 0; done < size;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD got = 0;
        const auto ask = static_cast<DWORD>(std::min(size - done, call_max));
        if (!::ReadFile(file, to + done, ask, &got, &at)) {
            const DWORD error = ::GetLastError();
            fail_source(source, shown, error == ERROR_HANDLE_EOF ? 0 : errno_of(error));
        }
        if (got == 0) fail_source(source, shown, 0);
        done += got;
    }
}

// Copies `size` bytes of the file open as `file` from `offset`: from `mapped` when the bytes
// are in memory and few, otherwise read through the block.
void copy_from(Output& out, HANDLE file, std::uint64_t offset, std::uint64_t size,
               const std::uint8_t* mapped, const Source& source) {
    if (mapped != nullptr && (size <= from_mapping_max || file == INVALID_HANDLE_VALUE)) {
        gather(out, mapped, size);
        return;
    }
    for (std::uint64_t done = 0; done < size;) {
        if (out.filled == block_size) flush(out);
        const auto take =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, block_size - out.filled));
        read_exactly(file, offset + done, block + out.filled, take, source, out.shown);
        out.filled += take;
        done += take;
    }
}

} // namespace

void write_pieces(HANDLE handle, const char* shown, std::span<const Piece> pieces,
                  std::span<const Source> sources) {
    Output out;
    out.handle = handle;
    out.shown = shown;
    for (std::size_t k = 0; k < pieces.size();) {
        Piece run = pieces[k++];
        if (run.file != nullptr) {
            const Source& source = *run.file;
            const SourceFile file(source, shown);
            const std::uint8_t* const mapped =
                source.mapping.empty() ? nullptr : source.mapping.data() + run.offset;
            copy_from(out, file.handle(), run.offset, run.size, mapped, source);
            continue;
        }
        // Pieces that follow one another in memory, or zero runs in a row, are one run.
        while (k < pieces.size() && pieces[k].file == nullptr &&
               (run.data ? address(pieces[k].data) == address(run.data) + run.size
                         : pieces[k].data == nullptr))
            run.size += pieces[k++].size;
        if (const Source* const source = source_of(run, sources))
            copy_from(out, handle_of(source->fd),
                      address(run.data) - address(source->mapping.data()), run.size, run.data,
                      *source);
        else
            gather(out, run.data, run.size);
    }
    flush(out);
}

} // namespace wholefile::detail
