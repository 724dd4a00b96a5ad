// LZSS streams written item by item, for tests that need a stream of a known shape: each
// literal or reference is appended, a flag byte opening every group of eight, and the
// builder remembers where each item ends and how much output the stream yields up to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace testkit {

class StreamBuilder {
public:
    StreamBuilder& literal(std::uint8_t byte);
    StreamBuilder& literals(std::string_view text);
    StreamBuilder& literals(std::span<const std::uint8_t> bytes);
    // A reference to window position `pos` (0..4095) copying `length` (3..18) bytes; other
    // values throw std::invalid_argument.
    StreamBuilder& reference(std::size_t pos, std::size_t length);
    // A reference to the window position `distance` bytes behind the next output byte
    // (output byte i sits at window position (4078 + i) mod 4096).
    StreamBuilder& reference_back(std::size_t distance, std::size_t length);

    [[nodiscard]] const std::vector<std::uint8_t>& bytes() const { return stream_; }
    // What the whole stream decodes to, in bytes.
    [[nodiscard]] std::size_t yield() const { return yield_; }
    // What the stream cut after its first `cut` bytes decodes to: the items that end
    // within the cut.
    [[nodiscard]] std::size_t yield_at_cut(std::size_t cut) const;

private:
    void open_item(bool is_literal);
    void close_item(std::size_t produced);

    std::vector<std::uint8_t> stream_;
    std::size_t flag_at_ = 0;
    std::size_t items_ = 0;
    std::size_t yield_ = 0;
    std::vector<std::pair<std::size_t, std::size_t>> ends_; // per item: stream end, yield
};

} // namespace testkit
