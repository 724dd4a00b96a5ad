#include "stream_builder.hpp"

#include <stdexcept>

namespace testkit {

StreamBuilder& StreamBuilder::literal(std::uint8_t byte) {
    open_item(true);
    stream_.push_back(byte);
    close_item(1);
    return *this;
}

StreamBuilder& StreamBuilder::literals(std::string_view text) {
    for (const char c : text) literal(static_cast<std::uint8_t>(c));
    return *this;
}

StreamBuilder& StreamBuilder::literals(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) literal(b);
    return *this;
}

StreamBuilder& StreamBuilder::reference(std::size_t pos, std::size_t length) {
    if (pos > 0xFFF || length < 3 || length > 18) throw std::invalid_argument("bad reference");
    open_item(false);
    stream_.push_back(static_cast<std::uint8_t>(pos & 0xFF));
    stream_.push_back(static_cast<std::uint8_t>((pos >> 8) << 4 | (length - 3)));
    close_item(length);
    return *this;
}

StreamBuilder& StreamBuilder::reference_back(std::size_t distance, std::size_t length) {
    return reference((4078 + yield_ - distance) & 0xFFF, length);
}

std::size_t StreamBuilder::yield_at_cut(std::size_t cut) const {
    std::size_t yield = 0;
    for (const auto& [end, total] : ends_)
        if (end <= cut) yield = total;
    return yield;
}

void StreamBuilder::open_item(bool is_literal) {
    if (items_ % 8 == 0) {
        flag_at_ = stream_.size();
        stream_.push_back(0);
    }
    if (is_literal)
        stream_[flag_at_] = static_cast<std::uint8_t>(stream_[flag_at_] | 1u << items_ % 8);
    ++items_;
}

void StreamBuilder::close_item(std::size_t produced) {
    yield_ += produced;
    ends_.emplace_back(stream_.size(), yield_);
}

} // namespace testkit
