// The seam between the encoder and the sorted index (index.cpp): the form a tree takes when
// its linked shape has grown deep. The encoder asks whether a tree is linked, and otherwise
// inserts and erases through the index; after each batch of steps it hands over what long
// walks cost, which is how a linked tree comes to be indexed. Why the index finds exactly
// what the linked walk would, and how it does, is at the top of index.cpp.
//
// The types are here only because the encoder's state holds them by value, so that the whole
// search state stays one heap block; nothing outside index.cpp reads their fields but the
// tree checker (check.hpp). Building with BIPAFS_NO_SORTED_INDEX replaces this seam with
// no_index.hpp, which keeps every tree linked, and leaves index.cpp out.
#pragma once

#include "trees.hpp"

#ifdef BIPAFS_NO_SORTED_INDEX
#include "no_index.hpp"
#else

namespace lzss::encoder {

// Lower is older: the order a linked tree's nodes keep from root to leaf.
using Priority = std::uint32_t;

// Neighbouring chunks that hold this many positions or fewer between them merge.
inline constexpr std::size_t merge_limit = chunk_capacity / 2;
// A tree of n positions has at most n / (merge_limit / 2) + 1 chunks: every disjoint pair of
// neighbours holds more than merge_limit.
inline constexpr std::size_t tree_chunk_limit = ring_size / (merge_limit / 2) + 1;
inline constexpr std::size_t chunk_pool_size = ring_size / (merge_limit / 2) + tree_count;

// Up to chunk_capacity positions of one tree, in key order, with their priorities.
struct Chunk {
    std::uint16_t count;
    std::uint16_t rank;     // where it stands in its tree's order of chunks
    std::uint16_t min_slot; // the entry of lowest priority
    std::array<std::uint16_t, chunk_capacity> pos;
    std::array<Priority, chunk_capacity> priority;
};

struct IndexStore {
    std::array<Chunk, chunk_pool_size> chunks;
    std::array<std::uint16_t, chunk_pool_size> spare;
    std::size_t spare_count;
    // Each indexed tree's chunks in key order, and how many it has.
    std::array<std::array<std::uint16_t, tree_chunk_limit>, tree_count> order;
    std::array<std::uint16_t, tree_count> chunk_total;
    std::array<std::uint16_t, ring_size> chunk_of;
    // The next insertion's priority. A conversion numbers a tree's positions just below it.
    Priority clock;
    // A conversion's scratch space, all of it: a tree's positions and priorities in key
    // order, the numbers given to its nodes, and the stack of a walk or of the right spine.
    std::array<std::uint16_t, ring_size> scratch_pos;
    std::array<Priority, ring_size> scratch_priority;
    std::array<Priority, ring_size> number;
    std::array<std::uint16_t, ring_size> stack;
    std::array<Priority, ring_size> stack_priority;
};

// Each tree's form, and what decides when it changes.
struct Hybrid {
    std::array<Form, tree_count> form;
    std::size_t indexed_trees;
    // Linked trees: the effort of long walks, as it stood at the step of the last one.
    std::array<std::int64_t, tree_count> effort;
    std::array<std::uint64_t, tree_count> effort_step;
    // Indexed trees: their size, their size at the last review, and the insertions and
    // deletions until the next one.
    std::array<std::size_t, tree_count> size;
    std::array<std::size_t, tree_count> reviewed_size;
    std::array<std::size_t, tree_count> until_review;
    std::uint64_t to_index;
    std::uint64_t to_linked;
};

// What the sorted indexes add to the encoder's state.
struct SortedIndex {
    Hybrid hybrid;
    IndexStore index;
};

// Every tree linked and empty.
void init_sorted_index(SortedIndex& sorted);

[[nodiscard]] inline bool is_linked(const SortedIndex& sorted, std::size_t tree) {
    return sorted.hybrid.form[tree] == Form::linked;
}

// Whether every tree is linked, as on ordinary data: then nothing else need be asked.
[[nodiscard]] inline bool all_linked(const SortedIndex& sorted) {
    return sorted.hybrid.indexed_trees == 0;
}

// Inserts position r into `tree`, which is indexed, and returns what the linked walk would
// have found.
[[gnu::noinline, nodiscard]] PackedMatch insert_indexed(TreeStore& trees, SortedIndex& sorted,
                                                        std::size_t tree, std::int32_t r);

// Takes position p out of its tree, which is indexed.
[[gnu::noinline]] void erase_indexed(TreeStore& trees, SortedIndex& sorted, std::int32_t p);

// Accounts for what long walks left in the trees' excess, as it stands at step `step`; a tree
// whose effort passes the budget becomes indexed.
[[gnu::noinline]] void account_excess(TreeStore& trees, SortedIndex& sorted, std::uint64_t step);

} // namespace lzss::encoder

#endif
