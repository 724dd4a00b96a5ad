// The production encoder against the plain reference encoder, byte for byte: short inputs
// of every length, inputs that end at every distance from a wrap of the coding and input
// positions, low-entropy and random data, text, files from the machine, and sorted data that
// makes the search trees degenerate. For a chosen set
// of inputs both are also run with every output room around the stream's length, where both
// must fail alike, leave the same first bytes and write nothing past the room given.
#include "encoder_probe.hpp"
#include "lzss.hpp"
#include "reference_encoder.hpp"
#include "test_inputs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

namespace {

using test_inputs::Bytes;
using test_inputs::counters;
using test_inputs::id_pairs;
using test_inputs::joined;
using test_inputs::periodic;
using test_inputs::Random;
using test_inputs::random_bytes;
using test_inputs::runs;
using test_inputs::small_alphabet;
using test_inputs::sorted_words;
using test_inputs::text_like;
using test_inputs::with_copies;

using Encoder = std::uint8_t* (*)(std::span<std::uint8_t>, std::span<const std::uint8_t>);

// The stream, or empty for a null result.
Bytes encode_with(Encoder encoder, std::span<const std::uint8_t> input) {
    Bytes out(lzss::max_compressed_size(input.size()));
    const std::uint8_t* const end = encoder(out, input);
    if (end == nullptr) return {};
    out.resize(static_cast<std::size_t>(end - out.data()));
    return out;
}

// The first point where the two streams part, for a readable failure.
std::string first_difference(const Bytes& got, const Bytes& want) {
    const auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    return "streams of " + std::to_string(got.size()) + " and " + std::to_string(want.size()) +
           " bytes part at byte " + std::to_string(g - got.begin());
}

void expect_same_stream(std::span<const std::uint8_t> input, const std::string& label) {
    const Bytes want = encode_with(lzss_reference::compress_lzss, input);
    const Bytes got = encode_with(lzss::compress_lzss, input);
    ASSERT_FALSE(want.empty()) << label;
    ASSERT_TRUE(got == want) << label << ": " << first_difference(got, want);
}

// Runs one encoder with exactly `room` bytes of output, followed by guard bytes it must
// not touch. Returns the bytes it left in the room and whether it succeeded.
struct Bounded {
    bool ok;
    std::size_t length;
    Bytes room;
};

constexpr std::size_t guard_size = 32;
constexpr std::uint8_t guard_byte = 0xA5;

Bounded encode_bounded(Encoder encoder, std::span<const std::uint8_t> input, std::size_t room) {
    Bytes buffer(room + guard_size, guard_byte);
    const std::uint8_t* const end = encoder({buffer.data(), room}, input);
    const bool guard_intact =
        std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(room), buffer.end(),
                    [](std::uint8_t b) { return b == guard_byte; });
    EXPECT_TRUE(guard_intact) << "written past a room of " << room;
    buffer.resize(room);
    return {end != nullptr, end == nullptr ? 0 : static_cast<std::size_t>(end - buffer.data()),
            buffer};
}

// The one harness for the encoder's output room: every room near the stream's length, and a
// few far below it. At each, both encoders must fail alike, leave the same first bytes and
// write nothing past the room given.
void expect_same_overrun(std::span<const std::uint8_t> input, const std::string& label) {
    const std::size_t length = encode_with(lzss_reference::compress_lzss, input).size();
    std::vector<std::size_t> rooms = {0, 1, 2, length / 2};
    for (std::size_t room = length > 20 ? length - 20 : 0; room <= length + 2; ++room)
        rooms.push_back(room);
    for (const std::size_t room : rooms) {
        const Bounded want = encode_bounded(lzss_reference::compress_lzss, input, room);
        const Bounded got = encode_bounded(lzss::compress_lzss, input, room);
        ASSERT_EQ(want.ok, room >= length) << label << ", room " << room;
        EXPECT_EQ(got.ok, want.ok) << label << ", room " << room;
        EXPECT_EQ(got.length, want.length) << label << ", room " << room;
        EXPECT_TRUE(got.room == want.room) << label << ", room " << room;
    }
    // A heap block of exactly one byte too few: the address checker sees any overrun.
    const auto tight = std::make_unique<std::uint8_t[]>(length - 1);
    EXPECT_EQ(lzss::compress_lzss({tight.get(), length - 1}, input), nullptr) << label;
}

// Generators of test input, each deterministic for a given length.
struct Generator {
    std::string label;
    std::function<Bytes(std::size_t)> make;
};

const std::vector<Generator>& generators() {
    static const std::vector<Generator> all = {
        {"zeros", [](std::size_t n) { return Bytes(n, 0x00); }},
        {"spaces", [](std::size_t n) { return Bytes(n, 0x20); }},
        {"random", [](std::size_t n) { return random_bytes(n, 11); }},
        {"two letters", [](std::size_t n) { return small_alphabet(n, 12, 2); }},
        {"four letters", [](std::size_t n) { return small_alphabet(n, 13, 4); }},
        {"text", [](std::size_t n) { return text_like(n, 14); }},
        {"runs", [](std::size_t n) { return runs(n, 15); }},
        {"copies", [](std::size_t n) { return with_copies(n, 16); }},
    };
    return all;
}

TEST(EncoderEquivalence, EveryShortLength) {
    for (const Generator& g : generators())
        for (std::size_t n = 1; n <= 300; ++n)
            expect_same_stream(g.make(n), g.label + ", " + std::to_string(n) + " bytes");
}

// Input byte k lands at window position (4078 + k) mod 4096: the input position wraps
// after 18, 4114, 8210 bytes; an input of 4078 or 4096 bytes ends where the positions that
// were pre-filled, and the mirror bytes, are overwritten.
TEST(EncoderEquivalence, EndsNearEveryWrap) {
    const std::size_t wraps[] = {4078, 4096, 4114, 8174, 8192, 8210};
    const std::vector<Generator>& g = generators();
    std::size_t turn = 0;
    for (const std::size_t wrap : wraps) {
        for (std::size_t d = 0; d <= 40; ++d) {
            for (const std::size_t n : {wrap - d, wrap + d}) {
                const Generator& gen = g[turn++ % g.size()];
                expect_same_stream(gen.make(n), gen.label + ", " + std::to_string(n) + " bytes");
            }
        }
    }
}

TEST(EncoderEquivalence, LowEntropy) {
    for (std::size_t period = 1; period <= 20; ++period)
        expect_same_stream(periodic(9000, period, period), "period " + std::to_string(period));
    // Near 4078 the position about to be deleted is the one an 18-byte match lands on.
    for (const std::size_t period : {4076, 4077, 4078, 4079, 4080, 4095, 4096, 4097})
        expect_same_stream(periodic(3 * period + 100, period, period),
                           "period " + std::to_string(period));
    expect_same_stream(runs(50000, 21), "runs");
    expect_same_stream(Bytes(40000, 0x00), "zeros");
    expect_same_stream(Bytes(40000, 0x20), "spaces");
    expect_same_stream(small_alphabet(50000, 22, 2), "two letters");
}

TEST(EncoderEquivalence, RandomAndText) {
    expect_same_stream(random_bytes(60000, 31), "random");
    expect_same_stream(text_like(60000, 32), "text");
    expect_same_stream(with_copies(60000, 33), "copies");
}

Bytes read_prefix(const std::string& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    Bytes out;
    if (!in) return out;
    out.resize(limit);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(limit));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out;
}

TEST(EncoderEquivalence, FilesOnTheMachine) {
    const char* const candidates[] = {"/usr/bin/cmake",
                                      "/usr/bin/ls",
                                      "/bin/sh",
                                      "/usr/share/common-licenses/GPL-3",
                                      "/usr/share/misc/magic",
                                      "/usr/share/vim/vim90/doc/options.txt",
                                      "/etc/services"};
    std::size_t found = 0;
    for (const char* const path : candidates) {
        const Bytes data = read_prefix(path, 200 * 1024);
        if (data.empty()) continue;
        ++found;
        expect_same_stream(data, path);
    }
    if (found == 0) GTEST_SKIP() << "none of the sample files exists here";
}

// Sorted data makes a linked search tree a chain thousands of nodes long, and the encoder
// then holds that tree in another form. The streams must not change, whichever form a tree
// has and however often it switches. In the address-checking build every tree is also
// checked after each step.
TEST(EncoderEquivalence, DegenerateShapes) {
    struct Row {
        std::string label;
        Bytes input;
        bool switches_back; // whether some tree must also return to its first form
    };
    const Row rows[] = {
        {"rising counters", counters(20000, 0, 4), false},
        {"falling counters", counters(20000, 0xFFFFFFFF, 0xFFFFFFFC), false},
        {"id pairs", id_pairs(20000), false},
        {"sorted words", sorted_words(20000, 51), false},
        {"counters, then random, then counters",
         joined({counters(8000, 0, 4), random_bytes(8000, 52), counters(8000, 1 << 20, 4)}), true},
        {"text and counters in turn",
         joined({text_like(6000, 53), counters(6000, 0, 8), text_like(9000, 54),
                 counters(6000, 7, 12), text_like(9000, 55)}),
         true},
    };
    for (const Row& row : rows) {
        expect_same_stream(row.input, row.label);
        Bytes out(lzss::max_compressed_size(row.input.size()));
        lzss::probe::FormSwitches switches;
        ASSERT_NE(lzss::probe::compress_lzss_counting(out, row.input, switches, true), nullptr);
        if (!lzss::probe::has_sorted_index()) continue; // a build for measuring
        EXPECT_GT(switches.to_index, 0u) << row.label;
        if (row.switches_back) {
            EXPECT_GT(switches.to_linked, 0u) << row.label;
        }
    }
}

TEST(EncoderEquivalence, OverrunAtEveryRoomNearTheEnd) {
    expect_same_overrun(Bytes{'a', 'b', 'c'}, "abc");
    expect_same_overrun(Bytes(40, 'a'), "forty a");
    Bytes counting(200);
    for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
    expect_same_overrun(counting, "200 distinct bytes");
    const std::string_view cat = "the cat sat on the mat; the cat sat on the hat";
    expect_same_overrun(Bytes(cat.begin(), cat.end()), "the cat sat");
    const Bytes block = test_inputs::unique_trigrams(4096, 0x01, 0xFF, 7, true);
    expect_same_overrun(joined({block, block}), "ring block twice");
    expect_same_overrun(random_bytes(1000, 41), "random");
    expect_same_overrun(text_like(5000, 42), "text");
    expect_same_overrun(with_copies(8200, 43), "copies past a wrap");
    expect_same_overrun(periodic(4500, 7, 44), "period 7");
    expect_same_overrun(counters(9000, 0, 4), "counters");
}

} // namespace
