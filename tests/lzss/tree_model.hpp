// An independent model of the encoder, for checking it against: the same matching rules
// written as differently and as plainly as possible. Nodes are objects linked by pointers,
// keys are 18-byte arrays read from the ring modulo its size, and the coding loop counts
// input indices rather than ring positions. It is slow and makes no attempt not to be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tree_model {

// How often the rarer tree operations happened, so a test can show that its inputs reach
// them.
struct Counts {
    std::size_t replacements = 0;       // an 18-byte match took an older node's place
    std::size_t deletions = 0;          // nodes taken out of a tree
    std::size_t two_child_moved = 0;    // ...with two children, the heir deep in the left subtree
    std::size_t two_child_adjacent = 0; // ...with two children, the heir their left child
};

// The stream for `input` (window pre-filled with 0x00), adding to `counts` when given.
[[nodiscard]] std::vector<std::uint8_t> encode(std::span<const std::uint8_t> input,
                                               Counts* counts = nullptr);

} // namespace tree_model
