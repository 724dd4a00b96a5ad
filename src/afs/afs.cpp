// Checks and layout of AFS archives; see afs.hpp for the design.
#include "afs.hpp"

#include "bytes.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace afs {

namespace {

using wholefile::load_le32;
using wholefile::store_le32;

constexpr std::uint64_t block = 2048;
constexpr std::uint64_t field_max = 0xffffffffu;
constexpr std::uint64_t name_record = 48;
constexpr std::uint64_t name_field = 32;
constexpr std::uint64_t name_len_field = 44;

// Condition texts of the checks, as reported when one fails.
constexpr const char* table_inside = "entries*8+8<=size";
constexpr const char* entry_inside = "stas[i].pos + stas[i].len <= size";
constexpr const char* first_place_inside = "entries*8+16<=size";
constexpr const char* has_entries = "entries>=1";
constexpr const char* second_place_inside = "stas[0].pos>=8";
constexpr const char* names_length = "statoc->len == entries*48";
constexpr const char* names_inside = "statoc->pos + statoc->len <= size";
constexpr const char* capacity = "off+size < out_size";
constexpr const char* offset_fits = "off <= UINT32_MAX";
constexpr const char* length_fits = "size <= UINT32_MAX";
constexpr const char* names_offset_fits = "name_off <= UINT32_MAX";

[[nodiscard]] constexpr std::uint64_t round_up(std::uint64_t n) {
    return (n + block - 1) & ~(block - 1);
}

// A 64-bit size of a block held in memory, as a size_t. Where it is more than this machine
// can address (a 32-bit one), the block cannot be had, as when its allocation fails.
[[nodiscard]] std::size_t memory_size(std::uint64_t n) {
    if (n > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    return static_cast<std::size_t>(n);
}

[[nodiscard]] Record load_record(const std::uint8_t* p) {
    return {load_le32(p), load_le32(p + 4)};
}

void store_record(std::uint8_t* p, Record r) {
    store_le32(p, r.pos);
    store_le32(p + 4, r.len);
}

[[nodiscard]] constexpr std::uint64_t table_offset(std::uint32_t i) {
    return 8 + 8 * std::uint64_t{i};
}

[[nodiscard]] constexpr std::uint64_t first_data_offset(std::uint32_t entries) {
    return round_up(8 * (std::uint64_t{entries} + 2));
}

[[nodiscard]] Checked failed_with(const char* condition) {
    return {Verdict::failed_check, condition, {}};
}

// What entry i holds in the rebuilt archive: its replacement, or its own data.
[[nodiscard]] wholefile::Piece
piece_from(const Archive& archive, std::span<const Replacement> replacements, std::uint32_t i) {
    if (i < replacements.size() && replacements[i].has_value()) return *replacements[i];
    const std::span<const std::uint8_t> data = entry_data(archive, i);
    return {data.data(), data.size()};
}

// Walks the entries with data in table order, giving each its offset in the rebuilt archive,
// and returns the first condition that fails, or null; *failed_entry is then the entry being
// placed. The name table goes at *names_off.
template <typename PieceFor, typename Place>
[[nodiscard]] const char* lay_out(const Archive& archive, PieceFor&& piece_for,
                                  std::uint64_t* names_off, std::uint32_t* failed_entry,
                                  Place&& place) {
    const std::uint64_t out_size = 4 * std::uint64_t{archive.bytes.size()};
    std::uint64_t off = first_data_offset(archive.entries);
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        if (entry_record(archive, i).pos == 0) continue;
        const wholefile::Piece data = piece_for(i);
        const std::uint64_t size = data.size;
        *failed_entry = i;
        if (!(off + size < out_size)) return capacity;
        if (off > field_max) return offset_fits;
        if (size > field_max) return length_fits;
        place(i, off, data);
        off = round_up(off + size);
    }
    if (off > field_max) return names_offset_fits;
    *names_off = off;
    return nullptr;
}

// The rebuilt archive's pieces, with entry i's content given by piece_for(i).
template <typename PieceFor>
[[nodiscard]] Layout lay_out_with(const Archive& archive, PieceFor&& piece_for) {
    Layout layout;
    const std::uint64_t head_len = first_data_offset(archive.entries);
    const std::uint64_t names_len = name_record * archive.entries;

    // Header, table and name table as they were checked; the walk then updates the records
    // of the entries it places, so those without data keep theirs unchanged.
    layout.head.assign(memory_size(head_len), 0);
    std::memcpy(layout.head.data(), archive.table.data(), archive.table.size());
    layout.names = archive.names;
    layout.pieces.push_back({layout.head.data(), head_len});

    std::uint8_t* const head = layout.head.data();
    std::uint8_t* const names = layout.names.data();
    std::uint64_t names_off = 0;
    std::uint32_t failed_entry = 0;
    layout.failed =
        lay_out(archive, piece_for, &names_off, &failed_entry,
                [&](std::uint32_t i, std::uint64_t off, const wholefile::Piece& data) {
                    const auto len = static_cast<std::uint32_t>(data.size);
                    store_record(head + table_offset(i), {static_cast<std::uint32_t>(off), len});
                    store_le32(names + name_record * i + name_len_field, len);
                    const std::uint64_t end = off + data.size;
                    if (data.size != 0) layout.pieces.push_back(data);
                    if (round_up(end) != end)
                        layout.pieces.push_back({nullptr, round_up(end) - end});
                });
    if (layout.failed != nullptr) {
        if (layout.failed == capacity) layout.over_capacity = failed_entry;
        layout.pieces.clear();
        return layout;
    }

    // The locator goes just before the first entry's data; when the first entry has none it
    // goes right after the table, where a reader looks first. Either way it is in the head.
    const bool first_has_data = archive.entries > 0 && entry_record(archive, 0).pos != 0;
    const std::uint64_t locator_at = first_has_data ? head_len - 8 : table_offset(archive.entries);
    store_record(head + locator_at,
                 {static_cast<std::uint32_t>(names_off), static_cast<std::uint32_t>(names_len)});

    const std::uint64_t names_end = names_off + names_len;
    layout.length = round_up(names_end);
    if (names_len != 0) layout.pieces.push_back({names, names_len});
    if (layout.length != names_end) layout.pieces.push_back({nullptr, layout.length - names_end});
    return layout;
}

} // namespace

Checked check_archive(std::span<const std::uint8_t> bytes) {
    const std::uint64_t size = bytes.size();
    const std::uint8_t* const p = bytes.data();
    if (size < 4 || std::memcmp(p, "AFS", 4) != 0) return {Verdict::not_afs, nullptr, {}};

    // Below 8 bytes the count itself is missing: the table cannot fit whatever it says.
    if (size < 8) return failed_with(table_inside);
    Archive archive;
    archive.bytes = bytes;
    const std::uint32_t entries = load_le32(p + 4);
    if (!(std::uint64_t{entries} * 8 + 8 <= size)) return failed_with(table_inside);
    archive.entries = entries;
    // Every table field is read once, from the copy, and the copy is what the run uses; the
    // locator, outside it, is read once from the input below and kept as `statoc`.
    archive.table.assign(p, p + table_offset(entries));
    const std::uint8_t* const table = archive.table.data();

    for (std::uint32_t i = 0; i < entries; ++i) {
        const Record r = load_record(table + table_offset(i));
        if (!(std::uint64_t{r.pos} + r.len <= size)) return failed_with(entry_inside);
    }

    const std::uint64_t first_place = table_offset(entries);
    if (!(first_place + 8 <= size)) return failed_with(first_place_inside);
    Record statoc = load_record(p + first_place);
    if (statoc.pos == 0 && statoc.len == 0) {
        if (entries == 0) return failed_with(has_entries);
        const std::uint32_t first_pos = load_le32(table + 8);
        // The first entry lies inside the archive, so 8 bytes before it do too.
        if (first_pos < 8) return failed_with(second_place_inside);
        statoc = load_record(p + first_pos - 8);
    }

    if (!(statoc.len == std::uint64_t{entries} * name_record)) return failed_with(names_length);
    if (!(std::uint64_t{statoc.pos} + statoc.len <= size)) return failed_with(names_inside);
    archive.statoc = statoc;
    archive.names.assign(p + statoc.pos, p + statoc.pos + statoc.len);
    return {Verdict::ok, nullptr, std::move(archive)};
}

Record entry_record(const Archive& archive, std::uint32_t i) {
    return load_record(archive.table.data() + table_offset(i));
}

std::string_view entry_name(const Archive& archive, std::uint32_t i) {
    const auto* const field = reinterpret_cast<const char*>(archive.names.data()) + name_record * i;
    const auto* const end = std::find(field, field + name_field, '\0');
    return {field, static_cast<std::size_t>(end - field)};
}

std::span<const std::uint8_t> entry_data(const Archive& archive, std::uint32_t i) {
    const Record r = entry_record(archive, i);
    if (r.pos == 0) return {};
    return archive.bytes.subspan(r.pos, r.len);
}

Layout lay_out_rebuild(const Archive& archive, std::span<const Replacement> replacements) {
    return lay_out_with(archive,
                        [&](std::uint32_t i) { return piece_from(archive, replacements, i); });
}

std::optional<std::uint32_t> extraction_over_capacity(const Archive& archive) {
    std::uint64_t names_off = 0;
    std::uint32_t failed_entry = 0;
    const char* const failed = lay_out(
        archive, [&](std::uint32_t i) { return piece_from(archive, {}, i); }, &names_off,
        &failed_entry, [](std::uint32_t, std::uint64_t, const wholefile::Piece&) {});
    if (failed == capacity) return failed_entry;
    return std::nullopt;
}

bool is_unsafe(std::string_view name) {
    return name.starts_with('/') || name.find("..") != std::string_view::npos;
}

bool names_a_file(std::string_view name) {
    const std::string_view last = name.substr(name.rfind('/') + 1);
    return !last.empty() && last != ".";
}

} // namespace afs
