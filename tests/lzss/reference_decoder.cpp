#include "reference_decoder.hpp"

#include <algorithm>
#include <array>

namespace lzss_reference {

namespace {

constexpr std::size_t window_size = 4096;
constexpr std::size_t window_mask = window_size - 1;
constexpr std::size_t first_write_pos = 4078;
constexpr std::size_t min_match = 3;
// The flag register keeps a marker of 0xFF above the group's flags: when a shift has moved
// the last marker bit out of bit 8, the next stream byte is a flag byte.
constexpr unsigned marker_bit = 0x100;
constexpr unsigned marker_byte = 0xFF00;

} // namespace

std::size_t decompress_lzss(std::span<std::uint8_t> out, std::span<const std::uint8_t> src) {
    std::array<std::uint8_t, window_size> window{};
    std::size_t write_pos = first_write_pos;
    unsigned flags = 0;

    const std::uint8_t* in = src.data();
    const std::uint8_t* const in_end = in + src.size();
    std::uint8_t* dst = out.data();
    std::uint8_t* const dst_end = dst + out.size();

    while (dst != dst_end) {
        flags >>= 1;
        if ((flags & marker_bit) == 0) {
            if (in == in_end) break;
            flags = *in++ | marker_byte;
        }

        if ((flags & 1) != 0) {
            if (in == in_end) break;
            const std::uint8_t byte = *in++;
            *dst++ = byte;
            window[write_pos] = byte;
            write_pos = (write_pos + 1) & window_mask;
            continue;
        }

        if (in_end - in < 2) break;
        const std::size_t b0 = in[0];
        const std::size_t b1 = in[1];
        in += 2;
        std::size_t pos = b0 | (b1 & 0xF0) << 4;
        const std::size_t room = static_cast<std::size_t>(dst_end - dst);
        const std::size_t length = std::min((b1 & 0x0F) + min_match, room);
        for (std::size_t k = 0; k < length; ++k) {
            // Read after the previous store: an overlapping reference sees its own output.
            const std::uint8_t byte = window[pos];
            *dst++ = byte;
            window[write_pos] = byte;
            write_pos = (write_pos + 1) & window_mask;
            pos = (pos + 1) & window_mask;
        }
    }
    return static_cast<std::size_t>(dst - out.data());
}

} // namespace lzss_reference
