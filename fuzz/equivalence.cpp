// The production codec against the plain reference codec, byte for byte.
//
// The input is compressed by both encoders, into the worst-case room and into a room taken
// from the input (which may be too short: then both must give null and leave the same first
// bytes), and is decoded as a stream by both decoders into a block whose capacity is taken
// from the input. The reference encoder follows the tree operations step by step, so any
// difference is a fault of the fast one.
#include "check.hpp"
#include "lzss.hpp"
#include "reference_decoder.hpp"
#include "reference_encoder.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

void compare_encoders(std::span<const std::uint8_t> src, std::size_t room) {
    const auto fast = std::make_unique<std::uint8_t[]>(room);
    const auto plain = std::make_unique<std::uint8_t[]>(room);
    const std::uint8_t* const fast_end = lzss::compress_lzss({fast.get(), room}, src);
    const std::uint8_t* const plain_end = lzss_reference::compress_lzss({plain.get(), room}, src);
    FUZZ_CHECK((fast_end == nullptr) == (plain_end == nullptr));
    const std::size_t compared =
        fast_end == nullptr ? room : static_cast<std::size_t>(fast_end - fast.get());
    if (fast_end != nullptr)
        FUZZ_CHECK(compared == static_cast<std::size_t>(plain_end - plain.get()));
    FUZZ_CHECK(compared == 0 || std::memcmp(fast.get(), plain.get(), compared) == 0);
}

void compare_decoders(std::span<const std::uint8_t> stream, std::size_t capacity) {
    const auto fast = std::make_unique<std::uint8_t[]>(capacity);
    const auto plain = std::make_unique<std::uint8_t[]>(capacity);
    const std::size_t got = lzss::decompress_lzss({fast.get(), capacity}, stream);
    const std::size_t want = lzss_reference::decompress_lzss({plain.get(), capacity}, stream);
    FUZZ_CHECK(got == want);
    FUZZ_CHECK(got == 0 || std::memcmp(fast.get(), plain.get(), got) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> src(data, size);
    const auto bound = static_cast<std::size_t>(lzss::max_compressed_size(size));
    compare_encoders(src, bound);
    if (size == 0) return 0;
    compare_encoders(src, bound * data[0] / 255);

    const std::size_t capacity = (size >= 2 ? data[1] << 8 | data[0] : data[0]) * 4;
    compare_decoders(src, capacity);
    return 0;
}
