// Restoring the content of a ".bip" container held in memory.
//
// A container is a 4-byte little-endian size header followed by an LZSS stream that runs to
// the end of the file. The header is trusted only as far as the stream can back it: the
// output buffer is sized by the smaller of the header's size and the most the stream could
// ever yield, so a forged header cannot make a tiny file claim gigabytes. The content is
// never longer than the header states; how much the whole stream yields is reported beside
// it so that the caller can flag a container whose header and stream disagree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace bip {

enum class Status {
    restored,            // content holds what the stream yields, cut at the header's size
    shorter_than_header, // the file cannot hold the 4-byte size header
    out_of_memory,       // the output buffer of `capacity` bytes could not be allocated
};

struct Outcome {
    Status status = Status::restored;
    std::uint32_t stated_size = 0; // what the header says
    std::uint64_t yielded = 0;     // what the whole stream decodes to
    std::size_t capacity = 0;      // the size of the output buffer that was asked for
    std::unique_ptr<std::uint8_t[]> buffer;
    std::size_t length = 0; // bytes of content in buffer: min(yielded, stated_size)

    [[nodiscard]] std::span<const std::uint8_t> content() const { return {buffer.get(), length}; }
    [[nodiscard]] bool sizes_differ() const { return yielded != stated_size; }
};

// Decodes the container in `file`. Never prints, never ends the process.
[[nodiscard]] Outcome restore(std::span<const std::uint8_t> file);

} // namespace bip
