// The production decoder against the plain ring-window decoder, on streams that reach every
// copy path: references at every distance back from 1 to 40 and near 4096 (the word-wide
// moves start at 8 and 16), references into the pre-filled area and into window positions
// not yet written (also straddling the buffer start), every flag byte with every short
// distance at every alignment, copies ending at every byte near the end of the output
// buffer, and random and encoder-made streams, each with every capacity around its yield.
#include "lzss.hpp"
#include "reference_decoder.hpp"
#include "stream_builder.hpp"
#include "test_inputs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

namespace {

using test_inputs::Bytes;
using test_inputs::Random;
using testkit::StreamBuilder;

// Decodes `stream` with both decoders into heap blocks of exactly `capacity` bytes (so an
// overrun leaves the allocation) and expects the same count and bytes.
void expect_same(const Bytes& stream, std::size_t capacity, const std::string& label) {
    const auto fast = std::make_unique<std::uint8_t[]>(capacity);
    const auto plain = std::make_unique<std::uint8_t[]>(capacity);
    const std::size_t got = lzss::decompress_lzss({fast.get(), capacity}, stream);
    const std::size_t want = lzss_reference::decompress_lzss({plain.get(), capacity}, stream);
    ASSERT_EQ(got, want) << label << ", capacity " << capacity;
    for (std::size_t i = 0; i < got; ++i)
        ASSERT_EQ(fast[i], plain[i]) << label << ", capacity " << capacity << ", byte " << i;
}

void expect_same_at_every_capacity_near_the_end(const Bytes& stream, const std::string& label) {
    const std::size_t yield = static_cast<std::size_t>(lzss::decoded_size(stream));
    const std::size_t from = yield > 40 ? yield - 40 : 0;
    for (std::size_t capacity = from; capacity <= yield + 2; ++capacity)
        expect_same(stream, capacity, label);
}

// A stream of `literals` literal bytes, then references of every length to the window
// position `distance` bytes behind the write position, then more literals.
Bytes references_at_distance(std::size_t literals, std::size_t distance, Random& random) {
    StreamBuilder items;
    for (std::size_t i = 0; i < literals; ++i)
        items.literal(static_cast<std::uint8_t>(random.next()));
    for (std::size_t length = lzss::min_match; length <= lzss::max_match; length += 8) {
        // six references, then two literals
        for (std::size_t k = 0; k < 6; ++k)
            items.reference_back(distance, std::min<std::size_t>(length + k, lzss::max_match));
        items.literals("AB");
    }
    return items.bytes();
}

TEST(DecoderEquivalence, ReferencesAtEveryCopyDistance) {
    Random random(7);
    for (std::size_t distance = 1; distance <= 4096; ++distance) {
        if (distance == 41) distance = 4070; // the middle distances all take the same path
        for (const std::size_t literals : {std::size_t{0}, std::size_t{16}, std::size_t{64}}) {
            const Bytes stream = references_at_distance(literals, distance, random);
            expect_same_at_every_capacity_near_the_end(
                stream, "distance " + std::to_string(distance) + " after " +
                            std::to_string(literals) + " literals");
        }
    }
}

TEST(DecoderEquivalence, RandomStreams) {
    Random random(11);
    for (int i = 0; i < 400; ++i) {
        Bytes stream(1 + random.below(i < 300 ? 300 : 20000));
        // Mostly-reference streams reach far more paths than uniform bytes.
        for (std::size_t k = 0; k < stream.size(); ++k)
            stream[k] = static_cast<std::uint8_t>(k % 17 == 0 ? random.next() & random.next()
                                                              : random.next());
        expect_same(stream, static_cast<std::size_t>(lzss::decoded_size(stream)), "random");
        expect_same(stream, random.below(static_cast<std::size_t>(lzss::decoded_size(stream)) + 1),
                    "random, cut short");
    }
}

TEST(DecoderEquivalence, EncoderStreams) {
    Random random(13);
    for (const std::size_t size : {1, 17, 18, 19, 4077, 4078, 4096, 8192, 70000}) {
        for (const std::size_t period : {1, 2, 3, 9, 16, 100, 4095, 4096}) {
            Bytes input(size);
            for (std::size_t i = 0; i < size; ++i)
                input[i] = static_cast<std::uint8_t>(i % period < 3 ? random.next() : i % period);
            Bytes stream(lzss::max_compressed_size(size));
            const std::uint8_t* const end = lzss::compress_lzss(stream, input);
            ASSERT_NE(end, nullptr);
            stream.resize(static_cast<std::size_t>(end - stream.data()));
            expect_same_at_every_capacity_near_the_end(
                stream, "size " + std::to_string(size) + ", period " + std::to_string(period));
        }
    }
}

// `lead` random literals, then a group for every flag byte 0x00..0xFF in turn whose
// references all reach `distance` bytes back, their lengths stepping through 3..18: every
// literal run and every short-distance pattern at every alignment, mostly far from the end.
Bytes every_flag_byte_at_distance(std::size_t lead, std::size_t distance, Random& random) {
    StreamBuilder items;
    for (std::size_t i = 0; i < lead; ++i) items.literal(static_cast<std::uint8_t>(random.next()));
    // Pad to a group boundary so that each flag byte below is a group's own.
    for (std::size_t i = lead; i % 8 != 0; ++i) items.literal(static_cast<std::uint8_t>(i));
    std::size_t length = lzss::min_match;
    for (unsigned flags = 0; flags < 256; ++flags) {
        for (unsigned item = 0; item < 8; ++item) {
            if ((flags >> item & 1) != 0) {
                items.literal(static_cast<std::uint8_t>(random.next()));
                continue;
            }
            items.reference_back(distance, length);
            length = length == lzss::max_match ? lzss::min_match : length + 1;
        }
    }
    return items.bytes();
}

TEST(DecoderEquivalence, EveryFlagByteAtShortDistancesAndEveryAlignment) {
    Random random(17);
    for (std::size_t distance = 1; distance <= 17; ++distance)
        for (std::size_t lead = 0; lead < 16; ++lead)
            expect_same_at_every_capacity_near_the_end(
                every_flag_byte_at_distance(lead, distance, random),
                "distance " + std::to_string(distance) + " after " + std::to_string(lead) +
                    " literals");
}

// References whose source starts before the first output byte: the first part reads the
// pre-filled 0x00 (or window positions 4078..4095 not yet written), the rest the output
// being produced. Each row is `lead` literals and then 24 references to one position, at
// every capacity, so the fast path meets them first and small capacities the careful one.
TEST(DecoderEquivalence, ReferencesStraddlingTheBufferStart) {
    struct Row {
        const char* label;
        std::size_t lead;
        std::size_t pos;
        std::size_t length;
    };
    const Row rows[] = {
        {"first item, pre-filled area", 0, 4000, 18},
        {"first item, position 0", 0, 0, 3},
        {"unwritten tail, then output", 0, 4070, 18},
        {"one zero, then distance 4", 3, 4077, 18},
        {"zeros, then distance 1", 1, 4074, 18},
        {"unwritten bytes, then output", 9, 4085, 18},
        {"just before the start, 17 back", 16, 4077, 18},
        {"wraps past 4095 into 0", 1, 4090, 18},
        {"short straddle", 2, 4076, 5},
    };
    Random random(19);
    for (const Row& row : rows) {
        StreamBuilder items;
        for (std::size_t i = 0; i < row.lead; ++i)
            items.literal(static_cast<std::uint8_t>(random.next()));
        for (int k = 0; k < 24; ++k) items.reference(row.pos, row.length);
        const Bytes& stream = items.bytes();
        const std::size_t yield = static_cast<std::size_t>(lzss::decoded_size(stream));
        for (std::size_t capacity = 0; capacity <= yield + 2; ++capacity)
            expect_same(stream, capacity, row.label);
    }
}

} // namespace
