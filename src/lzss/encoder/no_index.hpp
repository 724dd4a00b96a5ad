// The seam of index.hpp for a build without the sorted index (BIPAFS_NO_SORTED_INDEX), made
// to measure what the index costs on data that never needs it: every tree stays linked, the
// questions the encoder asks fold to constants, and index.cpp is not built. The output is
// the same either way. Included only by index.hpp.
#pragma once

#include "trees.hpp"

namespace lzss::encoder {

struct SortedIndex {
    struct {
        std::uint64_t to_index = 0;
        std::uint64_t to_linked = 0;
    } hybrid;
};

inline void init_sorted_index(SortedIndex&) {}
[[nodiscard]] constexpr bool is_linked(const SortedIndex&, std::size_t) {
    return true;
}
[[nodiscard]] constexpr bool all_linked(const SortedIndex&) {
    return true;
}
// Never called: no tree is ever indexed.
[[nodiscard]] inline PackedMatch insert_indexed(TreeStore&, SortedIndex&, std::size_t,
                                                std::int32_t) {
    return 0;
}
inline void erase_indexed(TreeStore&, SortedIndex&, std::int32_t) {}
inline void account_excess(TreeStore&, SortedIndex&, std::uint64_t) {}

} // namespace lzss::encoder
