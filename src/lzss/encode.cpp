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
// Why the work can be shared by two threads: the trees share no node, and each tree's
// operations follow from the input alone (a position goes into the tree of its first byte
// and leaves it 4079 steps later). So two threads that split the trees between them, each
// with its own copy of the state, together do exactly the plain algorithm's operations on
// every tree, and the coder takes each position's match from the thread that keeps its tree.
// Each thread still stores every byte into its window, which is cheap; it is worth it on
// large inputs whose work is spread over enough trees.
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
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

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
[[gnu::always_inline]] inline void insert_pair(EncoderState& state, std::int32_t r1,
                                               const std::uint8_t* key1, PackedMatch& match1,
                                               std::int32_t r2, const std::uint8_t* key2,
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
[[gnu::always_inline]] inline void delete_node(EncoderState& state, std::int32_t p) {
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
// The matches of the last `kept` steps (a power of two) are kept.
template <std::size_t kept>
class Steps {
public:
    static_assert(std::has_single_bit(kept));

    // How far back a node may start for its bytes to be read from the input instead of the
    // window: far enough to cover the stores still in flight.
    static constexpr std::size_t near_back = 16;

    Steps(EncoderState& state, std::span<const std::uint8_t> src,
          std::span<PackedMatch, kept> results)
        : state_(state), src_(src), results_(results) {}

    // Inserts the 18 pre-filled positions before the input, then the first input byte's.
    void start() {
        start_prefill();
        result(0) = insert_first();
    }

    // Runs the steps after the last one run, through step `last` (< n).
    void run_through(std::size_t last) {
        std::size_t k = done_ + 1;
        while (k <= last) {
            if (k < last && independent(k)) {
                if (k + 1 < last && independent_third(k)) {
                    overwrite(k);
                    overwrite(k + 1);
                    overwrite(k + 2);
                    insert_triple(state_, r_of(k), key_of(k), result(k), r_of(k + 1), key_of(k + 1),
                                  result(k + 1), r_of(k + 2), key_of(k + 2), result(k + 2));
                    k += 3;
                } else {
                    overwrite(k);
                    overwrite(k + 1);
                    insert_pair(state_, r_of(k), key_of(k), result(k), r_of(k + 1), key_of(k + 1),
                                result(k + 1));
                    k += 2;
                }
            } else {
                overwrite(k);
                result(k) = insert_alone(k);
                k += 1;
            }
        }
        done_ = last;
    }

protected:
    static constexpr std::int32_t r_of(std::size_t k) {
        return static_cast<std::int32_t>((first_write_pos + k) & ring_mask);
    }
    static constexpr std::int32_t s_of(std::size_t k) {
        return static_cast<std::int32_t>((k - 1) & ring_mask);
    }

    void start_prefill() {
        const std::int32_t r = static_cast<std::int32_t>(first_write_pos);
        for (std::int32_t back = 1; back <= longest; ++back)
            static_cast<void>(insert_node(state_, r - back, window_at(r - back)));
    }

    [[nodiscard]] PackedMatch insert_first() {
        const std::int32_t r = static_cast<std::int32_t>(first_write_pos);
        return insert_node(state_, r, window_at(r));
    }

    [[nodiscard]] const std::uint8_t* window_at(std::int32_t pos) const {
        return state_.window.data() + pos;
    }

    [[nodiscard]] PackedMatch& result(std::size_t k) { return results_[k % kept]; }

    // The 18 bytes at the position of input byte k: the input itself while it lasts; past
    // its end the window's stale bytes count too, and only the window has them.
    [[nodiscard]] const std::uint8_t* key_of(std::size_t k) const {
        return k + longest <= src_.size() ? src_.data() + k : window_at(r_of(k));
    }

    // Stores the byte step k writes, while the input lasts.
    void store(std::size_t k) {
        if (k + longest - 1 >= src_.size()) return;
        const std::int32_t s = s_of(k);
        const std::uint8_t byte = src_[k + longest - 1];
        state_.window[static_cast<std::size_t>(s)] = byte;
        if (s < mirror_bytes) state_.window[static_cast<std::size_t>(ring_size + s)] = byte;
    }

    void overwrite(std::size_t k) {
        delete_node(state_, s_of(k));
        store(k);
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

    EncoderState& state_;
    std::span<const std::uint8_t> src_;
    std::span<PackedMatch, kept> results_;
    std::size_t done_ = 0;
};

// The trees one thread keeps, by their first byte.
using TreeShare = std::array<bool, tree_count>;

// The steps of one thread that keeps a share of the trees. Since the trees share no node, two
// threads that split the trees between them do, together, exactly the plain algorithm's
// operations on each tree. Each stores every byte, so its window is the whole window, but it
// inserts only into its own trees and so deletes only from them.
//
// Its insertions are listed ahead, and its deletions follow from them: the position step k
// deletes is the one step k - 4079 inserted (or, for steps 4061..4078, a pre-filled one), so
// neither costs a question per step whose answer the processor could not guess. Between two
// of its insertions the steps only delete and store, and those need no order among
// themselves: a deletion reads no key. Consecutive insertions into different trees walk side
// by side where no deletion run early touches an earlier one's tree; the bytes stored early
// belong only to keys of positions deleted by then.
// How many steps ahead a thread that keeps a share of the trees runs at a time, and so how
// many results it keeps.
constexpr std::size_t shared_block = std::size_t{1} << 14;

class SharedSteps : private Steps<shared_block> {
public:
    SharedSteps(EncoderState& state, std::span<const std::uint8_t> src, const TreeShare& share,
                std::span<PackedMatch, shared_block> results)
        : Steps(state, src, results), share_(share), listed_() {}

    void start() {
        if (share_[prefill_byte]) {
            start_prefill();
            for (std::uint32_t back = bias; back >= 1; --back) list(bias - back);
        }
        if (share_[src_[0]]) {
            result(0) = insert_first();
            list(bias);
        }
        // Those are inserted; only their deletions are to come.
        next_ = tail_;
    }

    void run_through(std::size_t last) {
        for (std::size_t k = done_ + 1; k <= last; ++k) {
            listed_[tail_ & list_mask] = static_cast<std::uint32_t>(k + bias);
            tail_ += share_[src_[k]] ? 1 : 0;
        }
        while (next_ < tail_) run_group();
        catch_up(last);
        done_ = last;
    }

private:
    // Steps are listed as k + 18, so that the pre-filled positions' insertions, "steps" -18
    // to -1, fit too.
    static constexpr std::uint32_t bias = longest;
    // The list holds the insertions of the last 4079 steps, whose deletions are still to come,
    // and those of the steps listed ahead.
    static constexpr std::size_t list_size = std::size_t{1} << 15;
    static constexpr std::size_t list_mask = list_size - 1;
    static_assert(list_size >= shared_block + ring_size + longest);
    // Step k deletes what step k - 4079 inserted.
    static constexpr std::size_t delete_lag = first_write_pos + 1;

    void list(std::uint32_t biased_step) { listed_[tail_++ & list_mask] = biased_step; }

    [[nodiscard]] std::size_t listed(std::size_t at) const {
        return listed_[at & list_mask] - std::size_t{bias};
    }
    // The step that deletes what the listed insertion `at` inserted.
    [[nodiscard]] std::size_t deleted_by(std::size_t at) const {
        return listed_[at & list_mask] + (delete_lag - bias);
    }
    // The tree of what the listed insertion `at` inserted.
    [[nodiscard]] std::uint8_t tree_listed(std::size_t at) const {
        const std::uint32_t biased = listed_[at & list_mask];
        return biased < bias ? prefill_byte : src_[biased - bias];
    }

    // Runs the deletions and stores of every step through `to` not yet run. The counters are
    // kept in locals: the byte stores could otherwise change them, for all the compiler knows.
    void catch_up(std::size_t to) {
        for (std::size_t k = stored_ + 1; k <= to; ++k) store(k);
        stored_ = std::max(stored_, to);
        std::size_t at = deleted_;
        const std::size_t end = tail_;
        while (at < end && deleted_by(at) <= to) {
            delete_node(state_, s_of(deleted_by(at)));
            ++at;
        }
        deleted_ = at;
    }

    // Which of the next one and two listed insertions may walk beside the first: those go to
    // other trees, and the deletions run before them spare the trees of the earlier ones.
    // One pass over the deletions up to the third, without branches that depend on the data
    // but the pass's end.
    [[nodiscard]] std::size_t group_size(std::size_t k, std::size_t k2, std::size_t k3) const {
        const std::uint8_t tree1 = src_[k];
        const std::uint8_t tree2 = src_[k2];
        const std::uint8_t tree3 = src_[k3];
        bool pair = tree2 != tree1;
        bool triple = tree3 != tree1 && tree3 != tree2;
        for (std::size_t at = deleted_; at < tail_ && deleted_by(at) <= k3; ++at) {
            const std::size_t d = deleted_by(at);
            const std::uint8_t tree = tree_listed(at);
            pair &= !(d > k && d <= k2 && tree == tree1);
            triple &= !(d > k2 && (tree == tree1 || tree == tree2));
        }
        return pair ? (triple ? 3 : 2) : 1;
    }

    void run_group() {
        const std::size_t k = listed(next_);
        const std::size_t ahead = tail_ - next_ - 1;
        if (ahead == 0) {
            catch_up(k);
            result(k) = insert_alone(k);
            next_ += 1;
            return;
        }
        const std::size_t k2 = listed(next_ + 1);
        const std::size_t k3 = ahead >= 2 ? listed(next_ + 2) : k2;
        std::size_t size = group_size(k, k2, k3);
        if (ahead == 1) size = std::min<std::size_t>(size, 2);
        if (size == 1) {
            catch_up(k);
            result(k) = insert_alone(k);
        } else if (size == 2) {
            catch_up(k2);
            insert_pair(state_, r_of(k), key_of(k), result(k), r_of(k2), key_of(k2), result(k2));
        } else {
            catch_up(k3);
            insert_triple(state_, r_of(k), key_of(k), result(k), r_of(k2), key_of(k2), result(k2),
                          r_of(k3), key_of(k3), result(k3));
        }
        next_ += size;
    }

    const TreeShare share_;
    std::array<std::uint32_t, list_size> listed_;
    std::size_t tail_ = 0;    // listed insertions
    std::size_t next_ = 0;    // the first listed insertion not yet run
    std::size_t deleted_ = 0; // the first listed insertion whose position is not yet deleted
    std::size_t stored_ = 0;  // the last step whose byte is stored
};

// The coder: walks the input, takes the match found at each position where an item starts,
// and writes groups of a flag byte and up to eight items.
class Coder {
public:
    Coder(std::span<std::uint8_t> out, std::span<const std::uint8_t> src)
        : output_(out), src_(src) {}

    // Codes every item that starts at or before input byte `last`, whose matches `match_at`
    // gives; false when the output is full. The position and the group's state are kept in
    // locals: the byte stores could otherwise change them, for all the compiler knows.
    template <class MatchAt>
    [[nodiscard]] bool code_through(std::size_t last, MatchAt match_at) {
        const std::size_t n = src_.size();
        const std::size_t end = std::min(last + 1, n);
        std::size_t i = i_;
        std::uint8_t mask = mask_;
        std::size_t group_length = group_length_;
        bool fits = true;
        while (i < end) {
            const Match match = unpack(match_at(i));
            // Past the input's end the window holds stale bytes; a match must not count them.
            const std::int32_t ahead =
                static_cast<std::int32_t>(std::min<std::size_t>(n - i, max_match));
            const std::int32_t length = std::min(match.length, ahead);

            if (length <= literal_threshold) {
                group_[0] = static_cast<std::uint8_t>(group_[0] | mask);
                group_[group_length++] = src_[i];
                i += 1;
            } else {
                group_[group_length++] = static_cast<std::uint8_t>(match.pos & 0xFF);
                group_[group_length++] =
                    static_cast<std::uint8_t>(((match.pos >> 4) & 0xF0) | (length - 3));
                i += static_cast<std::size_t>(length);
            }

            mask = static_cast<std::uint8_t>(mask << 1);
            if (mask == 0) {
                if (!output_.put_group(group_, group_length)) {
                    fits = false;
                    break;
                }
                group_[0] = 0;
                mask = 1;
                group_length = 1;
            }
        }
        i_ = i;
        mask_ = mask;
        group_length_ = group_length;
        return fits;
    }

    // Writes the last, partial group; null when it does not fit, else the stream's end.
    [[nodiscard]] std::uint8_t* finish() {
        if (group_length_ > 1 && !output_.put_group(group_, group_length_)) return nullptr;
        return output_.cursor();
    }

private:
    Output output_;
    std::span<const std::uint8_t> src_;
    std::array<std::uint8_t, group_capacity> group_{};
    std::uint8_t mask_ = 1;
    std::size_t group_length_ = 1;
    std::size_t i_ = 0;
};

[[nodiscard]] std::unique_ptr<EncoderState> new_state(std::span<const std::uint8_t> src) {
    std::unique_ptr<EncoderState> state(new (std::nothrow) EncoderState);
    if (!state) return state;
    init_state(*state);
    std::copy_n(src.begin(), std::min<std::size_t>(src.size(), max_match),
                state->window.begin() + static_cast<std::ptrdiff_t>(first_write_pos));
    return state;
}

// One thread: the tree operations run a batch of steps ahead of the coder, which never looks
// back and asks only for steps already run.
std::uint8_t* compress_serial(std::span<std::uint8_t> out, std::span<const std::uint8_t> src) {
    const std::unique_ptr<EncoderState> state = new_state(src);
    if (!state) return nullptr;
    constexpr std::size_t batch = 128;
    std::array<PackedMatch, 2 * batch> results{};
    Steps<2 * batch> steps(*state, src, results);
    steps.start();
    Coder coder(out, src);
    const auto match_at = [&](std::size_t i) { return results[i % results.size()]; };
    for (std::size_t done = 0;;) {
        if (!coder.code_through(done, match_at)) return nullptr;
        if (done == src.size() - 1) break;
        done = std::min(done + batch, src.size() - 1);
        steps.run_through(done);
    }
    return coder.finish();
}

// Splits the trees in two shares of about equal work. An insertion or deletion in a tree costs
// about as many steps as the tree is deep, which grows with the log of the nodes it holds at a
// time, so each tree is weighed by its byte's count times that log. The threads meet after
// every block of steps, so the work must be even along the input, not only in all: a file
// that is half text and half code must not leave the text to one thread. So the weights are
// taken for each of up to 64 stretches of the input, the heaviest trees are dealt out first,
// and each goes to the share where it adds least to the sum over stretches of the heavier
// share's work, which is about how long the threads take.
struct Split {
    TreeShare first{};
    double speedup = 0; // the whole work over that sum: 2 at best
    double trees = 0;   // how many trees of equal weight would weigh as unevenly
};

[[nodiscard]] Split split_trees(std::span<const std::uint8_t> src) {
    constexpr std::size_t most_stretches = 64;
    constexpr std::size_t sampled = 4;
    const std::size_t stretch = std::max<std::size_t>(
        std::size_t{1} << 16, (src.size() + most_stretches - 1) / most_stretches);
    const std::size_t stretches = (src.size() + stretch - 1) / stretch;
    std::vector<std::array<double, tree_count>> weight(stretches);
    std::array<double, tree_count> total{};
    for (std::size_t c = 0; c < stretches; ++c) {
        const std::span<const std::uint8_t> part =
            src.subspan(c * stretch, std::min(stretch, src.size() - c * stretch));
        // Every fourth byte is counted: the split only needs to be about right, and on data
        // that one thread codes fast (long runs) a full count would be a tenth of its time.
        std::array<std::uint32_t, tree_count> count{};
        for (std::size_t i = 0; i < part.size(); i += sampled) ++count[part[i]];
        for (std::size_t b = 0; b < tree_count; ++b) {
            const double bytes = static_cast<double>(count[b] * sampled);
            const double held =
                bytes * static_cast<double>(ring_size) / static_cast<double>(part.size());
            weight[c][b] = bytes * (1.0 + std::log2(1.0 + held));
            total[b] += weight[c][b];
        }
    }
    std::array<std::uint8_t, tree_count> order{};
    for (std::size_t b = 0; b < tree_count; ++b) order[b] = static_cast<std::uint8_t>(b);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint8_t x, std::uint8_t y) { return total[x] > total[y]; });
    Split split;
    std::vector<double> first(stretches);
    std::vector<double> second(stretches);
    for (const std::uint8_t b : order) {
        double to_first = 0;
        double to_second = 0;
        for (std::size_t c = 0; c < stretches; ++c) {
            const double w = weight[c][b];
            const double heavier = std::max(first[c], second[c]);
            to_first += std::max(first[c] + w, second[c]) - heavier;
            to_second += std::max(first[c], second[c] + w) - heavier;
        }
        const bool into_first = to_first <= to_second;
        split.first[b] = into_first;
        for (std::size_t c = 0; c < stretches; ++c)
            (into_first ? first : second)[c] += weight[c][b];
    }
    double whole = 0;
    double longer = 0;
    for (std::size_t c = 0; c < stretches; ++c) {
        whole += first[c] + second[c];
        longer += std::max(first[c], second[c]);
    }
    split.speedup = longer > 0 ? whole / longer : 1;
    double squares = 0;
    for (const double w : total) squares += w * w;
    split.trees = squares > 0 ? whole * whole / squares : 0;
    return split;
}

[[nodiscard]] TreeShare other_share(const TreeShare& share) {
    TreeShare other{};
    for (std::size_t b = 0; b < tree_count; ++b) other[b] = !share[b];
    return other;
}

// Two threads, each keeping half the trees, run the steps a block at a time; after each
// block the calling thread codes it, taking each step's match from the results of the thread
// that keeps its tree. Each thread writes only its own results: interleaved in one array,
// the two would keep taking the same cache lines from each other. The helper thread waits
// while the block is coded.
class TwoThreads {
public:
    TwoThreads(std::span<const std::uint8_t> src, const TreeShare& share, EncoderState& state0,
               EncoderState& state1)
        : src_(src), share0_(share), share1_(other_share(share0_)),
          steps0_(state0, src, share0_, results0_), steps1_(state1, src, share1_, results1_) {}

    // False, with nothing done, when the helper thread cannot be started.
    [[nodiscard]] bool run(Coder& coder) {
        std::thread helper;
        try {
            helper = std::thread([this] { help(); });
        } catch (const std::system_error&) {
            return false;
        }
        steps0_.start();
        const std::size_t n = src_.size();
        const auto match_at = [this](std::size_t i) {
            return (share0_[src_[i]] ? results0_ : results1_)[i % block];
        };
        for (std::size_t last = std::min(block - 1, n - 1);; last = std::min(last + block, n - 1)) {
            hand_over(last);
            steps0_.run_through(last);
            wait_for_helper();
            fits_ = coder.code_through(last, match_at);
            if (!fits_ || last == n - 1) break;
        }
        hand_over(stop);
        helper.join();
        return true;
    }

    // Whether the stream fitted in the output, once run() has returned true.
    [[nodiscard]] bool fits() const { return fits_; }

private:
    static constexpr std::size_t block = shared_block;
    static constexpr std::size_t stop = ~std::size_t{0};

    void hand_over(std::size_t last) {
        {
            const std::lock_guard lock(mutex_);
            task_ = last;
            busy_ = true;
        }
        wake_.notify_all();
    }

    void wait_for_helper() {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return !busy_; });
    }

    void help() {
        steps1_.start();
        for (;;) {
            std::size_t last = 0;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return busy_; });
                last = task_;
            }
            if (last == stop) return;
            steps1_.run_through(last);
            {
                const std::lock_guard lock(mutex_);
                busy_ = false;
            }
            wake_.notify_all();
        }
    }

    std::span<const std::uint8_t> src_;
    const TreeShare share0_;
    const TreeShare share1_;
    std::array<PackedMatch, block> results0_{};
    std::array<PackedMatch, block> results1_{};
    // Apart, on cache lines of their own: each thread updates its counters all the time.
    alignas(64) SharedSteps steps0_;
    alignas(64) SharedSteps steps1_;
    alignas(64) std::mutex mutex_;
    std::condition_variable wake_;
    std::size_t task_ = 0;
    bool busy_ = false;
    bool fits_ = false;
};

// Two threads pay for starting one from about this much input on.
constexpr std::size_t two_threads_from = std::size_t{1} << 18;
// ... and when the work is spread over enough trees, and evenly enough along the input that
// two threads would take at most 1 / two_threads_speedup of one's time. Each thread stores every
// byte and lists its insertions, which its share must be large enough to pay for; and a thread left
// with one or two busy trees cannot walk insertions side by side (in a long run of one byte, or of
// two alternating bytes, one thread alone does better).
constexpr double two_threads_speedup = 1.4;
constexpr double two_threads_trees = 8;

// False when a thread cannot be started or memory runs out; else `end` is the result.
[[nodiscard]] bool compress_two_threads(std::span<std::uint8_t> out,
                                        std::span<const std::uint8_t> src, const TreeShare& share,
                                        std::uint8_t*& end) {
    const std::unique_ptr<EncoderState> state0 = new_state(src);
    const std::unique_ptr<EncoderState> state1 = new_state(src);
    const std::unique_ptr<TwoThreads> threads(
        state0 && state1 ? new (std::nothrow) TwoThreads(src, share, *state0, *state1) : nullptr);
    if (!threads) return false;
    Coder coder(out, src);
    if (!threads->run(coder)) return false;
    end = threads->fits() ? coder.finish() : nullptr;
    return true;
}

} // namespace

std::uint8_t* compress_lzss(std::span<std::uint8_t> out, std::span<const std::uint8_t> src) {
    return compress_lzss(out, src, 0);
}

std::uint8_t* compress_lzss(std::span<std::uint8_t> out, std::span<const std::uint8_t> src,
                            unsigned threads) {
    if (src.empty() || src.size() > max_input_size) return nullptr;
    if (threads == 1 || (threads == 0 && (src.size() < two_threads_from ||
                                          std::thread::hardware_concurrency() < 2)))
        return compress_serial(out, src);
    const Split split = split_trees(src);
    std::uint8_t* end = nullptr;
    if ((threads >= 2 ||
         (split.speedup >= two_threads_speedup && split.trees >= two_threads_trees)) &&
        compress_two_threads(out, src, split.first, end))
        return end;
    return compress_serial(out, src);
}

} // namespace lzss
