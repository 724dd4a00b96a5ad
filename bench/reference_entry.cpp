// The encoder entry that crunchet's container calls, bound to the plain reference encoder
// for the bench-only build of crunchet.
#include "lzss.hpp"
#include "reference_encoder.hpp"

namespace lzss {

std::uint8_t* compress_lzss(std::span<std::uint8_t> out, std::span<const std::uint8_t> src) {
    return lzss_reference::compress_lzss(out, src);
}

} // namespace lzss
