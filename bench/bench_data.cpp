// Where a file named here is missing the data set is made from what is found, and in the
// end from a generator, so the benchmarks always run; the source used is printed.
#include "bench_data.hpp"

#include <cstdio>
#include <fstream>

namespace bench_data {

namespace {

Bytes read_range(const char* path, std::size_t skip, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    in.seekg(static_cast<std::streamoff>(skip));
    Bytes out(limit);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(limit));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out;
}

// Files appended in turn until `size` bytes are gathered.
Bytes gather(const std::vector<const char*>& paths, std::size_t skip, std::size_t size) {
    Bytes out;
    for (const char* const path : paths) {
        if (out.size() >= size) break;
        const Bytes part = read_range(path, skip, size - out.size());
        if (!part.empty()) std::fprintf(stderr, "bench data: %zu bytes of %s\n", part.size(), path);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

std::uint64_t next(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

Bytes random_bytes(std::size_t size) {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    Bytes out(size);
    for (auto& b : out) b = static_cast<std::uint8_t>(next(state) >> 32);
    return out;
}

// Raw 8-bit RGB rows: smooth gradients, flat shapes and a little sensor noise, like an
// uncompressed texture.
Bytes raw_image(std::size_t size) {
    constexpr std::size_t width = 512;
    std::uint64_t state = 12345;
    Bytes out(size);
    for (std::size_t i = 0; i + 2 < size; i += 3) {
        const std::size_t pixel = i / 3;
        const std::size_t x = pixel % width;
        const std::size_t y = pixel / width;
        const bool in_box = (x / 64 + y / 48) % 3 == 0;
        const unsigned noise = static_cast<unsigned>(next(state) & 3);
        out[i] = static_cast<std::uint8_t>(in_box ? 200 : (x / 2 + noise));
        out[i + 1] = static_cast<std::uint8_t>(in_box ? 40 : (y / 3 + noise));
        out[i + 2] = static_cast<std::uint8_t>(in_box ? 90 : ((x + y) / 4));
    }
    return out;
}

Bytes text(std::size_t size) {
    Bytes out = gather({"/usr/share/vim/vim90/doc/options.txt", "/usr/share/vim/vim90/doc/eval.txt",
                        "/usr/share/vim/vim90/doc/syntax.txt", "/usr/share/common-licenses/GPL-3",
                        "/etc/services"},
                       0, size);
    while (out.size() < size && !out.empty()) out.push_back(out[out.size() % 7919]);
    return out.empty() ? Bytes(size, 'a') : out;
}

Bytes code(std::size_t size) {
    // Past the headers of the executable, into its instructions.
    Bytes out = gather({"/usr/bin/cmake", "/usr/bin/gdb", "/usr/bin/perl", "/bin/sh"}, 65536, size);
    return out.empty() ? random_bytes(size) : out;
}

std::vector<DataSet> make(std::size_t size) {
    std::vector<DataSet> sets;
    sets.push_back({"text", text(size)});
    sets.push_back({"code", code(size)});
    sets.push_back({"image", raw_image(size)});
    Bytes mixed;
    for (const DataSet& set : sets) mixed.insert(mixed.end(), set.bytes.begin(), set.bytes.end());
    sets.push_back({"mixed", std::move(mixed)});
    sets.push_back({"zeros", Bytes(size, 0)});
    sets.push_back({"random", random_bytes(size)});
    Bytes period2(size);
    for (std::size_t i = 0; i < size; ++i) period2[i] = i % 2 == 0 ? 0x12 : 0xAB;
    sets.push_back({"period2", std::move(period2)});
    return sets;
}

} // namespace

const std::vector<DataSet>& data_sets(std::size_t size) {
    static const std::vector<DataSet> sets = make(size);
    return sets;
}

} // namespace bench_data
