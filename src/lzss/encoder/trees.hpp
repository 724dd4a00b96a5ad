// The linked search trees: their state, how keys compare, the walks that insert a position
// and find its longest match (insert_node), and deletion (delete_node). The encoder's essay
// is at the top of encode.cpp.
//
// Two files include this one: encode.cpp, and index.cpp, the sorted index. The state they
// share (the tuning, the constants, TreeStore) is in the named namespace lzss::encoder; the
// functions are in an unnamed namespace, local to each file that includes them, so that the
// compiler sees every call to them and inlines as it did when the encoder was one file.
//
// Every window position that has been coded sits in one of 256 trees, chosen by its first
// byte and keyed by the 18 bytes that start there. Inserting the position being coded walks
// its tree from the root and remembers the longest match seen on the way down; only a
// strictly longer match replaces the one remembered, so among equal lengths the node met
// first wins. An 18-byte match puts the new position in place of the old one, so a tree
// never holds two positions that start with the same 18 bytes. In place of its parent a node
// records the link that leads to it (its parent's index and side as one link index), so
// taking it out is one store with no question of which side it hangs on.
//
// The heir rule: a deleted node with two children gives its place to its predecessor, the
// greatest node of its left subtree. It is stated here once; delete_node below follows it,
// and so does the sorted index's erase (index.cpp), which must leave the tree it stands for
// exactly as delete_node would.
//
// Each walk is a chain of dependent loads. Two or three walks in different trees run side by
// side so that their chains overlap; a walk left to run alone loads both children of each
// node it reaches before the comparison picks one, so that its own next step is already on
// its way.
#pragma once

#include "lzss.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace lzss::encoder {

// ---- The tuning --------------------------------------------------------------------------
// Every constant chosen by measurement rather than by the format, with why it has its value.
// None of them changes the output; docs/performance.md has the runs behind them.

// Nodes a walk meets alone beyond this many count as its tree's excess. Below about 30 nodes
// a linked walk is cheaper than an index step (binary searches and a short move), so only
// what goes beyond is effort the index could save; 16 and 24 measured the same.
inline constexpr std::uint32_t lone_allowance = 32;
// A linked tree whose effort (its excess, wearing off by one per step) passes this becomes
// an index: about the work of converting a full tree twice over, so the conversion is paid
// for before it is made.
inline constexpr std::int64_t effort_budget = 2 * static_cast<std::int64_t>(window_size);
// An indexed tree goes back to linked form when the average depth of its linked form would
// be under this: half the allowance, so a tree does not switch back and forth at the edge.
inline constexpr std::size_t review_depth = lone_allowance / 2;
// An indexed tree reviews its shape after twice as many operations as it held positions at
// the last review, plus this margin, so that a small tree is not reviewed on every step.
inline constexpr std::size_t review_margin = 256;
// Positions per chunk of the index: a move of up to 64 entries is a few cache lines, and a
// binary search inside one is six comparisons.
inline constexpr std::size_t chunk_capacity = 64;
// Chunks made by a conversion are filled to three quarters, so that the next few insertions
// do not split them at once.
inline constexpr std::size_t conversion_fill = chunk_capacity * 3 / 4;
// Steps run ahead of the coder in batches of this many: enough to keep walks side by side,
// few enough that the results fit the 256 kept (and stay in the first-level cache).
inline constexpr std::size_t batch_steps = 128;
inline constexpr std::size_t kept_results = 256;
// How far back a node may start for its key to be read from the input instead of the window:
// far enough to cover the window stores still in flight.
inline constexpr std::size_t near_back = 16;
// ------------------------------------------------------------------------------------------

// ---- The state ---------------------------------------------------------------------------

// Whether trees whose walks grow long may become sorted indexes (index.cpp). Building with
// BIPAFS_NO_SORTED_INDEX leaves every tree linked, to measure what the index costs on data
// that never needs it; the output is the same either way.
#ifdef BIPAFS_NO_SORTED_INDEX
inline constexpr bool with_sorted_index = false;
#else
inline constexpr bool with_sorted_index = true;
#endif

// The window content before any input; it must equal the decoder's.
inline constexpr std::uint8_t prefill_byte = 0x00;

inline constexpr std::int32_t ring_size = static_cast<std::int32_t>(window_size);
inline constexpr std::int32_t ring_mask = ring_size - 1;
inline constexpr std::int32_t longest = static_cast<std::int32_t>(max_match);
inline constexpr std::int32_t mirror_bytes = longest - 1;
inline constexpr std::int32_t NIL = ring_size;
inline constexpr std::int32_t root_base = ring_size + 1;
inline constexpr std::int32_t tree_count = 256;

static_assert((ring_size & ring_mask) == 0, "the ring is indexed by masking");
static_assert(static_cast<std::int32_t>(first_write_pos) == ring_size - longest);

// A literal is coded when the match is this short or shorter.
inline constexpr std::int32_t literal_threshold = static_cast<std::int32_t>(min_match) - 1;

// Links are 16-bit, and a node's left and right links sit side by side (node * 2 + side), so
// that a walk picks the next one by indexing with the comparison's sign instead of branching.
using Link = std::uint16_t;
inline constexpr std::size_t left_link = 0;
inline constexpr std::size_t right_link = 1;
inline constexpr Link nil_link = static_cast<Link>(NIL);
// What `above` holds for a position in no tree, and for one held by a tree's sorted index.
// No link index is as large as either.
inline constexpr Link not_in_tree = 0xFFFF;
inline constexpr Link in_index = 0xFFFE;

// Where link `side` of `node` sits in the links array.
constexpr std::size_t link_at(std::int32_t node, std::size_t side) {
    return static_cast<std::size_t>(node) * 2 + side;
}

inline constexpr std::size_t link_count = link_at(root_base + tree_count, 0);
static_assert(link_count - 1 < in_index, "every link index fits a Link below the markers");
static_assert(NIL < in_index && root_base + tree_count - 1 <= 0xFFFF);

// How a tree is held. A linked tree whose walks grow long is turned into a sorted index, and
// back once its shape would be shallow again (index.cpp).
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

// A match packed as length << 16 | position, so that a walk keeps it in one register.
// (length << 16) > packed holds exactly when length is greater than the packed length.
using PackedMatch = std::uint32_t;

// From here on, local to each file that includes this one.
namespace {

[[nodiscard]] inline Link& left(TreeStore& trees, std::int32_t node) {
    return trees.links[link_at(node, left_link)];
}
[[nodiscard]] inline Link& right(TreeStore& trees, std::int32_t node) {
    return trees.links[link_at(node, right_link)];
}
[[nodiscard]] inline Link& above(TreeStore& trees, std::int32_t node) {
    return trees.above[static_cast<std::size_t>(node)];
}
// Where the link from tree `tree`'s root sits in the links array.
[[nodiscard]] inline std::size_t root_link_at(std::size_t tree) {
    return link_at(root_base, right_link) + 2 * tree;
}
[[nodiscard]] inline Link& root_link(TreeStore& trees, std::size_t tree) {
    return trees.links[root_link_at(tree)];
}
[[nodiscard]] inline Link link_index(std::int32_t node, std::size_t side) {
    return static_cast<Link>(link_at(node, side));
}

inline void init_tree_store(TreeStore& trees) {
    std::memset(&trees, 0, sizeof trees);
    std::fill_n(trees.window.begin(), first_write_pos, prefill_byte);
    for (std::size_t b = 0; b < tree_count; ++b) root_link(trees, b) = nil_link;
    std::fill_n(trees.above.begin(), ring_size, not_in_tree);
}

// ---- Keys ----------------------------------------------------------------------------------
//
// A node's key is the 18 bytes that start at its window position; every key of one tree has
// the same byte 0, so comparisons look at bytes 1..17. They are compared eight at a time as
// big-endian numbers: bytes 1..8, which decide nearly every comparison for the cost of one
// load, then bytes 9..16 and byte 17 only where the earlier ones agree. That finds the same
// first difference, and the same order, as a byte-by-byte loop.

// Eight bytes as a big-endian number: comparing two such numbers orders them as their
// first differing byte does.
inline std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

// Key bytes 1..16 as a pair of big-endian halves, bytes 1..8 in the high one. Where the
// compiler has a 128-bit integer the pair is one such number, which walks side by side keep
// in registers better than two halves; elsewhere (every 32-bit target) it is two 64-bit
// halves. BIPAFS_SPLIT_KEY forces the halves, to measure them where both build.
#if defined(__SIZEOF_INT128__) && !defined(BIPAFS_SPLIT_KEY)
__extension__ typedef unsigned __int128 KeyBytes;

inline KeyBytes load_key_bytes(const std::uint8_t* p) {
    return static_cast<KeyBytes>(load_be64(p)) << 64 | load_be64(p + 8);
}
inline std::uint64_t high_half(KeyBytes key) {
    return static_cast<std::uint64_t>(key >> 64);
}
inline std::uint64_t low_half(KeyBytes key) {
    return static_cast<std::uint64_t>(key);
}
#else
struct KeyBytes {
    std::uint64_t high;
    std::uint64_t low;
};

inline KeyBytes load_key_bytes(const std::uint8_t* p) {
    return {load_be64(p), load_be64(p + 8)};
}
inline std::uint64_t high_half(KeyBytes key) {
    return key.high;
}
inline std::uint64_t low_half(KeyBytes key) {
    return key.low;
}
#endif

// How many leading bytes two different eight-byte halves share.
inline std::uint32_t agreeing_bytes(std::uint64_t a, std::uint64_t b) {
    return static_cast<std::uint32_t>(std::countl_zero(a ^ b)) / 8;
}

// How a key stands against a node's: the bytes they share (18 when all agree) and the side
// the key goes to.
struct Order {
    std::uint32_t length;
    std::size_t side;
};

constexpr auto full_length = static_cast<std::uint32_t>(longest);

// When bytes 1..16 agree, byte 17 decides. The window already holds all 18 bytes of r's key,
// and this rare load is a single byte.
[[nodiscard]] inline Order compare_last_byte(const TreeStore& trees, std::int32_t r,
                                             std::int32_t p) {
    const std::uint8_t other = trees.window[static_cast<std::size_t>(p + longest - 1)];
    const std::uint8_t mine = trees.window[static_cast<std::size_t>(r + longest - 1)];
    return {other == mine ? full_length : full_length - 1, mine > other ? right_link : left_link};
}

// How r's key, whose bytes 1..16 are `key`, stands against p's when bytes 1..8 agree. Bytes
// 9..16 of p's key are read from p_bytes + 9.
[[nodiscard]] inline Order compare_beyond_eight(const TreeStore& trees, std::int32_t r,
                                                KeyBytes key, std::int32_t p,
                                                const std::uint8_t* p_bytes) {
    const std::uint64_t key_low = low_half(key);
    const std::uint64_t other_low = load_be64(p_bytes + 9);
    if (other_low != key_low)
        return {9 + agreeing_bytes(other_low, key_low),
                key_low > other_low ? right_link : left_link};
    return compare_last_byte(trees, r, p);
}

// `other` is bytes 1..8 of p's key, already loaded; the rest is read from p_bytes only in the
// rare case that those agree.
[[gnu::always_inline]] inline Order compare_keys(const TreeStore& trees, std::int32_t r,
                                                 KeyBytes key, std::uint64_t other, std::int32_t p,
                                                 const std::uint8_t* p_bytes) {
    const std::uint64_t high = high_half(key);
    if (other != high) [[likely]]
        return {1 + agreeing_bytes(other, high), high > other ? right_link : left_link};
    return compare_beyond_eight(trees, r, key, p, p_bytes);
}

// A key held apart from any walk: the position it starts at and its bytes 1..16.
struct Key {
    std::int32_t pos;
    KeyBytes bytes;
};

[[nodiscard]] inline Key key_at(const TreeStore& trees, std::int32_t pos) {
    return {pos, load_key_bytes(trees.window.data() + pos + 1)};
}

// The key against the node at window position p, all read from the window.
[[nodiscard]] inline Order compare_with(const TreeStore& trees, const Key& key, std::int32_t p) {
    const std::uint8_t* const p_bytes = trees.window.data() + p;
    return compare_keys(trees, key.pos, key.bytes, load_be64(p_bytes + 1), p, p_bytes);
}

// ---- Walks: insert_node ------------------------------------------------------------------

// The longest match an insertion met: its length (0 when the tree was empty) and position.
struct Match {
    std::int32_t length = 0;
    std::int32_t pos = 0;
};

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
    KeyBytes key; // bytes 1..16 of the 18 at window[r]
    std::size_t at;
    PackedMatch best;
};

// Starts adding position r to its tree. `key_bytes` holds the 18 bytes at window[r], read
// from wherever they are known to be equal: the input itself when it can be, so the walk does
// not load window bytes that were stored a moment ago.
inline Walk start_walk(TreeStore& trees, std::int32_t r, const std::uint8_t* key_bytes) {
    left(trees, r) = nil_link;
    right(trees, r) = nil_link;
    return {r, load_key_bytes(key_bytes + 1), link_at(root_base + key_bytes[0], right_link), 0};
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
    KeyBytes key;
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
    if constexpr (with_sorted_index) {
        if (lone_steps > lone_allowance) [[unlikely]] {
            trees.excess[trees.window[static_cast<std::size_t>(w.r)]] +=
                lone_steps - lone_allowance;
            trees.excess_seen = true;
        }
    }
    return d.best;
}

// Inserts position r, whose 18 bytes are read from `key_bytes`, into its linked tree and
// returns the longest match met: a walk run alone to its end.
[[gnu::always_inline]] inline PackedMatch insert_node(TreeStore& trees, std::int32_t r,
                                                      const std::uint8_t* key_bytes) {
    Walk w = start_walk(trees, r, key_bytes);
    return finish_walk(trees, w);
}

// ---- Walks side by side ----------------------------------------------------------------------

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
// two as a pair. (Unused in index.cpp, which includes this file too.)
[[maybe_unused]] void insert_triple(TreeStore& trees, std::int32_t r1, const std::uint8_t* key1,
                                    PackedMatch& match1, std::int32_t r2, const std::uint8_t* key2,
                                    PackedMatch& match2, std::int32_t r3, const std::uint8_t* key3,
                                    PackedMatch& match3) {
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

// ---- delete_node ---------------------------------------------------------------------------

// Takes position p out of its linked tree, by the heir rule (at the top of this file): a node
// with two children gives its place to the greatest node of its left subtree.
inline void delete_node(TreeStore& trees, std::int32_t p) {
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
} // namespace lzss::encoder
