// A checker of every tree's order and links, and of each index's own bookkeeping, for the
// builds that define BIPAFS_CHECK_TREES (the address-checking and fuzzing builds): encode.cpp
// includes it only there, and the other builds never see it. When a caller asks for it (the
// tests, through the probe) it runs after each step on inputs small enough for that to be
// quick, and stops the process on the first fault it finds.
#pragma once

#include "index.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace lzss::encoder {
namespace {

// Inputs up to this size are checked after every step.
constexpr std::size_t checked_input_limit = 64 * 1024;
constexpr bool trees_checkable = true;

[[noreturn]] void tree_fault(const char* what, std::int32_t tree) {
    std::fprintf(stderr, "encoder tree check failed: %s (tree %d)\n", what, tree);
    std::abort();
}

void expect(bool holds, const char* what, std::int32_t tree) {
    if (!holds) tree_fault(what, tree);
}

[[nodiscard]] int compare_positions(const TreeStore& trees, std::int32_t a, std::int32_t b) {
    return std::memcmp(&trees.window[static_cast<std::size_t>(a)],
                       &trees.window[static_cast<std::size_t>(b)], max_match);
}

// A linked tree: every link leads to a node whose `above` names that link, keys in order
// are strictly increasing and start with the tree's byte. Returns the number of nodes.
std::int32_t check_linked(const TreeStore& trees, std::int32_t tree) {
    std::array<std::size_t, ring_size> pending_links;
    std::size_t pending = 0;
    std::int32_t count = 0;
    std::int32_t previous = NIL;
    std::size_t at = root_link_at(static_cast<std::size_t>(tree));
    for (;;) {
        while (trees.links[at] != nil_link) {
            const std::int32_t node = trees.links[at];
            expect(node < NIL, "a link leads outside the window", tree);
            expect(trees.above[static_cast<std::size_t>(node)] == at,
                   "a node does not name the link that leads to it", tree);
            expect(++count <= ring_size, "a tree holds a cycle", tree);
            pending_links[pending++] = at;
            at = link_at(node, left_link);
        }
        if (pending == 0) break;
        const std::int32_t node = trees.links[pending_links[--pending]];
        expect(trees.window[static_cast<std::size_t>(node)] == tree, "a node is in the wrong tree",
               tree);
        expect(previous == NIL || compare_positions(trees, previous, node) < 0, "keys out of order",
               tree);
        previous = node;
        at = link_at(node, right_link);
    }
    return count;
}

#ifndef BIPAFS_NO_SORTED_INDEX
// An indexed tree: chunks in rank, sizes within bounds, each chunk's lowest priority right,
// positions in strictly increasing key order mapped to their chunks, priorities below the
// clock, and when `thorough`, all distinct. Returns the number of positions.
std::int32_t check_indexed(TreeStore& trees, SortedIndex& sorted, std::int32_t tree,
                           bool thorough) {
    const IndexStore& index = sorted.index;
    const auto t = static_cast<std::size_t>(tree);
    const std::size_t total = index.chunk_total[t];
    const auto chunk = [&](std::size_t rank) -> const Chunk& {
        return index.chunks[index.order[t][rank]];
    };
    expect(total > 0, "an indexed tree without chunks", tree);
    expect(root_link(trees, t) == nil_link, "an indexed tree with links", tree);
    std::vector<Priority> priorities;
    std::int32_t count = 0;
    std::int32_t previous = NIL;
    for (std::size_t rank = 0; rank < total; ++rank) {
        const Chunk& c = chunk(rank);
        const auto id = static_cast<std::uint16_t>(&c - index.chunks.data());
        expect(c.rank == rank, "a chunk has the wrong rank", tree);
        expect(c.count > 0 && c.count <= chunk_capacity, "a chunk's size is out of bounds", tree);
        if (rank > 0)
            expect(chunk(rank - 1).count + c.count > merge_limit,
                   "neighbouring chunks that should have merged", tree);
        for (std::size_t at = 0; at < c.count; ++at) {
            const std::int32_t p = c.pos[at];
            const Priority prio = c.priority[at];
            expect(index.chunk_of[static_cast<std::size_t>(p)] == id, "a stale chunk map", tree);
            expect(trees.above[static_cast<std::size_t>(p)] == in_index,
                   "an indexed position not marked so", tree);
            expect(trees.window[static_cast<std::size_t>(p)] == tree,
                   "a position is in the wrong tree", tree);
            expect(previous == NIL || compare_positions(trees, previous, p) < 0,
                   "keys out of order", tree);
            expect(prio >= c.priority[c.min_slot], "a chunk's lowest priority is wrong", tree);
            expect(prio < index.clock, "a priority from the future", tree);
            previous = p;
            ++count;
            if (thorough) priorities.push_back(prio);
        }
    }
    std::sort(priorities.begin(), priorities.end());
    expect(std::adjacent_find(priorities.begin(), priorities.end()) == priorities.end(),
           "two positions share a priority", tree);
    return count;
}
#endif

std::int32_t check_tree(TreeStore& trees, SortedIndex& sorted, std::int32_t tree,
                        bool thorough = false) {
#ifndef BIPAFS_NO_SORTED_INDEX
    if (!is_linked(sorted, static_cast<std::size_t>(tree)))
        return check_indexed(trees, sorted, tree, thorough);
#else
    static_cast<void>(sorted);
    static_cast<void>(thorough);
#endif
    return check_linked(trees, tree);
}

// Every tree, and that the positions marked as in a tree are exactly those the trees hold.
void check_all_trees(TreeStore& trees, SortedIndex& sorted) {
    std::int32_t held = 0;
    for (std::int32_t tree = 0; tree < tree_count; ++tree)
        held += check_tree(trees, sorted, tree, true);
    const auto marked = std::count_if(trees.above.begin(), trees.above.end() - 1,
                                      [](Link link) { return link != not_in_tree; });
    expect(held == marked, "positions marked as in a tree that no tree holds", -1);
}

class Checker {
public:
    Checker(TreeStore& trees, SortedIndex& sorted, std::size_t input_size, bool wanted)
        : trees_(trees), sorted_(sorted), on_(wanted && input_size <= checked_input_limit) {}

    // Remembers the tree of the position about to be deleted, which the window's byte there
    // will not tell once it is overwritten.
    void before_delete(std::int32_t s) {
        if (on_) deleted_trees_.push_back(trees_.window[static_cast<std::size_t>(s)]);
    }

    void after_step(std::int32_t inserted_tree) {
        if (!on_) return;
        static_cast<void>(check_tree(trees_, sorted_, inserted_tree));
        for (const std::int32_t tree : deleted_trees_)
            if (tree != inserted_tree) static_cast<void>(check_tree(trees_, sorted_, tree));
        deleted_trees_.clear();
        if (++steps_ % 256 == 0) check_all_trees(trees_, sorted_);
    }

private:
    TreeStore& trees_;
    SortedIndex& sorted_;
    bool on_;
    std::vector<std::int32_t> deleted_trees_;
    std::size_t steps_ = 0;
};

} // namespace
} // namespace lzss::encoder
