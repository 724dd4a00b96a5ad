// LZSS over a 4096-byte ring window with matches of 3 to 18 bytes.
//
// The stream is a sequence of groups: one flag byte, then up to eight items, the flags used
// from bit 0 up. A set flag is a literal byte; a clear flag is a two-byte reference
// b0, b1 naming an absolute window position b0 | (b1 & 0xF0) << 4 and a length
// (b1 & 0x0F) + 3. The stream has no header, length, end marker or checksum.
// Output starts at window position 4078; positions before it read as 0x00.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace lzss {

inline constexpr std::size_t window_size = 4096;
inline constexpr std::size_t max_match = 18;
inline constexpr std::size_t min_match = 3;
inline constexpr std::size_t first_write_pos = window_size - max_match; // 4078

// Decodes `src` into `out` and returns the number of bytes written. Decoding stops when
// the input runs out (a reference missing its second byte is dropped) or when `out` is
// full, whichever comes first; it never writes past out.size().
[[nodiscard]] std::size_t decompress_lzss(std::span<std::uint8_t> out,
                                          std::span<const std::uint8_t> src);

// The most bytes a stream of `stream_len` bytes can decode to: eight 18-byte references
// for every 17 stream bytes.
[[nodiscard]] std::uint64_t max_decompressed_size(std::uint64_t stream_len);

// The number of bytes the whole of `src` decodes to, counted from the item lengths alone
// (no window, no output): what decompress_lzss() returns given unlimited room.
[[nodiscard]] std::uint64_t decoded_size(std::span<const std::uint8_t> src);

// The all-literal worst case of the encoder: n + ceil(n / 8).
[[nodiscard]] constexpr std::uint64_t max_compressed_size(std::uint64_t n) {
    return n + (n + 7) / 8;
}

// The largest input compress_lzss() accepts (its lengths are signed 32-bit).
inline constexpr std::size_t max_input_size = 0x7FFFFFFF;

// Encodes `src` into `out` and returns a pointer just past the last byte written, or null
// when `src` is empty, larger than max_input_size, or when the stream does not fit in
// `out` (nothing is ever written at or past out.data() + out.size()). The output is fixed
// to the byte: the same input always gives the same stream.
[[nodiscard]] std::uint8_t* compress_lzss(std::span<std::uint8_t> out,
                                          std::span<const std::uint8_t> src);

} // namespace lzss
