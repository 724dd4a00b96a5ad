// The stream's output side: items gathered into groups of a flag byte and up to eight items,
// each group copied out when full. A byte that would land at the end of the caller's buffer
// fails the whole call instead.
#pragma once

#include "state.hpp"

#include <cstring>
#include <span>

namespace lzss {
namespace {

class GroupWriter {
public:
    explicit GroupWriter(std::span<std::uint8_t> out)
        : cursor_(out.data()), end_(out.data() + out.size()) {}

    [[nodiscard]] bool literal(std::uint8_t byte) {
        group_[0] = static_cast<std::uint8_t>(group_[0] | mask_);
        group_[length_++] = byte;
        return next_item();
    }

    // A reference to `length` bytes (3..18) at window position `pos`.
    [[nodiscard]] bool reference(std::int32_t pos, std::int32_t length) {
        group_[length_++] = static_cast<std::uint8_t>(pos & 0xFF);
        group_[length_++] = static_cast<std::uint8_t>(((pos >> 4) & 0xF0) | (length - 3));
        return next_item();
    }

    // Copies out the last, partly filled group; null when it does not fit, else the end of
    // the stream.
    [[nodiscard]] std::uint8_t* finish() {
        if (length_ > 1 && !flush()) return nullptr;
        return cursor_;
    }

private:
    // A flag byte and up to eight two-byte items.
    static constexpr std::size_t capacity = 1 + 8 * 2;

    [[nodiscard]] bool next_item() {
        mask_ = static_cast<std::uint8_t>(mask_ << 1);
        if (mask_ != 0) return true;
        if (!flush()) return false;
        group_[0] = 0;
        mask_ = 1;
        length_ = 1;
        return true;
    }

    [[nodiscard]] bool flush() {
        if (static_cast<std::size_t>(end_ - cursor_) >= length_) {
            std::memcpy(cursor_, group_.data(), length_);
            cursor_ += length_;
            return true;
        }
        // Up to the end of the room, which the caller may inspect after a failure.
        for (std::size_t k = 0; k < length_; ++k) {
            if (cursor_ == end_) return false;
            *cursor_++ = group_[k];
        }
        return true;
    }

    std::uint8_t* cursor_;
    std::uint8_t* const end_;
    std::array<std::uint8_t, capacity> group_{};
    std::uint8_t mask_ = 1;
    std::size_t length_ = 1;
};

} // namespace
} // namespace lzss
