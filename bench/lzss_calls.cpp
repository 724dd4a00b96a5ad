// The codec's time per call on many small inputs, in memory: every file named on the command
// line is compressed in one call and its stream decoded in another, as crunchet and
// uncrunchet do once per file, round after round. Prints the median over the rounds of the
// microseconds per compress call and per decompress call, which is what a run of either
// program spends in the codec.
//
//     lzss_calls ROUNDS FILE...
#include "lzss.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

[[nodiscard]] Bytes read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

[[nodiscard]] double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[(values.size() - 1) / 2];
}

[[nodiscard]] double micros_per_call(Clock::time_point from, Clock::time_point to,
                                     std::size_t calls) {
    return std::chrono::duration<double, std::micro>(to - from).count() /
           static_cast<double>(calls);
}

// Compresses every input into its stream; false if the encoder refuses one.
[[nodiscard]] bool compress_all(const std::vector<Bytes>& inputs, std::vector<Bytes>& streams) {
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        Bytes& stream = streams[k];
        stream.resize(lzss::max_compressed_size(inputs[k].size()));
        const std::uint8_t* const end = lzss::compress_lzss(stream, inputs[k]);
        if (end == nullptr) return false;
        stream.resize(static_cast<std::size_t>(end - stream.data()));
    }
    return true;
}

// Decodes every stream into `restored`; false if one does not give its input back.
[[nodiscard]] bool decompress_all(const std::vector<Bytes>& inputs,
                                  const std::vector<Bytes>& streams, std::vector<Bytes>& restored) {
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        restored[k].resize(inputs[k].size());
        if (lzss::decompress_lzss(restored[k], streams[k]) != inputs[k].size()) return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const long rounds = argc >= 3 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (rounds <= 0) {
        std::fprintf(stderr, "usage: %s ROUNDS FILE...\n", argv[0]);
        return 2;
    }
    std::vector<Bytes> inputs;
    for (int i = 2; i < argc; ++i) inputs.push_back(read_file(argv[i]));
    std::vector<Bytes> streams(inputs.size());
    std::vector<Bytes> restored(inputs.size());

    std::vector<double> compress_times;
    std::vector<double> decompress_times;
    for (long round = 0; round < rounds; ++round) {
        const Clock::time_point start = Clock::now();
        if (!compress_all(inputs, streams)) return 1;
        const Clock::time_point compressed = Clock::now();
        if (!decompress_all(inputs, streams, restored)) return 1;
        const Clock::time_point decompressed = Clock::now();
        compress_times.push_back(micros_per_call(start, compressed, inputs.size()));
        decompress_times.push_back(micros_per_call(compressed, decompressed, inputs.size()));
    }
    if (restored != inputs) {
        std::fprintf(stderr, "the decoder did not restore the inputs\n");
        return 1;
    }
    std::printf("%.1f %.1f\n", median(compress_times), median(decompress_times));
    return 0;
}
