// The production decoder against the plain ring-window decoder, on streams that reach every
// copy path: references at every distance back from 1 to 40 and near 4096 (the word-wide
// moves start at 8 and 16), references into the pre-filled area and into window positions
// not yet written, copies ending at every byte near the end of the output buffer, and
// random and encoder-made streams, each with every capacity around its yield.
#include "lzss.hpp"
#include "reference_decoder.hpp"
#include "test_inputs.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using test_inputs::Bytes;
using test_inputs::Random;

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
    Bytes stream;
    std::size_t produced = 0;
    auto group = [&stream](std::uint8_t flags) { stream.push_back(flags); };
    for (std::size_t i = 0; i < literals; i += 8) {
        group(0xFF);
        for (int k = 0; k < 8; ++k) stream.push_back(static_cast<std::uint8_t>(random.next()));
        produced += 8;
    }
    for (std::size_t length = lzss::min_match; length <= lzss::max_match; length += 8) {
        group(0xC0); // six references, then two literals
        for (int k = 0; k < 6; ++k) {
            const std::size_t len = std::min<std::size_t>(length + k, lzss::max_match);
            const std::size_t pos = (lzss::first_write_pos + produced - distance) & 0xFFF;
            stream.push_back(static_cast<std::uint8_t>(pos));
            stream.push_back(static_cast<std::uint8_t>((pos >> 4 & 0xF0) | (len - 3)));
            produced += len;
        }
        stream.push_back(0x41);
        stream.push_back(0x42);
        produced += 2;
    }
    return stream;
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

} // namespace
