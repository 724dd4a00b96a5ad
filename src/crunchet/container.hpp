// Building a ".bip" container in memory: the 4-byte little-endian original size, then the
// LZSS stream of the content, in one heap block sized for the all-literal worst case.
#pragma once

#include "bytes.hpp"
#include "lzss.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace crunchet {

// The largest content a container is built for: the most the encoder takes.
inline constexpr std::uint64_t max_content_size = lzss::max_input_size;

// Header plus the all-literal worst case of the stream.
[[nodiscard]] constexpr std::uint64_t container_capacity(std::uint64_t n) {
    return wholefile::bip_header_size + lzss::max_compressed_size(n);
}

enum class Status {
    built,
    empty,        // nothing to compress
    too_large,    // more than max_content_size bytes
    out_of_memory // the buffer, or the encoder's search state, could not be allocated
};

struct Container {
    Status status = Status::empty;
    std::size_t capacity = 0;               // bytes asked for the buffer
    std::unique_ptr<std::uint8_t[]> buffer; // set only when built
    std::size_t size = 0;                   // header and stream

    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {buffer.get(), size}; }
};

// Compresses `content` into a new container. The buffer is left uninitialised past what
// is written, so memory that the stream does not reach is never touched.
[[nodiscard]] Container build_container(std::span<const std::uint8_t> content);

} // namespace crunchet
