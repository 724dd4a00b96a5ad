// Greedy generation of blocks without repeated 3-byte strings.
#include "test_inputs.hpp"

#include <set>
#include <stdexcept>
#include <tuple>

namespace test_inputs {

namespace {

using Trigram = std::tuple<std::uint8_t, std::uint8_t, std::uint8_t>;

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// One greedy attempt: each byte is drawn until its 3-byte string is new. Empty on a dead end.
Bytes try_unique_trigrams(std::size_t count, std::uint8_t lo, std::uint8_t hi, Random& random) {
    const std::size_t span = static_cast<std::size_t>(hi - lo) + 1;
    Bytes out;
    std::set<Trigram> seen;
    while (out.size() < count) {
        const std::size_t n = out.size();
        bool placed = false;
        for (int attempt = 0; attempt < 64 && !placed; ++attempt) {
            const auto byte = static_cast<std::uint8_t>(lo + random.below(span));
            if (n < 2) {
                out.push_back(byte);
                placed = true;
            } else if (seen.insert({out[n - 2], out[n - 1], byte}).second) {
                out.push_back(byte);
                placed = true;
            }
        }
        if (!placed) return {};
    }
    return out;
}

} // namespace

std::uint64_t Random::next() {
    return splitmix(state_);
}

Bytes unique_trigrams(std::size_t count, std::uint8_t lo, std::uint8_t hi, std::uint64_t seed,
                      bool as_ring) {
    Random random(seed);
    for (int round = 0; round < 1000; ++round) {
        Bytes candidate = try_unique_trigrams(count, lo, hi, random);
        if (!candidate.empty() && !has_repeated_trigram(candidate, as_ring)) return candidate;
    }
    throw std::runtime_error("no block with unique 3-byte strings found");
}

bool has_repeated_trigram(std::span<const std::uint8_t> data, bool as_ring) {
    const std::size_t n = data.size();
    if (n < 3) return false;
    const std::size_t starts = as_ring ? n : n - 2;
    std::set<Trigram> seen;
    for (std::size_t i = 0; i < starts; ++i) {
        if (!seen.insert({data[i], data[(i + 1) % n], data[(i + 2) % n]}).second) return true;
    }
    return false;
}

Layout& Layout::text(std::string_view piece) {
    data_.insert(data_.end(), piece.begin(), piece.end());
    return *this;
}

Layout& Layout::bytes(const Bytes& piece) {
    data_.insert(data_.end(), piece.begin(), piece.end());
    return *this;
}

} // namespace test_inputs
