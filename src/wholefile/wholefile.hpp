// Whole-file input and output, and the one place where the programs report errors.
//
// Every tool reads each input whole and writes each output whole, with no streaming.
// mmap_file() maps an input privately (readable and writable, so a tool may edit its own
// copy in place) and write_file() writes one buffer as the complete content of a file.
// Both end the process with a message on failure, so callers never see an error result.
// An output that is mostly other files (an archive rebuilt from its input's entries) can
// instead be written as a list of pieces (pieces.hpp), so that it never has to exist as one
// buffer.
//
// An output never replaces its target until it is complete: it is written to a new file
// beside the target and renamed over it once every byte is written and the file has closed.
// A failure, or a signal that ends the process, removes that file and leaves the target as
// it was. A target that exists and is not a regular file (a device, a FIFO) is written
// directly, and so is one whose directory cannot take a new file.
#pragma once

#include "pieces.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace wholefile {

// Opens /dev/null, unusable for writing, in place of any of descriptors 0 to 2 that is
// closed, so that no file the run opens takes their place. Called first thing in main.
void guard_standard_streams();

// Flushes and closes standard output; when that fails (a full device, a closed or broken
// descriptor) ends the process with "can't write to standard output" and status 1.
void close_standard_output();

// Maps the whole file at `path`. Never returns an empty span: a missing or unreadable file,
// an empty file and a failed mapping each end the process with status 1.
[[nodiscard]] std::span<std::uint8_t> mmap_file(const char* path);

// The same, but the file stays open for reading and its descriptor goes to *fd, so that a
// writer can copy ranges of it without reading them through the mapping.
[[nodiscard]] std::span<std::uint8_t> mmap_file(const char* path, int* fd);

// Which file an output became, to tell it from others.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId&) const = default;
};

// Creates or replaces `path` with `data` as its whole content. A symbolic link at `path`
// stays and the file it leads to is replaced. Any failure ends the process with status 1.
void write_file(const char* path, std::span<const std::uint8_t> data);

// The same with the pieces one after another as the content, written with as few system
// calls as the pieces allow: pieces inside the mapping of an open source are copied from its
// file inside the kernel where the file systems allow that. A named source that is missing
// or has changed size ends the process with "'PATH' changed during the run". A target that
// is written in place while pieces come from files is first assembled in memory, which may
// throw std::bad_alloc before the target is touched.
void write_file(const char* path, std::span<const Piece> pieces,
                std::span<const Source> sources = {});

// Writes the pieces as the file `name` in the directory open as `dir`. A symbolic link at
// `name` is replaced by the new file, never written through. Messages quote `shown`.
// Returns the identity of the file written.
FileId write_file_in(int dir, const char* name, const char* shown, std::span<const Piece> pieces,
                     std::span<const Source> sources = {});

// `text` with every control byte (below 0x20, and 0x7F) written as a visible escape: \n, \t
// and the like, or three octal digits (\033). Every other byte stays as it is, so UTF-8 and
// Shift-JIS names print as themselves.
[[nodiscard]] std::string printable(std::string_view text);

// Every message of the programs goes through these three. Messages are printf formats,
// printed to standard error exactly as given (no program-name prefix). The first two also
// remove an output's unfinished file before the process ends.
[[noreturn]] void fail_with_status(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace wholefile
