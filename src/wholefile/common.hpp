// What the files of the whole-file module share whatever the system: the routines of
// messages.cpp and shared.cpp that every platform's files call, and those each platform
// gives them in turn (the standard streams, the clean-up before an ending, the mapping of an
// input). Each platform's own
// internals are in posix/internal.hpp and windows/internal.hpp, which include this; neither
// includes the other's.
#pragma once

#include "wholefile.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace wholefile::detail {

// ---- messages.cpp

// Whether messages about files end with the system's reason (start_run).
void give_reasons(bool given);

// Ends the run with "'PATH' changed during the run".
[[noreturn]] void fail_changed(const char* path);

using wholefile::fail_because;

// Ends the run for a write to the output `shown` that failed, for the reason `error` (an errno
// value, or 0 where no call failed): blamed on an input when one has changed, which is the
// likelier cause.
[[noreturn]] void fail_writing(const char* shown, int error);

// ---- shared.cpp

// A pointer as a number, for comparing places in different blocks.
[[nodiscard]] inline std::uintptr_t address(const std::uint8_t* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

// The source whose mapping holds the whole run, or null.
[[nodiscard]] const Source* source_of(const Piece& run, std::span<const Source> sources);

// A source that ends early or has gone: a named one has changed; an open one is the mapped
// input, which fail_writing() finds changed, and otherwise the output is blamed.
[[noreturn]] void fail_source(const Source& source, const char* shown, int error);

// ---- The platform's (posix/, windows/)

// Maps the whole file at `path` and notes it as an input of the run, as mmap_file() promises;
// one larger than `max_size` ends the run with `too_large`. With `keep`, the file stays open
// as *keep.
[[nodiscard]] std::span<std::uint8_t> map_whole(const char* path, std::uint64_t max_size,
                                                const char* too_large, int* keep);

// What every failure and ending does first: removes the unfinished output, then the
// directory the run made if it is still empty; safe in a signal handler.
void clean_up();

// Whether standard error is a terminal (a console on Windows), where a progress line may be
// drawn.
[[nodiscard]] bool standard_error_is_terminal();

// Whether the terminal standard error goes to takes "\033[K" to clear a line.
[[nodiscard]] bool terminal_erases_lines();

// The first input the run has mapped whose file no longer holds the bytes it was mapped with,
// or null. A write that fails asks this before blaming its output.
[[nodiscard]] const char* changed_input();

// The two standard streams, as every line reaches them: `text` written as it is and flushed.
enum class Stream { output, error };
void put(Stream stream, std::string_view text);

// Flushes standard output, whose failures show again when it is closed.
void flush_output();

// Flushes and closes standard output; false on failure, with the errno value in *error.
[[nodiscard]] bool close_output(int* error);

} // namespace wholefile::detail
