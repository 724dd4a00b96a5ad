// The container logic in-process: header against stream, and the size of the buffer that a
// header is allowed to ask for.
#include "bip.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Row {
    const char* label;
    Bytes file;
    bip::Status status;
    std::uint32_t stated;
    std::uint64_t yielded;
    std::string content;
};

TEST(Restore, HeaderAgainstStream) {
    const std::string ten_a(10, 'a');
    const std::vector<Row> rows = {
        {"empty file", {}, bip::Status::shorter_than_header, 0, 0, ""},
        {"three bytes", {3, 0, 0}, bip::Status::shorter_than_header, 0, 0, ""},
        {"header alone, size 0", {0, 0, 0, 0}, bip::Status::restored, 0, 0, ""},
        {"header alone, size 5", {5, 0, 0, 0}, bip::Status::restored, 5, 0, ""},
        {"three literals", {3, 0, 0, 0, 0x07, 'a', 'b', 'c'}, bip::Status::restored, 3, 3, "abc"},
        {"ten a", {10, 0, 0, 0, 0x01, 'a', 0xEE, 0xF6}, bip::Status::restored, 10, 10, ten_a},
        {"stream cut short", {10, 0, 0, 0, 0x01, 'a', 0xEE}, bip::Status::restored, 10, 1, "a"},
        {"stream yields more: cut at the header's size",
         {4, 0, 0, 0, 0x01, 'a', 0xEE, 0xF6},
         bip::Status::restored,
         4,
         10,
         "aaaa"},
        {"header 0 with a stream",
         {0, 0, 0, 0, 0x07, 'a', 'b', 'c'},
         bip::Status::restored,
         0,
         3,
         ""},
        {"header read little-endian",
         {0x03, 0x01, 0, 0, 0x07, 'a', 'b', 'c'},
         bip::Status::restored,
         259,
         3,
         "abc"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const bip::Outcome got = bip::restore(row.file);
        ASSERT_EQ(got.status, row.status);
        if (row.status != bip::Status::restored) continue;
        EXPECT_EQ(got.stated_size, row.stated);
        EXPECT_EQ(got.yielded, row.yielded);
        EXPECT_EQ(std::string(got.content().begin(), got.content().end()), row.content);
        EXPECT_EQ(got.sizes_differ(), row.stated != row.yielded);
    }
}

TEST(Restore, BufferIsBoundedByTheHeader) {
    Bytes file = {2, 0, 0, 0};
    file.resize(4 + 1700, 0x00); // 100 groups of eight 3-byte references to position 0
    const bip::Outcome got = bip::restore(file);
    ASSERT_EQ(got.status, bip::Status::restored);
    EXPECT_LE(got.capacity, 3u);
    EXPECT_EQ(got.length, 2u);
    EXPECT_EQ(got.yielded, 2400u);
}

} // namespace
