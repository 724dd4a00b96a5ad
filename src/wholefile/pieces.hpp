// An output described as a list of pieces instead of one buffer: runs of memory, runs of
// zero bytes and ranges of files. The archive core lays its output out in these terms, and
// wholefile.hpp writes them; this header holds only the types, so a core that includes it
// stays free of the routines that print and end the process.
#pragma once

#include <cstdint>
#include <span>

namespace wholefile {

// A file that pieces may come from. Either it is open (`fd`: a descriptor, or on Windows a
// handle, whose value fits an int), and its content may also be mapped, in which case pieces
// point into `mapping`; or it is named by `path` and opened only when its piece is written,
// when it must still be a regular file of `size` bytes.
struct Source {
    std::span<const std::uint8_t> mapping;
    int fd = -1;
    const char* path = nullptr;
    std::uint64_t size = 0;
};

// One run of an output file: `size` bytes at `data`; or, when `file` is set, `size` bytes of
// that file from `offset`; or, with neither, `size` zero bytes.
struct Piece {
    const std::uint8_t* data = nullptr;
    std::uint64_t size = 0;
    const Source* file = nullptr;
    std::uint64_t offset = 0;
};

} // namespace wholefile
