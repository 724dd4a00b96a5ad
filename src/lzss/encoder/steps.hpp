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
#pragma once

#include "check.hpp"
#include "hybrid.hpp"

#include <span>

namespace lzss {
namespace {

// Step k (1 <= k < n) deletes the position that input byte k + 17 overwrites, stores that
// byte while the input lasts, and inserts the position of input byte k; its match is the one
// coded there if a decision falls on byte k. Input byte i sits at window position
// (4078 + i) mod 4096.
class Steps {
public:
    // Results are kept for the last `kept` steps, which covers every step the coder can still
    // ask for: it never looks back, and it looks at most 18 steps past the last one run.
    static constexpr std::size_t kept = 256;
    static constexpr std::size_t batch = 128;
    static_assert(batch + max_match <= kept, "a batch never overwrites a result still wanted");
    // How far back a node may start for its bytes to be read from the input instead of the
    // window: far enough to cover the stores still in flight.
    static constexpr std::size_t near_back = 16;
    static_assert(near_back < max_match, "a near node's key lies in what has been stored");

    // With `check_trees`, the trees are checked after each step where the build can.
    Steps(EncoderState& state, std::span<const std::uint8_t> src, bool check_trees)
        : state_(state), trees_(state.trees), src_(src), checker_(state, src.size(), check_trees) {}

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
               (all_linked(state_) || (is_linked(state_, tree1) && is_linked(state_, tree2)));
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
               (all_linked(state_) || is_linked(state_, tree3));
    }

    // Inserts position r, whose 18 bytes are at `key`, into its tree, whichever form it has.
    [[nodiscard]] PackedMatch insert_alone(std::int32_t r, const std::uint8_t* key) {
        const std::int32_t tree = key[0];
        if (!is_linked(state_, tree)) return insert_indexed(state_, tree, r);
        Walk w = start_walk(trees_, r, key);
        return finish_walk(trees_, w);
    }

    // Inserts the position of input byte k. A step that cannot run beside the next one is
    // mostly inside a run (the next byte starts the same tree), and there the first node met
    // is one of the last few inserted, whose bytes were stored a moment ago: a wide load of
    // them would wait for those stores, so they are read from the input, which holds the
    // same bytes wherever the node's key lies wholly in what has been stored of it.
    [[nodiscard]] PackedMatch insert_step(std::size_t k) {
        const std::uint8_t* const key = key_of(k);
        const std::int32_t r = r_of(k);
        if (!all_linked(state_) && !is_linked(state_, key[0]))
            return insert_indexed(state_, key[0], r);
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

    void run_through(std::size_t last) {
        std::size_t k = done_ + 1;
        while (k <= last) {
            if (k < last && independent(k)) {
                if (k + 1 < last && independent_third(k)) {
                    overwrite(k);
                    overwrite(k + 1);
                    overwrite(k + 2);
                    insert_triple(trees_, r_of(k), key_of(k), results_[k % kept], r_of(k + 1),
                                  key_of(k + 1), results_[(k + 1) % kept], r_of(k + 2),
                                  key_of(k + 2), results_[(k + 2) % kept]);
                    checker_.after_step(src_[k]);
                    checker_.after_step(src_[k + 1]);
                    checker_.after_step(src_[k + 2]);
                    k += 3;
                } else {
                    overwrite(k);
                    overwrite(k + 1);
                    insert_pair(trees_, r_of(k), key_of(k), results_[k % kept], r_of(k + 1),
                                key_of(k + 1), results_[(k + 1) % kept]);
                    checker_.after_step(src_[k]);
                    checker_.after_step(src_[k + 1]);
                    k += 2;
                }
            } else {
                overwrite(k);
                results_[k % kept] = insert_step(k);
                checker_.after_step(key_of(k)[0]);
                k += 1;
            }
        }
        done_ = last;
        // A tree whose walks have grown long may change form; when that happens within a
        // batch does not matter, as both forms give the same answers.
        if (trees_.excess_seen) [[unlikely]]
            account_excess(state_, last);
    }

    EncoderState& state_;
    TreeStore& trees_;
    std::span<const std::uint8_t> src_;
    std::array<PackedMatch, kept> results_{};
    std::size_t done_ = 0;
    Checker checker_;
};

} // namespace
} // namespace lzss
