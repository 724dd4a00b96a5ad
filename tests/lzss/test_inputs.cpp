// Generators of test input, and greedy generation of blocks without repeated 3-byte strings.
#include "test_inputs.hpp"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>
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

// Uniformly random bytes.
Bytes random_bytes(std::size_t n, std::uint64_t seed) {
    Random rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng.next() >> 24);
    return out;
}

// Bytes from a small alphabet, so that 3-byte matches are common but 18-byte ones rare.
Bytes small_alphabet(std::size_t n, std::uint64_t seed, unsigned symbols) {
    Random rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>('a' + rng.below(symbols));
    return out;
}

// Words from a short vocabulary with spaces and line breaks, like prose or a script.
Bytes text_like(std::size_t n, std::uint64_t seed) {
    static const char* const words[] = {
        "the ",  "data ", "file ",  "of ", "archive ",    "entry ",  "and ",   "name\n",
        "size ", "\t",    "0x00, ", "  ",  "compressed ", "window ", "match ", "game "};
    Random rng(seed);
    Bytes out;
    while (out.size() < n) {
        const std::string_view word = words[rng.below(std::size(words))];
        out.insert(out.end(), word.begin(), word.end());
    }
    out.resize(n);
    return out;
}

// Runs of one byte with lengths of 1 to 40, values from a few, zero among them.
Bytes runs(std::size_t n, std::uint64_t seed) {
    static const std::uint8_t values[] = {0x00, 0x20, 0xFF, 'a', 0x01};
    Random rng(seed);
    Bytes out;
    while (out.size() < n) out.insert(out.end(), 1 + rng.below(40), values[rng.below(5)]);
    out.resize(n);
    return out;
}

// A random unit of `period` bytes, repeated.
Bytes periodic(std::size_t n, std::size_t period, std::uint64_t seed) {
    const Bytes unit = random_bytes(period, seed);
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = unit[i % period];
    return out;
}

// Mostly random with pieces copied from earlier, at every distance up to the window's.
Bytes with_copies(std::size_t n, std::uint64_t seed) {
    Random rng(seed);
    Bytes out;
    while (out.size() < n) {
        if (out.size() > 20 && rng.below(3) == 0) {
            const std::size_t back = 1 + rng.below(std::min<std::size_t>(out.size(), 4200));
            const std::size_t len = 1 + rng.below(30);
            for (std::size_t k = 0; k < len; ++k) out.push_back(out[out.size() - back]);
        } else {
            out.push_back(static_cast<std::uint8_t>(rng.next() >> 40));
        }
    }
    out.resize(n);
    return out;
}

// Runs of a random byte up to 300 long, and copies of earlier stretches up to 200 long.
Bytes runs_and_copies(std::size_t n, std::uint64_t seed) {
    Random rng(seed);
    Bytes out;
    while (out.size() < n) {
        if (rng.below(2) == 0 || out.size() < 20) {
            out.insert(out.end(), 1 + rng.below(300), static_cast<std::uint8_t>(rng.next()));
        } else {
            const std::size_t from = rng.below(out.size());
            const std::size_t len = std::min<std::size_t>(1 + rng.below(200), out.size() - from);
            out.insert(out.end(), out.begin() + static_cast<long>(from),
                       out.begin() + static_cast<long>(from + len));
        }
    }
    out.resize(n);
    return out;
}

// Big-endian 32-bit values from `first`, `step` apart (wrapping), as in tables of offsets.
Bytes counters(std::size_t n, std::uint32_t first, std::uint32_t step) {
    Bytes out;
    for (std::uint32_t v = first; out.size() < n; v += step)
        for (const int shift : {24, 16, 8, 0}) out.push_back(static_cast<std::uint8_t>(v >> shift));
    out.resize(n);
    return out;
}

// Records of a big-endian 16-bit id (i * 3) and a constant 16-bit field.
Bytes id_pairs(std::size_t n) {
    Bytes out;
    for (std::uint32_t i = 0; out.size() < n; ++i)
        for (const std::uint32_t v : {(i * 3) & 0xFFFF, 7u})
            for (const int shift : {8, 0}) out.push_back(static_cast<std::uint8_t>(v >> shift));
    out.resize(n);
    return out;
}

// Distinct generated words, sorted, one per line.
Bytes sorted_words(std::size_t n, std::uint64_t seed) {
    Random rng(seed);
    std::vector<std::string> words;
    for (std::size_t total = 0; total < n; total += words.back().size() + 1) {
        std::string word;
        for (std::size_t k = 0, len = 3 + rng.below(10); k < len; ++k)
            word.push_back(static_cast<char>('a' + rng.below(26)));
        words.push_back(word);
    }
    std::sort(words.begin(), words.end());
    Bytes out;
    for (const std::string& word : words) {
        out.insert(out.end(), word.begin(), word.end());
        out.push_back('\n');
    }
    out.resize(n);
    return out;
}

// The pieces one after another.
Bytes joined(std::initializer_list<Bytes> pieces) {
    Bytes out;
    for (const Bytes& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

} // namespace test_inputs
