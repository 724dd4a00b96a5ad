// The container in one heap block: the size header is stored first, then the encoder
// writes the stream straight behind it, so nothing is copied.
#include "container.hpp"

#include "bytes.hpp"
#include "lzss.hpp"

#include <new>

namespace crunchet {

namespace {

using wholefile::bip_header_size;

static_assert(container_capacity(1) == 1 + 1 + bip_header_size);
static_assert(container_capacity(200) == 229);

} // namespace

Container build_container(std::span<const std::uint8_t> content) {
    Container result;
    if (content.empty()) return result;
    if (content.size() > max_content_size) {
        result.status = Status::too_large;
        return result;
    }

    result.capacity = static_cast<std::size_t>(container_capacity(content.size()));
    result.buffer.reset(new (std::nothrow) std::uint8_t[result.capacity]);
    if (!result.buffer) {
        result.status = Status::out_of_memory;
        return result;
    }

    std::uint8_t* const start = result.buffer.get();
    wholefile::store_le32(start, static_cast<std::uint32_t>(content.size()));
    // The capacity always holds the stream, so a null end can only be a failed allocation.
    const std::uint8_t* const end =
        lzss::compress_lzss({start + bip_header_size, result.capacity - bip_header_size}, content);
    if (end == nullptr) {
        result.buffer.reset();
        result.status = Status::out_of_memory;
        return result;
    }
    result.size = static_cast<std::size_t>(end - start);
    result.status = Status::built;
    return result;
}

} // namespace crunchet
