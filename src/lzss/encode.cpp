// The LZSS encoder. Its output is fixed to the byte by the order of its tree operations,
// so it does exactly the plain algorithm's steps, only each one faster.
//
// Every window position that has been coded sits as a node in one of 256 binary search
// trees, chosen by its first byte and keyed by the 18 bytes that start there. Inserting the
// position being coded walks its tree from the root and remembers the longest match seen on
// the way down; only a strictly longer match replaces the one remembered, so among equal
// lengths the node met first wins. An 18-byte match puts the new position in place of the
// old one, so a tree never holds two positions that start with the same 18 bytes.
// Positions leave their tree as the input overwrites them, 4078 positions behind the one
// being coded.
//
// The trees are 16-bit index arrays inside one heap block of about 30 KB, small enough for the
// first-level cache: a link of NIL (4096) is empty, and the 256 roots are right[4097 + b]. A
// node's left and right links sit side by side, so the walk picks the next one by indexing
// with the comparison's sign instead of branching. Keys are compared eight bytes at a time as
// big-endian numbers: bytes 1..8, which decide nearly every comparison for the cost of one
// load, then bytes 9..16 and byte 17 only where the earlier ones agree; that finds the same
// first difference, and the same order, as a byte-by-byte loop. In place of its parent a node
// records the link that leads to it (its parent's index and side as one link index), so taking
// it out is one store with no question of which side it hangs on; not_in_tree marks a position
// in no tree. Updates made through an empty link land in above[4096], which is never read. The
// window carries 17 mirror bytes past position 4095 so that the 18 bytes from any position
// compare without wrapping; they start as 0x00 and only input stored below position 17 writes
// them.
//
// Why the steps can be reordered: the sequence of tree operations (delete the position the
// next input byte overwrites, insert the next position) is the same whatever gets coded, and
// the coder only reads the match found at the positions where an item starts. So the tree
// operations run a little ahead of the coder, and two or three consecutive insertions that go
// to different trees, where no later step's deletion touches an earlier one's tree, walk side
// by side: each walk is a chain of dependent loads, and the chains overlap. A walk left to run
// alone, once the others have ended, loads both children of each node it reaches before the
// comparison picks one, so that its own next step is already on its way.
//
// Keys are read from the input rather than the window wherever the two are known to hold the
// same bytes: the window's copy was stored a byte at a time a moment ago, and a wide load of
// bytes still on their way to the cache waits for them. That is the new position's own key
// (while 18 input bytes remain), and, inside runs, the recent node an insertion meets first.
//
// Positions 0..4077 are pre-filled with the byte the decoder assumes there, so a match that
// reaches into them restores exactly what the decoder will produce.
#include "lzss.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

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

// A literal is coded when the match is this short or shorter.
constexpr std::int32_t literal_threshold = static_cast<std::int32_t>(min_match) - 1;

// A flag byte and up to eight two-byte items.
constexpr std::size_t group_capacity = 1 + 8 * 2;

// The whole state is kept small enough for the first-level data cache (about 30 KB): links
// are 16-bit, a node's left and right links sit side by side (node * 2 + side), and the walk
// picks the next one by indexing with the comparison's sign instead of branching.
using Link = std::uint16_t;
constexpr std::size_t left_link = 0;
constexpr std::size_t right_link = 1;
constexpr Link nil_link = static_cast<Link>(NIL);
// What `above` holds for a position in no tree; no link index is as large.
constexpr Link not_in_tree = 0xFFFF;

// Where link `side` of `node` sits in the links array.
constexpr std::size_t link_at(std::int32_t node, std::size_t side) {
    return static_cast<std::size_t>(node) * 2 + side;
}

struct EncoderState {
    // Nodes 0..4095, the unused NIL slot 4096, then the 256 roots (only their right link).
    std::array<Link, link_at(root_base + tree_count, 0)> links;
    std::array<Link, ring_size + 1> above;
    std::array<std::uint8_t, ring_size + mirror_bytes> window;
};

void init_state(EncoderState& state) {
    std::memset(&state, 0, sizeof state);
    std::fill_n(state.window.begin(), first_write_pos, prefill_byte);
    for (std::int32_t b = 0; b < tree_count; ++b)
        state.links[link_at(root_base + b, right_link)] = nil_link;
    std::fill_n(state.above.begin(), ring_size, not_in_tree);
}

[[nodiscard]] Link& left(EncoderState& state, std::int32_t node) {
    return state.links[link_at(node, left_link)];
}
[[nodiscard]] Link& right(EncoderState& state, std::int32_t node) {
    return state.links[link_at(node, right_link)];
}
// The link that leads to `node`, as an index into the links array.
[[nodiscard]] Link& above(EncoderState& state, std::int32_t node) {
    return state.above[static_cast<std::size_t>(node)];
}

[[nodiscard]] Link link_index(std::int32_t node, std::size_t side) {
    return static_cast<Link>(link_at(node, side));
}

// Puts r where p was: r inherits p's place and both children, and p leaves the tree.
// `link` is the one that leads to p, which the walk that found p came down by.
void replace_node(EncoderState& state, std::int32_t p, std::int32_t r, Link& link) {
    const Link link_r = static_cast<Link>(r);
    above(state, r) = above(state, p);
    left(state, r) = left(state, p);
    right(state, r) = right(state, p);
    above(state, left(state, p)) = link_index(r, left_link);
    above(state, right(state, p)) = link_index(r, right_link);
    link = link_r;
    above(state, p) = not_in_tree;
}

// Eight bytes as a big-endian number: comparing two such numbers orders them as their
// first differing byte does, which is what the byte-by-byte comparison decides on.
std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

// A compiler extension on the 64-bit targets we build for. A walk's own key is kept as one
// such number, which walks side by side keep in registers better than a pair of halves.
__extension__ typedef unsigned __int128 u128;

// Key bytes 1..16 as one big-endian 128-bit number: bytes 1..8 in the high half.
u128 load_be128(const std::uint8_t* p) {
    return static_cast<u128>(load_be64(p)) << 64 | load_be64(p + 8);
}

// Bytes 1..8 of a key, the half that nearly every comparison is decided in.
std::uint64_t high_half(u128 key) {
    return static_cast<std::uint64_t>(key >> 64);
}

// How many leading bytes two different eight-byte halves share.
std::uint32_t agreeing_bytes(std::uint64_t a, std::uint64_t b) {
    return static_cast<std::uint32_t>(std::countl_zero(a ^ b)) / 8;
}

// The longest match an insertion met: its length (0 when the tree was empty) and position.
struct Match {
    std::int32_t length = 0;
    std::int32_t pos = 0;
};

// A match packed as length << 16 | position, so that a walk keeps it in one register.
// (length << 16) > packed holds exactly when length is greater than the packed length.
using PackedMatch = std::uint32_t;

[[nodiscard]] Match unpack(PackedMatch m) {
    return {static_cast<std::int32_t>(m >> 16), static_cast<std::int32_t>(m & 0xFFFF)};
}

// One insertion's walk down its tree: the node being added, its key, the link it takes next
// and the longest match met so far. Up to three walks run side by side, so the state is kept
// small enough for registers.
struct Walk {
    std::int32_t r;
    u128 key;       // bytes 1..16 of the 18 at window[r]
    std::size_t at; // link_at(node, side) of the link to take next
    PackedMatch best;
};

// Starts adding position r to its tree. `key_bytes` holds the 18 bytes at window[r], read
// from wherever they are known to be equal: the input itself when it can be, so the walk does
// not load window bytes that were stored a moment ago.
Walk start_walk(EncoderState& state, std::int32_t r, const std::uint8_t* key_bytes) {
    left(state, r) = nil_link;
    right(state, r) = nil_link;
    return {r, load_be128(key_bytes + 1), link_at(root_base + key_bytes[0], right_link), 0};
}

// Where a walk reads the key of the node at window position p from. Any other source must
// hold the same bytes 1..16 as the window does there; this one is the window itself.
struct FromWindow {
    const std::uint8_t* window;
    const std::uint8_t* operator()(std::int32_t p) const { return window + p; }
};

// Hangs r on the empty link at index `at`.
void hang(EncoderState& state, std::int32_t r, std::size_t at) {
    state.links[at] = static_cast<Link>(r);
    above(state, r) = static_cast<Link>(at);
}

// When keys agree in bytes 1..16, byte 17 decides: whether r's key goes right of p's, and
// whether all 18 bytes agree. The window already holds all 18 bytes of r's key, and this
// rare load is a single byte.
struct LastByte {
    bool same;
    std::size_t side;
};

[[nodiscard]] LastByte compare_last_byte(const EncoderState& state, std::int32_t r,
                                         std::int32_t p) {
    const std::uint8_t o = state.window[static_cast<std::size_t>(p + longest - 1)];
    const std::uint8_t key_last = state.window[static_cast<std::size_t>(r + longest - 1)];
    return {o == key_last, key_last > o ? right_link : left_link};
}

// How r's key stands against p's: the match length (18 when all bytes agree) and the side r
// goes to.
struct Order {
    std::uint32_t length;
    std::size_t side;
};

// The same when bytes 1..8 agree. Bytes 9..16 of p's key are read from p_bytes + 9.
[[nodiscard]] Order compare_beyond_eight(const EncoderState& state, std::int32_t r, u128 key,
                                         std::int32_t p, const std::uint8_t* p_bytes) {
    const auto key_low = static_cast<std::uint64_t>(key);
    const std::uint64_t other_low = load_be64(p_bytes + 9);
    if (other_low != key_low)
        return {9 + agreeing_bytes(other_low, key_low),
                key_low > other_low ? right_link : left_link};
    const LastByte last = compare_last_byte(state, r, p);
    return {static_cast<std::uint32_t>(last.same ? longest : longest - 1), last.side};
}

// `other` is bytes 1..8 of p's key, already loaded; the rest is read from p_bytes only in the
// rare case that those agree.
[[gnu::always_inline]] inline Order compare_keys(const EncoderState& state, std::int32_t r,
                                                 u128 key, std::uint64_t other, std::int32_t p,
                                                 const std::uint8_t* p_bytes) {
    const std::uint64_t high = high_half(key);
    if (other != high) [[likely]]
        return {1 + agreeing_bytes(other, high), high > other ? right_link : left_link};
    return compare_beyond_eight(state, r, key, p, p_bytes);
}

// Only a strictly longer match replaces the best one. Whether this node matches longer
// depends on the data; a select, not a branch.
void keep_longer(PackedMatch& best, std::uint32_t length, std::int32_t p) {
    const PackedMatch candidate = length << 16;
    best = candidate > best ? candidate | static_cast<PackedMatch>(p) : best;
}

// An 18-byte match ends the walk with r in p's place.
PackedMatch full_match(std::int32_t p) {
    return static_cast<PackedMatch>(longest) << 16 | static_cast<PackedMatch>(p);
}

// Takes one step down; true when the walk is over, with r hung on an empty link or put in
// place of an 18-byte match. Only a strictly longer match replaces the best one.
template <class BytesAt>
[[gnu::always_inline]] inline bool step_walk(EncoderState& state, Walk& w, BytesAt bytes_at) {
    Link& link = state.links[w.at];
    if (link == nil_link) {
        hang(state, w.r, w.at);
        return true;
    }
    const std::int32_t p = link;

    const std::uint8_t* const p_bytes = bytes_at(p);
    const Order o = compare_keys(state, w.r, w.key, load_be64(p_bytes + 1), p, p_bytes);
    if (o.length == static_cast<std::uint32_t>(longest)) [[unlikely]] {
        w.best = full_match(p);
        replace_node(state, p, w.r, link);
        return true;
    }
    w.at = link_at(p, o.side);
    keep_longer(w.best, o.length, p);
    return false;
}

[[gnu::always_inline]] inline bool step_walk(EncoderState& state, Walk& w) {
    return step_walk(state, w, FromWindow{state.window.data()});
}

// A node's two links as one number, left in the low half: one load gives both children.
std::uint32_t load_children(const EncoderState& state, std::int32_t node) {
    std::uint32_t v = 0;
    std::memcpy(&v, &state.links[link_at(node, left_link)], sizeof v);
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
[[gnu::always_inline]] inline bool step_descent(EncoderState& state, Descent& d) {
    const std::int32_t p = d.p;
    const auto c0 = static_cast<std::int32_t>(d.p_children & 0xFFFF);
    const auto c1 = static_cast<std::int32_t>(d.p_children >> 16);
    const std::uint64_t k0 = load_be64(state.window.data() + c0 + 1);
    const std::uint64_t k1 = load_be64(state.window.data() + c1 + 1);
    const std::uint32_t l0 = load_children(state, c0);
    const std::uint32_t l1 = load_children(state, c1);

    const Order o = compare_keys(state, d.r, d.key, d.p_key, p, state.window.data() + p);
    if (o.length == static_cast<std::uint32_t>(longest)) [[unlikely]] {
        d.best = full_match(p);
        replace_node(state, p, d.r, state.links[above(state, p)]);
        return true;
    }
    const std::size_t side = o.side;
    keep_longer(d.best, o.length, p);
    const std::uint64_t pick = 0 - static_cast<std::uint64_t>(side);
    const auto c = static_cast<std::int32_t>(static_cast<std::uint64_t>(c0) ^
                                             ((static_cast<std::uint64_t>(c0 ^ c1)) & pick));
    if (c == NIL) {
        hang(state, d.r, link_at(p, side));
        return true;
    }
    d.p = c;
    d.p_key = k0 ^ ((k0 ^ k1) & pick);
    d.p_children = l0 ^ ((l0 ^ l1) & static_cast<std::uint32_t>(pick));
    return false;
}

// Walks on alone to the end and returns the longest match met. The first step is a plain one:
// it often ends the walk (inside runs, at an 18-byte match), and then loading the children
// ahead would be wasted.
[[gnu::always_inline]] inline PackedMatch finish_walk(EncoderState& state, Walk& w) {
    if (step_walk(state, w)) return w.best;
    const std::int32_t p = state.links[w.at];
    if (p == NIL) {
        hang(state, w.r, w.at);
        return w.best;
    }
    Descent d{
        w.r, w.key, w.best, p, load_be64(state.window.data() + p + 1), load_children(state, p)};
    while (!step_descent(state, d)) {
    }
    return d.best;
}

// Adds position r to its tree and returns the longest match met on the way.
PackedMatch insert_node(EncoderState& state, std::int32_t r, const std::uint8_t* key_bytes) {
    Walk w = start_walk(state, r, key_bytes);
    return finish_walk(state, w);
}

// Two walks in two different trees, which share no node: they are independent, so stepping
// them in turn lets the processor overlap the two chains of loads.
[[gnu::always_inline]] inline void walk_pair(EncoderState& state, Walk& w1, PackedMatch& match1,
                                             Walk& w2, PackedMatch& match2) {
    for (;;) {
        if (step_walk(state, w1)) {
            match1 = w1.best;
            match2 = finish_walk(state, w2);
            return;
        }
        if (step_walk(state, w2)) {
            match1 = finish_walk(state, w1);
            match2 = w2.best;
            return;
        }
    }
}

// Two insertions into two different trees, walked side by side.
void insert_pair(EncoderState& state, std::int32_t r1, const std::uint8_t* key1,
                 PackedMatch& match1, std::int32_t r2, const std::uint8_t* key2,
                 PackedMatch& match2) {
    Walk w1 = start_walk(state, r1, key1);
    Walk w2 = start_walk(state, r2, key2);
    walk_pair(state, w1, match1, w2, match2);
}

// Three insertions into three different trees: stepped in turn until one ends, then the other
// two as a pair.
void insert_triple(EncoderState& state, std::int32_t r1, const std::uint8_t* key1,
                   PackedMatch& match1, std::int32_t r2, const std::uint8_t* key2,
                   PackedMatch& match2, std::int32_t r3, const std::uint8_t* key3,
                   PackedMatch& match3) {
    Walk w1 = start_walk(state, r1, key1);
    Walk w2 = start_walk(state, r2, key2);
    Walk w3 = start_walk(state, r3, key3);
    for (;;) {
        if (step_walk(state, w1)) {
            match1 = w1.best;
            walk_pair(state, w2, match2, w3, match3);
            return;
        }
        if (step_walk(state, w2)) {
            match2 = w2.best;
            walk_pair(state, w1, match1, w3, match3);
            return;
        }
        if (step_walk(state, w3)) {
            match3 = w3.best;
            walk_pair(state, w1, match1, w2, match2);
            return;
        }
    }
}

// Takes position p out of its tree, if it is in one. A node with two children gives its
// place to the greatest node of its left subtree.
void delete_node(EncoderState& state, std::int32_t p) {
    if (above(state, p) == not_in_tree) return;

    std::int32_t q = 0;
    if (right(state, p) == nil_link) {
        q = left(state, p);
    } else if (left(state, p) == nil_link) {
        q = right(state, p);
    } else {
        q = left(state, p);
        if (right(state, q) != nil_link) {
            while (right(state, q) != nil_link) q = right(state, q);
            // q is a right child: its left subtree takes its place.
            state.links[above(state, q)] = left(state, q);
            above(state, left(state, q)) = above(state, q);
            left(state, q) = left(state, p);
            above(state, left(state, p)) = link_index(q, left_link);
        }
        right(state, q) = right(state, p);
        above(state, right(state, p)) = link_index(q, right_link);
    }

    above(state, q) = above(state, p);
    state.links[above(state, p)] = static_cast<Link>(q);
    above(state, p) = not_in_tree;
}

// The output side: bytes go out one at a time, and the first that would land at the end of
// the caller's buffer fails the whole call instead.
class Output {
public:
    explicit Output(std::span<std::uint8_t> out)
        : cursor_(out.data()), end_(out.data() + out.size()) {}

    [[nodiscard]] bool put_group(const std::array<std::uint8_t, group_capacity>& group,
                                 std::size_t length) {
        for (std::size_t k = 0; k < length; ++k) {
            if (cursor_ == end_) return false;
            *cursor_++ = group[k];
        }
        return true;
    }

    [[nodiscard]] std::uint8_t* cursor() const { return cursor_; }

private:
    std::uint8_t* cursor_;
    std::uint8_t* const end_;
};

// The tree operations, which do not depend on how the input gets coded. Step k (1 <= k < n)
// deletes the position that input byte k + 17 overwrites, stores that byte while the input
// lasts, and inserts the position of input byte k; its match is the one coded there if a
// decision falls on byte k. Input byte i sits at window position (4078 + i) mod 4096.
class Steps {
public:
    // Results are kept for the last `kept` steps, which covers every step the coder can still
    // ask for: it never looks back, and it looks at most 18 steps past the last one run.
    static constexpr std::size_t kept = 256;
    static constexpr std::size_t batch = 128;
    // How far back a node may start for its bytes to be read from the input instead of the
    // window: far enough to cover the stores still in flight.
    static constexpr std::size_t near_back = 16;

    Steps(EncoderState& state, std::span<const std::uint8_t> src) : state_(state), src_(src) {}

    // Inserts the 18 pre-filled positions before the input, then the first input byte's.
    void start() {
        const std::int32_t r = static_cast<std::int32_t>(first_write_pos);
        for (std::int32_t back = 1; back <= longest; ++back)
            static_cast<void>(insert_node(state_, r - back, window_at(r - back)));
        results_[0] = insert_node(state_, r, window_at(r));
    }

    // The match found when input byte i was inserted, running more steps when needed.
    [[nodiscard]] Match match_at(std::size_t i) {
        if (i > done_) run_through(std::min(done_ + batch, src_.size() - 1));
        return unpack(results_[i % kept]);
    }

private:
    static constexpr std::int32_t r_of(std::size_t k) {
        return static_cast<std::int32_t>((first_write_pos + k) & ring_mask);
    }
    static constexpr std::int32_t s_of(std::size_t k) {
        return static_cast<std::int32_t>((k - 1) & ring_mask);
    }

    [[nodiscard]] const std::uint8_t* window_at(std::int32_t pos) const {
        return state_.window.data() + pos;
    }

    // The 18 bytes at the position of input byte k: the input itself while it lasts; past
    // its end the window's stale bytes count too, and only the window has them.
    [[nodiscard]] const std::uint8_t* key_of(std::size_t k) const {
        return k + longest <= src_.size() ? src_.data() + k : window_at(r_of(k));
    }

    void overwrite(std::size_t k) {
        const std::int32_t s = s_of(k);
        delete_node(state_, s);
        if (k + longest - 1 >= src_.size()) return;
        const std::uint8_t byte = src_[k + longest - 1];
        state_.window[static_cast<std::size_t>(s)] = byte;
        if (s < mirror_bytes) state_.window[static_cast<std::size_t>(ring_size + s)] = byte;
    }

    // Whether deleting position s leaves `tree` alone: s is in no tree, or in another one (a
    // node's tree is its first byte).
    [[nodiscard]] bool spares(std::int32_t s, std::uint8_t tree) const {
        return state_.above[static_cast<std::size_t>(s)] == not_in_tree ||
               state_.window[static_cast<std::size_t>(s)] != tree;
    }

    // Steps k and k + 1 may run side by side when both insertions go to different trees and
    // the position step k + 1 deletes is not in step k's tree: then no operation of one step
    // touches what the other's reads, in either order.
    [[nodiscard]] bool independent(std::size_t k) const {
        const std::uint8_t tree1 = src_[k];
        return tree1 != src_[k + 1] && spares(s_of(k + 1), tree1);
    }

    // Given that steps k and k + 1 may run side by side, whether step k + 2 may join them: its
    // insertion goes to a third tree, and the position it deletes is in neither earlier tree.
    [[nodiscard]] bool independent_third(std::size_t k) const {
        const std::uint8_t tree1 = src_[k];
        const std::uint8_t tree2 = src_[k + 1];
        const std::uint8_t tree3 = src_[k + 2];
        const std::int32_t s3 = s_of(k + 2);
        return tree3 != tree1 && tree3 != tree2 && spares(s3, tree1) && spares(s3, tree2);
    }

    // Inserts the position of input byte k. A step that cannot run beside the next one is
    // mostly inside a run (the next byte starts the same tree), and there the first node met
    // is one of the last few inserted, whose bytes were stored a moment ago: a wide load of
    // them would wait for those stores, so they are read from the input, which holds the
    // same bytes wherever the node's key lies wholly in what has been stored of it.
    [[nodiscard]] PackedMatch insert_alone(std::size_t k) {
        const std::uint8_t* const key = key_of(k);
        Walk w = start_walk(state_, r_of(k), key);
        const std::int32_t r = w.r;
        const bool key_from_input = k + longest <= src_.size();
        // The node `back` positions behind r starts at input byte k - back, which is in the
        // input when back <= k.
        const std::int32_t near =
            key_from_input ? static_cast<std::int32_t>(std::min<std::size_t>(k, near_back)) : 0;
        const std::uint8_t* const window = state_.window.data();
        const auto near_or_window = [=](std::int32_t p) {
            const std::int32_t back = (r - p) & ring_mask;
            return back <= near ? key - back : window + p;
        };
        if (step_walk(state_, w, near_or_window)) return w.best;
        return finish_walk(state_, w);
    }

    void run_through(std::size_t last) {
        std::size_t k = done_ + 1;
        while (k <= last) {
            if (k < last && independent(k)) {
                if (k + 1 < last && independent_third(k)) {
                    overwrite(k);
                    overwrite(k + 1);
                    overwrite(k + 2);
                    insert_triple(state_, r_of(k), key_of(k), results_[k % kept], r_of(k + 1),
                                  key_of(k + 1), results_[(k + 1) % kept], r_of(k + 2),
                                  key_of(k + 2), results_[(k + 2) % kept]);
                    k += 3;
                } else {
                    overwrite(k);
                    overwrite(k + 1);
                    insert_pair(state_, r_of(k), key_of(k), results_[k % kept], r_of(k + 1),
                                key_of(k + 1), results_[(k + 1) % kept]);
                    k += 2;
                }
            } else {
                overwrite(k);
                results_[k % kept] = insert_alone(k);
                k += 1;
            }
        }
        done_ = last;
    }

    EncoderState& state_;
    std::span<const std::uint8_t> src_;
    std::array<PackedMatch, kept> results_{};
    std::size_t done_ = 0;
};

} // namespace

std::uint8_t* compress_lzss(std::span<std::uint8_t> out, std::span<const std::uint8_t> src) {
    if (src.empty() || src.size() > max_input_size) return nullptr;

    const std::unique_ptr<EncoderState> owned(new (std::nothrow) EncoderState);
    if (!owned) return nullptr;
    EncoderState& state = *owned;
    init_state(state);
    const std::size_t n = src.size();
    std::copy_n(src.begin(), std::min<std::size_t>(n, max_match),
                state.window.begin() + static_cast<std::ptrdiff_t>(first_write_pos));

    Steps steps(state, src);
    steps.start();

    Output output(out);
    std::array<std::uint8_t, group_capacity> group{};
    std::uint8_t mask = 1;
    std::size_t group_length = 1;

    for (std::size_t i = 0; i < n;) {
        const Match match = steps.match_at(i);
        // Past the input's end the window holds stale bytes; a match must not count them.
        const std::int32_t ahead =
            static_cast<std::int32_t>(std::min<std::size_t>(n - i, max_match));
        const std::int32_t length = std::min(match.length, ahead);

        if (length <= literal_threshold) {
            group[0] = static_cast<std::uint8_t>(group[0] | mask);
            group[group_length++] = src[i];
            i += 1;
        } else {
            group[group_length++] = static_cast<std::uint8_t>(match.pos & 0xFF);
            group[group_length++] =
                static_cast<std::uint8_t>(((match.pos >> 4) & 0xF0) | (length - 3));
            i += static_cast<std::size_t>(length);
        }

        mask = static_cast<std::uint8_t>(mask << 1);
        if (mask == 0) {
            if (!output.put_group(group, group_length)) return nullptr;
            group[0] = 0;
            mask = 1;
            group_length = 1;
        }
    }

    if (group_length > 1 && !output.put_group(group, group_length)) return nullptr;
    return output.cursor();
}

} // namespace lzss
