// Reading, checking and rebuilding AFS archives, between memory buffers.
//
// An archive starts with the magic "AFS\0", the entry count and a table of {pos, len}
// records; a name table of 48-byte records sits elsewhere and is found through an 8-byte
// locator that follows the entry table or, when that one is zero, sits just before the first
// entry's data. check_archive() runs the checks an input must pass and returns the text of
// the first condition that fails. lay_out_rebuild() lays the entries out again on 2048-byte
// boundaries, in table order, with any replacement data the caller supplies, as pieces to
// write; is_unsafe() and names_a_file() tell which entry names may be used as paths.
//
// The input is never modified: the new entry table and name table are written into blocks
// of the layout's own (Layout::head, Layout::names), and every entry's data is a piece that
// points into the input, so an entry whose data overlaps the tables is copied as it stood. All
// offsets are computed in 64 bits and every field written is checked to fit its 32 bits.
#pragma once

#include "pieces.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace afs {

// An entry-table record, or the name-table locator, which has the same two fields.
struct Record {
    std::uint32_t pos = 0;
    std::uint32_t len = 0;
};

// A checked archive: the bytes it lives in, the entry count, the name-table locator, and
// copies of its header with the entry table and of its name table. The checks run on the
// copies and every later use reads them, never the input again: a file that changes on
// disk after its checks (a mapping shows such changes) cannot slip in a record that was
// never checked. Entry data is read from `bytes`.
struct Archive {
    std::span<const std::uint8_t> bytes;
    std::uint32_t entries = 0;
    Record statoc;
    std::vector<std::uint8_t> table; // magic, count and entry table: 8 + 8 * entries bytes
    std::vector<std::uint8_t> names; // the name table: 48 * entries bytes
};

enum class Verdict { ok, not_afs, failed_check };

struct Checked {
    Verdict verdict = Verdict::failed_check;
    const char* failed = nullptr; // the failed condition's text when verdict is failed_check
    Archive archive;
};

// Runs the checks in order and locates the name table. May throw std::bad_alloc for the
// copies of the tables.
[[nodiscard]] Checked check_archive(std::span<const std::uint8_t> bytes);

// Entry i's table record (i < entries).
[[nodiscard]] Record entry_record(const Archive& archive, std::uint32_t i);

// Entry i's name: the text of its 32-byte field up to the first zero byte, or all 32 bytes.
[[nodiscard]] std::string_view entry_name(const Archive& archive, std::uint32_t i);

// Entry i's data in the input (empty when its pos is 0).
[[nodiscard]] std::span<const std::uint8_t> entry_data(const Archive& archive, std::uint32_t i);

// What entry i holds in the rebuilt archive: a piece (bytes in memory, or the whole of a
// file that is read only when the archive is written), or no value to keep the entry's own
// data. Entries past the end of a list keep theirs too; pieces for entries without data are
// unused.
using Replacement = std::optional<wholefile::Piece>;

// The rebuilt archive as pieces in file order. Pieces point into `head` and `names` and into
// the input and the replacements, which must outlive the layout; moving a layout keeps its
// pieces valid, copying would not, so it cannot be copied.
struct Layout {
    const char* failed = nullptr;         // the failed condition's text, or null
    std::vector<std::uint8_t> head;       // header, entry table, locator, zeros to the data
    std::vector<std::uint8_t> names;      // the rewritten name table
    std::vector<wholefile::Piece> pieces; // none when something failed
    std::uint64_t length = 0;             // the sum of the pieces' sizes
    // When the capacity check failed: the entry whose data would have reached four times the
    // input's size.
    std::optional<std::uint32_t> over_capacity;

    Layout() = default;
    Layout(Layout&&) = default;
    Layout& operator=(Layout&&) = default;
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;
    ~Layout() = default;
};

// Runs the capacity check "off+size < out_size" (out_size being four times the input's
// size) and the checks that every offset and length fits its 32-bit field, and when they
// pass lays out the rebuilt archive, entry i taking replacements[i] when that has a value.
// Its own blocks are small (the tables); entry data is never copied or read, so a
// replacement's bytes need not even be readable. A failed check leaves no pieces; a failed
// capacity check also names its entry. May throw std::bad_alloc.
[[nodiscard]] Layout lay_out_rebuild(const Archive& archive,
                                     std::span<const Replacement> replacements);

// Extraction writes each entry's own data once, as a rebuild without replacements would lay
// it out: the entry at which that layout fails the capacity check, or no value when it
// passes. Entries that overlap in the input cannot make extraction write more than the
// rebuild may.
[[nodiscard]] std::optional<std::uint32_t> extraction_over_capacity(const Archive& archive);

// Whether an entry name may not be used as a path at all: it begins with '/' or contains
// "..", so it could lead out of the directory it is taken relative to.
[[nodiscard]] bool is_unsafe(std::string_view name);

// Whether the name can name a file at all: its last component is neither empty nor ".".
[[nodiscard]] bool names_a_file(std::string_view name);

} // namespace afs
