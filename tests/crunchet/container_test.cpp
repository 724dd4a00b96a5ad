// The container built in memory: its header, its stream, and the inputs it refuses.
#include "bip.hpp"
#include "lzss.hpp"
#include "testkit.hpp"

#include <gtest/gtest.h>

#include <string>
#include <sys/mman.h>
#include <vector>

namespace {

using testkit::Bytes;
using testkit::counting;

Bytes built(const Bytes& content) {
    const bip::Container c = bip::build_container(content);
    EXPECT_EQ(c.status, bip::BuildStatus::built);
    EXPECT_EQ(c.capacity, bip::container_capacity(content.size()));
    return Bytes(c.bytes().begin(), c.bytes().end());
}

TEST(BuildContainer, Layouts) {
    struct Row {
        const char* label;
        Bytes content;
        Bytes expected;
    };
    Bytes distinct_200 = {0xC8, 0, 0, 0};
    for (std::size_t group = 0; group < 25; ++group) {
        distinct_200.push_back(0xFF);
        for (std::size_t k = 0; k < 8; ++k)
            distinct_200.push_back(static_cast<std::uint8_t>(group * 8 + k + 1));
    }
    const std::vector<Row> rows = {
        {"abc", {'a', 'b', 'c'}, {0x03, 0, 0, 0, 0x07, 0x61, 0x62, 0x63}},
        {"ten a", Bytes(10, 'a'), {0x0A, 0, 0, 0, 0x01, 0x61, 0xEE, 0xF6}},
        {"200 distinct bytes fill the capacity", counting(200), distinct_200},
    };
    for (const Row& row : rows) EXPECT_EQ(built(row.content), row.expected) << row.label;
    EXPECT_EQ(distinct_200.size(), 229u);
}

TEST(BuildContainer, HeaderIsLittleEndianSizeAndStreamDecodes) {
    for (const std::size_t n :
         {std::size_t{1}, std::size_t{255}, std::size_t{256}, std::size_t{70000}}) {
        const Bytes content = counting(n);
        const Bytes c = built(content);
        ASSERT_GE(c.size(), 5u);
        const Bytes header(c.begin(), c.begin() + 4);
        EXPECT_EQ(header, (Bytes{static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                                 static_cast<std::uint8_t>(n >> 16), 0}))
            << n;
        Bytes back(n);
        EXPECT_EQ(lzss::decompress_lzss(back, std::span(c).subspan(4)), n);
        EXPECT_EQ(back, content) << n;
    }
}

TEST(BuildContainer, RefusesEmptyAndTooLarge) {
    EXPECT_EQ(bip::build_container({}).status, bip::BuildStatus::empty);

    // Address space that faults on any access: the refusal must come before reading it.
    const std::size_t size = bip::max_content_size + 1;
    void* const reserved = ::mmap(nullptr, size, PROT_NONE,
                                  MAP_PRIVATE | MAP_ANONYMOUS | TESTKIT_MAP_NORESERVE, -1, 0);
    ASSERT_NE(reserved, MAP_FAILED);
    const bip::Container c =
        bip::build_container({static_cast<const std::uint8_t*>(reserved), size});
    ::munmap(reserved, size);
    EXPECT_EQ(c.status, bip::BuildStatus::too_large);
    EXPECT_EQ(c.buffer, nullptr);
}

} // namespace
