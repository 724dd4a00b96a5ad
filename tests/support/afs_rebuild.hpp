// The rebuilt archive whole, in one buffer, for the AFS tests and the fuzz target that
// compare bytes: laid out by swapfold::lay_out_rebuild(), the entry point the program
// writes from, with the pieces then copied one after another.
#pragma once

#include "afs.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace afstest {

struct Rebuilt {
    const char* failed = nullptr; // the failed condition's text, or null
    std::optional<std::uint32_t> over_capacity;
    std::vector<std::uint8_t> bytes; // exactly the layout's length when nothing failed
};

// Lays out, then copies the pieces into one buffer of the archive's exact size. Every
// replacement must lie in memory.
[[nodiscard]] Rebuilt rebuild_archive(const swapfold::Archive& archive,
                                      std::span<const swapfold::Replacement> replacements = {});

// A replacement held in memory.
[[nodiscard]] swapfold::Replacement in_memory(std::span<const std::uint8_t> data);

} // namespace afstest
