// Key comparison. A node's key is the 18 bytes that start at its window position; every key
// of one tree has the same byte 0, so comparisons look at bytes 1..17. They are compared
// eight at a time as big-endian numbers: bytes 1..8, which decide nearly every comparison for
// the cost of one load, then bytes 9..16 and byte 17 only where the earlier ones agree. That
// finds the same first difference, and the same order, as a byte-by-byte loop.
#pragma once

#include "state.hpp"

#include <bit>
#include <cstring>

namespace lzss {
namespace {

// Eight bytes as a big-endian number: comparing two such numbers orders them as their
// first differing byte does.
inline std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

// A compiler extension on the 64-bit targets we build for. A walk's own key is kept as one
// such number, which walks side by side keep in registers better than a pair of halves.
__extension__ typedef unsigned __int128 u128;

// Key bytes 1..16 as one big-endian 128-bit number: bytes 1..8 in the high half.
inline u128 load_be128(const std::uint8_t* p) {
    return static_cast<u128>(load_be64(p)) << 64 | load_be64(p + 8);
}

inline std::uint64_t high_half(u128 key) {
    return static_cast<std::uint64_t>(key >> 64);
}

// How many leading bytes two different eight-byte halves share.
inline std::uint32_t agreeing_bytes(std::uint64_t a, std::uint64_t b) {
    return static_cast<std::uint32_t>(std::countl_zero(a ^ b)) / 8;
}

// How a key stands against a node's: the bytes they share (18 when all agree) and the side
// the key goes to.
struct Order {
    std::uint32_t length;
    std::size_t side;
};

constexpr auto full_length = static_cast<std::uint32_t>(longest);

// When bytes 1..16 agree, byte 17 decides. The window already holds all 18 bytes of r's key,
// and this rare load is a single byte.
[[nodiscard]] inline Order compare_last_byte(const TreeStore& trees, std::int32_t r,
                                             std::int32_t p) {
    const std::uint8_t other = trees.window[static_cast<std::size_t>(p + longest - 1)];
    const std::uint8_t mine = trees.window[static_cast<std::size_t>(r + longest - 1)];
    return {other == mine ? full_length : full_length - 1, mine > other ? right_link : left_link};
}

// How r's key, whose bytes 1..16 are `key`, stands against p's when bytes 1..8 agree. Bytes
// 9..16 of p's key are read from p_bytes + 9.
[[nodiscard]] inline Order compare_beyond_eight(const TreeStore& trees, std::int32_t r, u128 key,
                                                std::int32_t p, const std::uint8_t* p_bytes) {
    const auto key_low = static_cast<std::uint64_t>(key);
    const std::uint64_t other_low = load_be64(p_bytes + 9);
    if (other_low != key_low)
        return {9 + agreeing_bytes(other_low, key_low),
                key_low > other_low ? right_link : left_link};
    return compare_last_byte(trees, r, p);
}

// `other` is bytes 1..8 of p's key, already loaded; the rest is read from p_bytes only in the
// rare case that those agree.
[[gnu::always_inline]] inline Order compare_keys(const TreeStore& trees, std::int32_t r, u128 key,
                                                 std::uint64_t other, std::int32_t p,
                                                 const std::uint8_t* p_bytes) {
    const std::uint64_t high = high_half(key);
    if (other != high) [[likely]]
        return {1 + agreeing_bytes(other, high), high > other ? right_link : left_link};
    return compare_beyond_eight(trees, r, key, p, p_bytes);
}

// A key held apart from any walk: the position it starts at and its bytes 1..16.
struct Key {
    std::int32_t pos;
    u128 bytes;
};

[[nodiscard]] inline Key key_at(const TreeStore& trees, std::int32_t pos) {
    return {pos, load_be128(trees.window.data() + pos + 1)};
}

// The key against the node at window position p, all read from the window.
[[nodiscard]] inline Order compare_with(const TreeStore& trees, const Key& key, std::int32_t p) {
    const std::uint8_t* const p_bytes = trees.window.data() + p;
    return compare_keys(trees, key.pos, key.bytes, load_be64(p_bytes + 1), p, p_bytes);
}

} // namespace
} // namespace lzss
