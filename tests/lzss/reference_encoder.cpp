// The plain encoder, kept step for step as the one the production encoder must agree with
// byte for byte. It walks the search trees exactly in the order that fixes the output:
// insert the position being coded, remembering the longest match met on the way down
// (only a strictly longer one replaces it), let an 18-byte match take the older node's
// place, and delete each position as the input overwrites it.
//
// The trees are index arrays in one heap block: NIL (4096) is an empty link, the 256 roots
// are right[4097 + b], and updates through an empty link land in parent[4096]. The window
// carries 17 mirror bytes past position 4095, 0x00 until input stored below position 17
// writes them; positions 0..4077 hold the decoder's pre-fill.
#include "reference_encoder.hpp"

#include "lzss.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

namespace lzss_reference {

using lzss::first_write_pos;
using lzss::max_input_size;
using lzss::max_match;
using lzss::min_match;
using lzss::window_size;

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

struct EncoderState {
    std::array<std::int32_t, ring_size + 1> left;
    std::array<std::int32_t, root_base + tree_count> right;
    std::array<std::int32_t, ring_size + 1> parent;
    std::array<std::uint8_t, ring_size + mirror_bytes> window;
    std::int32_t best_pos;
    std::int32_t best_len;
};

void init_state(EncoderState& state) {
    std::memset(&state, 0, sizeof state);
    std::fill_n(state.window.begin(), first_write_pos, prefill_byte);
    std::fill(state.right.begin() + root_base, state.right.end(), NIL);
    std::fill_n(state.parent.begin(), ring_size, NIL);
}

// Puts r where p was: r inherits p's parent and both children, and p leaves the tree.
void replace_node(EncoderState& state, std::int32_t p, std::int32_t r) {
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

    std::int32_t q = 0;
    if (state.right[p] == NIL) {
        q = state.left[p];
    } else if (state.left[p] == NIL) {
        q = state.right[p];
    } else {
        q = state.left[p];
        if (state.right[q] != NIL) {
            while (state.right[q] != NIL) q = state.right[q];
            state.right[state.parent[q]] = state.left[q];
            state.parent[state.left[q]] = state.parent[q];
            state.left[q] = state.left[p];
            state.parent[state.left[p]] = q;
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
    for (std::int32_t back = 1; back <= longest; ++back) insert_node(state, r - back);
    insert_node(state, r);

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
            insert_node(state, r);
        }
        for (; step < last; ++step) {
            delete_node(state, s);
            s = next_pos(s);
            r = next_pos(r);
            if (--ahead != 0) insert_node(state, r);
        }
    }

    if (group_length > 1 && !output.put_group(group, group_length)) return nullptr;
    return output.cursor();
}

} // namespace lzss_reference
