// Inputs with known structure for the codec's tests. Expected streams are written with
// testkit::StreamBuilder (tests/support/stream_builder.hpp).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace test_inputs {

using Bytes = std::vector<std::uint8_t>;

// `count` bytes drawn from lo..hi in which no 3-byte string occurs twice; with `as_ring`
// also not across the join of the end to the start. Deterministic for a given seed.
[[nodiscard]] Bytes unique_trigrams(std::size_t count, std::uint8_t lo, std::uint8_t hi,
                                    std::uint64_t seed, bool as_ring = false);

// Whether some 3-byte string occurs twice in `data` (read as a ring when asked).
[[nodiscard]] bool has_repeated_trigram(std::span<const std::uint8_t> data, bool as_ring);

// Pseudo-random bytes from a fixed generator, so failures reproduce.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next();
    std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }

private:
    std::uint64_t state_;
};

// An input put together from pieces of text and bytes.
class Layout {
public:
    Layout& text(std::string_view piece);
    Layout& bytes(const Bytes& piece);
    [[nodiscard]] std::size_t size() const { return data_.size(); }
    [[nodiscard]] const Bytes& data() const { return data_; }

private:
    Bytes data_;
};

} // namespace test_inputs
