// Compresses one of the benchmark's data sets a number of times and nothing else, for tools
// that watch a whole process: `valgrind --tool=cachegrind`, `perf record`.
//
//     lzss_profile SET [TIMES]        SET: text, code, image, mixed, zeros, random, period2
#include "bench_data.hpp"
#include "lzss.hpp"

#include <cstdio>
#include <cstdlib>
#include <string_view>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s SET [TIMES]\n", argv[0]);
        return 2;
    }
    const std::string_view name = argv[1];
    const long times = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 1;
    for (const bench_data::DataSet& set : bench_data::data_sets(1 << 20)) {
        if (set.name != name) continue;
        bench_data::Bytes out(lzss::max_compressed_size(set.bytes.size()));
        std::size_t stream = 0;
        for (long k = 0; k < times; ++k) {
            const std::uint8_t* const end = lzss::compress_lzss(out, set.bytes);
            if (end == nullptr) return 1;
            stream = static_cast<std::size_t>(end - out.data());
        }
        std::printf("%s: %zu bytes -> %zu\n", set.name.c_str(), set.bytes.size(), stream);
        return 0;
    }
    std::fprintf(stderr, "no data set '%s'\n", argv[1]);
    return 2;
}
