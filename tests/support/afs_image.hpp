// Test-side AFS archives: writes archive bytes field by field (independently of the code
// under test), and the archives a rebuild must produce from layouts worked out by hand.
#pragma once

#include "testkit.hpp"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace afstest {

using testkit::Bytes;

void put32(Bytes& bytes, std::uint64_t at, std::uint32_t value);
[[nodiscard]] std::uint32_t get32(const Bytes& bytes, std::uint64_t at);
// `bytes` with the 32-bit field at `at` set to `value`.
[[nodiscard]] Bytes patched(Bytes bytes, std::uint64_t at, std::uint32_t value);

struct Entry {
    std::string name;      // written into the 32-byte field; 32 characters leave no zero byte
    std::uint32_t pos = 0; // 0: no data
    std::uint32_t len = 0;
    Bytes data;                           // written at pos before the tables, when pos is not 0
    std::array<std::uint8_t, 12> extra{}; // the uninterpreted bytes of the name record
    std::uint32_t name_len = 0;           // the name record's length field
};

enum class Place { first, second };

struct Image {
    std::uint64_t size = 0;
    std::vector<Entry> entries;
    std::uint32_t names_pos = 0;
    Place place = Place::first;
};

// An entry with data: len and the name record's length field both equal data's size, and
// the extra bytes are a pattern derived from the name.
[[nodiscard]] Entry with_data(std::string name, std::uint32_t pos, Bytes data);
// An entry without data (pos 0) whose table and name record say `len`.
[[nodiscard]] Entry without_data(std::string name, std::uint32_t len);

// Data, then the table, the name table and the locator, so tables win where they overlap.
[[nodiscard]] Bytes build(const Image& image);

// An archive of one entry named `name` with `data` at 2048, its name table right after
// (a name of 32 bytes has no zero byte and runs into the record's uninterpreted bytes).
[[nodiscard]] Bytes one_entry(const std::string& name, const Bytes& data);

// A rebuilt archive's layout, worked out by hand: every entry's {pos, len} in the new table,
// where the name table and the locator go, and the archive's length.
struct Placed {
    std::vector<std::array<std::uint32_t, 2>> table;
    std::uint32_t names_at = 0;
    std::uint32_t locator_at = 0;
    std::uint32_t length = 0;
};

// The archive `placed` describes, rebuilt from `input` = build(image): the header and the
// new table; each entry with data holding its replacement (by name) or its bytes as they
// stood in the input, at its new pos; the input's name table at names_at with each length
// field of an entry with data set to its new len; the locator; zeros everywhere else.
[[nodiscard]] Bytes as_placed(const Image& image, const Bytes& input,
                              const std::map<std::string, Bytes>& replacements,
                              const Placed& placed);

// The bundled sample archive and the replacement shipped with it.
[[nodiscard]] Bytes sample_archive();
inline constexpr const char* sample_replaced_name = "greeting.txt";
[[nodiscard]] Bytes sample_replacement();

// Two entries with data, the locator right after the table and names at 64.
[[nodiscard]] Image two_entries();

// Archives that exercise every part of a rebuild, with the replacements to use and the
// rebuilt layout worked out by hand, by label.
struct RebuildRow {
    const char* label;
    Image image;
    std::map<std::string, Bytes> replacements;
    Placed placed;
};
[[nodiscard]] std::vector<RebuildRow> rebuild_rows();

} // namespace afstest
