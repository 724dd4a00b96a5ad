// The decoder against hand-built streams: literal and reference vectors, the pre-filled
// window, position wrap, streams cut at every byte, full output buffers at every capacity,
// the whole-group path's boundaries (overlaps at distances 1..15, literal runs across flag
// bytes, sources at the window's wrap), and random streams into buffers that end exactly at
// their allocation.
#include "lzss.hpp"
#include "reference_decoder.hpp"
#include "stream_builder.hpp"
#include "testkit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using testkit::Bytes;
using testkit::bytes_of;
using testkit::StreamBuilder;

Bytes decode(const Bytes& src, std::size_t capacity) {
    Bytes out(capacity);
    const std::size_t n = lzss::decompress_lzss(out, src);
    EXPECT_LE(n, capacity);
    out.resize(std::min(n, capacity));
    return out;
}

// Output byte i of a stream sits at window position (4078 + i) mod 4096.
unsigned window_pos_of_output(std::size_t i) {
    return (4078 + i) & 0xFFF;
}

// n bytes counting up modulo 251, so a copied byte shows which output it came from.
Bytes numbered(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i % 251);
    return b;
}

struct Vector {
    const char* label;
    Bytes stream;
    Bytes expected;
};

TEST(DecompressLzss, Vectors) {
    const Bytes thirty = numbered(30);
    StreamBuilder wrap_read;
    for (const auto b : thirty) wrap_read.literal(b);
    wrap_read.reference(4094, 5); // 4094, 4095, 0, 1, 2 hold outputs 16..20

    Bytes wrap_read_expected = thirty;
    for (std::size_t i = 16; i <= 20; ++i) wrap_read_expected.push_back(thirty[i]);

    const std::vector<Vector> vectors = {
        {"empty stream", {}, {}},
        {"flag byte alone", {0xFF}, {}},
        {"flag byte of references alone", {0x00}, {}},
        {"three literals", {0x07, 0x61, 0x62, 0x63}, bytes_of("abc")},
        {"literal then overlapping reference: ten a", {0x01, 0x61, 0xEE, 0xF6}, Bytes(10, 0x61)},
        {"reference to position 0 before any output", {0x00, 0x00, 0x00}, Bytes(3, 0)},
        {"longest reference into the pre-filled area", {0x00, 0x10, 0x0F}, Bytes(18, 0)},
        {"reference to unwritten 4090..4095 and past the wrap", {0x00, 0xFA, 0xFF}, Bytes(18, 0)},
        {"reference missing its second byte is dropped", {0x01, 0x61, 0xEE}, bytes_of("a")},
        {"literal missing after flag byte", {0x03, 0x61}, bytes_of("a")},
        {"zero prefix then literal", {0x02, 0x00, 0x00, 0x7A}, {0, 0, 0, 0x7A}},
        {"second group",
         {0xFF, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0x01, 'i'},
         bytes_of("abcdefghi")},
        {"reference names a window position, not a distance back",
         StreamBuilder().literals("xyz").reference(4078, 3).bytes(), bytes_of("xyzxyz")},
        {"overlap repeats the bytes just written",
         StreamBuilder().literals("xyz").reference(4079, 3).bytes(), bytes_of("xyzyzy")},
        {"read wraps from 4095 to 0", wrap_read.bytes(), wrap_read_expected},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.label);
        EXPECT_EQ(decode(v.stream, 4096), v.expected);
        EXPECT_EQ(lzss::decoded_size(v.stream), v.expected.size());
    }
}

TEST(DecompressLzss, WritePositionWrapsBackTo4078) {
    const Bytes history = numbered(4096);
    StreamBuilder b;
    for (const auto byte : history) b.literal(byte);
    b.literal(0xEE); // written at 4078 again, over output 0
    // 4077 holds output 4095 and 4078 the new byte; the third byte reads 4079, which this
    // reference has just overwritten with its own first byte.
    b.reference(window_pos_of_output(4095), 3);

    Bytes expected = history;
    expected.insert(expected.end(), {0xEE, history[4095], 0xEE, history[4095]});
    EXPECT_EQ(decode(b.bytes(), 8192), expected);
}

TEST(DecompressLzss, CutAtEveryByteYieldsWhatPrecedesTheCut) {
    StreamBuilder b;
    b.literals("hello").reference(4078, 4).literal(' ').reference(0, 3).literals("wor");
    b.reference(4080, 18).literal('!').reference(4083, 3);
    const Bytes full = decode(b.bytes(), 4096);
    ASSERT_EQ(full.size(), b.yield());

    for (std::size_t cut = 0; cut <= b.bytes().size(); ++cut) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        const Bytes head(b.bytes().begin(), b.bytes().begin() + static_cast<long>(cut));
        const Bytes got = decode(head, 4096);
        ASSERT_EQ(got.size(), b.yield_at_cut(cut));
        EXPECT_TRUE(std::equal(got.begin(), got.end(), full.begin()));
        EXPECT_EQ(lzss::decoded_size(head), got.size());
    }
}

TEST(DecompressLzss, FullBufferStopsAtEveryCapacity) {
    StreamBuilder b;
    b.literals("ab").reference(4078, 18).reference(4078, 18).literal('c').reference(4079, 9);
    const Bytes full = decode(b.bytes(), 4096);
    ASSERT_EQ(full.size(), b.yield());

    for (std::size_t capacity = 0; capacity <= full.size() + 2; ++capacity) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        const Bytes got = decode(b.bytes(), capacity);
        const std::size_t want = std::min(capacity, full.size());
        ASSERT_EQ(got.size(), want);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), full.begin()));
    }
}

TEST(DecompressLzss, NeverOverrunsOnRandomStreams) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 3000; ++round) {
        Bytes src(rng() % 600);
        for (auto& byte : src) byte = static_cast<std::uint8_t>(rng());
        const std::uint64_t whole = lzss::decoded_size(src);
        ASSERT_LE(whole, lzss::max_decompressed_size(src.size()));

        // The buffer is exactly `capacity` bytes, so ASan flags any write past it.
        const std::size_t capacity = rng() % (whole + 16);
        std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[capacity]);
        const std::size_t n = lzss::decompress_lzss({out.get(), capacity}, src);
        ASSERT_EQ(n, std::min<std::uint64_t>(whole, capacity)) << "round " << round;

        const Bytes unlimited = decode(src, static_cast<std::size_t>(whole));
        ASSERT_TRUE(std::equal(out.get(), out.get() + n, unlimited.begin())) << "round " << round;
    }
}

// A stream and the bytes it must decode to, written side by side. A reference's bytes are
// appended one at a time from `distance` back, so an overlapping one repeats its pattern.
struct Expected {
    std::string label;
    StreamBuilder stream;
    Bytes bytes;

    Expected& literals(const Bytes& run) {
        stream.literals(run);
        bytes.insert(bytes.end(), run.begin(), run.end());
        return *this;
    }
    Expected& back(std::size_t distance, std::size_t length) {
        stream.reference_back(distance, length);
        for (std::size_t k = 0; k < length; ++k) bytes.push_back(bytes[bytes.size() - distance]);
        return *this;
    }
};

// Boundaries of the whole-group path, each with 32 literals after it so that, given room,
// the group holding it is decoded there: decoded whole, cut at every byte near its end, and into
// buffers that end at every byte near the end of its output.
TEST(DecompressLzss, WholeGroupBoundaries) {
    const Bytes lead = numbered(40);
    Bytes tail(32);
    for (std::size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<std::uint8_t>(200 + i);

    std::vector<Expected> rows;
    // Distances 1..15 overlap an 8- or 16-byte move, so each must repeat exactly.
    for (std::size_t distance = 1; distance <= 15; ++distance) {
        Expected row{"overlap at distance " + std::to_string(distance), {}, {}};
        row.literals(lead).back(distance, 18).back(distance, 3).back(distance, 11);
        rows.push_back(row);
    }
    {
        Expected row{"literal run across a flag byte", {}, {}};
        // flag 0xFE: a reference, then seven literals that run on into the next group
        row.literals(lead).back(20, 5).literals(numbered(12)).back(3, 4).literals(bytes_of("xy"));
        rows.push_back(row);
    }
    {
        Expected row{"literal run across two flag bytes of all-literal groups", {}, {}};
        row.literals(numbered(35)).back(10, 6).literals(numbered(20));
        rows.push_back(row);
    }
    {
        // Some cuts below leave this group the last one the whole-group path takes, with
        // fewer than eight stream bytes after it.
        Expected row{"a group of eight references", {}, {}};
        row.literals(lead);
        for (std::size_t k = 0; k < 8; ++k) row.back(17 + k, 18);
        rows.push_back(row);
    }
    {
        // 4114 bytes put the write position at 0: position 0 holds output 18, the oldest,
        // 4096 back; 4078..4095 hold outputs 4096..4113, so the second reference's source
        // ends exactly where the window wraps.
        const Bytes history = numbered(4114);
        Expected row{"references at the window's wrap", {}, {}};
        row.literals(history);
        row.stream.reference(0, 18).reference(4078, 18);
        row.bytes.insert(row.bytes.end(), history.begin() + 18, history.begin() + 36);
        row.bytes.insert(row.bytes.end(), history.begin() + 4096, history.begin() + 4114);
        rows.push_back(row);
    }

    // A failed assertion ends its row only.
    const auto check = [](const Expected& row) {
        const Bytes& stream = row.stream.bytes();
        ASSERT_EQ(row.stream.yield(), row.bytes.size());
        // Room for a whole group of longest references and its spill past the yield.
        const std::size_t roomy = row.bytes.size() + 256;
        EXPECT_EQ(decode(stream, roomy), row.bytes);

        for (std::size_t cut = stream.size() - 60; cut < stream.size(); ++cut) {
            const Bytes got =
                decode(Bytes(stream.begin(), stream.begin() + static_cast<long>(cut)), roomy);
            ASSERT_EQ(got.size(), row.stream.yield_at_cut(cut)) << "cut after " << cut;
            ASSERT_TRUE(std::equal(got.begin(), got.end(), row.bytes.begin()))
                << "cut after " << cut;
        }
        // A heap block of exactly `capacity` bytes, so a write past it leaves the allocation.
        for (std::size_t capacity = row.bytes.size() - 60; capacity < row.bytes.size();
             ++capacity) {
            const auto out = std::make_unique<std::uint8_t[]>(capacity);
            ASSERT_EQ(lzss::decompress_lzss({out.get(), capacity}, stream), capacity);
            ASSERT_TRUE(std::equal(out.get(), out.get() + capacity, row.bytes.begin()))
                << "capacity " << capacity;
        }
    };
    for (Expected& row : rows) {
        SCOPED_TRACE(row.label);
        row.literals(tail);
        check(row);
    }
}

TEST(MaxDecompressedSize, IsReachedByAllReferenceStreams) {
    struct Row {
        std::uint64_t stream_len;
        std::uint64_t expected;
    };
    const std::vector<Row> rows = {
        {0, 0},
        {1, 0},
        {2, 1},
        {3, 18},
        {4, 19},
        {16, 127},
        {17, 144},
        {18, 144},
        {20, 162},
        {34, 288},
        {17 * 1000 + 3, 144 * 1000 + 18},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("stream of " + std::to_string(row.stream_len));
        EXPECT_EQ(lzss::max_decompressed_size(row.stream_len), row.expected);
        // A stream of all-zero flags and longest references, with a final odd byte taken as
        // a literal, reaches the bound.
        Bytes src(static_cast<std::size_t>(row.stream_len), 0xFF);
        for (std::size_t i = 0; i < src.size(); i += 17) {
            const std::size_t items = std::min<std::size_t>(16, src.size() - i - 1);
            src[i] = items % 2 == 1 ? static_cast<std::uint8_t>(1u << (items / 2)) : 0;
        }
        EXPECT_EQ(lzss::decoded_size(src), row.expected);
    }
}

} // namespace

// The plain ring-window decoder, byte at a time, to check the decoder's copy paths against.
std::vector<std::uint8_t> decode_by_ring(std::span<const std::uint8_t> src, std::size_t room) {
    std::vector<std::uint8_t> out(room);
    out.resize(lzss_reference::decompress_lzss(out, src));
    return out;
}

// A run of literals, then one reference of every length at each distance back, the word
// copies' edges (7, 8, 15, 16, 17 back) among them, and sources reaching into the pre-fill;
// decoded with room to spare and with the buffer ending at every byte near its end.
TEST(DecompressLzss, CopyPathsAgreeWithTheRingWindowAtEveryDistanceAndRoom) {
    for (const std::size_t lead : {0u, 5u, 40u, 4100u}) {
        for (std::size_t distance = 1; distance <= 40; ++distance) {
            for (unsigned length = 3; length <= 18; length += 5) {
                std::vector<std::uint8_t> stream;
                for (std::size_t n = 0; n < lead; n += 8) {
                    const std::size_t group = std::min<std::size_t>(8, lead - n);
                    stream.push_back(static_cast<std::uint8_t>((1u << group) - 1));
                    for (std::size_t k = 0; k < group; ++k)
                        stream.push_back(static_cast<std::uint8_t>(n + k * 7 + 1));
                }
                const std::size_t pos = (4078 + lead - distance) & 4095;
                stream.push_back(0x00);
                stream.push_back(static_cast<std::uint8_t>(pos & 0xFF));
                stream.push_back(static_cast<std::uint8_t>((pos >> 4 & 0xF0) | (length - 3)));
                stream.push_back(static_cast<std::uint8_t>(pos & 0xFF));
                stream.push_back(static_cast<std::uint8_t>((pos >> 4 & 0xF0) | 15));
                const std::size_t full = lead + length + 18;
                for (std::size_t room = full > 40 ? full - 40 : 0; room <= full + 40; ++room) {
                    const auto want = decode_by_ring(stream, room);
                    std::vector<std::uint8_t> got(room + 8, 0xEE);
                    const std::size_t n = lzss::decompress_lzss({got.data(), room}, stream);
                    ASSERT_EQ(n, want.size()) << lead << " " << distance << " " << room;
                    EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin()))
                        << "lead " << lead << ", distance " << distance << ", room " << room;
                    EXPECT_TRUE(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(room),
                                            got.end(), [](std::uint8_t b) { return b == 0xEE; }))
                        << "written past a room of " << room;
                }
            }
        }
    }
}
