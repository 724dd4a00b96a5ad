#include "afs_image.hpp"

#include <algorithm>
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

Bytes pattern(std::size_t count, std::uint8_t seed) {
    Bytes out(count);
    for (std::size_t k = 0; k < count; ++k)
        out[k] = static_cast<std::uint8_t>(seed + k * 7 + k / 251);
    return out;
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

namespace {

std::uint64_t up(std::uint64_t n) {
    return (n + 2047) / 2048 * 2048;
}

std::string name_at(const Bytes& input, std::uint64_t rec) {
    std::string name;
    for (std::uint64_t k = 0; k < 32 && input.at(rec + k) != 0; ++k)
        name.push_back(static_cast<char>(input[rec + k]));
    return name;
}

} // namespace

Expected expected_rebuild(const Bytes& input, const std::map<std::string, Bytes>& replacements) {
    const std::uint32_t n = get32(input, 4);
    std::uint64_t names_in = get32(input, 8 + 8ull * n);
    if (names_in == 0 && get32(input, 12 + 8ull * n) == 0)
        names_in = get32(input, get32(input, 8) - 8);

    Expected ex;
    std::uint64_t cursor = up(8ull * (n + 2));
    std::vector<std::pair<std::uint64_t, Bytes>> placed;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t pos = get32(input, 8 + 8ull * i);
        const std::uint32_t len = get32(input, 12 + 8ull * i);
        if (pos == 0) {
            ex.table.push_back({pos, len});
            continue;
        }
        const auto found = replacements.find(name_at(input, names_in + 48ull * i));
        Bytes data = found != replacements.end()
                         ? found->second
                         : Bytes(input.begin() + pos, input.begin() + pos + len);
        ex.table.push_back(
            {static_cast<std::uint32_t>(cursor), static_cast<std::uint32_t>(data.size())});
        const std::uint64_t next = up(cursor + data.size());
        placed.emplace_back(cursor, std::move(data));
        cursor = next;
    }
    ex.names_off = cursor;
    ex.locator_at = n > 0 && ex.table[0][0] != 0 ? ex.table[0][0] - 8ull : 8 + 8ull * n;

    ex.bytes.assign(up(cursor + 48ull * n), 0);
    std::copy(input.begin(), input.begin() + 8, ex.bytes.begin());
    for (std::uint32_t i = 0; i < n; ++i) {
        put32(ex.bytes, 8 + 8ull * i, ex.table[i][0]);
        put32(ex.bytes, 12 + 8ull * i, ex.table[i][1]);
    }
    for (const auto& [at, data] : placed)
        std::copy(data.begin(), data.end(), ex.bytes.begin() + at);
    std::copy(input.begin() + names_in, input.begin() + names_in + 48ull * n,
              ex.bytes.begin() + cursor);
    for (std::uint32_t i = 0; i < n; ++i)
        if (ex.table[i][0] != 0) put32(ex.bytes, cursor + 48ull * i + 44, ex.table[i][1]);
    put32(ex.bytes, ex.locator_at, static_cast<std::uint32_t>(cursor));
    put32(ex.bytes, ex.locator_at + 4, 48 * n);
    return ex;
}

namespace {

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

} // namespace

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
        image.entries.push_back(with_data(name, pos, text(content)));
        pos += static_cast<std::uint32_t>(content.size());
    }
    // The file ends on a 4096-byte boundary; the rebuild needs the room that gives, as the
    // rebuilt data may take no more than four times the input's size.
    image.size = (pos + 4095) / 4096 * 4096;
    image.place = Place::first;
    return build(image);
}

Bytes sample_replacement() {
    return text("Welcome, traveller! The village has been waiting for you.\n");
}

} // namespace afstest
