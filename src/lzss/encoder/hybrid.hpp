// Which form each tree takes, and the switches between the two.
//
// A linked tree is fast while its walks are short, which on ordinary data they nearly always
// are. A walk longer than the allowance adds what goes beyond it to its tree's effort (the
// walk leaves it in the tree's excess, and the scheduler accounts for it after each batch of
// steps), and the effort wears off by one for every step of the encoder. A tree whose effort
// passes the budget, about as much work as converting a full tree twice over, becomes an
// index, whose cost per step does not depend on the shape. An indexed tree looks at its
// shape again after twice as many insertions and deletions as it held positions at its last
// review (and a margin), or once it has shrunk to half that size, by working out how deep
// its linked form would be; once an average walk would be short again, it goes back to
// linked form, as it does when it empties. Each review and conversion takes time linear in
// the tree's size, paid for by the steps between.
//
// The conversions keep the tree exactly as the linked operations would have left it. From
// linked to index: a walk in key order, numbering the nodes in preorder, which puts every
// ancestor below its descendants; every rule of the index compares only priorities of nodes
// one of which is the other's ancestor. From index to linked: the Cartesian tree, built
// with a stack.
#pragma once

#include "index.hpp"

#ifdef LZSS_CHECK_TREES
#include <cstdio>
#include <cstdlib>
#include <memory>
#endif

namespace lzss {
namespace {

constexpr std::int32_t effort_budget = 2 * ring_size;
constexpr std::int32_t review_margin = 256;

struct Hybrid {
    std::array<Form, tree_count> form;
    std::int32_t indexed_trees;
    // Linked trees: the effort of long walks, as it stood at the step of the last one.
    std::array<std::int64_t, tree_count> effort;
    std::array<std::uint64_t, tree_count> effort_step;
    // Indexed trees: their size, their size at the last review, and the insertions and
    // deletions until the next one.
    std::array<std::int32_t, tree_count> size;
    std::array<std::int32_t, tree_count> reviewed_size;
    std::array<std::int32_t, tree_count> until_review;
    std::uint64_t to_index;
    std::uint64_t to_linked;
};

struct EncoderState {
    TreeStore trees;
    Hybrid hybrid;
    IndexStore index;
    // Node numbers and the spine stack of a conversion.
    std::array<Priority, ring_size> number;
    std::array<std::uint16_t, ring_size> stack;
    std::array<Priority, ring_size> stack_priority;
};

void init_state(EncoderState& state) {
    init_tree_store(state.trees);
    std::memset(&state.hybrid, 0, sizeof state.hybrid);
    init_index_store(state.index);
}

[[nodiscard]] inline bool is_linked(const EncoderState& state, std::int32_t tree) {
    return state.hybrid.form[static_cast<std::size_t>(tree)] == Form::linked;
}

// Whether every tree is linked, as on ordinary data: then nothing else need be asked.
[[nodiscard]] inline bool all_linked(const EncoderState& state) {
    return state.hybrid.indexed_trees == 0;
}

// The linked form of a tree from its n positions and priorities in key order (the scratch
// arrays): each position hangs below the last one on the right spine with a lower priority,
// and takes what it displaces there as its left subtree.
void build_linked(EncoderState& state, TreeStore& trees, std::int32_t tree, std::int32_t n) {
    const IndexStore& index = state.index;
    std::int32_t depth = 0;
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int32_t x = index.scratch_pos[static_cast<std::size_t>(i)];
        const Priority prio = index.scratch_priority[static_cast<std::size_t>(i)];
        std::int32_t displaced = NIL;
        while (depth > 0 && state.stack_priority[static_cast<std::size_t>(depth - 1)] > prio)
            displaced = state.stack[static_cast<std::size_t>(--depth)];
        left(trees, x) = static_cast<Link>(displaced);
        right(trees, x) = nil_link;
        above(trees, displaced) = link_index(x, left_link);
        const std::int32_t parent =
            depth > 0 ? state.stack[static_cast<std::size_t>(depth - 1)] : root_base + tree;
        right(trees, parent) = static_cast<Link>(x);
        above(trees, x) = link_index(parent, right_link);
        state.stack[static_cast<std::size_t>(depth)] = static_cast<std::uint16_t>(x);
        state.stack_priority[static_cast<std::size_t>(depth)] = prio;
        ++depth;
    }
    if (n == 0) root_link(trees, tree) = nil_link;
}

// The sum over the n scratch entries of their depth in the linked form: a node's ancestors
// are the nearer entries of lower priority than everything between, on either side.
std::int64_t linked_depth_sum(EncoderState& state, std::int32_t n) {
    const IndexStore& index = state.index;
    std::int64_t sum = 0;
    for (const std::int32_t direction : {1, -1}) {
        std::int32_t depth = 0;
        for (std::int32_t k = 0; k < n; ++k) {
            const std::int32_t i = direction > 0 ? k : n - 1 - k;
            const Priority prio = index.scratch_priority[static_cast<std::size_t>(i)];
            while (depth > 0 && state.stack_priority[static_cast<std::size_t>(depth - 1)] > prio)
                --depth;
            sum += depth;
            state.stack_priority[static_cast<std::size_t>(depth++)] = prio;
        }
    }
    return sum;
}

#ifdef LZSS_CHECK_TREES
// The index made from a linked tree, built back into linked form, must give the same links.
void check_agreement(EncoderState& state, std::int32_t tree) {
    const std::int32_t n = TreeIndex(state.trees, state.index, tree).gather();
    const auto rebuilt = std::make_unique<TreeStore>(state.trees);
    build_linked(state, *rebuilt, tree, n);
    bool same = root_link(*rebuilt, tree) == root_link(state.trees, tree);
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int32_t x = state.index.scratch_pos[static_cast<std::size_t>(i)];
        same = same && left(*rebuilt, x) == left(state.trees, x) &&
               right(*rebuilt, x) == right(state.trees, x);
    }
    if (!same) {
        std::fprintf(stderr,
                     "encoder tree check failed: an index disagrees with its tree (tree %d)\n",
                     tree);
        std::abort();
    }
}
#endif

void schedule_review(EncoderState& state, std::int32_t tree, std::int32_t n) {
    state.hybrid.reviewed_size[static_cast<std::size_t>(tree)] = n;
    state.hybrid.until_review[static_cast<std::size_t>(tree)] = 2 * n + review_margin;
}

void make_indexed(EncoderState& state, std::int32_t tree) {
    TreeStore& trees = state.trees;
    IndexStore& index = state.index;
    // Numbers below the clock, so that every later insertion has a higher priority.
    const Priority base = index.clock - static_cast<Priority>(ring_size);
    Priority preorder = 0;
    std::int32_t n = 0;
    std::int32_t depth = 0;
    std::int32_t node = root_link(trees, tree);
    while (node != NIL || depth > 0) {
        for (; node != NIL; node = left(trees, node)) {
            state.number[static_cast<std::size_t>(node)] = base + preorder++;
            state.stack[static_cast<std::size_t>(depth++)] = static_cast<std::uint16_t>(node);
        }
        node = state.stack[static_cast<std::size_t>(--depth)];
        index.scratch_pos[static_cast<std::size_t>(n)] = static_cast<std::uint16_t>(node);
        index.scratch_priority[static_cast<std::size_t>(n)] =
            state.number[static_cast<std::size_t>(node)];
        ++n;
        node = right(trees, node);
    }
    TreeIndex(trees, index, tree).fill(n);
#ifdef LZSS_CHECK_TREES
    check_agreement(state, tree);
#endif
    root_link(trees, tree) = nil_link;
    state.hybrid.form[static_cast<std::size_t>(tree)] = Form::indexed;
    ++state.hybrid.indexed_trees;
    schedule_review(state, tree, n);
    state.hybrid.size[static_cast<std::size_t>(tree)] = n;
    ++state.hybrid.to_index;
}

void make_linked(EncoderState& state, std::int32_t tree, std::int32_t n) {
    TreeIndex(state.trees, state.index, tree).clear();
    build_linked(state, state.trees, tree, n);
    state.hybrid.form[static_cast<std::size_t>(tree)] = Form::linked;
    --state.hybrid.indexed_trees;
    state.hybrid.effort[static_cast<std::size_t>(tree)] = 0;
    ++state.hybrid.to_linked;
}

// An indexed tree's review: back to linked form when an average walk there would be short.
void review(EncoderState& state, std::int32_t tree) {
    const std::int32_t n = TreeIndex(state.trees, state.index, tree).gather();
    if (linked_depth_sum(state, n) <= static_cast<std::int64_t>(n) * lone_allowance / 2) {
        make_linked(state, tree, n);
        return;
    }
    schedule_review(state, tree, n);
}

// Accounts for what long walks left in the trees' excess, as it stands at step `step`.
[[gnu::noinline]] void account_excess(EncoderState& state, std::uint64_t step) {
    TreeStore& trees = state.trees;
    Hybrid& hybrid = state.hybrid;
    trees.excess_seen = false;
    for (std::size_t t = 0; t < tree_count; ++t) {
        const std::uint32_t excess = trees.excess[t];
        if (excess == 0) continue;
        trees.excess[t] = 0;
        const auto worn = static_cast<std::int64_t>(step - hybrid.effort_step[t]);
        hybrid.effort[t] = std::max<std::int64_t>(0, hybrid.effort[t] - worn) + excess;
        hybrid.effort_step[t] = step;
        if (hybrid.effort[t] > effort_budget && is_linked(state, static_cast<std::int32_t>(t)))
            make_indexed(state, static_cast<std::int32_t>(t));
    }
}

// Counts an operation on an indexed tree towards its next review.
void tick(EncoderState& state, std::int32_t tree) {
    const auto t = static_cast<std::size_t>(tree);
    if (--state.hybrid.until_review[t] == 0 ||
        2 * state.hybrid.size[t] < state.hybrid.reviewed_size[t])
        review(state, tree);
}

// Inserts position r into its tree, which is indexed, and returns its match.
[[gnu::noinline, nodiscard]] PackedMatch insert_indexed(EncoderState& state, std::int32_t tree,
                                                        std::int32_t r) {
    const PackedMatch match = TreeIndex(state.trees, state.index, tree).insert(r);
    if (unpack(match).length != longest) ++state.hybrid.size[static_cast<std::size_t>(tree)];
    tick(state, tree);
    return match;
}

// Takes position p out of its indexed tree.
[[gnu::noinline]] void erase_indexed(EncoderState& state, std::int32_t p) {
    const std::int32_t tree = state.trees.window[static_cast<std::size_t>(p)];
    --state.hybrid.size[static_cast<std::size_t>(tree)];
    if (TreeIndex(state.trees, state.index, tree).erase(p))
        tick(state, tree);
    else
        make_linked(state, tree, 0);
}

// Takes position p out of its tree, if it is in one.
[[gnu::always_inline]] inline void delete_position(EncoderState& state, std::int32_t p) {
    static_assert(in_index + 1 == not_in_tree, "one comparison tells a linked node");
    const Link link = above(state.trees, p);
    if (link < in_index) [[likely]]
        return unlink_node(state.trees, p);
    if (link == in_index) erase_indexed(state, p);
}

} // namespace
} // namespace lzss
