// Decodes arbitrary bytes into an output buffer of arbitrary capacity.
//
// The first two input bytes give the capacity (little-endian, so 0..65535 bytes, more than a
// short stream can ever yield), the rest is the stream. The buffer is a heap block of exactly
// that capacity, so a write one byte past it lands outside the allocation. Beside memory
// safety the target checks what the decoder promises: it yields exactly what the stream's
// item lengths add up to, cut at the capacity, never more than the stream's yield bound, and
// a smaller buffer receives a prefix of what a buffer with room for everything receives.
#include "check.hpp"
#include "lzss.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

// Streams that yield more than this are not decoded a second time in full.
constexpr std::uint64_t full_decode_limit = std::uint64_t{1} << 20;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t capacity = data[0] | std::size_t{data[1]} << 8;
    const std::span<const std::uint8_t> stream(data + 2, size - 2);

    const auto out = std::make_unique<std::uint8_t[]>(capacity);
    const std::size_t written = lzss::decompress_lzss({out.get(), capacity}, stream);

    const std::uint64_t yield = lzss::decoded_size(stream);
    FUZZ_CHECK(yield <= lzss::max_decompressed_size(stream.size()));
    FUZZ_CHECK(written == std::min<std::uint64_t>(yield, capacity));

    if (yield <= full_decode_limit) {
        const auto full = std::make_unique<std::uint8_t[]>(yield);
        const std::size_t all = lzss::decompress_lzss({full.get(), yield}, stream);
        FUZZ_CHECK(all == yield);
        FUZZ_CHECK(written == 0 || std::memcmp(out.get(), full.get(), written) == 0);
    }
    return 0;
}
