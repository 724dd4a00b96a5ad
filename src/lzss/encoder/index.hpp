// The sorted index: the form a tree takes when its linked shape has grown deep, the switches
// between the two forms, and when a tree makes them. The encoder reaches all of it through
// one seam (the end of this file): is_linked, all_linked, insert_indexed, erase_indexed and
// account_excess. Building with LZSS_NO_SORTED_INDEX replaces the seam with one that keeps
// every tree linked.
//
// A linked tree is, at every moment, the Cartesian tree of the positions it holds: ordered by
// key, and a min-heap on a priority that follows three rules. A position's priority is the
// time it was inserted; a position that takes the place of an 18-byte match takes its
// priority; and when a node with two children is deleted, the heir rule (trees.hpp) moves its
// key-order predecessor up into its place, and that heir takes its priority.
// Insertion and deletion keep that heap order, and a Cartesian tree with distinct priorities
// is unique, so the shape follows from the keys and priorities alone, and so does what a walk
// finds:
// - its length L is the longest prefix, capped at 18, that the new key shares with one of its
//   two key-order neighbours;
// - its match is the node of lowest priority among those that share L bytes with the key.
//   Those nodes form a contiguous key range around the key's slot, and that range's
//   lowest-priority node is the first of them on the walk;
// - when L is 18 that node is unique, and the new position takes its place.
// So any ordered index that gives a range minimum of priority gives the same answers, at a
// cost that does not depend on the tree's shape. On monotonic data (tables of counters,
// sorted lists) the linked trees degenerate into chains thousands of nodes long, and every
// walk runs down the whole chain.
//
// The index keeps a tree's positions in key order in chunks of up to 64, with each chunk's
// lowest priority, and the chunks' order per tree. Any two neighbouring chunks hold more than
// 32 positions between them (they merge otherwise), which bounds how many chunks there are.
//
// When a tree changes form. A linked tree is fast while its walks are short, which on
// ordinary data they nearly always are. A walk longer than the allowance adds what goes
// beyond it to its tree's effort (the walk leaves it in the tree's excess, and the scheduler
// accounts for it after each batch of steps), and the effort wears off by one for every step
// of the encoder. A tree whose effort passes the budget becomes an index, whose cost per step
// does not depend on the shape. An indexed tree looks at its shape again after twice as many
// insertions and deletions as it held positions at its last review (and a margin), or once it
// has shrunk to half that size, by working out how deep its linked form would be; once an
// average walk would be short again, it goes back to linked form, as it does when it
// empties. Each review and conversion takes time linear in the tree's size, paid for by the
// steps between. (The constants are in the tuning block of trees.hpp.)
//
// The conversions keep the tree exactly as the linked operations would have left it. From
// linked to index: a walk in key order, numbering the nodes in preorder, which puts every
// ancestor below its descendants; every rule of the index compares only priorities of nodes
// one of which is the other's ancestor. From index to linked: the Cartesian tree, built
// with a stack.
#pragma once

#include "trees.hpp"

#ifndef LZSS_NO_SORTED_INDEX

#include <limits>
#include <memory>

#ifdef LZSS_CHECK_TREES
#include <cstdio>
#include <cstdlib>
#endif

namespace lzss {
namespace {

// ---- The index ------------------------------------------------------------------------------

using Priority = std::uint32_t;

// Neighbouring chunks that hold this many positions or fewer between them merge.
constexpr std::int32_t merge_limit = chunk_capacity / 2;
// A tree of n positions has at most n / (merge_limit / 2) + 1 chunks: every disjoint pair of
// neighbours holds more than merge_limit.
constexpr std::int32_t tree_chunk_limit = ring_size / (merge_limit / 2) + 1;
constexpr std::int32_t chunk_pool_size = ring_size / (merge_limit / 2) + tree_count;
static_assert(conversion_fill > merge_limit / 2 && conversion_fill <= chunk_capacity);
static_assert(chunk_pool_size <= 0xFFFF && tree_chunk_limit <= 0xFFFF);

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
    std::int32_t spare_count;
    // Each indexed tree's chunks in key order.
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

void init_index_store(IndexStore& index) {
    for (std::int32_t c = 0; c < chunk_pool_size; ++c)
        index.spare[static_cast<std::size_t>(c)] = static_cast<std::uint16_t>(c);
    index.spare_count = chunk_pool_size;
    std::fill(index.chunk_total.begin(), index.chunk_total.end(), std::uint16_t{0});
    // Room below for the numbers a conversion gives.
    index.clock = static_cast<Priority>(ring_size);
}

// Where an entry is: a chunk (by its rank in the tree's order) and a slot in it.
struct Slot {
    std::int32_t rank;
    std::int32_t at;
};

class TreeIndex {
public:
    TreeIndex(TreeStore& trees, IndexStore& index, std::int32_t tree)
        : trees_(trees), index_(index), tree_(tree),
          order_(index.order[static_cast<std::size_t>(tree)]) {}

    // Inserts position r and returns what the walk in the linked tree would have found.
    // Only matches of three bytes or more are ever coded, so a shorter one's position is
    // not worked out.
    [[nodiscard]] PackedMatch insert(std::int32_t r) {
        const Key key = key_at(trees_, r);
        const Slot slot = find_slot(key);

        const Slot pred = before(slot);
        const Slot succ = slot.at < chunk(slot.rank).count ? slot : after({slot.rank, slot.at - 1});
        const std::uint32_t succ_length =
            exists(succ) ? compare_with(trees_, key, pos(succ)).length : 0;
        if (succ_length == full_length) return take_place(succ, r);
        const std::uint32_t pred_length =
            exists(pred) ? compare_with(trees_, key, pos(pred)).length : 0;
        const std::uint32_t length = std::max(pred_length, succ_length);

        std::int32_t match = exists(pred) ? pos(pred) : pos(succ);
        if (length > static_cast<std::uint32_t>(literal_threshold))
            match = lowest_sharing(key, length, slot);
        put(slot, r, index_.clock++);
        return pack(length, match);
    }

    // Takes position p out of the index. False when that leaves the tree empty.
    [[nodiscard]] bool erase(std::int32_t p) {
        const std::int32_t id = index_.chunk_of[static_cast<std::size_t>(p)];
        Chunk& c = index_.chunks[static_cast<std::size_t>(id)];
        std::int32_t at = 0;
        while (c.pos[static_cast<std::size_t>(at)] != p) ++at;
        const Slot slot{c.rank, at};
        const Priority own = c.priority[static_cast<std::size_t>(at)];

        // With both neighbours below it in the tree, p has two children, and by the heir rule
        // (trees.hpp) its predecessor moves up into its place and takes its priority.
        const Slot pred = before(slot);
        const Slot succ = after(slot);
        bool heir_here = false;
        if (exists(pred) && exists(succ) && priority(pred) > own && priority(succ) > own) {
            priority(pred) = own;
            heir_here = pred.rank == slot.rank;
            if (!heir_here) lower_min(pred);
        }
        above(trees_, p) = not_in_tree;
        remove_entry(slot, heir_here);
        return total() != 0;
    }

    // The positions and priorities in key order, into the store's scratch arrays; returns
    // how many.
    std::int32_t gather() const {
        std::int32_t n = 0;
        for (std::int32_t k = 0; k < total(); ++k) {
            const Chunk& c = chunk(k);
            for (std::int32_t at = 0; at < c.count; ++at) {
                index_.scratch_pos[static_cast<std::size_t>(n)] =
                    c.pos[static_cast<std::size_t>(at)];
                index_.scratch_priority[static_cast<std::size_t>(n)] =
                    c.priority[static_cast<std::size_t>(at)];
                ++n;
            }
        }
        return n;
    }

    // Fills the index from the n entries in the scratch arrays, already in key order.
    void fill(std::int32_t n) {
        for (std::int32_t from = 0; from < n; from += conversion_fill) {
            const std::int32_t id = add_chunk(total());
            Chunk& c = index_.chunks[static_cast<std::size_t>(id)];
            c.count = static_cast<std::uint16_t>(std::min(conversion_fill, n - from));
            for (std::int32_t at = 0; at < c.count; ++at) {
                const auto e = static_cast<std::size_t>(from + at);
                c.pos[static_cast<std::size_t>(at)] = index_.scratch_pos[e];
                c.priority[static_cast<std::size_t>(at)] = index_.scratch_priority[e];
                index_.chunk_of[index_.scratch_pos[e]] = static_cast<std::uint16_t>(id);
                above(trees_, index_.scratch_pos[e]) = in_index;
            }
            find_min(c);
        }
    }

    // Returns every chunk to the pool.
    void clear() {
        for (std::int32_t k = 0; k < total(); ++k)
            index_.spare[static_cast<std::size_t>(index_.spare_count++)] =
                order_[static_cast<std::size_t>(k)];
        index_.chunk_total[static_cast<std::size_t>(tree_)] = 0;
    }

    [[nodiscard]] std::int32_t total() const {
        return index_.chunk_total[static_cast<std::size_t>(tree_)];
    }
    [[nodiscard]] const Chunk& chunk(std::int32_t rank) const {
        return index_.chunks[order_[static_cast<std::size_t>(rank)]];
    }

private:
    [[nodiscard]] Chunk& chunk(std::int32_t rank) {
        return index_.chunks[order_[static_cast<std::size_t>(rank)]];
    }
    [[nodiscard]] bool exists(Slot s) const { return s.rank >= 0; }
    [[nodiscard]] std::int32_t pos(Slot s) const {
        return chunk(s.rank).pos[static_cast<std::size_t>(s.at)];
    }
    [[nodiscard]] Priority& priority(Slot s) {
        return chunk(s.rank).priority[static_cast<std::size_t>(s.at)];
    }

    // The entry before s, or none (rank -1).
    [[nodiscard]] Slot before(Slot s) const {
        if (s.at > 0) return {s.rank, s.at - 1};
        if (s.rank > 0) return {s.rank - 1, chunk(s.rank - 1).count - 1};
        return {-1, 0};
    }
    // The entry after s, or none.
    [[nodiscard]] Slot after(Slot s) const {
        if (s.at + 1 < chunk(s.rank).count) return {s.rank, s.at + 1};
        if (s.rank + 1 < total()) return {s.rank + 1, 0};
        return {-1, 0};
    }

    // Where the key goes: the first entry not below it, in the last chunk whose first entry
    // is not above it (the first chunk when there is none). Equal keys come out in the slot.
    [[nodiscard]] Slot find_slot(const Key& key) const {
        // Sorted data, which is what makes a tree an index, mostly adds keys at either end.
        const Chunk& top = chunk(total() - 1);
        if (compare_with(trees_, key, top.pos[static_cast<std::size_t>(top.count - 1)]).side ==
            right_link)
            return {total() - 1, top.count};
        if (compare_with(trees_, key, chunk(0).pos[0]).side == left_link) return {0, 0};
        std::int32_t lo = 0;
        std::int32_t hi = total();
        while (hi - lo > 1) {
            const std::int32_t mid = (lo + hi) / 2;
            if (compare_with(trees_, key, chunk(mid).pos[0]).side == right_link)
                lo = mid;
            else
                hi = mid;
        }
        const Chunk& c = chunk(lo);
        std::int32_t first = 0;
        std::int32_t last = c.count;
        while (first < last) {
            const std::int32_t mid = (first + last) / 2;
            if (compare_with(trees_, key, c.pos[static_cast<std::size_t>(mid)]).side == right_link)
                first = mid + 1;
            else
                last = mid;
        }
        return {lo, first};
    }

    // r takes the place of the 18-byte match at s, with its priority.
    [[nodiscard]] PackedMatch take_place(Slot s, std::int32_t r) {
        const std::int32_t old = pos(s);
        chunk(s.rank).pos[static_cast<std::size_t>(s.at)] = static_cast<std::uint16_t>(r);
        index_.chunk_of[static_cast<std::size_t>(r)] = order_[static_cast<std::size_t>(s.rank)];
        above(trees_, r) = in_index;
        above(trees_, old) = not_in_tree;
        return pack(full_length, old);
    }

    // The position of lowest priority among the entries that share `length` bytes with the
    // key, which lie on both sides of `slot` (the key's place, not yet taken).
    [[nodiscard]] std::int32_t lowest_sharing(const Key& key, std::uint32_t length, Slot slot) {
        const auto shares = [&](std::int32_t p) {
            return compare_with(trees_, key, p).length >= length;
        };
        Lowest lowest;
        // Leftwards: the entries below the slot in its chunk, then whole chunks.
        for (std::int32_t rank = slot.rank, end = slot.at; rank >= 0;) {
            const Chunk& c = chunk(rank);
            if (end > 0) {
                if (!shares(c.pos[0])) {
                    lowest.scan(c, first_passing(c, 1, end, shares), end);
                    break;
                }
                if (end == c.count)
                    lowest.take(c, c.min_slot);
                else
                    lowest.scan(c, 0, end);
            }
            if (--rank >= 0) end = chunk(rank).count;
        }
        // Rightwards: the entries from the slot on in its chunk, then whole chunks.
        for (std::int32_t rank = slot.rank, from = slot.at; rank < total(); ++rank, from = 0) {
            const Chunk& c = chunk(rank);
            if (from == c.count) continue;
            if (!shares(c.pos[static_cast<std::size_t>(c.count - 1)])) {
                lowest.scan(c, from, first_passing(c, from, c.count - 1, [&](std::int32_t p) {
                                return !shares(p);
                            }));
                break;
            }
            if (from == 0)
                lowest.take(c, c.min_slot);
            else
                lowest.scan(c, from, c.count);
        }
        return lowest.pos;
    }

    // The lowest priority seen so far and its position.
    struct Lowest {
        Priority priority = std::numeric_limits<Priority>::max();
        std::int32_t pos = 0;
        void take(const Chunk& c, std::int32_t at) {
            const Priority p = c.priority[static_cast<std::size_t>(at)];
            if (p < priority) {
                priority = p;
                pos = c.pos[static_cast<std::size_t>(at)];
            }
        }
        void scan(const Chunk& c, std::int32_t from, std::int32_t to) {
            for (std::int32_t at = from; at < to; ++at) take(c, at);
        }
    };

    // The first slot in [from, to) whose entry passes `test`, or `to`, where the entries that
    // fail come first. Entries in key order share more the nearer they are to the key, so
    // sharing enough, and not sharing it, each change once on either side of the key.
    template <class Test>
    [[nodiscard]] static std::int32_t first_passing(const Chunk& c, std::int32_t from,
                                                    std::int32_t to, Test test) {
        while (from < to) {
            const std::int32_t mid = (from + to) / 2;
            if (test(c.pos[static_cast<std::size_t>(mid)]))
                to = mid;
            else
                from = mid + 1;
        }
        return from;
    }

    static void find_min(Chunk& c) {
        std::int32_t best = 0;
        for (std::int32_t at = 1; at < c.count; ++at)
            if (c.priority[static_cast<std::size_t>(at)] <
                c.priority[static_cast<std::size_t>(best)])
                best = at;
        c.min_slot = static_cast<std::uint16_t>(best);
    }

    // The entry at s has just taken a lower priority.
    void lower_min(Slot s) {
        Chunk& c = chunk(s.rank);
        if (c.priority[static_cast<std::size_t>(s.at)] < c.priority[c.min_slot])
            c.min_slot = static_cast<std::uint16_t>(s.at);
    }

    // Puts position r with priority `prio` at `slot`, splitting a full chunk first.
    void put(Slot slot, std::int32_t r, Priority prio) {
        if (chunk(slot.rank).count == chunk_capacity) {
            split(slot.rank);
            constexpr std::int32_t half = chunk_capacity / 2;
            if (slot.at > half) slot = {slot.rank + 1, slot.at - half};
        }
        Chunk& c = chunk(slot.rank);
        const auto at = static_cast<std::size_t>(slot.at);
        const auto tail = static_cast<std::size_t>(c.count) - at;
        std::memmove(c.pos.data() + (at + 1), c.pos.data() + at, tail * sizeof c.pos[0]);
        std::memmove(c.priority.data() + (at + 1), c.priority.data() + at,
                     tail * sizeof c.priority[0]);
        c.pos[at] = static_cast<std::uint16_t>(r);
        c.priority[at] = prio;
        // The newest priority is the highest, so it is the chunk's lowest only when alone.
        if (c.count != 0 && c.min_slot >= slot.at) ++c.min_slot;
        ++c.count;
        index_.chunk_of[static_cast<std::size_t>(r)] = order_[static_cast<std::size_t>(slot.rank)];
        above(trees_, r) = in_index;
    }

    void remove_entry(Slot slot, bool heir_here) {
        Chunk& c = chunk(slot.rank);
        const auto at = static_cast<std::size_t>(slot.at);
        const auto tail = static_cast<std::size_t>(c.count) - at - 1;
        std::memmove(c.pos.data() + at, c.pos.data() + (at + 1), tail * sizeof c.pos[0]);
        std::memmove(c.priority.data() + at, c.priority.data() + (at + 1),
                     tail * sizeof c.priority[0]);
        --c.count;
        if (c.count == 0) {
            drop_chunk(slot.rank);
            return;
        }
        // An heir in this chunk took the removed priority, which is the chunk's lowest only
        // if the removed entry was.
        if (c.min_slot == slot.at) {
            if (heir_here)
                c.min_slot = static_cast<std::uint16_t>(slot.at - 1);
            else
                find_min(c);
        } else if (c.min_slot > slot.at) {
            --c.min_slot;
        }
        rebalance(slot.rank);
    }

    // Merges the chunk at `rank` with a neighbour when the two hold few enough together.
    void rebalance(std::int32_t rank) {
        if (rank + 1 < total() && chunk(rank).count + chunk(rank + 1).count <= merge_limit)
            merge_next(rank);
        if (rank > 0 && chunk(rank - 1).count + chunk(rank).count <= merge_limit)
            merge_next(rank - 1);
    }

    // Moves the upper half of the full chunk at `rank` into a new chunk after it.
    void split(std::int32_t rank) {
        const std::int32_t id = add_chunk(rank + 1);
        Chunk& from = chunk(rank);
        Chunk& to = index_.chunks[static_cast<std::size_t>(id)];
        constexpr std::int32_t half = chunk_capacity / 2;
        to.count = static_cast<std::uint16_t>(from.count - half);
        std::memcpy(to.pos.data(), from.pos.data() + half, to.count * sizeof to.pos[0]);
        std::memcpy(to.priority.data(), from.priority.data() + half,
                    to.count * sizeof to.priority[0]);
        from.count = half;
        for (std::int32_t at = 0; at < to.count; ++at)
            index_.chunk_of[to.pos[static_cast<std::size_t>(at)]] = static_cast<std::uint16_t>(id);
        find_min(from);
        find_min(to);
    }

    // Appends the chunk after `rank` to it and drops the emptied one.
    void merge_next(std::int32_t rank) {
        Chunk& into = chunk(rank);
        const Chunk& from = chunk(rank + 1);
        const std::uint16_t id = order_[static_cast<std::size_t>(rank)];
        std::memcpy(into.pos.data() + (into.count), from.pos.data(),
                    from.count * sizeof from.pos[0]);
        std::memcpy(into.priority.data() + (into.count), from.priority.data(),
                    from.count * sizeof from.priority[0]);
        for (std::int32_t at = 0; at < from.count; ++at)
            index_.chunk_of[from.pos[static_cast<std::size_t>(at)]] = id;
        if (from.priority[from.min_slot] < into.priority[into.min_slot])
            into.min_slot = static_cast<std::uint16_t>(into.count + from.min_slot);
        into.count = static_cast<std::uint16_t>(into.count + from.count);
        drop_chunk(rank + 1);
    }

    // Takes a chunk from the pool and puts it at `rank` in the tree's order.
    std::int32_t add_chunk(std::int32_t rank) {
        const std::uint16_t id = index_.spare[static_cast<std::size_t>(--index_.spare_count)];
        const std::int32_t n = total();
        for (std::int32_t k = n; k > rank; --k)
            order_[static_cast<std::size_t>(k)] = order_[static_cast<std::size_t>(k - 1)];
        order_[static_cast<std::size_t>(rank)] = id;
        index_.chunk_total[static_cast<std::size_t>(tree_)] = static_cast<std::uint16_t>(n + 1);
        index_.chunks[id].count = 0;
        index_.chunks[id].min_slot = 0;
        renumber(rank);
        return id;
    }

    // Returns the chunk at `rank` to the pool.
    void drop_chunk(std::int32_t rank) {
        index_.spare[static_cast<std::size_t>(index_.spare_count++)] =
            order_[static_cast<std::size_t>(rank)];
        const std::int32_t n = total() - 1;
        for (std::int32_t k = rank; k < n; ++k)
            order_[static_cast<std::size_t>(k)] = order_[static_cast<std::size_t>(k + 1)];
        index_.chunk_total[static_cast<std::size_t>(tree_)] = static_cast<std::uint16_t>(n);
        renumber(rank);
    }

    void renumber(std::int32_t from) {
        for (std::int32_t k = from; k < total(); ++k) chunk(k).rank = static_cast<std::uint16_t>(k);
    }

    TreeStore& trees_;
    IndexStore& index_;
    std::int32_t tree_;
    std::array<std::uint16_t, tree_chunk_limit>& order_;
};

// ---- Forms and conversions ------------------------------------------------------------------

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

// What the sorted indexes add to the encoder's state.
struct SortedIndex {
    Hybrid hybrid;
    IndexStore index;
};

void init_sorted_index(SortedIndex& sorted) {
    std::memset(&sorted.hybrid, 0, sizeof sorted.hybrid);
    init_index_store(sorted.index);
}

[[nodiscard]] inline bool is_linked(const SortedIndex& sorted, std::int32_t tree) {
    return sorted.hybrid.form[static_cast<std::size_t>(tree)] == Form::linked;
}

// Whether every tree is linked, as on ordinary data: then nothing else need be asked.
[[nodiscard]] inline bool all_linked(const SortedIndex& sorted) {
    return sorted.hybrid.indexed_trees == 0;
}

// The linked form of a tree from its n positions and priorities in key order (the scratch
// arrays): each position hangs below the last one on the right spine with a lower priority,
// and takes what it displaces there as its left subtree.
void build_linked(SortedIndex& sorted, TreeStore& trees, std::int32_t tree, std::int32_t n) {
    const IndexStore& index = sorted.index;
    std::int32_t depth = 0;
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int32_t x = index.scratch_pos[static_cast<std::size_t>(i)];
        const Priority prio = index.scratch_priority[static_cast<std::size_t>(i)];
        std::int32_t displaced = NIL;
        while (depth > 0 && sorted.index.stack_priority[static_cast<std::size_t>(depth - 1)] > prio)
            displaced = sorted.index.stack[static_cast<std::size_t>(--depth)];
        left(trees, x) = static_cast<Link>(displaced);
        right(trees, x) = nil_link;
        above(trees, displaced) = link_index(x, left_link);
        const std::int32_t parent =
            depth > 0 ? sorted.index.stack[static_cast<std::size_t>(depth - 1)] : root_base + tree;
        right(trees, parent) = static_cast<Link>(x);
        above(trees, x) = link_index(parent, right_link);
        sorted.index.stack[static_cast<std::size_t>(depth)] = static_cast<std::uint16_t>(x);
        sorted.index.stack_priority[static_cast<std::size_t>(depth)] = prio;
        ++depth;
    }
    if (n == 0) root_link(trees, tree) = nil_link;
}

// The sum over the n scratch entries of their depth in the linked form: a node's ancestors
// are the nearer entries of lower priority than everything between, on either side.
std::int64_t linked_depth_sum(SortedIndex& sorted, std::int32_t n) {
    const IndexStore& index = sorted.index;
    std::int64_t sum = 0;
    for (const std::int32_t direction : {1, -1}) {
        std::int32_t depth = 0;
        for (std::int32_t k = 0; k < n; ++k) {
            const std::int32_t i = direction > 0 ? k : n - 1 - k;
            const Priority prio = index.scratch_priority[static_cast<std::size_t>(i)];
            while (depth > 0 &&
                   sorted.index.stack_priority[static_cast<std::size_t>(depth - 1)] > prio)
                --depth;
            sum += depth;
            sorted.index.stack_priority[static_cast<std::size_t>(depth++)] = prio;
        }
    }
    return sum;
}

#ifdef LZSS_CHECK_TREES
// The index made from a linked tree, built back into linked form, must give the same links.
void check_agreement(TreeStore& trees, SortedIndex& sorted, std::int32_t tree) {
    const std::int32_t n = TreeIndex(trees, sorted.index, tree).gather();
    const auto rebuilt = std::make_unique<TreeStore>(trees);
    build_linked(sorted, *rebuilt, tree, n);
    bool same = root_link(*rebuilt, tree) == root_link(trees, tree);
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int32_t x = sorted.index.scratch_pos[static_cast<std::size_t>(i)];
        same = same && left(*rebuilt, x) == left(trees, x) && right(*rebuilt, x) == right(trees, x);
    }
    if (!same) {
        std::fprintf(stderr,
                     "encoder tree check failed: an index disagrees with its tree (tree %d)\n",
                     tree);
        std::abort();
    }
}
#endif

void schedule_review(SortedIndex& sorted, std::int32_t tree, std::int32_t n) {
    sorted.hybrid.reviewed_size[static_cast<std::size_t>(tree)] = n;
    sorted.hybrid.until_review[static_cast<std::size_t>(tree)] = 2 * n + review_margin;
}

void make_indexed(TreeStore& trees, SortedIndex& sorted, std::int32_t tree) {
    IndexStore& index = sorted.index;
    // Numbers below the clock, so that every later insertion has a higher priority.
    const Priority base = index.clock - static_cast<Priority>(ring_size);
    Priority preorder = 0;
    std::int32_t n = 0;
    std::int32_t depth = 0;
    std::int32_t node = root_link(trees, tree);
    while (node != NIL || depth > 0) {
        for (; node != NIL; node = left(trees, node)) {
            sorted.index.number[static_cast<std::size_t>(node)] = base + preorder++;
            sorted.index.stack[static_cast<std::size_t>(depth++)] =
                static_cast<std::uint16_t>(node);
        }
        node = sorted.index.stack[static_cast<std::size_t>(--depth)];
        index.scratch_pos[static_cast<std::size_t>(n)] = static_cast<std::uint16_t>(node);
        index.scratch_priority[static_cast<std::size_t>(n)] =
            sorted.index.number[static_cast<std::size_t>(node)];
        ++n;
        node = right(trees, node);
    }
    TreeIndex(trees, index, tree).fill(n);
#ifdef LZSS_CHECK_TREES
    check_agreement(trees, sorted, tree);
#endif
    root_link(trees, tree) = nil_link;
    sorted.hybrid.form[static_cast<std::size_t>(tree)] = Form::indexed;
    ++sorted.hybrid.indexed_trees;
    schedule_review(sorted, tree, n);
    sorted.hybrid.size[static_cast<std::size_t>(tree)] = n;
    ++sorted.hybrid.to_index;
}

void make_linked(TreeStore& trees, SortedIndex& sorted, std::int32_t tree, std::int32_t n) {
    TreeIndex(trees, sorted.index, tree).clear();
    build_linked(sorted, trees, tree, n);
    sorted.hybrid.form[static_cast<std::size_t>(tree)] = Form::linked;
    --sorted.hybrid.indexed_trees;
    sorted.hybrid.effort[static_cast<std::size_t>(tree)] = 0;
    ++sorted.hybrid.to_linked;
}

// An indexed tree's review: back to linked form when an average walk there would be short.
void review(TreeStore& trees, SortedIndex& sorted, std::int32_t tree) {
    const std::int32_t n = TreeIndex(trees, sorted.index, tree).gather();
    if (linked_depth_sum(sorted, n) <= static_cast<std::int64_t>(n) * review_depth) {
        make_linked(trees, sorted, tree, n);
        return;
    }
    schedule_review(sorted, tree, n);
}

// Accounts for what long walks left in the trees' excess, as it stands at step `step`.
[[gnu::noinline]] void account_excess(TreeStore& trees, SortedIndex& sorted, std::uint64_t step) {
    Hybrid& hybrid = sorted.hybrid;
    trees.excess_seen = false;
    for (std::size_t t = 0; t < tree_count; ++t) {
        const std::uint32_t excess = trees.excess[t];
        if (excess == 0) continue;
        trees.excess[t] = 0;
        const auto worn = static_cast<std::int64_t>(step - hybrid.effort_step[t]);
        hybrid.effort[t] = std::max<std::int64_t>(0, hybrid.effort[t] - worn) + excess;
        hybrid.effort_step[t] = step;
        if (hybrid.effort[t] > effort_budget && is_linked(sorted, static_cast<std::int32_t>(t)))
            make_indexed(trees, sorted, static_cast<std::int32_t>(t));
    }
}

// Counts an operation on an indexed tree towards its next review.
void tick(TreeStore& trees, SortedIndex& sorted, std::int32_t tree) {
    const auto t = static_cast<std::size_t>(tree);
    if (--sorted.hybrid.until_review[t] == 0 ||
        2 * sorted.hybrid.size[t] < sorted.hybrid.reviewed_size[t])
        review(trees, sorted, tree);
}

// Inserts position r into its tree, which is indexed, and returns its match.
[[gnu::noinline, nodiscard]] PackedMatch insert_indexed(TreeStore& trees, SortedIndex& sorted,
                                                        std::int32_t tree, std::int32_t r) {
    const PackedMatch match = TreeIndex(trees, sorted.index, tree).insert(r);
    if (unpack(match).length != longest) ++sorted.hybrid.size[static_cast<std::size_t>(tree)];
    tick(trees, sorted, tree);
    return match;
}

// Takes position p out of its indexed tree.
[[gnu::noinline]] void erase_indexed(TreeStore& trees, SortedIndex& sorted, std::int32_t p) {
    const std::int32_t tree = trees.window[static_cast<std::size_t>(p)];
    --sorted.hybrid.size[static_cast<std::size_t>(tree)];
    if (TreeIndex(trees, sorted.index, tree).erase(p))
        tick(trees, sorted, tree);
    else
        make_linked(trees, sorted, tree, 0);
}

} // namespace
} // namespace lzss

#else // LZSS_NO_SORTED_INDEX: every tree stays linked.

namespace lzss {
namespace {

struct SortedIndex {
    struct {
        std::uint64_t to_index = 0;
        std::uint64_t to_linked = 0;
    } hybrid;
};

inline void init_sorted_index(SortedIndex&) {}
[[nodiscard]] constexpr bool is_linked(const SortedIndex&, std::int32_t) {
    return true;
}
[[nodiscard]] constexpr bool all_linked(const SortedIndex&) {
    return true;
}
[[nodiscard]] inline PackedMatch insert_indexed(TreeStore&, SortedIndex&, std::int32_t,
                                                std::int32_t) {
    return 0;
}
inline void erase_indexed(TreeStore&, SortedIndex&, std::int32_t) {}
inline void account_excess(TreeStore&, SortedIndex&, std::uint64_t) {}

} // namespace
} // namespace lzss

#endif
