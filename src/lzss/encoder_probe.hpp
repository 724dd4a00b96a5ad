// For the encoder's tests and fuzz targets: the encoder, also reporting how often its search
// trees changed form, so that a test can show its input makes them switch, and in the
// address-checking and fuzzing builds checking every tree after each step on inputs up to
// 64 KB. Not for other callers.
#pragma once

#include <cstdint>
#include <span>

namespace lzss::probe {

struct FormSwitches {
    std::uint64_t to_index = 0;  // a linked tree that became a sorted index
    std::uint64_t to_linked = 0; // and back
};

// compress_lzss, filling in `switches`; with `check_trees`, checking the trees where the build
// can (a fault stops the process with a message).
[[nodiscard]] std::uint8_t* compress_lzss_counting(std::span<std::uint8_t> out,
                                                   std::span<const std::uint8_t> src,
                                                   FormSwitches& switches, bool check_trees);

// Whether this build can check the trees.
[[nodiscard]] bool can_check_trees();

// Whether this build lets trees become sorted indexes (not when built without them, for
// measuring).
[[nodiscard]] bool has_sorted_index();

} // namespace lzss::probe
