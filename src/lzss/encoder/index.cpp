// The sorted index: the form a tree takes when its linked shape has grown deep, the switches
// between the two forms, and when a tree makes them. The encoder reaches it through the seam
// in index.hpp: is_linked, all_linked, insert_indexed, erase_indexed and account_excess.
// Building with BIPAFS_NO_SORTED_INDEX leaves this file out (no_index.hpp).
//
// WHAT A LINKED TREE IS. Give every node a priority by three rules: a position's priority is
// the time it was inserted; a position that takes the place of an 18-byte match takes that
// match's priority; and when a node with two children is deleted, the heir rule (trees.hpp)
// moves its key-order predecessor up into its place, and that heir takes its priority. Then a
// linked tree is, at every moment, the Cartesian tree of its positions: a search tree by key
// and a min-heap by priority (every node's priority below its children's). By induction over
// the operations, each of which keeps both orders:
// - an insertion without an 18-byte match hangs the new node as a leaf at its key's place;
//   its priority is the newest, above every other;
// - an 18-byte match: the new position has the same key and takes the same priority, in the
//   same place;
// - deleting a node with at most one child lifts that child's subtree into its place, whose
//   priorities were already above the parent's;
// - deleting a node with two children first unlinks its predecessor (the rightmost node of its
//   left subtree, which has no right child: the case before), then puts it in the node's
//   place with the node's priority: in key order it lies between the two subtrees, and that
//   priority is below both subtrees' and above the parent's.
// Priorities stay distinct, as each inherited one leaves with the node that gave it. And with
// distinct keys and distinct priorities there is one Cartesian tree only: the root must be
// the lowest priority, the smaller keys form its left subtree and the larger its right, and
// so on down. So the shape follows from the keys and priorities alone.
//
// WHAT A WALK FINDS, then, follows from them too. The walk for a new key x visits exactly x's
// ancestors-to-be: the nodes y whose priority is the lowest among the keys between x and y.
// Its predecessor and successor in key order are both among them (nothing lies between), and
// the bytes x shares with a key can only fall, never grow, with distance from x in key order.
// So:
// - its length L is the longest prefix, capped at 18, that x shares with one of its two
//   key-order neighbours;
// - the nodes that share L bytes with x form a contiguous key range S around x's slot. The
//   node m of lowest priority in S has the lowest priority between x and m (all of it is in
//   S), so m is on the walk; the walk meets ancestors before descendants, lowest priority
//   first, and keeps the first node of each new length, so m is its match;
// - when L is 18, S is the one node with x's key, and x takes its place.
// Any ordered index that gives a range minimum of priority gives the same answers, at a cost
// that does not depend on the tree's shape. On monotonic data (tables of counters, sorted
// lists) the linked trees degenerate into chains thousands of nodes long, and every walk runs
// down the whole chain.
//
// THE CONVERSIONS keep the tree exactly as the linked operations would have left it. A linked
// tree does not store its priorities, so the conversion to an index gives its nodes new
// numbers: in preorder (each node before its left subtree, then its right), which puts every
// node below its descendants. That is a heap order of the tree as it stands, so the Cartesian
// tree of these numbers is that tree itself (it is the only one), and everything above
// follows. The numbers sit just below the clock, so every later insertion is newer. Back to
// linked form, the Cartesian tree is rebuilt from the keys in order with a stack holding the
// right spine. A worked example of five nodes, keys a < b < c < d < e:
//
//           d              preorder numbers: d 0, b 1, a 2, c 3, e 4
//          / \             index, in key order: a:2 b:1 c:3 d:0 e:4
//         b   e            lowest is d (0), the root; left of it, a b c, lowest b (1);
//        / \               then a and c under b, and e alone on the right: the same tree.
//       a   c
//
// - Insert x between c and d, sharing 3 bytes with d, 5 with b and c, 2 with a. The walk
//   meets d (3), b (5: kept), c (5: not longer) and hangs x right of c: length 5, match b.
//   The index: L = max(5 for c, 3 for d) = 5, S = {b, c}, lowest priority b. The same.
// - Delete d from the five as drawn: its neighbours c (3) and e (4) both have higher
//   priorities, so d has two children; the heir c takes priority 0. Index a:2 b:1 c:0 e:4
//   gives root c, b (with a) on its left, e on its right: what delete_node leaves.
// - Delete e from the five instead: its neighbour d (0) has a lower priority, so e has at
//   most one child and no heir; it just leaves.
//
// THE INDEX keeps a tree's positions in key order in chunks of up to 64, with each chunk's
// lowest priority, and the chunks' order per tree. Any two neighbouring chunks hold more than
// 32 positions between them (they merge otherwise), which bounds how many chunks there are.
//
// WHEN A TREE CHANGES FORM. A linked tree is fast while its walks are short, which on
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
#include "index.hpp"

#include <limits>
#include <memory>

#ifdef BIPAFS_CHECK_TREES
#include <cstdio>
#include <cstdlib>
#endif

namespace lzss::encoder {
namespace {

// ---- The index ------------------------------------------------------------------------------

static_assert(conversion_fill > merge_limit / 2 && conversion_fill <= chunk_capacity);
static_assert(chunk_pool_size <= 0xFFFF && tree_chunk_limit <= 0xFFFF);

void init_index_store(IndexStore& index) {
    for (std::size_t c = 0; c < chunk_pool_size; ++c)
        index.spare[c] = static_cast<std::uint16_t>(c);
    index.spare_count = chunk_pool_size;
    std::fill(index.chunk_total.begin(), index.chunk_total.end(), std::uint16_t{0});
    // Room below for the numbers a conversion gives.
    index.clock = static_cast<Priority>(ring_size);
}

// Where an entry is: a chunk (by its rank in the tree's order) and a slot in it.
struct Slot {
    std::size_t rank;
    std::size_t at;
};
// The rank of an entry that does not exist.
constexpr std::size_t no_rank = std::numeric_limits<std::size_t>::max();

class TreeIndex {
public:
    TreeIndex(TreeStore& trees, IndexStore& index, std::size_t tree)
        : trees_(trees), index_(index), tree_(tree), order_(index.order[tree]) {}

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
        const std::uint16_t id = chunk_of(p);
        Chunk& c = index_.chunks[id];
        std::size_t at = 0;
        while (c.pos[at] != p) ++at;
        const Slot slot{c.rank, at};
        const Priority own = c.priority[at];

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
    std::size_t gather() const {
        std::size_t n = 0;
        for (std::size_t k = 0; k < total(); ++k) {
            const Chunk& c = chunk(k);
            for (std::size_t at = 0; at < c.count; ++at) {
                index_.scratch_pos[n] = c.pos[at];
                index_.scratch_priority[n] = c.priority[at];
                ++n;
            }
        }
        return n;
    }

    // Fills the index from the n entries in the scratch arrays, already in key order.
    void fill(std::size_t n) {
        for (std::size_t from = 0; from < n; from += conversion_fill) {
            const std::uint16_t id = add_chunk(total());
            Chunk& c = index_.chunks[id];
            c.count = static_cast<std::uint16_t>(std::min(conversion_fill, n - from));
            for (std::size_t at = 0; at < c.count; ++at) {
                const std::uint16_t p = index_.scratch_pos[from + at];
                c.pos[at] = p;
                c.priority[at] = index_.scratch_priority[from + at];
                index_.chunk_of[p] = id;
                above(trees_, p) = in_index;
            }
            find_min(c);
        }
    }

    // Returns every chunk to the pool.
    void clear() {
        for (std::size_t k = 0; k < total(); ++k) index_.spare[index_.spare_count++] = order_[k];
        index_.chunk_total[tree_] = 0;
    }

private:
    [[nodiscard]] std::size_t total() const { return index_.chunk_total[tree_]; }
    [[nodiscard]] const Chunk& chunk(std::size_t rank) const { return index_.chunks[order_[rank]]; }
    [[nodiscard]] Chunk& chunk(std::size_t rank) { return index_.chunks[order_[rank]]; }
    // The one place a position indexes the index's own arrays.
    [[nodiscard]] std::uint16_t& chunk_of(std::int32_t p) {
        return index_.chunk_of[static_cast<std::size_t>(p)];
    }
    [[nodiscard]] static bool exists(Slot s) { return s.rank != no_rank; }
    [[nodiscard]] std::int32_t pos(Slot s) const { return chunk(s.rank).pos[s.at]; }
    [[nodiscard]] Priority& priority(Slot s) { return chunk(s.rank).priority[s.at]; }

    // The entry before s, or none.
    [[nodiscard]] Slot before(Slot s) const {
        if (s.at > 0) return {s.rank, s.at - 1};
        if (s.rank > 0) return {s.rank - 1, chunk(s.rank - 1).count - 1u};
        return {no_rank, 0};
    }
    // The entry after s, or none.
    [[nodiscard]] Slot after(Slot s) const {
        if (s.at + 1 < chunk(s.rank).count) return {s.rank, s.at + 1};
        if (s.rank + 1 < total()) return {s.rank + 1, 0};
        return {no_rank, 0};
    }

    // Where the key goes: the first entry not below it, in the last chunk whose first entry
    // is not above it (the first chunk when there is none). Equal keys come out in the slot.
    [[nodiscard]] Slot find_slot(const Key& key) const {
        // Sorted data, which is what makes a tree an index, mostly adds keys at either end.
        const Chunk& top = chunk(total() - 1);
        if (compare_with(trees_, key, top.pos[top.count - 1u]).side == right_link)
            return {total() - 1, top.count};
        if (compare_with(trees_, key, chunk(0).pos[0]).side == left_link) return {0, 0};
        std::size_t lo = 0;
        std::size_t hi = total();
        while (hi - lo > 1) {
            const std::size_t mid = (lo + hi) / 2;
            if (compare_with(trees_, key, chunk(mid).pos[0]).side == right_link)
                lo = mid;
            else
                hi = mid;
        }
        const Chunk& c = chunk(lo);
        std::size_t first = 0;
        std::size_t last = c.count;
        while (first < last) {
            const std::size_t mid = (first + last) / 2;
            if (compare_with(trees_, key, c.pos[mid]).side == right_link)
                first = mid + 1;
            else
                last = mid;
        }
        return {lo, first};
    }

    // r takes the place of the 18-byte match at s, with its priority.
    [[nodiscard]] PackedMatch take_place(Slot s, std::int32_t r) {
        const std::int32_t old = pos(s);
        chunk(s.rank).pos[s.at] = static_cast<std::uint16_t>(r);
        chunk_of(r) = order_[s.rank];
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
        for (std::size_t rank = slot.rank, end = slot.at;;) {
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
            if (rank == 0) break;
            end = chunk(--rank).count;
        }
        // Rightwards: the entries from the slot on in its chunk, then whole chunks.
        for (std::size_t rank = slot.rank, from = slot.at; rank < total(); ++rank, from = 0) {
            const Chunk& c = chunk(rank);
            if (from == c.count) continue;
            if (!shares(c.pos[c.count - 1u])) {
                lowest.scan(c, from, first_passing(c, from, c.count - 1u, [&](std::int32_t p) {
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
        void take(const Chunk& c, std::size_t at) {
            if (c.priority[at] < priority) {
                priority = c.priority[at];
                pos = c.pos[at];
            }
        }
        void scan(const Chunk& c, std::size_t from, std::size_t to) {
            for (std::size_t at = from; at < to; ++at) take(c, at);
        }
    };

    // The first slot in [from, to) whose entry passes `test`, or `to`, where the entries that
    // fail come first. Entries in key order share more the nearer they are to the key, so
    // sharing enough, and not sharing it, each change once on either side of the key.
    template <class Test>
    [[nodiscard]] static std::size_t first_passing(const Chunk& c, std::size_t from, std::size_t to,
                                                   Test test) {
        while (from < to) {
            const std::size_t mid = (from + to) / 2;
            if (test(c.pos[mid]))
                to = mid;
            else
                from = mid + 1;
        }
        return from;
    }

    static void find_min(Chunk& c) {
        std::size_t best = 0;
        for (std::size_t at = 1; at < c.count; ++at)
            if (c.priority[at] < c.priority[best]) best = at;
        c.min_slot = static_cast<std::uint16_t>(best);
    }

    // The entry at s has just taken a lower priority.
    void lower_min(Slot s) {
        Chunk& c = chunk(s.rank);
        if (c.priority[s.at] < c.priority[c.min_slot])
            c.min_slot = static_cast<std::uint16_t>(s.at);
    }

    // Puts position r with priority `prio` at `slot`, splitting a full chunk first.
    void put(Slot slot, std::int32_t r, Priority prio) {
        if (chunk(slot.rank).count == chunk_capacity) {
            split(slot.rank);
            constexpr std::size_t half = chunk_capacity / 2;
            if (slot.at > half) slot = {slot.rank + 1, slot.at - half};
        }
        Chunk& c = chunk(slot.rank);
        const std::size_t at = slot.at;
        const std::size_t tail = c.count - at;
        std::memmove(c.pos.data() + (at + 1), c.pos.data() + at, tail * sizeof c.pos[0]);
        std::memmove(c.priority.data() + (at + 1), c.priority.data() + at,
                     tail * sizeof c.priority[0]);
        c.pos[at] = static_cast<std::uint16_t>(r);
        c.priority[at] = prio;
        // The newest priority is the highest, so it is the chunk's lowest only when alone.
        if (c.count != 0 && c.min_slot >= at) ++c.min_slot;
        ++c.count;
        chunk_of(r) = order_[slot.rank];
        above(trees_, r) = in_index;
    }

    void remove_entry(Slot slot, bool heir_here) {
        Chunk& c = chunk(slot.rank);
        const std::size_t at = slot.at;
        const std::size_t tail = c.count - at - 1;
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
        if (c.min_slot == at) {
            if (heir_here)
                c.min_slot = static_cast<std::uint16_t>(at - 1);
            else
                find_min(c);
        } else if (c.min_slot > at) {
            --c.min_slot;
        }
        rebalance(slot.rank);
    }

    // Merges the chunk at `rank` with a neighbour when the two hold few enough together.
    void rebalance(std::size_t rank) {
        if (rank + 1 < total() && chunk(rank).count + chunk(rank + 1).count <= merge_limit)
            merge_next(rank);
        if (rank > 0 && chunk(rank - 1).count + chunk(rank).count <= merge_limit)
            merge_next(rank - 1);
    }

    // Moves the upper half of the full chunk at `rank` into a new chunk after it.
    void split(std::size_t rank) {
        const std::uint16_t id = add_chunk(rank + 1);
        Chunk& from = chunk(rank);
        Chunk& to = index_.chunks[id];
        constexpr std::size_t half = chunk_capacity / 2;
        to.count = static_cast<std::uint16_t>(from.count - half);
        std::memcpy(to.pos.data(), from.pos.data() + half, to.count * sizeof to.pos[0]);
        std::memcpy(to.priority.data(), from.priority.data() + half,
                    to.count * sizeof to.priority[0]);
        from.count = half;
        for (std::size_t at = 0; at < to.count; ++at) index_.chunk_of[to.pos[at]] = id;
        find_min(from);
        find_min(to);
    }

    // Appends the chunk after `rank` to it and drops the emptied one.
    void merge_next(std::size_t rank) {
        Chunk& into = chunk(rank);
        const Chunk& from = chunk(rank + 1);
        const std::uint16_t id = order_[rank];
        std::memcpy(into.pos.data() + (into.count), from.pos.data(),
                    from.count * sizeof from.pos[0]);
        std::memcpy(into.priority.data() + (into.count), from.priority.data(),
                    from.count * sizeof from.priority[0]);
        for (std::size_t at = 0; at < from.count; ++at) index_.chunk_of[from.pos[at]] = id;
        if (from.priority[from.min_slot] < into.priority[into.min_slot])
            into.min_slot = static_cast<std::uint16_t>(into.count + from.min_slot);
        into.count = static_cast<std::uint16_t>(into.count + from.count);
        drop_chunk(rank + 1);
    }

    // Takes a chunk from the pool and puts it at `rank` in the tree's order.
    std::uint16_t add_chunk(std::size_t rank) {
        const std::uint16_t id = index_.spare[--index_.spare_count];
        const std::size_t n = total();
        for (std::size_t k = n; k > rank; --k) order_[k] = order_[k - 1];
        order_[rank] = id;
        index_.chunk_total[tree_] = static_cast<std::uint16_t>(n + 1);
        index_.chunks[id].count = 0;
        index_.chunks[id].min_slot = 0;
        renumber(rank);
        return id;
    }

    // Returns the chunk at `rank` to the pool.
    void drop_chunk(std::size_t rank) {
        index_.spare[index_.spare_count++] = order_[rank];
        const std::size_t n = total() - 1;
        for (std::size_t k = rank; k < n; ++k) order_[k] = order_[k + 1];
        index_.chunk_total[tree_] = static_cast<std::uint16_t>(n);
        renumber(rank);
    }

    void renumber(std::size_t from) {
        for (std::size_t k = from; k < total(); ++k) chunk(k).rank = static_cast<std::uint16_t>(k);
    }

    TreeStore& trees_;
    IndexStore& index_;
    std::size_t tree_;
    std::array<std::uint16_t, tree_chunk_limit>& order_;
};

// ---- Forms and conversions ------------------------------------------------------------------

// The linked form of a tree from its n positions and priorities in key order (the scratch
// arrays): each position hangs below the last one on the right spine with a lower priority,
// and takes what it displaces there as its left subtree.
void build_linked(IndexStore& index, TreeStore& trees, std::size_t tree, std::size_t n) {
    std::size_t depth = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t x = index.scratch_pos[i];
        const Priority prio = index.scratch_priority[i];
        std::int32_t displaced = NIL;
        while (depth > 0 && index.stack_priority[depth - 1] > prio)
            displaced = index.stack[--depth];
        left(trees, x) = static_cast<Link>(displaced);
        right(trees, x) = nil_link;
        above(trees, displaced) = link_index(x, left_link);
        if (depth > 0) {
            right(trees, index.stack[depth - 1]) = static_cast<Link>(x);
            above(trees, x) = link_index(index.stack[depth - 1], right_link);
        } else {
            root_link(trees, tree) = static_cast<Link>(x);
            above(trees, x) = static_cast<Link>(root_link_at(tree));
        }
        index.stack[depth] = static_cast<std::uint16_t>(x);
        index.stack_priority[depth] = prio;
        ++depth;
    }
    if (n == 0) root_link(trees, tree) = nil_link;
}

// The sum over the n scratch entries of their depth in the linked form: a node's ancestors
// are the nearer entries of lower priority than everything between, on either side.
std::size_t linked_depth_sum(IndexStore& index, std::size_t n) {
    std::size_t sum = 0;
    for (const bool rightwards : {true, false}) {
        std::size_t depth = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const Priority prio = index.scratch_priority[rightwards ? k : n - 1 - k];
            while (depth > 0 && index.stack_priority[depth - 1] > prio) --depth;
            sum += depth;
            index.stack_priority[depth++] = prio;
        }
    }
    return sum;
}

#ifdef BIPAFS_CHECK_TREES
// The index made from a linked tree, built back into linked form, must give the same links.
void check_agreement(TreeStore& trees, IndexStore& index, std::size_t tree) {
    const std::size_t n = TreeIndex(trees, index, tree).gather();
    const auto rebuilt = std::make_unique<TreeStore>(trees);
    build_linked(index, *rebuilt, tree, n);
    bool same = root_link(*rebuilt, tree) == root_link(trees, tree);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t x = index.scratch_pos[i];
        same = same && left(*rebuilt, x) == left(trees, x) && right(*rebuilt, x) == right(trees, x);
    }
    if (!same) {
        std::fprintf(stderr,
                     "encoder tree check failed: an index disagrees with its tree (tree %zu)\n",
                     tree);
        std::abort();
    }
}
#endif

void schedule_review(Hybrid& hybrid, std::size_t tree, std::size_t n) {
    hybrid.reviewed_size[tree] = n;
    hybrid.until_review[tree] = 2 * n + review_margin;
}

void make_indexed(TreeStore& trees, SortedIndex& sorted, std::size_t tree) {
    IndexStore& index = sorted.index;
    // Numbers below the clock, so that every later insertion has a higher priority.
    const Priority base = index.clock - static_cast<Priority>(ring_size);
    Priority preorder = 0;
    std::size_t n = 0;
    std::size_t depth = 0;
    std::int32_t node = root_link(trees, tree);
    while (node != NIL || depth > 0) {
        for (; node != NIL; node = left(trees, node)) {
            index.number[static_cast<std::size_t>(node)] = base + preorder++;
            index.stack[depth++] = static_cast<std::uint16_t>(node);
        }
        node = index.stack[--depth];
        index.scratch_pos[n] = static_cast<std::uint16_t>(node);
        index.scratch_priority[n] = index.number[static_cast<std::size_t>(node)];
        ++n;
        node = right(trees, node);
    }
    TreeIndex(trees, index, tree).fill(n);
#ifdef BIPAFS_CHECK_TREES
    check_agreement(trees, index, tree);
#endif
    root_link(trees, tree) = nil_link;
    sorted.hybrid.form[tree] = Form::indexed;
    ++sorted.hybrid.indexed_trees;
    schedule_review(sorted.hybrid, tree, n);
    sorted.hybrid.size[tree] = n;
    ++sorted.hybrid.to_index;
}

void make_linked(TreeStore& trees, SortedIndex& sorted, std::size_t tree, std::size_t n) {
    TreeIndex(trees, sorted.index, tree).clear();
    build_linked(sorted.index, trees, tree, n);
    sorted.hybrid.form[tree] = Form::linked;
    --sorted.hybrid.indexed_trees;
    sorted.hybrid.effort[tree] = 0;
    ++sorted.hybrid.to_linked;
}

// An indexed tree's review: back to linked form when an average walk there would be short.
void review(TreeStore& trees, SortedIndex& sorted, std::size_t tree) {
    const std::size_t n = TreeIndex(trees, sorted.index, tree).gather();
    if (linked_depth_sum(sorted.index, n) <= n * review_depth) {
        make_linked(trees, sorted, tree, n);
        return;
    }
    schedule_review(sorted.hybrid, tree, n);
}

// Counts an operation on an indexed tree towards its next review.
void tick(TreeStore& trees, SortedIndex& sorted, std::size_t tree) {
    Hybrid& hybrid = sorted.hybrid;
    if (--hybrid.until_review[tree] == 0 || 2 * hybrid.size[tree] < hybrid.reviewed_size[tree])
        review(trees, sorted, tree);
}

} // namespace

// ---- The seam -------------------------------------------------------------------------------

void init_sorted_index(SortedIndex& sorted) {
    std::memset(&sorted.hybrid, 0, sizeof sorted.hybrid);
    init_index_store(sorted.index);
}

void account_excess(TreeStore& trees, SortedIndex& sorted, std::uint64_t step) {
    Hybrid& hybrid = sorted.hybrid;
    trees.excess_seen = false;
    for (std::size_t t = 0; t < tree_count; ++t) {
        const std::uint32_t excess = trees.excess[t];
        if (excess == 0) continue;
        trees.excess[t] = 0;
        const auto worn = static_cast<std::int64_t>(step - hybrid.effort_step[t]);
        hybrid.effort[t] = std::max<std::int64_t>(0, hybrid.effort[t] - worn) + excess;
        hybrid.effort_step[t] = step;
        if (hybrid.effort[t] > effort_budget && is_linked(sorted, t))
            make_indexed(trees, sorted, t);
    }
}

PackedMatch insert_indexed(TreeStore& trees, SortedIndex& sorted, std::size_t tree,
                           std::int32_t r) {
    const PackedMatch match = TreeIndex(trees, sorted.index, tree).insert(r);
    if (unpack(match).length != longest) ++sorted.hybrid.size[tree];
    tick(trees, sorted, tree);
    return match;
}

void erase_indexed(TreeStore& trees, SortedIndex& sorted, std::int32_t p) {
    const std::size_t tree = trees.window[static_cast<std::size_t>(p)];
    --sorted.hybrid.size[tree];
    if (TreeIndex(trees, sorted.index, tree).erase(p))
        tick(trees, sorted, tree);
    else
        make_linked(trees, sorted, tree, 0);
}

} // namespace lzss::encoder
