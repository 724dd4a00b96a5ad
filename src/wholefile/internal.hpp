// What the files of the whole-file module share with one another and with nobody else.
#pragma once

#include "wholefile.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <sys/stat.h>
#include <vector>

// Linux-only calls are used only where the build has not asked for the portable fallbacks,
// so that the fallbacks are compiled and tested on Linux too.
#if defined(__linux__) && !defined(BIPAFS_FALLBACKS)
#define WHOLEFILE_LINUX 1
#else
#define WHOLEFILE_LINUX 0
#endif

namespace wholefile::detail {

// messages.cpp: ends the run with "'PATH' changed during the run".
[[noreturn]] void fail_changed(const char* path);

// targets.cpp: removes the unfinished output, if any; safe in a signal handler.
void remove_pending();

// inputs.cpp: the first input the run has mapped whose file no longer holds the bytes it
// was mapped with, or null. A write that fails asks this before blaming its output.
[[nodiscard]] const char* changed_input();

// inputs.cpp: when `address` lies in an input's mapping, the message that the input changed,
// for a fault's handler; otherwise null. Safe in a signal handler.
[[nodiscard]] const char* fault_message(const void* address, std::size_t* length);

// The piece writer (piece_writer.cpp): writes the pieces to `fd` from its current offset;
// messages about the output quote `shown`.
void write_pieces(int fd, const char* shown, std::span<const Piece> pieces,
                  std::span<const Source> sources);

// The pieces copied into one block, for a target written in place once every byte is known.
// Throws std::bad_alloc when the block cannot be had, the address space included.
[[nodiscard]] std::vector<std::uint8_t> assemble(std::span<const Piece> pieces, const char* shown);

// Copies `size` bytes of the file open as `from`, from its start, to `to` at its offset;
// messages quote `shown`.
void copy_whole(int from, std::uint64_t size, int to, const char* shown);

// Ends the run for a write to the output `shown` that failed: blamed on an input when one
// has changed, which is the likelier cause.
[[noreturn]] void fail_writing(const char* shown);

} // namespace wholefile::detail
