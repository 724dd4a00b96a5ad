// The plain, step-for-step encoder that the production encoder is checked against, and the
// baseline the benchmarks time it against. Same contract as lzss::compress_lzss: a pointer
// just past the stream, or null for an empty or oversized input or when the stream does not
// fit in `out` (never written past its end).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace lzss_reference {

[[nodiscard]] std::uint8_t* compress_lzss(std::span<std::uint8_t> out,
                                          std::span<const std::uint8_t> src);

// How often the rarer tree operations happened, so that a test can show that its inputs
// reach them.
struct TreeCounts {
    std::size_t replacements = 0;       // an 18-byte match took an older node's place
    std::size_t deletions = 0;          // nodes taken out of a tree
    std::size_t two_child_moved = 0;    // ...with two children, the heir deep in the left subtree
    std::size_t two_child_adjacent = 0; // ...with two children, the heir their left child
};

// compress_lzss, adding to `counts`.
[[nodiscard]] std::uint8_t* compress_lzss_counting(std::span<std::uint8_t> out,
                                                   std::span<const std::uint8_t> src,
                                                   TreeCounts& counts);

} // namespace lzss_reference
