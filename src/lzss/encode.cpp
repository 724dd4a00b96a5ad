// The LZSS encoder.
//
// THE ALGORITHM. Every window position that has been coded sits in one of 256 search trees,
// chosen by its first byte and keyed by the 18 bytes that start there. Coding a byte takes
// two tree operations: delete the position that the byte 17 ahead overwrites in the ring
// (delete_node), then insert the byte's own position (insert_node), whose walk down its tree
// finds the longest earlier match: the first node met among those of the greatest length, and
// at 18 bytes the node the new position replaces. Where the match is 3 bytes or longer the
// coder emits a reference to it and skips that many bytes, otherwise a literal; the tree
// operations go on for every byte, skipped or not. Positions 0..4077 are pre-filled with the
// byte the decoder assumes there, and the 18 just before the input start in the trees, so a
// match that reaches into them restores exactly what the decoder will produce.
//
// WHY THE SEARCH IS NOT CAPPED. Other encoders bound the work per byte: a hash chain followed
// for a fixed number of links, a tree walk cut off at a depth, a "good enough" length. Any such
// cap changes which match is found on some input, and so the stream. This encoder's output is
// fixed to the byte (it must reproduce the plain tree encoder's streams exactly), so every walk
// must run to the end and every tie must break as the plain algorithm breaks it. Everything
// below makes the same steps cheaper; none of it skips one.
//
// THE OPTIMISATIONS, each keeping the output:
// - the state is small enough for the first-level cache: 16-bit links, a node's two links side
//   by side, and in place of a parent pointer the link that leads to the node (trees.hpp);
// - keys compare eight bytes at a time as big-endian numbers (trees.hpp);
// - the tree operations do not depend on what gets coded, so they run in batches ahead of the
//   coder, and two or three insertions into different trees walk side by side, overlapping
//   their chains of loads; a walk left alone loads both children ahead (Steps, below);
// - keys are read from the input rather than the window where both hold the same bytes, so a
//   wide load does not wait for bytes stored a moment ago (Steps, below);
// - a tree whose walks grow long, as on sorted data where a linked tree degenerates into a
//   chain, is held as a sorted index that finds the same matches at a cost that does not depend
//   on the shape (index.cpp).
//
// THE TUNING: every constant chosen by measurement is in one block at the top of trees.hpp,
// with a line each on why it has its value.
//
// THE FILES: encoder/trees.hpp (state, keys, walks, insert_node, delete_node),
// encoder/index.hpp (the seam to the sorted index) and encoder/index.cpp (the index itself,
// and when a tree changes form), encoder/no_index.hpp (the seam in a build without the index),
// encoder/check.hpp (a checker of every tree, built only into the address-checking and fuzzing
// builds), and this one (the state, the scheduling of the tree operations, and the output in
// groups).
//
// A MAP FOR A NEWCOMER.
//
// Reading order. This essay; lzss.hpp (the stream, the entry point); encode() at the end of
// this file, the coder, which asks for the match at each input byte and writes a literal or a
// reference; trees.hpp from the tuning block down to insert_node and delete_node, which are
// the plain algorithm made cheaper; the Steps class below, which runs the tree operations
// ahead of the coder; walk_pair and insert_triple in trees.hpp; index.hpp for the seam, and
// index.cpp only once you need the index itself (its opening comment shows why it finds what
// the walks find). tests/lzss/reference_encoder.cpp is the plain encoder, step by step, that
// every stream is checked against.
//
// The names:
// - n: the input's length; i: an input byte, as the coder sees it (where an item starts);
// - k: a step. Step k makes room for input byte k + 17 and inserts the position of input byte
//   k; step 0 is the start (Steps::start);
// - r, r_of(k): the position being inserted, input byte k's: (4078 + k) mod 4096;
// - s, s_of(k): the position step k deletes and then stores input byte k + 17 at;
// - p: a node a walk meets, or a position being deleted;
// - q: the node that takes a deleted node's place (its only child, or its heir).
//
// The step arithmetic. Input byte j is stored at window position (4078 + j) mod 4096, so that
// the first 18 sit at 4078..4095 as the format has it. Inserting input byte k's position needs
// its 18 bytes, k .. k + 17, in the window; all but the last were stored by earlier steps, so
// step k must store byte k + 17, at (4078 + k + 17) mod 4096 = (k + 4095) mod 4096 =
// (k - 1) mod 4096. Whatever position held that slot leaves its tree first, since its key is
// about to change. Hence s_of(k) = (k - 1) & ring_mask, which is r_of(k) + 17: step 1 deletes
// position 0, the first beyond the 18 bytes copied in at the start.
//
// The side-by-side rule. Step k is three operations: delete s_of(k), store a byte there, insert
// r_of(k) into tree T(k) (its first byte, input byte k). Steps k and k + 1 run as: both
// deletions and stores, then both insertions, stepped in turn. That is the same as running
// them one after the other when (a) inserting r_of(k) and deleting s_of(k + 1) touch different
// trees, so they may swap: s_of(k + 1) is in no tree or not in T(k); (b) the two insertions
// touch different trees: T(k) != T(k + 1); (c) no key that either walk reads changes under
// it: the byte stored at s_of(k + 1) = r_of(k) + 18 is outside r_of(k)'s key, and every
// position whose key covers it (the 17 before it) was deleted by an earlier step and not yet
// inserted again; and (d) both trees are linked, as only a linked walk can be stepped. Step
// k + 2 joins them on the same terms against both (independent, independent_third). The trees
// named in these tests are read before any of the steps runs, which is safe: a step changes
// only its own tree and the deleted position's, and a linked tree becomes an index only
// between batches.
//
// Keys from the input. A walk compares the new key with 16 bytes at a time, and a wide load of
// window bytes stored a moment ago waits for those stores. So the new position's key is read
// from the input, which holds the same bytes k .. k + 17 wherever all of them are input (k +
// 18 <= n): the window holds them too, as stored, and the mirror bytes continue the ring past
// its end so the window's copy is contiguous like the input. Within the last 18 bytes the key
// runs past the input's end into bytes only the window has (older data or the zero fill), and
// there it is read from the window. The same holds for the nearest earlier nodes a walk meets
// inside runs (insert_step).
#include "encoder/index.hpp"
#include "encoder/trees.hpp"
#include "encoder_probe.hpp"
#include "lzss.hpp"

#ifdef BIPAFS_CHECK_TREES
#include "encoder/check.hpp"
#endif

#include <memory>
#include <new>
#include <span>

namespace lzss::encoder {
namespace {

#ifndef BIPAFS_CHECK_TREES
// The builds without the tree checker (check.hpp) take this one, which does nothing.
constexpr bool trees_checkable = false;

class Checker {
public:
    Checker(TreeStore&, SortedIndex&, std::size_t, bool) {}
    void before_delete(std::int32_t) {}
    void after_step(std::int32_t) {}
};
#endif

// ---- The state ------------------------------------------------------------------------------

// The encoder's whole state: the window and the linked trees, and what the sorted indexes add.
struct EncoderState {
    TreeStore trees;
    SortedIndex sorted;
};

void init_state(EncoderState& state) {
    init_tree_store(state.trees);
    init_sorted_index(state.sorted);
}

// Takes position p out of its tree, if it is in one.
[[gnu::always_inline]] inline void delete_position(EncoderState& state, std::int32_t p) {
    static_assert(in_index + 1 == not_in_tree, "one comparison tells a linked node");
    const Link link = above(state.trees, p);
    if (link < in_index) [[likely]]
        return delete_node(state.trees, p);
    if (link == in_index) erase_indexed(state.trees, state.sorted, p);
}

// ---- The steps ------------------------------------------------------------------------------
//
// The tree operations in the order that fixes the output, scheduled to run a little ahead of
// the coder.
//
// The sequence of operations (delete the position the next input byte overwrites, insert the
// next position) is the same whatever gets coded, and the coder only reads the match found
// at the positions where an item starts. So the operations run in batches ahead of the
// coder, and two or three consecutive insertions into different linked trees, where no later
// step's deletion touches an earlier one's tree, walk side by side.
//
// Keys are read from the input rather than the window wherever the two are known to hold the
// same bytes: the window's copy was stored a byte at a time a moment ago, and a wide load of
// bytes still on their way to the cache waits for them. That is the new position's own key
// (while 18 input bytes remain), and, inside runs, the recent node an insertion meets first.

// Step k (1 <= k < n) deletes the position that input byte k + 17 overwrites, stores that
// byte while the input lasts, and inserts the position of input byte k; its match is the one
// coded there if a decision falls on byte k. Input byte i sits at window position
// (4078 + i) mod 4096.
class Steps {
public:
    // Results are kept for the last `kept` steps, which covers every step the coder can still
    // ask for: it never looks back, and it looks at most 18 steps past the last one run.
    static constexpr std::size_t kept = kept_results;
    static constexpr std::size_t batch = batch_steps;
    static_assert(batch + max_match <= kept, "a batch never overwrites a result still wanted");
    static_assert(near_back < max_match, "a near node's key lies in what has been stored");

    // With `check_trees`, the trees are checked after each step where the build can.
    Steps(EncoderState& state, std::span<const std::uint8_t> src, bool check_trees)
        : state_(state), trees_(state.trees), sorted_(state.sorted), src_(src),
          checker_(state.trees, state.sorted, src.size(), check_trees) {}

    // Inserts the 18 pre-filled positions before the input, then the first input byte's.
    void start() {
        const std::int32_t r = static_cast<std::int32_t>(first_write_pos);
        for (std::int32_t back = 1; back <= longest; ++back)
            static_cast<void>(insert_alone(r - back, window_at(r - back)));
        results_[0] = insert_alone(r, window_at(r));
        checker_.after_step(tree_of(r));
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
    // Derived in the map at the top of this file.
    static constexpr std::int32_t s_of(std::size_t k) {
        return static_cast<std::int32_t>((k - 1) & ring_mask);
    }

    [[nodiscard]] const std::uint8_t* window_at(std::int32_t pos) const {
        return trees_.window.data() + pos;
    }
    [[nodiscard]] std::int32_t tree_of(std::int32_t pos) const {
        return trees_.window[static_cast<std::size_t>(pos)];
    }

    // The 18 bytes at the position of input byte k: the input itself while it lasts; past
    // its end the window's stale bytes count too, and only the window has them.
    [[nodiscard]] const std::uint8_t* key_of(std::size_t k) const {
        return k + longest <= src_.size() ? src_.data() + k : window_at(r_of(k));
    }

    [[gnu::always_inline]] void overwrite(std::size_t k) {
        const std::int32_t s = s_of(k);
        checker_.before_delete(s);
        delete_position(state_, s);
        if (k + longest - 1 >= src_.size()) return;
        const std::uint8_t byte = src_[k + longest - 1];
        trees_.window[static_cast<std::size_t>(s)] = byte;
        if (s < mirror_bytes) trees_.window[static_cast<std::size_t>(ring_size + s)] = byte;
    }

    // Whether deleting position s leaves `tree` alone: s is in no tree, or in another one (a
    // node's tree is its first byte).
    [[nodiscard]] bool spares(std::int32_t s, std::uint8_t tree) const {
        return trees_.above[static_cast<std::size_t>(s)] == not_in_tree ||
               trees_.window[static_cast<std::size_t>(s)] != tree;
    }

    // Steps k and k + 1 may run side by side when both insertions go to different linked
    // trees and the position step k + 1 deletes is not in step k's tree: then no operation
    // of one step touches what the other's reads, in either order.
    [[nodiscard]] bool independent(std::size_t k) const {
        const std::uint8_t tree1 = src_[k];
        const std::uint8_t tree2 = src_[k + 1];
        return tree1 != tree2 && spares(s_of(k + 1), tree1) &&
               (all_linked(sorted_) || (is_linked(sorted_, tree1) && is_linked(sorted_, tree2)));
    }

    // Given that steps k and k + 1 may run side by side, whether step k + 2 may join them: its
    // insertion goes to a third linked tree, and the position it deletes is in neither
    // earlier tree.
    [[nodiscard]] bool independent_third(std::size_t k) const {
        const std::uint8_t tree1 = src_[k];
        const std::uint8_t tree2 = src_[k + 1];
        const std::uint8_t tree3 = src_[k + 2];
        const std::int32_t s3 = s_of(k + 2);
        return tree3 != tree1 && tree3 != tree2 && spares(s3, tree1) && spares(s3, tree2) &&
               (all_linked(sorted_) || is_linked(sorted_, tree3));
    }

    // Inserts position r, whose 18 bytes are at `key`, into its tree, whichever form it has.
    [[nodiscard]] PackedMatch insert_alone(std::int32_t r, const std::uint8_t* key) {
        const std::size_t tree = key[0];
        if (!is_linked(sorted_, tree)) return insert_indexed(trees_, sorted_, tree, r);
        return insert_node(trees_, r, key);
    }

    // Inserts the position of input byte k. A step that cannot run beside the next one is
    // mostly inside a run (the next byte starts the same tree), and there the first node met
    // is one of the last few inserted, whose bytes were stored a moment ago: a wide load of
    // them would wait for those stores, so they are read from the input, which holds the
    // same bytes wherever the node's key lies wholly in what has been stored of it.
    [[nodiscard]] PackedMatch insert_step(std::size_t k) {
        const std::uint8_t* const key = key_of(k);
        const std::int32_t r = r_of(k);
        if (!all_linked(sorted_) && !is_linked(sorted_, key[0]))
            return insert_indexed(trees_, sorted_, key[0], r);
        Walk w = start_walk(trees_, r, key);
        const bool key_from_input = k + longest <= src_.size();
        // The node `back` positions behind r starts at input byte k - back, which is in the
        // input when back <= k.
        const std::int32_t near =
            key_from_input ? static_cast<std::int32_t>(std::min<std::size_t>(k, near_back)) : 0;
        const std::uint8_t* const window = trees_.window.data();
        const auto near_or_window = [=](std::int32_t p) {
            const std::int32_t back = (r - p) & ring_mask;
            return back <= near ? key - back : window + p;
        };
        if (step_walk(trees_, w, near_or_window)) return w.best;
        return finish_walk(trees_, w);
    }

    // Runs step k and, where they may walk beside it, steps k + 1 and k + 2 (none past
    // `last`); returns how many steps it ran.
    [[gnu::always_inline]] std::size_t run_side_by_side(std::size_t k, std::size_t last) {
        if (k < last && independent(k)) {
            if (k + 1 < last && independent_third(k)) {
                overwrite(k);
                overwrite(k + 1);
                overwrite(k + 2);
                insert_triple(trees_, r_of(k), key_of(k), results_[k % kept], r_of(k + 1),
                              key_of(k + 1), results_[(k + 1) % kept], r_of(k + 2), key_of(k + 2),
                              results_[(k + 2) % kept]);
                checker_.after_step(src_[k]);
                checker_.after_step(src_[k + 1]);
                checker_.after_step(src_[k + 2]);
                return 3;
            }
            overwrite(k);
            overwrite(k + 1);
            insert_pair(trees_, r_of(k), key_of(k), results_[k % kept], r_of(k + 1), key_of(k + 1),
                        results_[(k + 1) % kept]);
            checker_.after_step(src_[k]);
            checker_.after_step(src_[k + 1]);
            return 2;
        }
        overwrite(k);
        results_[k % kept] = insert_step(k);
        checker_.after_step(key_of(k)[0]);
        return 1;
    }

    void run_through(std::size_t last) {
        for (std::size_t k = done_ + 1; k <= last;) k += run_side_by_side(k, last);
        done_ = last;
        // A tree whose walks have grown long may change form; when that happens within a
        // batch does not matter, as both forms give the same answers.
        if (trees_.excess_seen) [[unlikely]]
            account_excess(trees_, sorted_, last);
    }

    EncoderState& state_;
    TreeStore& trees_;
    SortedIndex& sorted_;
    std::span<const std::uint8_t> src_;
    std::array<PackedMatch, kept> results_{};
    std::size_t done_ = 0;
    Checker checker_;
};

// ---- The output -----------------------------------------------------------------------------
//
// The stream's output side: items gathered into groups of a flag byte and up to eight items,
// each group copied out when full. A byte that would land at the end of the caller's buffer
// fails the whole call instead.
class GroupWriter {
public:
    explicit GroupWriter(std::span<std::uint8_t> out)
        : cursor_(out.data()), end_(out.data() + out.size()) {}

    [[nodiscard]] bool literal(std::uint8_t byte) {
        group_[0] = static_cast<std::uint8_t>(group_[0] | mask_);
        group_[length_++] = byte;
        return next_item();
    }

    // A reference to `length` bytes (3..18) at window position `pos`.
    [[nodiscard]] bool reference(std::int32_t pos, std::int32_t length) {
        group_[length_++] = static_cast<std::uint8_t>(pos & 0xFF);
        group_[length_++] = static_cast<std::uint8_t>(((pos >> 4) & 0xF0) | (length - 3));
        return next_item();
    }

    // Copies out the last, partly filled group; null when it does not fit, else the end of
    // the stream.
    [[nodiscard]] std::uint8_t* finish() {
        if (length_ > 1 && !flush()) return nullptr;
        return cursor_;
    }

private:
    // A flag byte and up to eight two-byte items.
    static constexpr std::size_t capacity = 1 + 8 * 2;

    [[nodiscard]] bool next_item() {
        mask_ = static_cast<std::uint8_t>(mask_ << 1);
        if (mask_ != 0) return true;
        if (!flush()) return false;
        group_[0] = 0;
        mask_ = 1;
        length_ = 1;
        return true;
    }

    [[nodiscard]] bool flush() {
        if (static_cast<std::size_t>(end_ - cursor_) >= length_) {
            std::memcpy(cursor_, group_.data(), length_);
            cursor_ += length_;
            return true;
        }
        // Up to the end of the room, which the caller may inspect after a failure.
        for (std::size_t k = 0; k < length_; ++k) {
            if (cursor_ == end_) return false;
            *cursor_++ = group_[k];
        }
        return true;
    }

    std::uint8_t* cursor_;
    std::uint8_t* const end_;
    std::array<std::uint8_t, capacity> group_{};
    std::uint8_t mask_ = 1;
    std::size_t length_ = 1;
};

std::uint8_t* encode(std::span<std::uint8_t> out, std::span<const std::uint8_t> src,
                     probe::FormSwitches* switches, bool check_trees) {
    if (src.empty() || src.size() > max_input_size) return nullptr;

    const std::unique_ptr<EncoderState> owned(new (std::nothrow) EncoderState);
    if (!owned) return nullptr;
    EncoderState& state = *owned;
    init_state(state);
    const std::size_t n = src.size();
    std::copy_n(src.begin(), std::min<std::size_t>(n, max_match),
                state.trees.window.begin() + static_cast<std::ptrdiff_t>(first_write_pos));

    Steps steps(state, src, check_trees);
    steps.start();

    GroupWriter writer(out);
    for (std::size_t i = 0; i < n;) {
        const Match match = steps.match_at(i);
        // Past the input's end the window holds stale bytes; a match must not count them.
        const std::int32_t ahead =
            static_cast<std::int32_t>(std::min<std::size_t>(n - i, max_match));
        const std::int32_t length = std::min(match.length, ahead);
        const bool fits = length <= literal_threshold ? writer.literal(src[i])
                                                      : writer.reference(match.pos, length);
        if (!fits) return nullptr;
        i += length <= literal_threshold ? 1 : static_cast<std::size_t>(length);
    }
    if (switches != nullptr)
        *switches = {state.sorted.hybrid.to_index, state.sorted.hybrid.to_linked};
    return writer.finish();
}

} // namespace
} // namespace lzss::encoder

namespace lzss {

std::uint8_t* compress_lzss(std::span<std::uint8_t> out, std::span<const std::uint8_t> src) {
    return encoder::encode(out, src, nullptr, false);
}

namespace probe {

std::uint8_t* compress_lzss_counting(std::span<std::uint8_t> out, std::span<const std::uint8_t> src,
                                     FormSwitches& switches, bool check_trees) {
    switches = {};
    return encoder::encode(out, src, &switches, check_trees);
}

bool can_check_trees() {
    return encoder::trees_checkable;
}

bool has_sorted_index() {
    return encoder::with_sorted_index;
}

} // namespace probe

} // namespace lzss
