#include "afs_image.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace afstest {

void put32(Bytes& bytes, std::uint64_t at, std::uint32_t value) {
    for (int k = 0; k < 4; ++k) bytes.at(at + k) = static_cast<std::uint8_t>(value >> (8 * k));
}

std::uint32_t get32(const Bytes& bytes, std::uint64_t at) {
    std::uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = value << 8 | bytes.at(at + k);
    return value;
}

Bytes patched(Bytes bytes, std::uint64_t at, std::uint32_t value) {
    put32(bytes, at, value);
    return bytes;
}

Entry with_data(std::string name, std::uint32_t pos, Bytes data) {
    Entry e;
    e.pos = pos;
    e.len = static_cast<std::uint32_t>(data.size());
    e.name_len = e.len;
    for (std::size_t k = 0; k < e.extra.size(); ++k)
        e.extra[k] = static_cast<std::uint8_t>(0xa0 + k + name.size());
    e.name = std::move(name);
    e.data = std::move(data);
    return e;
}

Entry without_data(std::string name, std::uint32_t len) {
    Entry e = with_data(std::move(name), 0, {});
    e.len = len;
    e.name_len = len;
    return e;
}

Bytes build(const Image& image) {
    Bytes out(image.size, 0);
    const auto n = static_cast<std::uint32_t>(image.entries.size());
    for (const Entry& e : image.entries)
        if (e.pos != 0) std::copy(e.data.begin(), e.data.end(), out.begin() + e.pos);
    std::memcpy(out.data(), "AFS", 4);
    put32(out, 4, n);
    for (std::uint32_t i = 0; i < n; ++i) {
        put32(out, 8 + 8 * i, image.entries[i].pos);
        put32(out, 12 + 8 * i, image.entries[i].len);
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        const Entry& e = image.entries[i];
        const std::uint64_t rec = image.names_pos + 48ull * i;
        if (e.name.size() > 32) throw std::invalid_argument("name longer than its field");
        std::fill(out.begin() + rec, out.begin() + rec + 32, 0);
        std::copy(e.name.begin(), e.name.end(), out.begin() + rec);
        std::copy(e.extra.begin(), e.extra.end(), out.begin() + rec + 32);
        put32(out, rec + 44, e.name_len);
    }
    const std::uint64_t locator =
        image.place == Place::first ? 8 + 8ull * n : image.entries.at(0).pos - 8ull;
    put32(out, locator, image.names_pos);
    put32(out, locator + 4, 48 * n);
    return out;
}

Bytes one_entry(const std::string& name, const Bytes& data) {
    Image image;
    image.size = 2048 + data.size() + 48;
    image.names_pos = static_cast<std::uint32_t>(2048 + data.size());
    image.entries = {with_data(name, 2048, data)};
    return build(image);
}

Bytes as_placed(const Image& image, const Bytes& input,
                const std::map<std::string, Bytes>& replacements, const Placed& placed) {
    const auto n = static_cast<std::uint32_t>(image.entries.size());
    if (placed.table.size() != n) throw std::invalid_argument("one table record per entry");
    Bytes out(placed.length, 0);
    std::copy(input.begin(), input.begin() + 8, out.begin());
    const auto place = [&](std::uint64_t at, auto first, auto last) {
        if (at + static_cast<std::uint64_t>(last - first) > out.size())
            throw std::invalid_argument("placed past the archive's length");
        std::copy(first, last, out.begin() + static_cast<std::ptrdiff_t>(at));
    };
    place(placed.names_at, input.begin() + image.names_pos,
          input.begin() + image.names_pos + 48ull * n);
    for (std::uint32_t i = 0; i < n; ++i) {
        const auto [pos, len] = placed.table[i];
        put32(out, 8 + 8 * i, pos);
        put32(out, 12 + 8 * i, len);
        const Entry& e = image.entries[i];
        if (e.pos == 0) continue;
        const auto found = replacements.find(e.name);
        if (found != replacements.end())
            place(pos, found->second.begin(), found->second.end());
        else
            place(pos, input.begin() + e.pos, input.begin() + e.pos + e.len);
        put32(out, placed.names_at + 48ull * i + 44, len);
    }
    put32(out, placed.locator_at, placed.names_at);
    put32(out, placed.locator_at + 4, 48 * n);
    return out;
}

Bytes sample_archive() {
    // Packed tightly on 16-byte boundaries, as a small tool might have written it; the
    // rebuild spreads it onto 2048-byte boundaries.
    const std::vector<std::pair<std::string, std::string>> files = {
        {"readme.txt", "This archive is a sample for swapfold.\nEach entry is a text file.\n"},
        {"greeting.txt", "Hello, traveller! Welcome to the village.\n"},
        {"menu.txt", "New game\nContinue\nOptions\nQuit\n"},
        {"credits.txt", "Story: the village scribe\nMusic: the bard\nCode: the smith\n"},
        {"story.txt", "Long ago the river ran backwards for one night, and nobody in the "
                      "village has stopped talking about it since.\n"},
    };
    Image image;
    image.names_pos = 64;
    std::uint32_t pos = image.names_pos + 48 * static_cast<std::uint32_t>(files.size());
    for (const auto& [name, content] : files) {
        pos = (pos + 15) / 16 * 16;
        image.entries.push_back(with_data(name, pos, testkit::bytes_of(content)));
        pos += static_cast<std::uint32_t>(content.size());
    }
    // The file ends on a 4096-byte boundary; the rebuild needs the room that gives, as the
    // rebuilt data may take no more than four times the input's size.
    image.size = (pos + 4095) / 4096 * 4096;
    image.place = Place::first;
    return build(image);
}

Bytes sample_replacement() {
    return testkit::bytes_of("Welcome, traveller! The village has been waiting for you.\n");
}

// Two entries with data, the locator right after the table and names at 64.
Image two_entries() {
    Image image;
    image.size = 4000;
    image.names_pos = 64;
    image.entries = {with_data("one.bin", 200, testkit::pattern(50, 1)),
                     with_data("two.bin", 300, testkit::pattern(100, 2))};
    return image;
}

std::vector<RebuildRow> rebuild_rows() {
    std::vector<RebuildRow> rows;
    {
        // one.bin at 2048..2098, two.bin at 4096..4196, the names at 6144..6240.
        RebuildRow r{"locator in the first place", two_entries(), {}, {}};
        r.placed = {{{{2048, 50}}, {{4096, 100}}}, 6144, 2040, 8192};
        rows.push_back(r);
    }
    {
        // The same layout: a rebuilt archive has its locator before the first data.
        RebuildRow r{"locator in the second place", two_entries(), {}, {}};
        r.image.place = Place::second;
        r.placed = {{{{2048, 50}}, {{4096, 100}}}, 6144, 2040, 8192};
        rows.push_back(r);
    }
    {
        RebuildRow r{"out of order with gaps", {}, {}, {}};
        r.image.size = 9000;
        r.image.names_pos = 100;
        r.image.entries = {with_data("late.bin", 8000, testkit::pattern(900, 4)),
                           with_data("early.bin", 500, testkit::pattern(3000, 5)),
                           with_data("mid.bin", 5000, testkit::pattern(2048, 6))};
        // Table order, gaps gone: 2048..2948, 4096..7096, 8192..10240 and names from there.
        r.placed = {{{{2048, 900}}, {{4096, 3000}}, {{8192, 2048}}}, 10240, 2040, 12288};
        rows.push_back(r);
    }
    {
        RebuildRow r{"pos 0 entries and empty entries", {}, {}, {}};
        r.image.size = 1200;
        r.image.names_pos = 600;
        r.image.entries = {with_data("a", 100, testkit::pattern(30, 7)), without_data("b", 77),
                           with_data("empty", 200, {}), with_data("c", 300, testkit::pattern(9, 8)),
                           without_data("d", 0)};
        r.image.entries[1].extra = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        // "a" at 2048..2078; "empty" takes no room, so "c" starts where it does, at 4096;
        // "b" and "d" keep their records; the 240 bytes of names at 6144.
        r.placed = {
            {{{2048, 30}}, {{0, 77}}, {{4096, 0}}, {{4096, 9}}, {{0, 0}}}, 6144, 2040, 8192};
        rows.push_back(r);
    }
    {
        RebuildRow r{"first entry without data", {}, {}, {}};
        r.image.size = 600;
        r.image.names_pos = 40;
        r.image.entries = {without_data("none", 5), with_data("x", 300, testkit::pattern(40, 9))};
        // No first data to put the locator before: it goes right after the table, at 24.
        r.placed = {{{{0, 5}}, {{2048, 40}}}, 4096, 24, 6144};
        rows.push_back(r);
    }
    {
        // The data of "wide" covers the whole name table and the locator.
        RebuildRow r{"data overlapping the name table", {}, {}, {}};
        r.image.size = 1100;
        r.image.names_pos = 200;
        r.image.entries = {with_data("wide", 40, testkit::pattern(600, 10)),
                           with_data("tail", 1000, testkit::pattern(40, 11))};
        r.image.place = Place::second;
        r.placed = {{{{2048, 600}}, {{4096, 40}}}, 6144, 2040, 8192};
        rows.push_back(r);
    }
    {
        // The data of "all" covers the header, the table and the locator.
        RebuildRow r{"data overlapping the entry table", {}, {}, {}};
        r.image.size = 700;
        r.image.names_pos = 100;
        r.image.entries = {with_data("all", 8, testkit::pattern(200, 20))};
        r.placed = {{{{2048, 200}}}, 4096, 2040, 6144};
        rows.push_back(r);
    }
    {
        RebuildRow r{"duplicate names, replaced larger and smaller", {}, {}, {}};
        r.image.size = 3000;
        r.image.names_pos = 64;
        r.image.entries = {with_data("same", 400, testkit::pattern(100, 12)),
                           with_data("other", 600, testkit::pattern(2000, 13)),
                           with_data("same", 2700, testkit::pattern(10, 14))};
        r.replacements = {{"same", testkit::pattern(2100, 15)}, {"other", testkit::pattern(1, 16)}};
        // Both "same" take the 2100 bytes: 2048..4148, 8192..10292; "other" 6144..6145.
        r.placed = {{{{2048, 2100}}, {{6144, 1}}, {{8192, 2100}}}, 12288, 2040, 14336};
        rows.push_back(r);
    }
    {
        RebuildRow r{"name filling its field", two_entries(), {}, {}};
        r.image.entries[0].name = std::string(32, 'q');
        r.replacements = {{std::string(32, 'q'), testkit::pattern(5000, 17)}};
        r.placed = {{{{2048, 5000}}, {{8192, 100}}}, 10240, 2040, 12288};
        rows.push_back(r);
    }
    {
        RebuildRow r{"table ending where the first data starts", {}, {}, {}};
        r.image.size = 16384;
        r.image.names_pos = 2048;
        for (int i = 0; i < 254; ++i)
            r.image.entries.push_back(without_data(std::string("e").append(std::to_string(i)), 1));
        r.image.entries[0] = with_data("e0", 15000, testkit::pattern(5, 18));
        r.image.place = Place::second;
        // 8 * 256 is 2048 already: the locator after the table is also the one before the
        // data. The 12192 bytes of names at 4096 end at 16288.
        r.placed.table.assign(254, {0, 1});
        r.placed.table[0] = {2048, 5};
        r.placed.names_at = 4096;
        r.placed.locator_at = 2040;
        r.placed.length = 16384;
        rows.push_back(r);
    }
    {
        // A zero-length first entry still has data: the locator goes before its offset.
        RebuildRow r{"zero-length first entry", {}, {}, {}};
        r.image.size = 900;
        r.image.names_pos = 500;
        r.image.entries = {with_data("zero", 300, {}), with_data("z2", 310, {}),
                           with_data("one", 320, testkit::pattern(1, 21))};
        r.image.place = Place::second;
        r.placed = {{{{2048, 0}}, {{2048, 0}}, {{2048, 1}}}, 4096, 2040, 6144};
        rows.push_back(r);
    }
    {
        // Entries that follow one another on 2048-byte boundaries, in the input as in the
        // output, one of them larger than any block a writer might use, and a last one that
        // ends short of a boundary.
        RebuildRow r{"contiguous entries on boundaries", {}, {}, {}};
        r.image.size = 2048 + 4096 + 294912 + 2048 + 1000 + 2048;
        r.image.names_pos = 2048 + 4096 + 294912 + 2048 + 1000;
        r.image.entries = {with_data("a", 2048, testkit::pattern(4096, 22)),
                           with_data("b", 2048 + 4096, testkit::pattern(294912, 23)),
                           with_data("c", 2048 + 4096 + 294912, testkit::pattern(2048, 24)),
                           with_data("d", 2048 + 4096 + 294912 + 2048, testkit::pattern(1000, 25))};
        r.image.place = Place::second;
        // Each entry stays where it was; "d" ends at 304104, so the names go to 305152.
        r.placed = {{{{2048, 4096}}, {{6144, 294912}}, {{301056, 2048}}, {{303104, 1000}}},
                    305152,
                    2040,
                    307200};
        rows.push_back(r);
    }
    {
        RebuildRow r{"no entries", {}, {}, {}};
        r.image.size = 64;
        r.image.names_pos = 32; // nonzero, so the first place is used
        // An empty name table right after the header, the locator in the first place.
        r.placed = {{}, 2048, 8, 2048};
        rows.push_back(r);
    }
    return rows;
}

} // namespace afstest
