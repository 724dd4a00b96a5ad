// The LZSS decoder: one pass over the stream, straight into the caller's buffer.
//
// The output itself serves as the window: output byte n sits at window position
// (4078 + n) mod 4096, so a reference's absolute position turns into a distance back of
// 1..4096 bytes, and any source before the first output byte is the pre-filled window,
// read as 0x00 (positions 4078..4095 too, before output reaches them). A reference whose
// source lies at least 8 bytes back, and leaves room in the buffer, is copied in 8- or
// 16-byte moves; a shorter distance (an overlapping copy that repeats a pattern), a source
// in the pre-filled area, or a copy near the end of the buffer goes byte by byte.
//
// Decoding stops at the first item that the stream cannot complete (a reference missing its
// second byte is dropped whole) or as soon as the output buffer is full.
#include "lzss.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace lzss {

namespace {

constexpr std::size_t window_mask = window_size - 1;

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

// How far behind the write position a reference's source lies, 1..4096: the write position
// of output byte n is (4078 + n) mod 4096, and a source equal to it is the byte written
// 4096 bytes earlier.
constexpr std::size_t distance_back(std::size_t produced, std::size_t pos) {
    return ((first_write_pos + produced - pos - 1) & window_mask) + 1;
}

// Copies `length` bytes (at most `room`) from `distance` bytes back, byte k reading what is
// there after bytes 0..k-1 were stored, so a short distance repeats a pattern. Output
// before the start of the buffer is the pre-filled window, 0x00.
std::uint8_t* copy_reference(std::uint8_t* dst, const std::uint8_t* base, std::size_t distance,
                             std::size_t length, std::size_t room) {
    const std::size_t produced = static_cast<std::size_t>(dst - base);
    if (distance <= produced && room >= 32) {
        const std::uint8_t* from = dst - distance;
        // Chunks of 16 (or 8) read only bytes stored before the chunk starts; bytes copied
        // past `length` lie inside the buffer and are overwritten by what follows.
        if (distance >= 16) {
            std::memcpy(dst, from, 16);
            std::memcpy(dst + 16, from + 16, 16);
            return dst + length;
        }
        if (distance >= 8) {
            std::memcpy(dst, from, 8);
            std::memcpy(dst + 8, from + 8, 8);
            std::memcpy(dst + 16, from + 16, 8);
            return dst + length;
        }
    }
    for (std::size_t k = 0; k < length; ++k) {
        const std::size_t at = produced + k;
        dst[k] = at >= distance ? base[at - distance] : 0x00;
    }
    return dst + length;
}

} // namespace

std::size_t decompress_lzss(std::span<std::uint8_t> out, std::span<const std::uint8_t> src) {
    const std::uint8_t* in = src.data();
    const std::uint8_t* const in_end = in + src.size();
    std::uint8_t* const base = out.data();
    std::uint8_t* dst = base;
    std::uint8_t* const dst_end = dst + out.size();

    while (dst != dst_end && in != in_end) {
        unsigned flags = *in++;
        // Eight literals with room for them: the common case of incompressible data.
        if (flags == 0xFF && in_end - in >= 8 && dst_end - dst >= 8) {
            std::memcpy(dst, in, 8);
            dst += 8;
            in += 8;
            continue;
        }
        for (unsigned item = 0; item < 8; ++item, flags >>= 1) {
            if (dst == dst_end) break;
            if ((flags & 1) != 0) {
                if (in == in_end) break;
                *dst++ = *in++;
                continue;
            }
            if (in_end - in < 2) return static_cast<std::size_t>(dst - base);
            const std::size_t b0 = in[0];
            const std::size_t b1 = in[1];
            in += 2;
            const std::size_t pos = b0 | (b1 & 0xF0) << 4;
            const std::size_t produced = static_cast<std::size_t>(dst - base);
            const std::size_t room = static_cast<std::size_t>(dst_end - dst);
            const std::size_t length = (b1 & 0x0F) + min_match;
            dst = copy_reference(dst, base, distance_back(produced, pos), std::min(length, room),
                                 room);
        }
    }
    return static_cast<std::size_t>(dst - base);
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
