// The linked search trees: insertion with its search, and deletion.
//
// Inserting the position being coded walks its tree from the root and remembers the longest
// match seen on the way down; only a strictly longer match replaces the one remembered, so
// among equal lengths the node met first wins. An 18-byte match puts the new position in
// place of the old one, so a tree never holds two positions that start with the same 18
// bytes. In place of its parent a node records the link that leads to it (its parent's
// index and side as one link index), so taking it out is one store with no question of which
// side it hangs on.
//
// Each walk is a chain of dependent loads. Two or three walks in different trees run side by
// side so that their chains overlap; a walk left to run alone loads both children of each
// node it reaches before the comparison picks one, so that its own next step is already on
// its way.
#pragma once

#include "keys.hpp"

namespace lzss {
namespace {

// The longest match an insertion met: its length (0 when the tree was empty) and position.
struct Match {
    std::int32_t length = 0;
    std::int32_t pos = 0;
};

// A match packed as length << 16 | position, so that a walk keeps it in one register.
// (length << 16) > packed holds exactly when length is greater than the packed length.
using PackedMatch = std::uint32_t;

[[nodiscard]] inline Match unpack(PackedMatch m) {
    return {static_cast<std::int32_t>(m >> 16), static_cast<std::int32_t>(m & 0xFFFF)};
}

[[nodiscard]] inline PackedMatch pack(std::uint32_t length, std::int32_t pos) {
    return length << 16 | static_cast<PackedMatch>(pos);
}

// Hangs r on the empty link at index `at`.
inline void hang(TreeStore& trees, std::int32_t r, std::size_t at) {
    trees.links[at] = static_cast<Link>(r);
    above(trees, r) = static_cast<Link>(at);
}

// Puts r where p was: r inherits p's place and both children, and p leaves the tree.
// `link` is the one that leads to p.
inline void replace_node(TreeStore& trees, std::int32_t p, std::int32_t r, Link& link) {
    above(trees, r) = above(trees, p);
    left(trees, r) = left(trees, p);
    right(trees, r) = right(trees, p);
    above(trees, left(trees, p)) = link_index(r, left_link);
    above(trees, right(trees, p)) = link_index(r, right_link);
    link = static_cast<Link>(r);
    above(trees, p) = not_in_tree;
}

// The rule every walk follows at node p once it knows how r's key stands against p's: an
// 18-byte match puts r in p's place and ends the walk (true); otherwise a longer match is
// remembered and `next` becomes p's link on that side. `link_to_p()` gives the link that
// leads to p; it is asked for only in the rare first case. Whether this node matches longer
// depends on the data, so the remembering is a select, not a branch.
template <class LinkToP>
[[gnu::always_inline]] inline bool settle(TreeStore& trees, std::int32_t r, PackedMatch& best,
                                          std::int32_t p, LinkToP link_to_p, Order o,
                                          std::size_t& next) {
    if (o.length == full_length) [[unlikely]] {
        best = pack(full_length, p);
        replace_node(trees, p, r, link_to_p());
        return true;
    }
    next = link_at(p, o.side);
    const PackedMatch candidate = o.length << 16;
    best = candidate > best ? candidate | static_cast<PackedMatch>(p) : best;
    return false;
}

// One insertion's walk down its tree: the node being added, its key, the link it takes next
// and the longest match met so far. Up to three walks run side by side, so the state is kept
// small enough for registers.
struct Walk {
    std::int32_t r;
    u128 key; // bytes 1..16 of the 18 at window[r]
    std::size_t at;
    PackedMatch best;
};

// Starts adding position r to its tree. `key_bytes` holds the 18 bytes at window[r], read
// from wherever they are known to be equal: the input itself when it can be, so the walk does
// not load window bytes that were stored a moment ago.
inline Walk start_walk(TreeStore& trees, std::int32_t r, const std::uint8_t* key_bytes) {
    left(trees, r) = nil_link;
    right(trees, r) = nil_link;
    return {r, load_be128(key_bytes + 1), link_at(root_base + key_bytes[0], right_link), 0};
}

// Where a walk reads the key of the node at window position p from. Any other source must
// hold the same bytes 1..16 as the window does there; this one is the window itself.
struct FromWindow {
    const std::uint8_t* window;
    const std::uint8_t* operator()(std::int32_t p) const { return window + p; }
};

// Takes one step down; true when the walk is over, with r hung on an empty link or put in
// place of an 18-byte match.
template <class BytesAt>
[[gnu::always_inline]] inline bool step_walk(TreeStore& trees, Walk& w, BytesAt bytes_at) {
    Link& link = trees.links[w.at];
    if (link == nil_link) {
        hang(trees, w.r, w.at);
        return true;
    }
    const std::int32_t p = link;
    const std::uint8_t* const p_bytes = bytes_at(p);
    const Order o = compare_keys(trees, w.r, w.key, load_be64(p_bytes + 1), p, p_bytes);
    return settle(
        trees, w.r, w.best, p, [&]() -> Link& { return link; }, o, w.at);
}

[[gnu::always_inline]] inline bool step_walk(TreeStore& trees, Walk& w) {
    return step_walk(trees, w, FromWindow{trees.window.data()});
}

// A node's two links as one number, left in the low half: one load gives both children.
inline std::uint32_t load_children(const TreeStore& trees, std::int32_t node) {
    std::uint32_t v = 0;
    std::memcpy(&v, &trees.links[link_at(node, left_link)], sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = v >> 16 | v << 16;
    return v;
}

// A walk that runs alone has no second chain of loads to overlap with, so it overlaps with
// itself: standing at a node whose key and children are loaded, it loads both children's
// keys and links before the comparison picks one. An empty link points at NIL, whose slots
// and key bytes are there to be read.
struct Descent {
    std::int32_t r;
    u128 key;
    PackedMatch best;
    std::int32_t p;
    std::uint64_t p_key; // bytes 1..8 of p's key
    std::uint32_t p_children;
};

// Takes one step of a lone walk; true when it is over, as step_walk.
[[gnu::always_inline]] inline bool step_descent(TreeStore& trees, Descent& d) {
    const std::int32_t p = d.p;
    const std::uint8_t* const window = trees.window.data();
    const auto c0 = static_cast<std::int32_t>(d.p_children & 0xFFFF);
    const auto c1 = static_cast<std::int32_t>(d.p_children >> 16);
    const std::uint64_t k0 = load_be64(window + c0 + 1);
    const std::uint64_t k1 = load_be64(window + c1 + 1);
    const std::uint32_t l0 = load_children(trees, c0);
    const std::uint32_t l1 = load_children(trees, c1);

    const Order o = compare_keys(trees, d.r, d.key, d.p_key, p, window + p);
    const auto link_to_p = [&]() -> Link& { return trees.links[above(trees, p)]; };
    std::size_t next = 0;
    if (settle(trees, d.r, d.best, p, link_to_p, o, next)) return true;
    const std::uint64_t pick = 0 - static_cast<std::uint64_t>(o.side);
    const auto c = static_cast<std::int32_t>(static_cast<std::uint64_t>(c0) ^
                                             ((static_cast<std::uint64_t>(c0 ^ c1)) & pick));
    if (c == NIL) {
        hang(trees, d.r, next);
        return true;
    }
    d.p = c;
    d.p_key = k0 ^ ((k0 ^ k1) & pick);
    d.p_children = l0 ^ ((l0 ^ l1) & static_cast<std::uint32_t>(pick));
    return false;
}

// Nodes a walk met alone beyond this many count as its tree's excess (hybrid.hpp).
constexpr std::uint32_t lone_allowance = 32;

// Walks on alone to the end and returns the longest match met. The first step is a plain one:
// it often ends the walk (inside runs, at an 18-byte match), and then loading the children
// ahead would be wasted. A long walk adds what goes beyond the allowance to its tree's excess.
[[gnu::always_inline]] inline PackedMatch finish_walk(TreeStore& trees, Walk& w) {
    if (step_walk(trees, w)) return w.best;
    const std::int32_t p = trees.links[w.at];
    if (p == NIL) {
        hang(trees, w.r, w.at);
        return w.best;
    }
    Descent d{
        w.r, w.key, w.best, p, load_be64(trees.window.data() + p + 1), load_children(trees, p)};
    std::uint32_t lone_steps = 1;
    while (!step_descent(trees, d)) ++lone_steps;
    if (lone_steps > lone_allowance) [[unlikely]] {
        trees.excess[trees.window[static_cast<std::size_t>(w.r)]] += lone_steps - lone_allowance;
        trees.excess_seen = true;
    }
    return d.best;
}

// Two walks in two different trees, which share no node: they are independent, so stepping
// them in turn lets the processor overlap the two chains of loads.
[[gnu::always_inline]] inline void walk_pair(TreeStore& trees, Walk& w1, PackedMatch& match1,
                                             Walk& w2, PackedMatch& match2) {
    for (;;) {
        if (step_walk(trees, w1)) {
            match1 = w1.best;
            match2 = finish_walk(trees, w2);
            return;
        }
        if (step_walk(trees, w2)) {
            match1 = finish_walk(trees, w1);
            match2 = w2.best;
            return;
        }
    }
}

// Two insertions into two different trees, walked side by side.
inline void insert_pair(TreeStore& trees, std::int32_t r1, const std::uint8_t* key1,
                        PackedMatch& match1, std::int32_t r2, const std::uint8_t* key2,
                        PackedMatch& match2) {
    Walk w1 = start_walk(trees, r1, key1);
    Walk w2 = start_walk(trees, r2, key2);
    walk_pair(trees, w1, match1, w2, match2);
}

// Three insertions into three different trees: stepped in turn until one ends, then the other
// two as a pair.
void insert_triple(TreeStore& trees, std::int32_t r1, const std::uint8_t* key1, PackedMatch& match1,
                   std::int32_t r2, const std::uint8_t* key2, PackedMatch& match2, std::int32_t r3,
                   const std::uint8_t* key3, PackedMatch& match3) {
    Walk w1 = start_walk(trees, r1, key1);
    Walk w2 = start_walk(trees, r2, key2);
    Walk w3 = start_walk(trees, r3, key3);
    for (;;) {
        if (step_walk(trees, w1)) {
            match1 = w1.best;
            walk_pair(trees, w2, match2, w3, match3);
            return;
        }
        if (step_walk(trees, w2)) {
            match2 = w2.best;
            walk_pair(trees, w1, match1, w3, match3);
            return;
        }
        if (step_walk(trees, w3)) {
            match3 = w3.best;
            walk_pair(trees, w1, match1, w2, match2);
            return;
        }
    }
}

// Takes position p out of its linked tree. A node with two children gives its place to the
// greatest node of its left subtree.
inline void unlink_node(TreeStore& trees, std::int32_t p) {
    std::int32_t q = 0;
    if (right(trees, p) == nil_link) {
        q = left(trees, p);
    } else if (left(trees, p) == nil_link) {
        q = right(trees, p);
    } else {
        q = left(trees, p);
        if (right(trees, q) != nil_link) {
            while (right(trees, q) != nil_link) q = right(trees, q);
            // q is a right child: its left subtree takes its place.
            trees.links[above(trees, q)] = left(trees, q);
            above(trees, left(trees, q)) = above(trees, q);
            left(trees, q) = left(trees, p);
            above(trees, left(trees, p)) = link_index(q, left_link);
        }
        right(trees, q) = right(trees, p);
        above(trees, right(trees, p)) = link_index(q, right_link);
    }

    above(trees, q) = above(trees, p);
    trees.links[above(trees, p)] = static_cast<Link>(q);
    above(trees, p) = not_in_tree;
}

} // namespace
} // namespace lzss
