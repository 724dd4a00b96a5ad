// The plain, step-for-step encoder that the production encoder is checked against. Same
// contract as lzss::compress_lzss: a pointer just past the stream, or null for an empty or
// oversized input or when the stream does not fit in `out` (never written past its end).
#pragma once

#include <cstdint>
#include <span>

namespace lzss_reference {

[[nodiscard]] std::uint8_t* compress_lzss(std::span<std::uint8_t> out,
                                          std::span<const std::uint8_t> src);

} // namespace lzss_reference
