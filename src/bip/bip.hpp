// The ".bip" container, both directions, in memory: a 4-byte little-endian size header, then
// the LZSS stream of the content, which runs to the end of the file. crunchet builds
// containers with build_container; uncrunchet restores them with restore. Neither prints nor
// ends the process.
//
// Restoring trusts the header only as far as the stream can back it: the output buffer is
// sized by the smaller of the header's size and the most the stream could ever yield, so a
// forged header cannot make a tiny file claim gigabytes. The content is never longer than the
// header states; how much the whole stream yields is reported beside it so that the caller
// can flag a container whose header and stream disagree.
#pragma once

#include "lzss.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace bip {

// The header: one little-endian 32-bit field, the content's size.
inline constexpr std::size_t header_size = 4;

// ---- Building --------------------------------------------------------------------------------

// The largest content a container is built for: the most the encoder takes.
inline constexpr std::uint64_t max_content_size = lzss::max_input_size;

// Header plus the all-literal worst case of the stream.
[[nodiscard]] constexpr std::uint64_t container_capacity(std::uint64_t n) {
    return header_size + lzss::max_compressed_size(n);
}

enum class BuildStatus {
    built,
    empty,        // nothing to compress
    too_large,    // more than max_content_size bytes
    out_of_memory // the buffer, or the encoder's search state, could not be allocated
};

struct Container {
    BuildStatus status = BuildStatus::empty;
    std::size_t capacity = 0;               // bytes asked for the buffer
    std::unique_ptr<std::uint8_t[]> buffer; // set only when built
    std::size_t size = 0;                   // header and stream

    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {buffer.get(), size}; }
};

// Compresses `content` into a new container, in one heap block sized by container_capacity.
// The buffer is left uninitialised past what is written, so memory that the stream does not
// reach is never touched.
[[nodiscard]] Container build_container(std::span<const std::uint8_t> content);

// ---- Restoring -------------------------------------------------------------------------------

enum class Status {
    restored,            // content holds what the stream yields, cut at the header's size
    shorter_than_header, // the file cannot hold the 4-byte size header
    out_of_memory,       // the output buffer of `capacity` bytes could not be allocated, or
                         // is more than this machine can address
};

struct Outcome {
    Status status = Status::restored;
    std::uint32_t stated_size = 0; // what the header says
    std::uint64_t yielded = 0;     // what the whole stream decodes to
    std::uint64_t capacity = 0;    // the size of the output buffer that was asked for
    std::unique_ptr<std::uint8_t[]> buffer;
    std::size_t length = 0; // bytes of content in buffer: min(yielded, stated_size)

    [[nodiscard]] std::span<const std::uint8_t> content() const { return {buffer.get(), length}; }
    [[nodiscard]] bool sizes_differ() const { return yielded != stated_size; }
};

// Whether `file` is a well-formed container: a header, and a stream that yields exactly the
// size it states. Counted from the stream's item lengths, without decoding.
[[nodiscard]] bool is_well_formed(std::span<const std::uint8_t> file);

// Decodes the container in `file`: prepare_restore, then finish_restore.
[[nodiscard]] Outcome restore(std::span<const std::uint8_t> file);

// The two halves of restore, for a caller that prepares the buffer's memory before it is
// written. prepare_restore reads the header and allocates `capacity` bytes of buffer, decoding
// nothing; a status other than restored means there is nothing to finish. finish_restore
// then decodes into that buffer and sets yielded and length.
[[nodiscard]] Outcome prepare_restore(std::span<const std::uint8_t> file);
void finish_restore(Outcome& outcome, std::span<const std::uint8_t> file);

} // namespace bip
