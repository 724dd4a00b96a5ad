// The encoder against streams worked out by hand, against the plain reference encoder on
// inputs that exercise every kind of tree surgery, on the inputs it must refuse, and through
// the decoder. Its output room is tested in equivalence_test.cpp, beside the reference's.
#include "lzss.hpp"
#include "reference_encoder.hpp"
#include "stream_builder.hpp"
#include "test_inputs.hpp"
#include "testkit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <sys/mman.h>

namespace {

using test_inputs::Bytes;
using test_inputs::Layout;
using test_inputs::Random;
using testkit::bytes_of;
using testkit::concat;
using testkit::StreamBuilder;

// Encodes into a buffer of exactly the worst-case size; empty on a null result.
Bytes compress(const Bytes& input) {
    Bytes out(lzss::max_compressed_size(input.size()));
    const std::uint8_t* const end = lzss::compress_lzss(out, input);
    if (end == nullptr) return {};
    out.resize(static_cast<std::size_t>(end - out.data()));
    return out;
}

Bytes repeat(std::size_t count, std::uint8_t byte) {
    return Bytes(count, byte);
}

struct Case {
    std::string label;
    Bytes input;
    Bytes expected;
};

// The 4096 bytes that no 3-byte string repeats in, even read as a ring, without 0x00.
const Bytes& ring_block() {
    static const Bytes block = test_inputs::unique_trigrams(4096, 0x01, 0xFF, 7, true);
    return block;
}

const std::string alphabet18 = "abcdefghijklmnopqr";

std::vector<Case> vectors() {
    const Bytes doubled = concat(ring_block(), ring_block());
    return {
        {"three letters", bytes_of("abc"), {0x07, 0x61, 0x62, 0x63}},
        {"ten a, overlapping reference", repeat(10, 'a'), {0x01, 0x61, 0xEE, 0xF6}},
        {"eighteen a", repeat(18, 'a'), {0x01, 0x61, 0xEE, 0xFE}},
        {"nineteen a", repeat(19, 'a'), {0x01, 0x61, 0xEE, 0xFF}},
        {"forty a, wrapping past 4095",
         repeat(40, 'a'),
         {0x01, 0x61, 0xEE, 0xFF, 0x00, 0x0F, 0x04, 0x00}},
        {"twenty spaces", repeat(20, 0x20), {0x05, 0x20, 0xEE, 0xFF, 0x20}},
        {"three-byte match as reference", bytes_of("xyzQxyzR"),
         StreamBuilder().literals("xyzQ").reference(4078, 3).literals("R").bytes()},
        {"two-byte match as literal, one step on", bytes_of("xyQxyzxyz"),
         StreamBuilder().literals("xyQxyz").reference(4081, 3).bytes()},
        {"200 distinct bytes, all literals", testkit::counting(200),
         StreamBuilder().literals(testkit::counting(200)).bytes()},
        {"ring block twice, all literals", doubled, StreamBuilder().literals(doubled).bytes()},
    };
}

// Ties and tree surgery. The expected streams were worked out by hand from the order of
// insertions and deletions; input index k sits at window position (4078 + k) mod 4096.
std::vector<Case> tie_breaks() {
    const std::string& S = alphabet18;
    std::vector<Case> rows = {
        // Three positions start "abc"; the root, inserted first, is met first.
        {"equal lengths: first on the path wins", bytes_of("abcxabcyabcz"),
         StreamBuilder()
             .literals("abcx")
             .reference(4078, 3)
             .literals("y")
             .reference(4078, 3)
             .literals("z")
             .bytes()},
        // The pre-fill positions go in 4077 down to 4060, each replacing the last.
        {"eighteen-byte match names the newest pre-fill position", repeat(20, 0x00),
         StreamBuilder().reference(4060, 18).literals(repeat(2, 0)).bytes()},
        // The second copy replaces the first (at 4078) by position 0 in the tree.
        {"eighteen-byte match names the newest copy", bytes_of(S + S + S),
         StreamBuilder().literals(S).reference(4078, 18).reference(0, 18).bytes()},
        // The repeat at position 4 replaces 4078 at the root and keeps its right child 0:
        // "abct" then ties at 3 bytes with 4 (newer, met first) and 0 (older); "abcsab!"
        // reaches 0 through the inherited link.
        {"replacement sits above an older node and keeps its children",
         bytes_of(S + "abcs" + S + "abct" + "abcsab!"),
         StreamBuilder()
             .literals(S)
             .reference(4078, 3)
             .literals("s")
             .reference(4078, 18)
             .reference(4, 3)
             .literals("t")
             .reference(0, 6)
             .literals("!")
             .bytes()},
    };

    // Deletion of a node with two children. "akm5" at index 0 (window 4078) is the root;
    // it leaves its tree as index 4096 is stored, just before the probes at 4080.. are
    // inserted. The fillers use bytes that occur nowhere else, so they code as literals.
    const Bytes fill_a = test_inputs::unique_trigrams(16, 0x80, 0xBF, 11);
    const auto fill_b = [](std::size_t count) {
        return test_inputs::unique_trigrams(count, 0xC0, 0xFF, 13);
    };

    // Left child "akm3z" (window 2) has a right child "akm4" (window 7), the greatest of the
    // left subtree: it moves up to the root and takes both subtrees.
    {
        Layout in;
        in.text("akm5").bytes(fill_a).text("akm3z").text("akm4").text("akm7y");
        const Bytes tail = fill_b(4080 - in.size());
        in.bytes(tail).text("akm6#").text("akm3z$").text("akm7y%");
        rows.push_back({"two children, greatest of left subtree moves up", in.data(),
                        StreamBuilder()
                            .literals("akm5")
                            .literals(fill_a)
                            .reference(4078, 3)
                            .literals("3z")
                            .reference(4078, 3)
                            .literals("4")
                            .reference(4078, 3)
                            .literals("7y")
                            .literals(tail)
                            .reference(7, 3) // "akm4" now the root, met first
                            .literals("6#")
                            .reference(2, 5) // "akm3z" below it on the left
                            .literals("$")
                            .reference(11, 5) // "akm7y" below it on the right
                            .literals("%")
                            .bytes()});
    }

    // Left child "akm3z" (window 2) has no right child: it moves up itself, keeping its left
    // child "akm1x" (window 7) and taking the right subtree "akm7y" (window 12).
    {
        Layout in;
        in.text("akm5").bytes(fill_a).text("akm3z").text("akm1x").text("akm7y");
        const Bytes tail = fill_b(4080 - in.size());
        in.bytes(tail).text("akm6#").text("akm7y$").text("akm1x%");
        rows.push_back({"two children, left child moves up", in.data(),
                        StreamBuilder()
                            .literals("akm5")
                            .literals(fill_a)
                            .reference(4078, 3)
                            .literals("3z")
                            .reference(4078, 3)
                            .literals("1x")
                            .reference(4078, 3)
                            .literals("7y")
                            .literals(tail)
                            .reference(2, 3) // "akm3z" now the root
                            .literals("6#")
                            .reference(12, 5) // the right subtree hangs below it
                            .literals("$")
                            .reference(7, 5) // its own left child is still there
                            .literals("%")
                            .bytes()});
    }
    return rows;
}

TEST(CompressLzss, Vectors) {
    for (const Case& c : vectors()) EXPECT_EQ(compress(c.input), c.expected) << c.label;
}

TEST(CompressLzss, RingBlockHasNoRepeatedTrigramAndNoZero) {
    const Bytes& block = ring_block();
    ASSERT_EQ(block.size(), 4096u);
    EXPECT_FALSE(test_inputs::has_repeated_trigram(block, true));
    EXPECT_EQ(std::count(block.begin(), block.end(), 0), 0);
    EXPECT_EQ(compress(concat(block, block)).size(), 9216u);
}

TEST(CompressLzss, TieBreaks) {
    for (const Case& c : tie_breaks()) EXPECT_EQ(compress(c.input), c.expected) << c.label;
}

// The reference must reproduce the hand-worked streams before its word counts for anything.
TEST(ReferenceEncoder, AgreesWithHandWorkedStreams) {
    std::vector<Case> all = vectors();
    for (Case& c : tie_breaks()) all.push_back(std::move(c));
    for (const Case& c : all) {
        Bytes out(lzss::max_compressed_size(c.input.size()));
        const std::uint8_t* const end = lzss_reference::compress_lzss(out, c.input);
        ASSERT_NE(end, nullptr) << c.label;
        out.resize(static_cast<std::size_t>(end - out.data()));
        EXPECT_EQ(out, c.expected) << c.label;
    }
}

// Inputs over few symbols, long enough for positions to leave their trees, give many ties,
// replacements and deletions of every kind.
std::vector<Bytes> tree_heavy_inputs() {
    std::vector<Bytes> inputs;
    Random random(2024);
    const std::vector<std::string> alphabets = {"ab", "abc", std::string("\0\1", 2), "aab", "abcd"};
    for (std::size_t round = 0; round < 30; ++round) {
        const std::string& sym = alphabets[round % alphabets.size()];
        const std::size_t size = 4000 + random.below(9000);
        Bytes b(size);
        for (auto& byte : b) byte = static_cast<std::uint8_t>(sym[random.below(sym.size())]);
        inputs.push_back(std::move(b));
    }
    // Runs and repeated phrases with mutations.
    for (std::size_t round = 0; round < 10; ++round) {
        Bytes b;
        while (b.size() < 9000) {
            const std::size_t run = 1 + random.below(40);
            const auto byte = static_cast<std::uint8_t>("ab\0c"[random.below(4)]);
            if (random.below(3) == 0 && b.size() > 64) {
                const std::size_t from = random.below(b.size() - 32);
                b.insert(b.end(), b.begin() + static_cast<long>(from),
                         b.begin() + static_cast<long>(from + 1 + random.below(30)));
            } else {
                b.insert(b.end(), run, byte);
            }
        }
        inputs.push_back(std::move(b));
    }
    return inputs;
}

TEST(CompressLzss, MatchesReferenceThroughEveryTreeSurgery) {
    lzss_reference::TreeCounts counts;
    std::size_t index = 0;
    for (const Bytes& input : tree_heavy_inputs()) {
        Bytes expected(lzss::max_compressed_size(input.size()));
        const std::uint8_t* const end =
            lzss_reference::compress_lzss_counting(expected, input, counts);
        ASSERT_NE(end, nullptr);
        expected.resize(static_cast<std::size_t>(end - expected.data()));
        ASSERT_EQ(compress(input), expected)
            << "input " << index << ", " << input.size() << " bytes";
        ++index;
    }
    // The corpus must reach every kind of tree surgery, many times.
    EXPECT_GT(counts.replacements, 1000u);
    EXPECT_GT(counts.two_child_moved, 100u);
    EXPECT_GT(counts.two_child_adjacent, 100u);
}

TEST(CompressLzss, RefusesEmptyAndOversizedInput) {
    Bytes out(16, 0xA5);
    EXPECT_EQ(lzss::compress_lzss(out, std::span<const std::uint8_t>()), nullptr);
    EXPECT_EQ(out, Bytes(16, 0xA5));

    // Address space that faults on any access: the refusal must come before reading.
    const std::size_t size = lzss::max_input_size + 1;
    void* const reserved = ::mmap(nullptr, size, PROT_NONE,
                                  MAP_PRIVATE | MAP_ANONYMOUS | TESTKIT_MAP_NORESERVE, -1, 0);
    ASSERT_NE(reserved, MAP_FAILED);
    EXPECT_EQ(lzss::compress_lzss(out, std::span(static_cast<const std::uint8_t*>(reserved), size)),
              nullptr);
    ::munmap(reserved, size);
    EXPECT_EQ(out, Bytes(16, 0xA5));
}

// Named inputs for the round trip: every shape that moves r and s past the wrap.
std::vector<std::pair<std::string, Bytes>> round_trip_inputs() {
    std::vector<std::pair<std::string, Bytes>> inputs;
    Random random(99);
    std::uint64_t seed = 100;
    const auto random_bytes = [&](std::size_t n) { return test_inputs::random_bytes(n, ++seed); };
    const auto periodic = [&](std::size_t period, std::size_t n) {
        return test_inputs::periodic(n, period, ++seed);
    };
    const auto text_like = [&](std::size_t n) { return test_inputs::text_like(n, ++seed); };

    for (std::size_t n = 1; n <= 40; ++n) {
        inputs.emplace_back("random " + std::to_string(n), random_bytes(n));
        inputs.emplace_back("zeros " + std::to_string(n), repeat(n, 0));
        inputs.emplace_back("spaces " + std::to_string(n), repeat(n, 0x20));
    }
    for (const std::size_t n :
         {4077, 4078, 4079, 4095, 4096, 4097, 4113, 8191, 8192, 8193, 12289}) {
        inputs.emplace_back("random " + std::to_string(n), random_bytes(n));
        inputs.emplace_back("text " + std::to_string(n), text_like(n));
        inputs.emplace_back("run " + std::to_string(n), repeat(n, 'a'));
        inputs.emplace_back("zeros " + std::to_string(n), repeat(n, 0));
        for (const std::size_t period : {1, 2, 3, 17})
            inputs.emplace_back("period " + std::to_string(period) + " of " + std::to_string(n),
                                periodic(period, n));
    }
    for (const std::size_t period : {4095, 4096, 4097})
        inputs.emplace_back("period " + std::to_string(period), periodic(period, 3 * period + 100));
    for (int i = 0; i < 60; ++i) {
        const std::size_t n = 1 + random.below(20000);
        inputs.emplace_back("mixed " + std::to_string(i), test_inputs::runs_and_copies(n, ++seed));
    }
    Bytes large = text_like(3 << 20);
    for (std::size_t i = 0; i < large.size(); i += 1 + random.below(5000))
        large[i] = static_cast<std::uint8_t>(random.next());
    inputs.emplace_back("three megabytes of text with noise", std::move(large));
    return inputs;
}

TEST(CompressLzss, RoundTripsThroughDecoder) {
    for (const auto& [label, input] : round_trip_inputs()) {
        // compress() gives the encoder exactly the worst-case room: a stream longer than
        // that comes back empty.
        const Bytes stream = compress(input);
        ASSERT_FALSE(stream.empty()) << label;
        Bytes back(input.size() + 1, 0xA5);
        const std::size_t n = lzss::decompress_lzss(back, stream);
        back.resize(n);
        ASSERT_EQ(back, input) << label;
    }
}

} // namespace
