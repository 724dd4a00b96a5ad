#include "afs_rebuild.hpp"

#include <cstring>
#include <stdexcept>

namespace afstest {

Rebuilt rebuild_archive(const swapfold::Archive& archive,
                        std::span<const swapfold::Replacement> replacements) {
    const swapfold::Layout layout = swapfold::lay_out_rebuild(archive, replacements);
    Rebuilt result{layout.failed, layout.over_capacity, {}};
    if (layout.failed != nullptr) return result;
    result.bytes.assign(layout.length, 0);
    std::uint8_t* at = result.bytes.data();
    for (const wholefile::Piece& piece : layout.pieces) {
        if (piece.file != nullptr) throw std::invalid_argument("a piece of a file, not in memory");
        if (piece.data != nullptr) std::memcpy(at, piece.data, piece.size); // zero runs are there
        at += piece.size;
    }
    return result;
}

swapfold::Replacement in_memory(std::span<const std::uint8_t> data) {
    return wholefile::Piece{data.data(), data.size(), nullptr, 0};
}

} // namespace afstest
