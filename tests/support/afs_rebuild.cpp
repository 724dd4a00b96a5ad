#include "afs_rebuild.hpp"

#include <cstring>
#include <stdexcept>
#include <utility>

namespace afstest {

Rebuilt rebuild_archive(const afs::Archive& archive,
                        std::span<const afs::Replacement> replacements) {
    const afs::Layout layout = afs::lay_out_rebuild(archive, replacements);
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

std::vector<std::uint8_t>
rebuilt_bytes(std::span<const std::uint8_t> input,
              const std::map<std::string, std::vector<std::uint8_t>>& replacements) {
    const afs::Checked checked = afs::check_archive(input);
    if (checked.verdict != afs::Verdict::ok) throw std::runtime_error("not a valid archive");
    const afs::Archive& archive = checked.archive;
    std::vector<afs::Replacement> by_entry(archive.entries);
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        if (afs::entry_record(archive, i).pos == 0) continue;
        const auto found = replacements.find(std::string(afs::entry_name(archive, i)));
        if (found != replacements.end()) by_entry[i] = in_memory(found->second);
    }
    Rebuilt rebuilt = rebuild_archive(archive, by_entry);
    if (rebuilt.failed != nullptr) throw std::runtime_error(rebuilt.failed);
    return std::move(rebuilt.bytes);
}

afs::Replacement in_memory(std::span<const std::uint8_t> data) {
    return wholefile::Piece{data.data(), data.size(), nullptr, 0};
}

} // namespace afstest
