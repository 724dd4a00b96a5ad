// The production codec against the plain reference codec, byte for byte.
//
// The input is compressed by both encoders, into the worst-case room and into a room taken
// from the input (which may be too short: then both must give null and leave the same first
// bytes), and is decoded as a stream by both decoders into a block whose capacity is taken
// from the input. The reference encoder follows the tree operations step by step, so any
// difference is a fault of the fast one.
//
// An input that starts with the byte shape_tag instead describes a longer input made of
// pieces of sorted data (counters, ids, runs), which make the search trees degenerate and
// switch form, and both encoders compress that.
#include "check.hpp"
#include "encoder_probe.hpp"
#include "lzss.hpp"
#include "reference_decoder.hpp"
#include "reference_encoder.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t checked_limit = 1024;

void compare_encoders(std::span<const std::uint8_t> src, std::size_t room) {
    const auto fast = std::make_unique<std::uint8_t[]>(room);
    const auto plain = std::make_unique<std::uint8_t[]>(room);
    // The encoder's own tree checker runs too, where the build has it, on inputs small
    // enough for a check after every step to leave the fuzzer its pace.
    lzss::probe::FormSwitches switches;
    const std::uint8_t* const fast_end = lzss::probe::compress_lzss_counting(
        {fast.get(), room}, src, switches, src.size() <= checked_limit);
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

constexpr std::uint8_t shape_tag = 0xA7;
constexpr std::size_t shaped_limit = 8 * 1024;

void append_be(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// Each three bytes of `description` add a piece: its kind, its length in units of 256 bytes, and a
// parameter.
std::vector<std::uint8_t> shaped_input(std::span<const std::uint8_t> description) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 3 <= description.size() && out.size() < shaped_limit; i += 3) {
        const std::size_t end = out.size() + 256 * (1 + description[i + 1] % 16);
        const std::uint32_t param = description[i + 2];
        for (std::uint32_t k = 0; out.size() < end; ++k) {
            switch (description[i] % 4) {
            case 0: // rising big-endian counters
                append_be(out, (param << 16) + k * 4 * (1 + param % 4), 4);
                break;
            case 1: // falling ones
                append_be(out, 0xFFFFFFFFu - (param << 8) - k * (1 + param % 8), 4);
                break;
            case 2: // 16-bit ids beside a constant field
                append_be(out, (k * (1 + param)) & 0xFFFF, 2);
                append_be(out, param, 2);
                break;
            default: // runs of one byte
                out.insert(out.end(), 1 + (k * 7 + param) % 23,
                           static_cast<std::uint8_t>(k + param));
                break;
            }
        }
        out.resize(std::min(end, shaped_limit));
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0 && data[0] == shape_tag) {
        const std::vector<std::uint8_t> input = shaped_input({data + 1, size - 1});
        compare_encoders(input, static_cast<std::size_t>(lzss::max_compressed_size(input.size())));
        return 0;
    }
    const std::span<const std::uint8_t> src(data, size);
    const auto bound = static_cast<std::size_t>(lzss::max_compressed_size(size));
    compare_encoders(src, bound);
    if (size == 0) return 0;
    compare_encoders(src, bound * data[0] / 255);

    const std::size_t capacity = (size >= 2 ? data[1] << 8 | data[0] : data[0]) * 4;
    compare_decoders(src, capacity);
    return 0;
}
