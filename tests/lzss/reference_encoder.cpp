// The plain encoder, kept step for step as the one the production encoder must agree with
// byte for byte. It walks the search trees exactly in the order that fixes the output:
// insert the position being coded, remembering the longest match met on the way down
// (only a strictly longer one replaces it), let an 18-byte match take the older node's
// place, and delete each position as the input overwrites it.
//
// The trees are plain vectors of indices: NIL (4096) is an empty link, the 256 roots are
// right[4097 + b], and updates through an empty link land in parent[4096]. The window
// carries 17 mirror bytes past position 4095, 0x00 until input stored below position 17
// writes them; positions 0..4077 hold the decoder's pre-fill. The items are collected in a
// list and only turned into groups of a flag byte and eight items at the end.
#include "reference_encoder.hpp"

#include "lzss.hpp"

#include <algorithm>
#include <vector>

namespace lzss_reference {

using lzss::max_input_size;
using lzss::max_match;
using lzss::min_match;
using lzss::window_size;

namespace {

constexpr int ring_size = static_cast<int>(window_size);
constexpr int longest = static_cast<int>(max_match);
constexpr int NIL = ring_size;
constexpr int root_base = ring_size + 1;

struct EncoderState {
    std::vector<int> left;
    std::vector<int> right;
    std::vector<int> parent;
    std::vector<std::uint8_t> window;
    int best_pos = 0;
    int best_len = 0;
    TreeCounts counts;
};

// Empty trees, and a window that reads as the decoder's: 0x00 before the input, and 0x00 in
// the 17 mirror bytes until the input reaches the positions they copy.
EncoderState make_state() {
    EncoderState state;
    state.left.assign(ring_size + 1, NIL);
    state.right.assign(root_base + 256, NIL);
    state.parent.assign(ring_size + 1, NIL);
    state.window.assign(ring_size + longest - 1, 0x00);
    return state;
}

// Puts r where p was: r inherits p's parent and both children, and p leaves the tree.
void replace_node(EncoderState& state, std::int32_t p, std::int32_t r) {
    ++state.counts.replacements;
    state.parent[r] = state.parent[p];
    state.left[r] = state.left[p];
    state.right[r] = state.right[p];
    state.parent[state.left[p]] = r;
    state.parent[state.right[p]] = r;
    if (state.right[state.parent[p]] == p)
        state.right[state.parent[p]] = r;
    else
        state.left[state.parent[p]] = r;
    state.parent[p] = NIL;
}

// Adds position r to its tree and leaves the longest match met on the way in best_pos and
// best_len.
void insert_node(EncoderState& state, std::int32_t r) {
    const std::uint8_t* const key = &state.window[static_cast<std::size_t>(r)];
    std::int32_t cmp = 1;
    std::int32_t p = root_base + key[0];
    state.left[r] = NIL;
    state.right[r] = NIL;
    state.best_len = 0;

    for (;;) {
        if (cmp >= 0) {
            if (state.right[p] == NIL) {
                state.right[p] = r;
                state.parent[r] = p;
                return;
            }
            p = state.right[p];
        } else {
            if (state.left[p] == NIL) {
                state.left[p] = r;
                state.parent[r] = p;
                return;
            }
            p = state.left[p];
        }

        // Byte 0 matches: every node of this tree starts with it.
        const std::uint8_t* const other = &state.window[static_cast<std::size_t>(p)];
        std::int32_t i = 1;
        cmp = 0;
        for (; i < longest; ++i) {
            cmp = key[i] - other[i];
            if (cmp != 0) break;
        }

        if (i > state.best_len) {
            state.best_pos = p;
            state.best_len = i;
            if (state.best_len >= longest) break;
        }
    }

    replace_node(state, p, r);
}

// Takes position p out of its tree, if it is in one. A node with two children gives its
// place to the greatest node of its left subtree.
void delete_node(EncoderState& state, std::int32_t p) {
    if (state.parent[p] == NIL) return;
    ++state.counts.deletions;

    std::int32_t q = 0;
    if (state.right[p] == NIL) {
        q = state.left[p];
    } else if (state.left[p] == NIL) {
        q = state.right[p];
    } else {
        q = state.left[p];
        if (state.right[q] != NIL) {
            ++state.counts.two_child_moved;
            while (state.right[q] != NIL) q = state.right[q];
            state.right[state.parent[q]] = state.left[q];
            state.parent[state.left[q]] = state.parent[q];
            state.left[q] = state.left[p];
            state.parent[state.left[p]] = q;
        } else {
            ++state.counts.two_child_adjacent;
        }
        state.right[q] = state.right[p];
        state.parent[state.right[p]] = q;
    }

    state.parent[q] = state.parent[p];
    if (state.right[state.parent[p]] == p)
        state.right[state.parent[p]] = q;
    else
        state.left[state.parent[p]] = q;
    state.parent[p] = NIL;
}

// One coded item: a literal byte, or a reference to `length` bytes at window position `pos`.
struct Item {
    bool literal;
    std::uint8_t byte;
    int pos;
    int length;
};

// The stream for a list of items: each group is a flag byte, bit j set when item j of the
// group is a literal, then the group's items.
std::vector<std::uint8_t> group_items(const std::vector<Item>& items) {
    std::vector<std::uint8_t> stream;
    for (std::size_t first = 0; first < items.size(); first += 8) {
        const std::size_t count = std::min<std::size_t>(8, items.size() - first);
        unsigned flags = 0;
        for (std::size_t j = 0; j < count; ++j)
            if (items[first + j].literal) flags |= 1u << j;
        stream.push_back(static_cast<std::uint8_t>(flags));
        for (std::size_t j = 0; j < count; ++j) {
            const Item& item = items[first + j];
            if (item.literal) {
                stream.push_back(item.byte);
            } else {
                stream.push_back(static_cast<std::uint8_t>(item.pos % 256));
                stream.push_back(
                    static_cast<std::uint8_t>((item.pos / 256) * 16 + (item.length - 3)));
            }
        }
    }
    return stream;
}

} // namespace

std::uint8_t* compress_lzss_counting(std::span<std::uint8_t> out, std::span<const std::uint8_t> src,
                                     TreeCounts& counts) {
    if (src.empty() || src.size() > max_input_size) return nullptr;

    EncoderState state = make_state();
    std::vector<Item> items;
    int s = 0;
    int r = ring_size - longest;

    std::size_t next = 0; // the next input byte to enter the window
    int ahead = 0;
    while (ahead < longest && next < src.size()) {
        state.window[static_cast<std::size_t>(r + ahead)] = src[next];
        ++ahead;
        ++next;
    }

    // The 18 positions before the input hold pre-fill followed by the first input bytes.
    for (int back = 1; back <= longest; ++back) insert_node(state, r - back);
    insert_node(state, r);

    while (ahead > 0) {
        // Past the lookahead the window holds stale bytes; a match must not count them.
        if (state.best_len > ahead) state.best_len = ahead;
        if (state.best_len < static_cast<int>(min_match)) {
            state.best_len = 1;
            items.push_back({true, state.window[static_cast<std::size_t>(r)], 0, 0});
        } else {
            items.push_back({false, 0, state.best_pos, state.best_len});
        }

        const int last = state.best_len;
        for (int step = 0; step < last; ++step) {
            delete_node(state, s);
            if (next < src.size()) {
                const std::uint8_t byte = src[next++];
                state.window[static_cast<std::size_t>(s)] = byte;
                if (s < longest - 1) state.window[static_cast<std::size_t>(ring_size + s)] = byte;
            } else {
                --ahead;
            }
            s = (s + 1) % ring_size;
            r = (r + 1) % ring_size;
            if (ahead != 0) insert_node(state, r);
        }
    }

    counts.replacements += state.counts.replacements;
    counts.deletions += state.counts.deletions;
    counts.two_child_moved += state.counts.two_child_moved;
    counts.two_child_adjacent += state.counts.two_child_adjacent;
    const std::vector<std::uint8_t> stream = group_items(items);
    std::copy_n(stream.begin(), std::min(stream.size(), out.size()), out.begin());
    if (stream.size() > out.size()) return nullptr;
    return out.data() + stream.size();
}

std::uint8_t* compress_lzss(std::span<std::uint8_t> out, std::span<const std::uint8_t> src) {
    TreeCounts ignored;
    return compress_lzss_counting(out, src, ignored);
}

} // namespace lzss_reference
