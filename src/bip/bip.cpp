// The container logic behind crunchet and uncrunchet, kept apart from the programs so that
// tests and the fuzz target can run it in-process.
//
// Building: the size header is stored first, then the encoder writes the stream straight
// behind it, so nothing is copied.
//
// Restoring: the buffer gets one byte more than the header states (when the stream can fill it): a
// stream that reaches that byte yields more than the header says, and only then is the
// stream's full yield counted, from its item lengths, for the report. A well-formed
// container is decoded in one pass and never counted twice.
#include "bip.hpp"

#include "bytes.hpp"
#include "lzss.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>

namespace bip {

namespace {

static_assert(container_capacity(1) == 1 + 1 + header_size);
static_assert(container_capacity(200) == 229);

// Up to 2^32 bytes, which a 32-bit size_t cannot hold: the caller checks before narrowing.
[[nodiscard]] std::uint64_t buffer_size_for(std::uint32_t stated_size,
                                            std::span<const std::uint8_t> stream) {
    const std::uint64_t wanted = std::uint64_t{stated_size} + 1;
    return std::min(wanted, lzss::max_decompressed_size(stream.size()));
}

} // namespace

Container build_container(std::span<const std::uint8_t> content) {
    Container result;
    if (content.empty()) return result;
    if (content.size() > max_content_size) {
        result.status = BuildStatus::too_large;
        return result;
    }

    // About 2.25 GiB at most, which a 32-bit size_t holds; checked all the same.
    const std::uint64_t capacity = container_capacity(content.size());
    if (capacity > std::numeric_limits<std::size_t>::max()) {
        result.status = BuildStatus::out_of_memory;
        return result;
    }
    result.capacity = static_cast<std::size_t>(capacity);
    result.buffer.reset(new (std::nothrow) std::uint8_t[result.capacity]);
    if (!result.buffer) {
        result.status = BuildStatus::out_of_memory;
        return result;
    }

    std::uint8_t* const start = result.buffer.get();
    wholefile::store_le32(start, static_cast<std::uint32_t>(content.size()));
    // The capacity always holds the stream, so a null end can only be a failed allocation.
    const std::uint8_t* const end =
        lzss::compress_lzss({start + header_size, result.capacity - header_size}, content);
    if (end == nullptr) {
        result.buffer.reset();
        result.status = BuildStatus::out_of_memory;
        return result;
    }
    result.size = static_cast<std::size_t>(end - start);
    result.status = BuildStatus::built;
    return result;
}

bool is_well_formed(std::span<const std::uint8_t> file) {
    return file.size() >= header_size &&
           lzss::decoded_size(file.subspan(header_size)) == wholefile::load_le32(file.data());
}

Outcome prepare_restore(std::span<const std::uint8_t> file) {
    Outcome outcome;
    if (file.size() < header_size) {
        outcome.status = Status::shorter_than_header;
        return outcome;
    }
    outcome.stated_size = wholefile::load_le32(file.data());
    const std::span<const std::uint8_t> stream = file.subspan(header_size);

    outcome.capacity = buffer_size_for(outcome.stated_size, stream);
    if (outcome.capacity > std::numeric_limits<std::size_t>::max()) {
        outcome.status = Status::out_of_memory;
        return outcome;
    }
    outcome.buffer.reset(new (std::nothrow)
                             std::uint8_t[static_cast<std::size_t>(outcome.capacity)]);
    if (!outcome.buffer) outcome.status = Status::out_of_memory;
    return outcome;
}

void finish_restore(Outcome& outcome, std::span<const std::uint8_t> file) {
    const std::span<const std::uint8_t> stream = file.subspan(header_size);
    const auto capacity = static_cast<std::size_t>(outcome.capacity);
    const std::size_t decoded = lzss::decompress_lzss({outcome.buffer.get(), capacity}, stream);
    if (decoded > outcome.stated_size) {
        outcome.yielded = lzss::decoded_size(stream);
        outcome.length = outcome.stated_size;
    } else {
        outcome.yielded = decoded;
        outcome.length = decoded;
    }
}

Outcome restore(std::span<const std::uint8_t> file) {
    Outcome outcome = prepare_restore(file);
    if (outcome.status == Status::restored) finish_restore(outcome, file);
    return outcome;
}

} // namespace bip
