// Restores arbitrary ".bip" files in memory: a header of any value over a stream of any
// length.
//
// Checks that the buffer never exceeds what the stream could yield nor the header's size
// plus the one byte that detects an overlong stream, that the content is the stream's output
// cut at the header's size, and that the reported yield is the stream's whole yield.
#include "bip.hpp"
#include "bytes.hpp"
#include "check.hpp"
#include "lzss.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bip::Outcome outcome = bip::restore({data, size});
    if (size < bip::header_size) {
        FUZZ_CHECK(outcome.status == bip::Status::shorter_than_header);
        return 0;
    }
    FUZZ_CHECK(outcome.status == bip::Status::restored);
    const std::uint32_t stated =
        data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    FUZZ_CHECK(outcome.stated_size == stated);

    const std::span<const std::uint8_t> stream(data + bip::header_size, size - bip::header_size);
    const std::uint64_t yield = lzss::decoded_size(stream);
    FUZZ_CHECK(outcome.yielded == yield);
    FUZZ_CHECK(outcome.capacity <= lzss::max_decompressed_size(stream.size()));
    FUZZ_CHECK(outcome.capacity <= std::uint64_t{stated} + 1);
    FUZZ_CHECK(outcome.length == std::min<std::uint64_t>(yield, stated));
    FUZZ_CHECK(outcome.sizes_differ() == (yield != stated));

    const auto full = std::make_unique<std::uint8_t[]>(yield);
    FUZZ_CHECK(lzss::decompress_lzss({full.get(), yield}, stream) == yield);
    FUZZ_CHECK(outcome.length == 0 ||
               std::memcmp(outcome.content().data(), full.get(), outcome.length) == 0);
    return 0;
}
