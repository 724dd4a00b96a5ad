// The rebuilt archive whole, in one buffer, for the AFS tests and the fuzz target that
// compare bytes: laid out by afs::lay_out_rebuild(), the entry point the program
// writes from, with the pieces then copied one after another.
#pragma once

#include "afs.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace afstest {

struct Rebuilt {
    const char* failed = nullptr; // the failed condition's text, or null
    std::optional<std::uint32_t> over_capacity;
    std::vector<std::uint8_t> bytes; // exactly the layout's length when nothing failed
};

// Lays out, then copies the pieces into one buffer of the archive's exact size. Every
// replacement must lie in memory.
[[nodiscard]] Rebuilt rebuild_archive(const afs::Archive& archive,
                                      std::span<const afs::Replacement> replacements = {});

// The rebuilt bytes of `input`, whose checks and layout must pass (std::runtime_error
// otherwise), with every entry that has data and whose name is a key of `replacements`
// taking that replacement.
[[nodiscard]] std::vector<std::uint8_t>
rebuilt_bytes(std::span<const std::uint8_t> input,
              const std::map<std::string, std::vector<std::uint8_t>>& replacements = {});

// A replacement held in memory.
[[nodiscard]] afs::Replacement in_memory(std::span<const std::uint8_t> data);

} // namespace afstest
