// Whole-file input and output, and the one place where the programs report errors.
//
// Every tool reads each input whole and writes each output whole, with no streaming.
// mmap_file() maps an input privately (readable and writable, so a tool may edit its own
// copy in place) and write_file() writes one buffer as the complete content of a file.
// Both end the process with a message on failure, so callers never see an error result.
// An output that is mostly other buffers (an archive rebuilt from its input's entries) can
// instead be written as a list of pieces, so that it never has to exist as one buffer.
#pragma once

#include <cstdint>
#include <span>

namespace wholefile {

// Maps the whole file at `path`. Never returns an empty span: a missing or unreadable file,
// an empty file and a failed mapping each end the process with status 1.
[[nodiscard]] std::span<std::uint8_t> mmap_file(const char* path);

// The same, but the file stays open for reading and its descriptor goes to *fd, so that a
// writer can copy ranges of it without reading them through the mapping.
[[nodiscard]] std::span<std::uint8_t> mmap_file(const char* path, int* fd);

// Releases a mapping made by mmap_file().
void unmap_file(std::span<std::uint8_t> mapping);

// Creates or truncates `path` and writes `data` as its whole content, in one write.
// A failed open, a short write or a failed close ends the process with status 1.
void write_file(const char* path, std::span<const std::uint8_t> data);

// One run of an output file: `size` bytes at `data`, or `size` zero bytes when `data` is null.
struct Piece {
    const std::uint8_t* data = nullptr;
    std::uint64_t size = 0;
};

// A file that pieces may point into: its whole content mapped, and the file open for reading.
struct Source {
    std::span<const std::uint8_t> mapping;
    int fd = -1;
};

// Creates or truncates `path` and writes the pieces one after another as its whole content,
// with as few system calls as the pieces allow: pieces that lie inside a source's mapping
// are copied from its file inside the kernel where the file systems allow that. Fails as
// the one-buffer form does.
void write_file(const char* path, std::span<const Piece> pieces,
                std::span<const Source> sources = {});

// Every message of the programs goes through these two. Messages are printf formats,
// printed to standard error exactly as given (no program-name prefix).
[[noreturn]] void fail_with_status(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace wholefile
