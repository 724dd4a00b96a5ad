// The plain decoder that the production decoder is checked against: byte at a time through a
// 4096-byte ring window that starts all zero, exactly as the stream format reads. Same
// contract as lzss::decompress_lzss: stops when the input cannot complete an item or when
// `out` is full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace lzss_reference {

[[nodiscard]] std::size_t decompress_lzss(std::span<std::uint8_t> out,
                                          std::span<const std::uint8_t> src);

} // namespace lzss_reference
