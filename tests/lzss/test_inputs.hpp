// Inputs with known structure for the codec's tests, each deterministic for its arguments. Expected
// streams are written with testkit::StreamBuilder (tests/support/stream_builder.hpp).
#pragma once

#include <cstdint>
#include <initializer_list>
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

// ---- Generators, shared by the encoder's and decoder's tests --------------------------------

// Uniformly random bytes.
[[nodiscard]] Bytes random_bytes(std::size_t n, std::uint64_t seed);

// Bytes from a small alphabet, so that 3-byte matches are common but 18-byte ones rare.
[[nodiscard]] Bytes small_alphabet(std::size_t n, std::uint64_t seed, unsigned symbols);

// Words from a short vocabulary with spaces and line breaks, like prose or a script.
[[nodiscard]] Bytes text_like(std::size_t n, std::uint64_t seed);

// Runs of one byte with lengths of 1 to 40, values from a few, zero among them.
[[nodiscard]] Bytes runs(std::size_t n, std::uint64_t seed);

// A random unit of `period` bytes, repeated.
[[nodiscard]] Bytes periodic(std::size_t n, std::size_t period, std::uint64_t seed);

// Mostly random with pieces copied from earlier, at every distance up to the window's.
[[nodiscard]] Bytes with_copies(std::size_t n, std::uint64_t seed);

// Runs of a random byte up to 300 long, and copies of earlier stretches up to 200 long.
[[nodiscard]] Bytes runs_and_copies(std::size_t n, std::uint64_t seed);

// Big-endian 32-bit values from `first`, `step` apart (wrapping), as in tables of offsets.
[[nodiscard]] Bytes counters(std::size_t n, std::uint32_t first, std::uint32_t step);

// Records of a big-endian 16-bit id (i * 3) and a constant 16-bit field.
[[nodiscard]] Bytes id_pairs(std::size_t n);

// Distinct generated words, sorted, one per line.
[[nodiscard]] Bytes sorted_words(std::size_t n, std::uint64_t seed);

// The pieces one after another.
[[nodiscard]] Bytes joined(std::initializer_list<Bytes> pieces);

} // namespace test_inputs
