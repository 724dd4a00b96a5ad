// What the platforms' files (posix/, windows/) would otherwise each write alike: the entry
// points that pass on to the platform's own routines, the moves of a Mapping, and the look at
// which source a piece of an output comes from.
#include "common.hpp"

#include <utility>

namespace wholefile {

std::span<std::uint8_t> mmap_file(const char* path) {
    return detail::map_whole(path, UINT64_MAX, nullptr, nullptr);
}

std::span<std::uint8_t> mmap_file(const char* path, std::uint64_t max_size, const char* too_large) {
    return detail::map_whole(path, max_size, too_large, nullptr);
}

std::span<std::uint8_t> mmap_file(const char* path, int* fd) {
    return detail::map_whole(path, UINT64_MAX, nullptr, fd);
}

Mapping::Mapping(Mapping&& other) noexcept
    : data_(other.data_), size_(other.size_), slot_(other.slot_), id_(other.id_) {
    other.data_ = nullptr;
    other.size_ = 0;
    other.slot_ = -1;
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
    // What this one held goes with the other.
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(slot_, other.slot_);
    std::swap(id_, other.id_);
    return *this;
}

void write_file(const char* path, std::span<const std::uint8_t> data) {
    const Piece whole{data.data(), data.size()};
    write_file(path, {&whole, 1}, {});
}

namespace detail {

const Source* source_of(const Piece& run, std::span<const Source> sources) {
    if (run.data == nullptr) return nullptr;
    for (const Source& source : sources) {
        const std::uintptr_t begin = address(source.mapping.data());
        const std::uintptr_t at = address(run.data);
        if (at >= begin && at - begin <= source.mapping.size() &&
            run.size <= source.mapping.size() - (at - begin))
            return &source;
    }
    return nullptr;
}

void fail_source(const Source& source, const char* shown, int error) {
    if (source.path == nullptr) fail_writing(shown, error);
    fail_changed(source.path);
}

} // namespace detail

} // namespace wholefile
