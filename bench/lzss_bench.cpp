// In-memory throughput (bytes of uncompressed data per second) of the encoder, the plain
// reference encoder it must agree with, and the decoder, on each data set. Each encoder's
// output is checked against the reference once before timing, so a fast wrong encoder
// cannot post a figure.
#include "bench_data.hpp"
#include "lzss.hpp"
#include "reference_encoder.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

using bench_data::Bytes;

constexpr std::size_t set_size = 1 << 20;

Bytes encode(decltype(&lzss::compress_lzss) encoder, const Bytes& input) {
    Bytes out(lzss::max_compressed_size(input.size()));
    const std::uint8_t* const end = encoder(out, input);
    if (end == nullptr) std::abort();
    out.resize(static_cast<std::size_t>(end - out.data()));
    return out;
}

void bench_encoder(benchmark::State& state, decltype(&lzss::compress_lzss) encoder,
                   const Bytes& input) {
    Bytes out(lzss::max_compressed_size(input.size()));
    std::size_t stream = 0;
    for (auto _ : state) {
        const std::uint8_t* const end = encoder(out, input);
        benchmark::DoNotOptimize(end);
        stream = static_cast<std::size_t>(end - out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
    state.counters["ratio"] = static_cast<double>(stream) / static_cast<double>(input.size());
}

void bench_decoder(benchmark::State& state, const Bytes& input) {
    const Bytes stream = encode(lzss::compress_lzss, input);
    Bytes out(input.size());
    for (auto _ : state) {
        const std::size_t n = lzss::decompress_lzss(out, stream);
        benchmark::DoNotOptimize(out.data());
        if (n != input.size()) state.SkipWithError("decoded length differs");
    }
    if (out != input) state.SkipWithError("decoded bytes differ");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

void register_all() {
    for (const bench_data::DataSet& set : bench_data::data_sets(set_size)) {
        if (encode(lzss::compress_lzss, set.bytes) !=
            encode(lzss_reference::compress_lzss, set.bytes)) {
            std::fprintf(stderr, "encoder output differs from the reference on %s\n",
                         set.name.c_str());
            std::exit(1);
        }
        benchmark::RegisterBenchmark(("compress/" + set.name).c_str(), bench_encoder,
                                     lzss::compress_lzss, std::cref(set.bytes));
        benchmark::RegisterBenchmark(("reference/" + set.name).c_str(), bench_encoder,
                                     lzss_reference::compress_lzss, std::cref(set.bytes));
        benchmark::RegisterBenchmark(("decompress/" + set.name).c_str(), bench_decoder,
                                     std::cref(set.bytes));
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    register_all();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
