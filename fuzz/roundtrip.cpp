// Compresses arbitrary bytes and decodes them back.
//
// The stream goes into a heap block of exactly the all-literal worst case, n + ceil(n / 8),
// which it must never need more than, and must decode to the input. It is then compressed
// again into blocks one byte too short and of a length taken from the input: those must give
// null, hold the stream's first bytes, and never be written past (a block of exactly its
// length ends at the end of its allocation, where the address checker watches).
#include "check.hpp"
#include "lzss.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

// Compresses into a block of exactly `room` bytes and checks the result against `stream`,
// the complete stream of `src`.
void compress_into(std::size_t room, std::span<const std::uint8_t> src,
                   std::span<const std::uint8_t> stream) {
    const auto out = std::make_unique<std::uint8_t[]>(room);
    const std::uint8_t* const end = lzss::compress_lzss({out.get(), room}, src);
    if (room >= stream.size()) {
        FUZZ_CHECK(end == out.get() + stream.size());
        FUZZ_CHECK(std::memcmp(out.get(), stream.data(), stream.size()) == 0);
    } else {
        FUZZ_CHECK(end == nullptr);
        FUZZ_CHECK(room == 0 || std::memcmp(out.get(), stream.data(), room) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> src(data, size);
    const std::size_t bound = lzss::max_compressed_size(size);
    const auto out = std::make_unique<std::uint8_t[]>(bound);
    const std::uint8_t* const end = lzss::compress_lzss({out.get(), bound}, src);
    if (size == 0) {
        FUZZ_CHECK(end == nullptr);
        return 0;
    }
    FUZZ_CHECK(end != nullptr);
    FUZZ_CHECK(end > out.get() && end <= out.get() + bound);
    const std::span<const std::uint8_t> stream(out.get(),
                                               static_cast<std::size_t>(end - out.get()));

    FUZZ_CHECK(lzss::decoded_size(stream) == size);
    const auto back = std::make_unique<std::uint8_t[]>(size);
    FUZZ_CHECK(lzss::decompress_lzss({back.get(), size}, stream) == size);
    FUZZ_CHECK(std::memcmp(back.get(), data, size) == 0);

    compress_into(stream.size() - 1, src, stream);
    compress_into(data[0] * stream.size() / 256, src, stream);
    return 0;
}
