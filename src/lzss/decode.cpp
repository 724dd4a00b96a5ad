// The LZSS decoder: one pass over the stream, byte at a time, straight into the caller's
// buffer.
//
// The 4096-byte ring window lives on the call's stack and starts all zero, so a reference
// into positions that no output has reached yet reads 0x00 bytes. Every output byte, literal
// or copied, is also stored at the write position, which starts at 4078 and wraps at 4096.
// References name absolute window positions, and are copied one byte at a time so that a
// reference overlapping its own output repeats a short pattern.
//
// The flag register holds the current group's flags in its low byte and a marker of 0xFF in
// its high byte: each shift moves the next flag into bit 0 and one marker bit out, so when
// bit 8 is clear no flags of the group remain and the next stream byte is a flag byte.
//
// Decoding stops at the first item that the stream cannot complete (a reference missing its
// second byte is dropped whole) or as soon as the output buffer is full.
#include "lzss.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace lzss {

namespace {

constexpr std::size_t window_mask = window_size - 1;
constexpr unsigned marker_bit = 0x100;
constexpr unsigned marker_byte = 0xFF00;

// Stream bytes of one full group: a flag byte and eight two-byte references.
constexpr std::uint64_t group_stream_bytes = 1 + 8 * 2;
constexpr std::uint64_t group_max_yield = 8 * max_match;

// The most a group of `bytes` stream bytes (1..17) can yield: its items as references,
// and an odd byte left over as one literal.
constexpr std::uint64_t max_group_yield(std::uint64_t bytes) {
    if (bytes == 0) return 0;
    const std::uint64_t items = bytes - 1;
    return items / 2 * max_match + items % 2;
}

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

std::uint64_t max_decompressed_size(std::uint64_t stream_len) {
    const std::uint64_t groups = stream_len / group_stream_bytes;
    const std::uint64_t tail = max_group_yield(stream_len % group_stream_bytes);
    // Only a stream of over 10^18 bytes could overflow; saturate rather than wrap.
    if (groups > (std::numeric_limits<std::uint64_t>::max() - tail) / group_max_yield)
        return std::numeric_limits<std::uint64_t>::max();
    return groups * group_max_yield + tail;
}

std::uint64_t decoded_size(std::span<const std::uint8_t> src) {
    std::uint64_t total = 0;
    std::size_t i = 0;
    const std::size_t n = src.size();
    while (i < n) {
        const unsigned flag_byte = src[i++];
        for (unsigned bit = 0; bit < 8; ++bit) {
            if ((flag_byte >> bit & 1) != 0) {
                if (i == n) return total;
                ++i;
                ++total;
            } else {
                if (n - i < 2) return total;
                total += (src[i + 1] & 0x0F) + min_match;
                i += 2;
            }
        }
    }
    return total;
}

} // namespace lzss
