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
// The trees are index arrays inside one heap block: a link of NIL (4096) is empty, and the
// 256 roots are right[4097 + b]. A node's left and right links sit side by side, so the walk
// picks the next one by indexing with the comparison's sign instead of branching. Keys are
// compared as two big-endian 8-byte numbers (bytes 1..16) and byte 17 alone, which finds the
// same first difference, and the same order, as a byte-by-byte loop. Updates made through an empty
// link land in parent[4096], which is never read as a link. The window carries 17 mirror bytes past
// position 4095 so that the 18 bytes from any position compare without wrapping; they start as 0x00
// and only input stored below position 17 writes them.
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

// A node's two links side by side, so that one load serves the walk whichever way it goes:
// child[0] is the left link, child[1] the right one.
// Beside them, the node's key bytes 1..8 as a big-endian number: the walk then finds the
// next link and the first half of its comparison in one place, without a second dependent
// load from the window. A node's 18 window bytes never change while it is in a tree (input
// overwrites a position only after deleting it, and every mirror byte a key covers was
// written before the key's position was inserted), so the copy stays exact.
struct Links {
    std::array<std::int32_t, 2> child;
    std::uint64_t key_low;
};
constexpr std::size_t left_link = 0;
constexpr std::size_t right_link = 1;

struct EncoderState {
    // Nodes 0..4095, the unused NIL slot 4096, then the 256 roots (only their right link).
    std::array<Links, root_base + tree_count> links;
    std::array<std::int32_t, ring_size + 1> parent;
    std::array<std::uint8_t, ring_size + mirror_bytes> window;
    std::int32_t best_pos;
    std::int32_t best_len;
};

void init_state(EncoderState& state) {
    std::memset(&state, 0, sizeof state);
    std::fill_n(state.window.begin(), first_write_pos, prefill_byte);
    for (std::int32_t b = 0; b < tree_count; ++b)
        state.links[static_cast<std::size_t>(root_base + b)].child[right_link] = NIL;
    std::fill_n(state.parent.begin(), ring_size, NIL);
}

[[nodiscard]] std::int32_t& left(EncoderState& state, std::int32_t node) {
    return state.links[static_cast<std::size_t>(node)].child[left_link];
}
[[nodiscard]] std::int32_t& right(EncoderState& state, std::int32_t node) {
    return state.links[static_cast<std::size_t>(node)].child[right_link];
}
[[nodiscard]] std::int32_t& parent(EncoderState& state, std::int32_t node) {
    return state.parent[static_cast<std::size_t>(node)];
}

// Puts r where p was: r inherits p's parent and both children, and p leaves the tree.
void replace_node(EncoderState& state, std::int32_t p, std::int32_t r) {
    parent(state, r) = parent(state, p);
    state.links[static_cast<std::size_t>(r)] = state.links[static_cast<std::size_t>(p)];
    parent(state, left(state, p)) = r;
    parent(state, right(state, p)) = r;
    const std::int32_t above = parent(state, p);
    if (right(state, above) == p)
        right(state, above) = r;
    else
        left(state, above) = r;
    parent(state, p) = NIL;
}

// Eight bytes as a big-endian number: comparing two such numbers orders them as their
// first differing byte does, which is what the byte-by-byte comparison decides on.
std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

// Key bytes 1..17 of the position being inserted, loaded once for the whole walk.
struct Key {
    std::uint64_t low;  // bytes 1..8, big-endian
    std::uint64_t high; // bytes 9..16, big-endian
    std::uint8_t last;  // byte 17
};

// How far the key and the 18 bytes at `other` agree (1..18; byte 0 always does) and on
// which side of `other` the key goes (right when greater or equal), as the byte-by-byte
// comparison gives them: bytes 1..16 as two numbers, byte 17 only when those agree.
struct Comparison {
    std::int32_t length;
    std::size_t side;
};

Comparison compare_key(const Key& key, std::uint64_t other_low, const std::uint8_t* other) {
    if (const std::uint64_t o = other_low; o != key.low)
        return {1 + std::countl_zero(o ^ key.low) / 8, key.low > o ? right_link : left_link};
    if (const std::uint64_t o = load_be64(other + 9); o != key.high)
        return {9 + std::countl_zero(o ^ key.high) / 8, key.high > o ? right_link : left_link};
    const std::uint8_t o = other[longest - 1];
    if (o != key.last) return {longest - 1, key.last > o ? right_link : left_link};
    return {longest, right_link};
}

// Adds position r to its tree and leaves the longest match met on the way in best_pos and
// best_len. `key` holds the 18 bytes at window[r], read from wherever they are known to be
// equal: the input itself when it can be, so the walk does not load window bytes that were
// stored a moment ago.
void insert_node(EncoderState& state, std::int32_t r, const std::uint8_t* key_bytes) {
    const Key key{load_be64(key_bytes + 1), load_be64(key_bytes + 9), key_bytes[longest - 1]};
    const std::uint8_t* const window = state.window.data();
    std::int32_t p = root_base + key_bytes[0];
    std::size_t side = right_link;
    state.links[static_cast<std::size_t>(r)] = {{NIL, NIL}, key.low};
    std::int32_t best_len = 0;
    std::int32_t best_pos = state.best_pos;

    for (;;) {
        std::int32_t& link = state.links[static_cast<std::size_t>(p)].child[side];
        if (link == NIL) {
            link = r;
            parent(state, r) = p;
            state.best_len = best_len;
            state.best_pos = best_pos;
            return;
        }
        p = link;

        const Comparison c =
            compare_key(key, state.links[static_cast<std::size_t>(p)].key_low, window + p);
        side = c.side;
        // Whether this node matches longer depends on the data; selects, not a branch.
        const bool longer = c.length > best_len;
        best_pos = longer ? p : best_pos;
        best_len = longer ? c.length : best_len;
        if (c.length >= longest) break;
    }

    state.best_len = best_len;
    state.best_pos = best_pos;
    replace_node(state, p, r);
}

// Takes position p out of its tree, if it is in one. A node with two children gives its
// place to the greatest node of its left subtree.
void delete_node(EncoderState& state, std::int32_t p) {
    if (parent(state, p) == NIL) return;

    std::int32_t q = 0;
    if (right(state, p) == NIL) {
        q = left(state, p);
    } else if (left(state, p) == NIL) {
        q = right(state, p);
    } else {
        q = left(state, p);
        if (right(state, q) != NIL) {
            while (right(state, q) != NIL) q = right(state, q);
            right(state, parent(state, q)) = left(state, q);
            parent(state, left(state, q)) = parent(state, q);
            left(state, q) = left(state, p);
            parent(state, left(state, p)) = q;
        }
        right(state, q) = right(state, p);
        parent(state, right(state, p)) = q;
    }

    const std::int32_t above = parent(state, p);
    parent(state, q) = above;
    if (right(state, above) == p)
        right(state, above) = q;
    else
        left(state, above) = q;
    parent(state, p) = NIL;
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

const std::uint8_t* window_at(const EncoderState& state, std::int32_t pos) {
    return state.window.data() + pos;
}

constexpr std::int32_t next_pos(std::int32_t pos) {
    return (pos + 1) & ring_mask;
}

} // namespace

std::uint8_t* compress_lzss(std::span<std::uint8_t> out, std::span<const std::uint8_t> src) {
    if (src.empty() || src.size() > max_input_size) return nullptr;

    const std::unique_ptr<EncoderState> owned(new (std::nothrow) EncoderState);
    if (!owned) return nullptr;
    EncoderState& state = *owned;
    init_state(state);

    Output output(out);
    std::array<std::uint8_t, group_capacity> group{};
    std::uint8_t mask = 1;
    std::size_t group_length = 1;
    std::int32_t s = 0;
    std::int32_t r = static_cast<std::int32_t>(first_write_pos);

    const std::uint8_t* in = src.data();
    const std::uint8_t* const in_end = in + src.size();
    std::int32_t ahead = 0;
    while (ahead < longest && in != in_end)
        state.window[static_cast<std::size_t>(r + ahead++)] = *in++;

    // The 18 positions before the input hold pre-fill followed by the first input bytes.
    for (std::int32_t back = 1; back <= longest; ++back)
        insert_node(state, r - back, window_at(state, r - back));
    insert_node(state, r, window_at(state, r));

    while (ahead > 0) {
        // Past the lookahead the window holds stale bytes; a match must not count them.
        if (state.best_len > ahead) state.best_len = ahead;

        if (state.best_len <= literal_threshold) {
            state.best_len = 1;
            group[0] = static_cast<std::uint8_t>(group[0] | mask);
            group[group_length++] = state.window[static_cast<std::size_t>(r)];
        } else {
            group[group_length++] = static_cast<std::uint8_t>(state.best_pos & 0xFF);
            group[group_length++] =
                static_cast<std::uint8_t>(((state.best_pos >> 4) & 0xF0) | (state.best_len - 3));
        }

        mask = static_cast<std::uint8_t>(mask << 1);
        if (mask == 0) {
            if (!output.put_group(group, group_length)) return nullptr;
            group[0] = 0;
            mask = 1;
            group_length = 1;
        }

        const std::int32_t last = state.best_len;
        std::int32_t step = 0;
        for (; step < last && in != in_end; ++step) {
            delete_node(state, s);
            const std::uint8_t byte = *in++;
            state.window[static_cast<std::size_t>(s)] = byte;
            if (s < mirror_bytes) state.window[static_cast<std::size_t>(ring_size + s)] = byte;
            s = next_pos(s);
            r = next_pos(r);
            // The 18 bytes at r are the last 18 input bytes.
            insert_node(state, r, in - longest);
        }
        for (; step < last; ++step) {
            delete_node(state, s);
            s = next_pos(s);
            r = next_pos(r);
            if (--ahead != 0) insert_node(state, r, window_at(state, r));
        }
    }

    if (group_length > 1 && !output.put_group(group, group_length)) return nullptr;
    return output.cursor();
}

} // namespace lzss
