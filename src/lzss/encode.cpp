// The LZSS encoder. Its output is fixed to the byte by the order of its tree operations, so
// it does exactly the plain algorithm's steps, only each one faster.
//
// Every window position that has been coded sits in one of 256 search trees, chosen by its
// first byte and keyed by the 18 bytes that start there; inserting the position being coded
// finds its longest earlier match. Positions leave their tree as the input overwrites them,
// 4078 positions behind the one being coded. The pieces, each in its own header:
// - encoder/state.hpp: the window and the linked trees' storage;
// - encoder/keys.hpp: how keys compare;
// - encoder/tree.hpp: walks and deletion in the linked trees;
// - encoder/index.hpp: the sorted index a tree becomes when its linked shape degenerates;
// - encoder/hybrid.hpp: when a tree changes form, and the conversions;
// - encoder/steps.hpp: the order of the tree operations and how they are scheduled;
// - encoder/groups.hpp: the output of items in groups;
// - encoder/check.hpp: the checker of the trees, in the address-checking build.
//
// Positions 0..4077 are pre-filled with the byte the decoder assumes there, so a match that
// reaches into them restores exactly what the decoder will produce.
#include "encoder/groups.hpp"
#include "encoder/steps.hpp"
#include "encoder_probe.hpp"
#include "lzss.hpp"

#include <memory>
#include <new>

namespace lzss {

namespace {

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
    if (switches != nullptr) *switches = {state.hybrid.to_index, state.hybrid.to_linked};
    return writer.finish();
}

} // namespace

std::uint8_t* compress_lzss(std::span<std::uint8_t> out, std::span<const std::uint8_t> src) {
    return encode(out, src, nullptr, false);
}

namespace probe {

std::uint8_t* compress_lzss_counting(std::span<std::uint8_t> out, std::span<const std::uint8_t> src,
                                     FormSwitches& switches, bool check_trees) {
    switches = {};
    return encode(out, src, &switches, check_trees);
}

bool can_check_trees() {
    return trees_checkable;
}

} // namespace probe

} // namespace lzss
