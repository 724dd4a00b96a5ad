// The encoder's search state: the window and the 256 search trees, one per first byte, each
// held either as a linked binary tree or as a sorted index (see index.hpp). Included only by
// encode.cpp, so everything here has internal linkage.
#pragma once

#include "lzss.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace lzss {
namespace {

// The window content before any input; it must equal the decoder's.
constexpr std::uint8_t prefill_byte = 0x00;

constexpr std::int32_t ring_size = static_cast<std::int32_t>(window_size);
constexpr std::int32_t ring_mask = ring_size - 1;
constexpr std::int32_t longest = static_cast<std::int32_t>(max_match);
constexpr std::int32_t mirror_bytes = longest - 1;
constexpr std::int32_t NIL = ring_size;
constexpr std::int32_t root_base = ring_size + 1;
constexpr std::int32_t tree_count = 256;

static_assert((ring_size & ring_mask) == 0, "the ring is indexed by masking");
static_assert(static_cast<std::int32_t>(first_write_pos) == ring_size - longest);

// A literal is coded when the match is this short or shorter.
constexpr std::int32_t literal_threshold = static_cast<std::int32_t>(min_match) - 1;

// Links are 16-bit, and a node's left and right links sit side by side (node * 2 + side), so
// that a walk picks the next one by indexing with the comparison's sign instead of branching.
using Link = std::uint16_t;
constexpr std::size_t left_link = 0;
constexpr std::size_t right_link = 1;
constexpr Link nil_link = static_cast<Link>(NIL);
// What `above` holds for a position in no tree, and for one held by a tree's sorted index.
// No link index is as large as either.
constexpr Link not_in_tree = 0xFFFF;
constexpr Link in_index = 0xFFFE;

// Where link `side` of `node` sits in the links array.
constexpr std::size_t link_at(std::int32_t node, std::size_t side) {
    return static_cast<std::size_t>(node) * 2 + side;
}

constexpr std::size_t link_count = link_at(root_base + tree_count, 0);
static_assert(link_count - 1 < in_index, "every link index fits a Link below the markers");
static_assert(NIL < in_index && root_base + tree_count - 1 <= 0xFFFF);

// How a tree is held. A linked tree whose walks grow long is turned into a sorted index, and
// back once its shape would be shallow again (hybrid.hpp).
enum class Form : std::uint8_t { linked, indexed };

// The linked trees and the window, about 30 KB: small enough for the first-level cache.
struct TreeStore {
    // Nodes 0..4095, the unused NIL slot 4096, then the 256 roots (only their right link).
    std::array<Link, link_count> links;
    // The link that leads to each node, as an index into `links`; updates made through an
    // empty link land in above[NIL], which is never read.
    std::array<Link, ring_size + 1> above;
    // The ring, then 17 mirror bytes so that the 18 bytes from any position compare without
    // wrapping. The mirror bytes start as 0x00 and only input stored below position 17
    // writes them.
    std::array<std::uint8_t, ring_size + mirror_bytes> window;
    // Nodes that long walks met beyond their allowance, per tree, not yet accounted for.
    std::array<std::uint32_t, tree_count> excess;
    bool excess_seen;
};
static_assert(sizeof(TreeStore) <= 32 * 1024, "the linked trees fit the first-level cache");

[[nodiscard]] inline Link& left(TreeStore& trees, std::int32_t node) {
    return trees.links[link_at(node, left_link)];
}
[[nodiscard]] inline Link& right(TreeStore& trees, std::int32_t node) {
    return trees.links[link_at(node, right_link)];
}
[[nodiscard]] inline Link& above(TreeStore& trees, std::int32_t node) {
    return trees.above[static_cast<std::size_t>(node)];
}
[[nodiscard]] inline Link& root_link(TreeStore& trees, std::int32_t tree) {
    return right(trees, root_base + tree);
}
[[nodiscard]] inline Link link_index(std::int32_t node, std::size_t side) {
    return static_cast<Link>(link_at(node, side));
}

void init_tree_store(TreeStore& trees) {
    std::memset(&trees, 0, sizeof trees);
    std::fill_n(trees.window.begin(), first_write_pos, prefill_byte);
    for (std::int32_t b = 0; b < tree_count; ++b) root_link(trees, b) = nil_link;
    std::fill_n(trees.above.begin(), ring_size, not_in_tree);
}

} // namespace
} // namespace lzss
