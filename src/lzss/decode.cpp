// The LZSS decoder: one pass over the stream, straight into the caller's buffer.
//
// The output itself serves as the window: output byte n sits at window position
// (4078 + n) mod 4096, so a reference's absolute position turns into a distance back of
// 1..4096 bytes, and any source before the first output byte is the pre-filled window,
// read as 0x00 (positions 4078..4095 too, before output reaches them).
//
// Two paths decode a group. While a whole group's 17 stream bytes are there and the output
// has room for eight longest references plus 32 bytes of slack, the fast path decodes the
// group with no end checks and copies every reference in fixed-size moves that may spill
// past its length into the slack (what follows overwrites it): 16-byte moves for a source
// 16 or more bytes back, 8-byte moves for 8..15, and for 1..7 an 8-byte pattern of the
// repeated bytes stored at a step that is a multiple of the distance. A source in the
// pre-filled area is filled with zeros for its part before the buffer and copied byte by
// byte after; only the first 4096 bytes of output can meet one, so the fast path after them
// is compiled without that check. Near either end the careful path checks every item
// against both ends and never writes past the buffer.
//
// Decoding stops at the first item that the stream cannot complete (a reference missing its
// second byte is dropped whole) or as soon as the output buffer is full.
#include "lzss.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>

namespace lzss {

namespace {

constexpr std::size_t window_mask = window_size - 1;

// Stream bytes of one full group: a flag byte and eight two-byte references.
constexpr std::uint64_t group_stream_bytes = 1 + 8 * 2;
constexpr std::uint64_t group_max_yield = 8 * max_match;

// Stream bytes the fast path needs before a group: the group, and the spill of an 8-byte
// move of literals that starts at most 17 bytes into it (the empty run after the eighth
// item, when that is a reference).
constexpr std::size_t fast_group_stream = 17 + 8;

// Output room the fast path needs before a group: eight references, and the widest spill
// of the last one's moves (32 bytes from its start).
constexpr std::size_t fast_group_room = group_max_yield + 32;

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

// Unaligned moves through memcpy, which compilers turn into one load or store each; the bytes
// keep their order, so nothing depends on the machine's alignment rules or byte order. Every
// move below loads all its bytes before it stores any.
template <std::size_t n>
using Block = std::array<std::uint8_t, n>;

template <std::size_t n>
[[nodiscard]] Block<n> load(const std::uint8_t* from) {
    Block<n> block;
    std::memcpy(block.data(), from, n);
    return block;
}

template <std::size_t n>
void store(std::uint8_t* to, const Block<n>& block) {
    std::memcpy(to, block.data(), n);
}

// For a distance d of 1..7: byte i of the 8-byte pattern is the source byte i mod d, and
// the pattern repeats exactly when stored every step[d] bytes (the largest multiple of d
// that is at most 8).
struct ShortDistance {
    std::array<std::array<std::uint8_t, 8>, 8> index{};
    std::array<std::uint8_t, 8> step{};
};

constexpr ShortDistance make_short_distance() {
    ShortDistance table;
    for (std::size_t d = 1; d < 8; ++d) {
        for (std::size_t i = 0; i < 8; ++i) table.index[d][i] = static_cast<std::uint8_t>(i % d);
        table.step[d] = static_cast<std::uint8_t>(8 / d * d);
    }
    return table;
}

constexpr ShortDistance short_distance = make_short_distance();

// Bytes k of a reference whose source lies before the buffer: those before the first output
// byte are the pre-filled 0x00, the rest are copied one at a time, each after the store of
// the byte it may read.
void copy_from_prefill(std::uint8_t* dst, const std::uint8_t* base, std::size_t distance,
                       std::size_t length) {
    const std::size_t produced = static_cast<std::size_t>(dst - base);
    const std::size_t zeros = std::min(length, distance - produced);
    std::memset(dst, 0, zeros);
    for (std::size_t k = zeros; k < length; ++k) dst[k] = base[produced + k - distance];
}

// A reference with at least 32 bytes of room past its start and its source inside the
// buffer; each move reads only bytes stored before it starts.
void copy_with_slack(std::uint8_t* dst, std::size_t distance) {
    const std::uint8_t* const from = dst - distance;
    if (distance >= 16) {
        store(dst, load<16>(from));
        store(dst + 16, load<16>(from + 16));
    } else if (distance >= 8) {
        store(dst, load<8>(from));
        store(dst + 8, load<8>(from + 8));
        store(dst + 16, load<8>(from + 16));
    } else {
        const auto& index = short_distance.index[distance];
        Block<8> pattern;
        for (std::size_t i = 0; i < 8; ++i) pattern[i] = from[index[i]];
        // Three stores at a step of at least 5 reach byte 2 * 5 + 8 = 18, the longest reference.
        const std::size_t step = short_distance.step[distance];
        store(dst, pattern);
        store(dst + step, pattern);
        store(dst + 2 * step, pattern);
    }
}

// One reference of a group on the fast path: `in` holds its two bytes. `near_start`: fewer
// than 4096 bytes were output before the group, so the source may lie before the buffer.
template <bool near_start>
std::uint8_t* fast_reference(std::uint8_t* dst, const std::uint8_t* base, const std::uint8_t* in) {
    const std::size_t b0 = in[0];
    const std::size_t b1 = in[1];
    const std::size_t pos = b0 | (b1 & 0xF0) << 4;
    const std::size_t length = (b1 & 0x0F) + min_match;
    const std::size_t produced = static_cast<std::size_t>(dst - base);
    const std::size_t distance = distance_back(produced, pos);
    if (near_start && distance > produced) [[unlikely]]
        copy_from_prefill(dst, base, distance, length);
    else
        copy_with_slack(dst, distance);
    return dst + length;
}

// Decodes one whole group (fast_group_stream bytes readable, fast_group_room bytes of room)
// and returns the stream position after it; `dst` moves past its output. Each run of
// literals is one 8-byte move, so the branches follow the references, not every item.
template <bool near_start>
const std::uint8_t* fast_group(std::uint8_t*& dst, const std::uint8_t* base,
                               const std::uint8_t* in) {
    const unsigned flags = *in++;
    // Eight literals: all that incompressible data holds.
    if (flags == 0xFF) {
        store(dst, load<8>(in));
        dst += 8;
        return in + 8;
    }
    // A set bit for each reference, and one after the eighth item, so that one test per
    // literal run both finds the next reference and ends the group.
    unsigned references = (~flags & 0xFFu) | 0x100u;
    for (;;) {
        const unsigned literals = static_cast<unsigned>(std::countr_zero(references));
        store(dst, load<8>(in));
        dst += literals;
        in += literals;
        references >>= literals;
        if (references == 1) return in;
        dst = fast_reference<near_start>(dst, base, in);
        in += 2;
        references >>= 1;
    }
}

// Copies `length` bytes (at most `room`) from `distance` bytes back, byte k reading what is
// there after bytes 0..k-1 were stored, so a short distance repeats a pattern.
std::uint8_t* careful_reference(std::uint8_t* dst, const std::uint8_t* base, std::size_t distance,
                                std::size_t length, std::size_t room) {
    const std::size_t produced = static_cast<std::size_t>(dst - base);
    if (distance > produced) {
        copy_from_prefill(dst, base, distance, length);
    } else if (room >= 32) {
        copy_with_slack(dst, distance);
    } else {
        const std::uint8_t* const from = dst - distance;
        for (std::size_t k = 0; k < length; ++k) dst[k] = from[k];
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

    const auto group_fits = [&] {
        return in_end - in >= static_cast<std::ptrdiff_t>(fast_group_stream) &&
               dst_end - dst >= static_cast<std::ptrdiff_t>(fast_group_room);
    };
    while (group_fits() && static_cast<std::size_t>(dst - base) < window_size)
        in = fast_group<true>(dst, base, in);
    while (group_fits()) in = fast_group<false>(dst, base, in);

    while (dst != dst_end && in != in_end) {
        unsigned flags = *in++;
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
            dst = careful_reference(dst, base, distance_back(produced, pos), std::min(length, room),
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
