// Checks, lays out and rebuilds arbitrary AFS archives in memory, with replacements of
// arbitrary sizes for some entries.
//
// Input layout: byte 0 holds the number of replacements (low 3 bits); each replacement is
// three bytes, the entry index and a little-endian size of up to 4095 bytes; the rest is the
// archive. Replacement bytes are a pattern seeded by the entry index, so a copy from the
// wrong place shows.
//
// For an archive that passes the checks, the rebuilt archive is compared with a layout
// worked out here from the rules alone: its exact length on a 2048-byte boundary, every
// entry with data at the next 2048-byte boundary holding its source or replacement bytes,
// entries without data and every name record's first 44 bytes carried over unchanged, the
// length fields rewritten, the locator found by the locating rule naming the name table,
// and zero in every byte that nothing was placed in. The rebuilt archive must itself pass
// the checks whenever the kept records allow it.
#include "afs.hpp"
#include "afs_rebuild.hpp"
#include "check.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t block = 2048;

[[nodiscard]] std::uint64_t round_up(std::uint64_t n) {
    return (n + block - 1) / block * block;
}

[[nodiscard]] std::uint32_t get32(std::span<const std::uint8_t> b, std::uint64_t at) {
    FUZZ_CHECK(at + 4 <= b.size());
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

[[nodiscard]] bool same(std::span<const std::uint8_t> a, std::uint64_t a_at,
                        std::span<const std::uint8_t> b, std::uint64_t b_at, std::uint64_t n) {
    FUZZ_CHECK(a_at + n <= a.size() && b_at + n <= b.size());
    return n == 0 || std::memcmp(a.data() + a_at, b.data() + b_at, n) == 0;
}

struct Input {
    std::vector<Bytes> pool; // the replacement bytes that the spans below point into
    std::vector<afs::Replacement> replacements;
    std::span<const std::uint8_t> archive;
};

[[nodiscard]] Input split_input(const std::uint8_t* data, std::size_t size) {
    Input in;
    if (size == 0) return in;
    const std::size_t count = data[0] & 7;
    std::size_t at = 1;
    in.pool.reserve(count);
    for (std::size_t k = 0; k < count && at + 3 <= size; ++k, at += 3) {
        const std::size_t index = data[at];
        const std::size_t length = (data[at + 1] | data[at + 2] << 8) & 0xFFF;
        Bytes bytes(length);
        for (std::size_t j = 0; j < length; ++j)
            bytes[j] = static_cast<std::uint8_t>(index * 37 + j * 11 + 1);
        in.pool.push_back(std::move(bytes));
        if (in.replacements.size() <= index) in.replacements.resize(index + 1);
        in.replacements[index] = afstest::in_memory(in.pool.back());
    }
    in.archive = {data + at, size - at};
    return in;
}

[[nodiscard]] std::span<const std::uint8_t> source_of(const Input& in, std::uint32_t i,
                                                      std::uint32_t pos, std::uint32_t len) {
    if (i < in.replacements.size() && in.replacements[i].has_value())
        return {in.replacements[i]->data, in.replacements[i]->size};
    return in.archive.subspan(pos, len);
}

// Checks the name and data accessors against the table they read.
void check_accessors(const afs::Archive& a) {
    for (std::uint32_t i = 0; i < a.entries; ++i) {
        const afs::Record r = afs::entry_record(a, i);
        FUZZ_CHECK(r.pos == get32(a.bytes, 8 + 8ull * i) && r.len == get32(a.bytes, 12 + 8ull * i));
        const std::string_view name = afs::entry_name(a, i);
        FUZZ_CHECK(name.size() <= 32 && name.find('\0') == std::string_view::npos);
        // Names are read from the copy of the name table, which holds the input's bytes.
        FUZZ_CHECK(reinterpret_cast<const std::uint8_t*>(name.data()) ==
                   a.names.data() + 48ull * i);
        FUZZ_CHECK(same(a.bytes, a.statoc.pos + 48ull * i, a.names, 48ull * i, 48));
        const std::span<const std::uint8_t> d = afs::entry_data(a, i);
        if (r.pos == 0) {
            FUZZ_CHECK(d.empty());
        } else {
            FUZZ_CHECK(d.data() == a.bytes.data() + r.pos && d.size() == r.len);
        }
    }
}

// Compares the rebuilt archive `out` with the layout the rules give.
void check_rebuilt(const Input& in, const afs::Archive& a, std::span<const std::uint8_t> out) {
    const std::span<const std::uint8_t> src = in.archive;
    const std::uint32_t n = a.entries;
    std::vector<bool> placed(out.size(), false);
    const auto mark = [&](std::uint64_t at, std::uint64_t count) {
        FUZZ_CHECK(at + count <= out.size());
        for (std::uint64_t k = 0; k < count; ++k) placed[at + k] = true;
    };

    FUZZ_CHECK(out.size() % block == 0);
    FUZZ_CHECK(same(out, 0, src, 0, 8));
    mark(0, 8 + 8ull * n);

    std::uint64_t off = round_up(8 * (std::uint64_t{n} + 2));
    std::optional<std::uint64_t> first_data;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t pos = get32(src, 8 + 8ull * i);
        const std::uint32_t len = get32(src, 12 + 8ull * i);
        const std::uint32_t new_pos = get32(out, 8 + 8ull * i);
        const std::uint32_t new_len = get32(out, 12 + 8ull * i);
        if (pos == 0) {
            FUZZ_CHECK(new_pos == 0 && new_len == len);
            continue;
        }
        if (i == 0) first_data = off;
        const std::span<const std::uint8_t> data = source_of(in, i, pos, len);
        FUZZ_CHECK(new_pos == off && off % block == 0);
        FUZZ_CHECK(new_len == data.size());
        FUZZ_CHECK(same(out, off, data, 0, data.size()));
        mark(off, data.size());
        off = round_up(off + data.size());
    }

    const std::uint64_t names_len = 48ull * n;
    FUZZ_CHECK(out.size() == round_up(off + names_len));
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint64_t rec = off + 48ull * i;
        FUZZ_CHECK(same(out, rec, src, a.statoc.pos + 48ull * i, 44));
        const std::uint32_t pos = get32(src, 8 + 8ull * i);
        const std::uint32_t expected_len =
            pos == 0 ? get32(src, a.statoc.pos + 48ull * i + 44) : get32(out, 12 + 8ull * i);
        FUZZ_CHECK(get32(out, rec + 44) == expected_len);
    }
    mark(off, names_len);

    // The locator: after the table when the first entry has no data, else before its data.
    const std::uint64_t locator = first_data ? *first_data - 8 : 8 + 8ull * n;
    FUZZ_CHECK(get32(out, locator) == off && get32(out, locator + 4) == names_len);
    mark(locator, 8);
    const std::uint64_t first_place = 8 + 8ull * n;
    const bool first_zero = get32(out, first_place) == 0 && get32(out, first_place + 4) == 0;
    FUZZ_CHECK(first_zero == (locator != first_place));

    for (std::uint64_t k = 0; k < out.size(); ++k) FUZZ_CHECK(placed[k] || out[k] == 0);
}

// Whether every entry's data fits the rebuild's capacity: placed at `off`, it must end
// strictly before four times the input's size.
[[nodiscard]] bool layout_fits(const Input& in, const afs::Archive& a) {
    const std::uint64_t out_size = 4 * std::uint64_t{in.archive.size()};
    std::uint64_t off = round_up(8 * (std::uint64_t{a.entries} + 2));
    for (std::uint32_t i = 0; i < a.entries; ++i) {
        const std::uint32_t pos = get32(in.archive, 8 + 8ull * i);
        if (pos == 0) continue;
        const std::uint64_t size = source_of(in, i, pos, get32(in.archive, 12 + 8ull * i)).size();
        if (!(off + size < out_size)) return false;
        off = round_up(off + size);
    }
    return true;
}

// The rebuilt archive passes the checks unless a kept record without data reaches past it.
void check_rebuilt_passes(const afs::Archive& a, std::span<const std::uint8_t> out) {
    for (std::uint32_t i = 0; i < a.entries; ++i)
        if (get32(out, 8 + 8ull * i) == 0 && get32(out, 12 + 8ull * i) > out.size()) return;
    const afs::Checked again = afs::check_archive(out);
    FUZZ_CHECK(again.verdict == afs::Verdict::ok);
    FUZZ_CHECK(again.archive.entries == a.entries);
    for (std::uint32_t i = 0; i < a.entries; ++i)
        FUZZ_CHECK(afs::entry_name(again.archive, i) == afs::entry_name(a, i));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Input in = split_input(data, size);
    const afs::Checked checked = afs::check_archive(in.archive);
    if (checked.verdict != afs::Verdict::ok) {
        FUZZ_CHECK((checked.verdict == afs::Verdict::failed_check) == (checked.failed != nullptr));
        return 0;
    }
    const afs::Archive& a = checked.archive;
    FUZZ_CHECK(a.bytes.data() == in.archive.data() && a.bytes.size() == in.archive.size());
    check_accessors(a);

    const afstest::Rebuilt rebuilt = afstest::rebuild_archive(a, in.replacements);
    // Inputs of a few kilobytes can only fail the capacity check.
    if (layout_fits(in, a)) {
        FUZZ_CHECK(rebuilt.failed == nullptr && !rebuilt.over_capacity.has_value());
    } else {
        FUZZ_CHECK(rebuilt.failed != nullptr &&
                   std::strcmp(rebuilt.failed, "off+size < out_size") == 0);
        FUZZ_CHECK(rebuilt.over_capacity.has_value() && *rebuilt.over_capacity < a.entries);
        return 0;
    }
    check_rebuilt(in, a, rebuilt.bytes);
    check_rebuilt_passes(a, rebuilt.bytes);
    return 0;
}
