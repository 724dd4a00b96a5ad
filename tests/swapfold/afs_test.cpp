// In-process tests of the archive checks and the rebuild.
#include "afs.hpp"
#include "afs_image.hpp"
#include "afs_rebuild.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/mman.h>

namespace {

using afstest::Bytes;
using afstest::Entry;
using afstest::Image;
using afstest::patched;
using afstest::Place;
using afstest::rebuild_rows;
using afstest::RebuildRow;
using afstest::two_entries;
using afstest::with_data;
using afstest::without_data;

struct CheckRow {
    const char* label;
    Bytes bytes;
    afs::Verdict verdict;
    const char* condition; // for failed checks
};

Bytes truncated(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

TEST(CheckArchive, EachCheckFailsWithItsConditionText) {
    using afs::Verdict;
    const Bytes good = afstest::build(two_entries());
    Image second = two_entries();
    second.place = Place::second;
    const Bytes good_second = afstest::build(second);
    Image none;
    none.size = 16;
    const Bytes no_entries = afstest::build(none); // locator {0, 0} right after the header

    const std::vector<CheckRow> rows = {
        {"valid, locator after the table", good, Verdict::ok, nullptr},
        {"valid, locator before the first data", good_second, Verdict::ok, nullptr},
        {"AFS followed by 1", patched(good, 0, 0x01534641), Verdict::not_afs, nullptr},
        {"AFS followed by space", patched(good, 0, 0x20534641), Verdict::not_afs, nullptr},
        {"wrong letter", patched(good, 0, 0x00544641), Verdict::not_afs, nullptr},
        {"three bytes", truncated(good, 3), Verdict::not_afs, nullptr},
        {"magic only", truncated(good, 4), Verdict::failed_check, "entries*8+8<=size"},
        {"count only", truncated(good, 8), Verdict::failed_check, "entries*8+8<=size"},
        {"table past the end", patched(good, 4, 500), Verdict::failed_check, "entries*8+8<=size"},
        {"second entry past the end", patched(good, 20, 3701), Verdict::failed_check,
         "stas[i].pos + stas[i].len <= size"},
        {"entry without data past the end", patched(patched(good, 8, 0), 12, 4001),
         Verdict::failed_check, "stas[i].pos + stas[i].len <= size"},
        {"entry pos wraps 32 bits", patched(good, 8, 0xffffffff), Verdict::failed_check,
         "stas[i].pos + stas[i].len <= size"},
        {"first place cut short", truncated(patched(good, 4, 0), 12), Verdict::failed_check,
         "entries*8+16<=size"},
        {"no entries, locator zero", no_entries, Verdict::failed_check, "entries>=1"},
        {"second place before the file", patched(good_second, 8, 4), Verdict::failed_check,
         "stas[0].pos>=8"},
        {"second place, first entry without data", patched(good_second, 8, 0),
         Verdict::failed_check, "stas[0].pos>=8"},
        {"name table of 47 per entry", patched(good, 28, 94), Verdict::failed_check,
         "statoc->len == entries*48"},
        {"name table past the end", patched(good, 24, 3905), Verdict::failed_check,
         "statoc->pos + statoc->len <= size"},
        {"name table ends at the end", patched(good, 24, 3904), Verdict::ok, nullptr},
    };
    for (const CheckRow& row : rows) {
        const afs::Checked c = afs::check_archive(row.bytes);
        EXPECT_EQ(c.verdict, row.verdict) << row.label;
        if (row.verdict == Verdict::failed_check) {
            ASSERT_NE(c.failed, nullptr) << row.label;
            EXPECT_STREQ(c.failed, row.condition) << row.label;
        }
    }
}

TEST(CheckArchive, OneEntryEndingExactlyAtTheEndPassesAndOneByteFurtherFails) {
    Image image;
    image.size = 200;
    image.names_pos = 24;
    image.entries = {with_data("end.bin", 150, testkit::pattern(50, 3))};
    const Bytes exact = afstest::build(image);
    EXPECT_EQ(afs::check_archive(exact).verdict, afs::Verdict::ok);
    const afs::Checked over = afs::check_archive(patched(exact, 12, 51));
    EXPECT_EQ(over.verdict, afs::Verdict::failed_check);
    EXPECT_STREQ(over.failed, "stas[i].pos + stas[i].len <= size");
}

TEST(CheckArchive, LocatesTheNameTableInEitherPlaceAndReadsNames) {
    for (const Place place : {Place::first, Place::second}) {
        Image image = two_entries();
        image.place = place;
        image.entries[1].name = std::string(32, 'n'); // fills the field, no zero byte
        const Bytes bytes = afstest::build(image);
        const afs::Checked c = afs::check_archive(bytes);
        ASSERT_EQ(c.verdict, afs::Verdict::ok);
        EXPECT_EQ(c.archive.entries, 2u);
        EXPECT_EQ(c.archive.statoc.pos, 64u);
        EXPECT_EQ(c.archive.statoc.len, 96u);
        EXPECT_EQ(afs::entry_name(c.archive, 0), "one.bin");
        EXPECT_EQ(afs::entry_name(c.archive, 1), std::string(32, 'n'));
        const auto data = afs::entry_data(c.archive, 1);
        EXPECT_EQ(Bytes(data.begin(), data.end()), image.entries[1].data);
    }
}

afs::Archive checked(const Bytes& bytes) {
    const afs::Checked c = afs::check_archive(bytes);
    EXPECT_EQ(c.verdict, afs::Verdict::ok) << (c.failed ? c.failed : "");
    return c.archive;
}

// Compares a rebuilt archive with the row's layout worked out by hand, field by field and
// then as a whole, and checks that it reads back as a valid archive.
void expect_layout(const RebuildRow& row, const Bytes& input,
                   const std::vector<std::uint8_t>& out) {
    const afstest::Placed& placed = row.placed;
    const Bytes expected = afstest::as_placed(row.image, input, row.replacements, placed);
    ASSERT_EQ(out.size(), placed.length);
    const Bytes got(out.begin(), out.end());
    const auto n = static_cast<std::uint32_t>(row.image.entries.size());
    for (std::uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(afstest::get32(got, 8 + 8 * i), placed.table[i][0]) << "pos of entry " << i;
        EXPECT_EQ(afstest::get32(got, 12 + 8 * i), placed.table[i][1]) << "len of entry " << i;
        const std::uint64_t rec = placed.names_at + 48ull * i;
        EXPECT_TRUE(std::equal(got.begin() + rec, got.begin() + rec + 44, expected.begin() + rec))
            << "name record " << i;
        EXPECT_EQ(afstest::get32(got, rec + 44), afstest::get32(expected, rec + 44))
            << "length field of entry " << i;
    }
    EXPECT_EQ(afstest::get32(got, placed.locator_at), placed.names_at);
    EXPECT_EQ(afstest::get32(got, placed.locator_at + 4), 48 * n);
    EXPECT_TRUE(got == expected) << "some byte differs from the expected archive";
    EXPECT_EQ(out.size() % 2048, 0u);
    EXPECT_EQ(afs::check_archive(out).verdict, afs::Verdict::ok);
}

TEST(RebuildArchive, MatchesTheLayoutWorkedOutByHand) {
    for (const RebuildRow& row : rebuild_rows()) {
        SCOPED_TRACE(row.label);
        const Bytes input = afstest::build(row.image);
        const Bytes before = input;
        const afs::Archive archive = checked(input);
        std::vector<afs::Replacement> replacements(archive.entries);
        for (std::uint32_t i = 0; i < archive.entries; ++i) {
            const auto found = row.replacements.find(std::string(afs::entry_name(archive, i)));
            if (found != row.replacements.end())
                replacements[i] = afstest::in_memory(found->second);
        }
        const afstest::Rebuilt rebuilt = afstest::rebuild_archive(archive, replacements);
        ASSERT_EQ(rebuilt.failed, nullptr) << rebuilt.failed;
        expect_layout(row, input, rebuilt.bytes);
        EXPECT_TRUE(input == before) << "the input was modified";
    }
}

// More entries than 16 bits can count, each one replaced: the layout is worked out by hand
// as for the rows above. (That the program keeps one replacement open at a time is
// Swapfold.OneReplacementOpenAtATime.)
TEST(RebuildArchive, SixtySixThousandReplacements) {
    constexpr std::uint32_t count = 66000;
    RebuildRow row{"66000 entries, each replaced", {}, {}, {}};
    row.image.size = 2048 * (count + 1) + 48 * count + 8 * count;
    row.image.names_pos = 2048 * (count + 1) + 8 * count;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string name(1, 'e'); // appended: g++ 12 at -O3 warns falsely about "e" + string
        name += std::to_string(i);
        row.image.entries.push_back(with_data(name, 2048 * (i + 1) + 8 * count, Bytes{1}));
        // Three bytes, so that entries 65536 apart differ.
        row.replacements[name] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8),
                                  static_cast<std::uint8_t>(i >> 16)};
    }
    // The header, the table and the locator take 528016 bytes: the data starts at 528384, the
    // next 2048-byte boundary, with the locator just before it; each 3-byte entry takes a
    // block, and the 3168000 bytes of names follow the last one.
    constexpr std::uint32_t data_at = 528384;
    row.placed.locator_at = data_at - 8;
    for (std::uint32_t i = 0; i < count; ++i) row.placed.table.push_back({{data_at + 2048 * i, 3}});
    row.placed.names_at = data_at + 2048 * count;
    row.placed.length = row.placed.names_at + 3168256; // the names, to a 2048-byte boundary

    const Bytes input = afstest::build(row.image);
    const afs::Archive archive = checked(input);
    std::vector<afs::Replacement> replacements(archive.entries);
    for (std::uint32_t i = 0; i < archive.entries; ++i)
        replacements[i] =
            afstest::in_memory(row.replacements.at(std::string(afs::entry_name(archive, i))));
    const afstest::Rebuilt rebuilt = afstest::rebuild_archive(archive, replacements);
    ASSERT_EQ(rebuilt.failed, nullptr) << rebuilt.failed;
    expect_layout(row, input, rebuilt.bytes);
}

TEST(RebuildArchive, OverlappingDataIsCopiedAsItStood) {
    for (const RebuildRow& row : rebuild_rows()) {
        if (std::string_view(row.label).find("overlapping") == std::string_view::npos) continue;
        SCOPED_TRACE(row.label);
        const Bytes input = afstest::build(row.image);
        const afstest::Rebuilt rebuilt = afstest::rebuild_archive(checked(input));
        ASSERT_EQ(rebuilt.failed, nullptr);
        // The first entry goes to 2048 with its bytes as they stood, old tables included.
        const Entry& first = row.image.entries[0];
        EXPECT_TRUE(std::equal(rebuilt.bytes.begin() + 2048,
                               rebuilt.bytes.begin() + 2048 + first.len,
                               input.begin() + first.pos));
        // and the tables it held were really in it.
        EXPECT_FALSE(std::equal(input.begin() + first.pos, input.begin() + first.pos + first.len,
                                first.data.begin()));
    }
}

TEST(RebuildArchive, CapacityCheckIsStrictAgainstFourTimesTheInput) {
    // 600 bytes of input give 2400 of capacity; data starts at 2048.
    for (const std::uint32_t len : {351u, 352u}) {
        Image image;
        image.size = 600;
        image.names_pos = 24;
        image.entries = {with_data("fit", 100, testkit::pattern(len, 19))};
        const Bytes input = afstest::build(image);
        const afstest::Rebuilt rebuilt = afstest::rebuild_archive(checked(input));
        if (len == 351) {
            EXPECT_EQ(rebuilt.failed, nullptr);
            EXPECT_EQ(rebuilt.bytes.size(), 6144u); // data to 4096, names to 6144
        } else {
            EXPECT_STREQ(rebuilt.failed, "off+size < out_size");
            EXPECT_TRUE(rebuilt.bytes.empty());
        }
    }
}

// Address space without memory behind it, for an input no test machine could hold.
struct Reserved {
    explicit Reserved(std::size_t n) : size(n) {
        void* p = ::mmap(nullptr, n, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | TESTKIT_MAP_NORESERVE,
                         -1, 0);
        data = p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
    }
    ~Reserved() {
        if (data) ::munmap(data, size);
    }
    Reserved(const Reserved&) = delete;
    Reserved& operator=(const Reserved&) = delete;
    std::uint8_t* data;
    std::size_t size;
};

TEST(LayOutRebuild, OffsetsAndLengthsAreCheckedToFit32Bits) {
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t))
        GTEST_SKIP() << "spans of 5 GiB need a 64-bit size_t";
    constexpr std::uint64_t input_size = 1280ull << 20; // capacity 5 GiB
    Reserved input(input_size);
    if (!input.data) GTEST_SKIP() << "cannot reserve 1.25 GiB of address space";
    ASSERT_EQ(::mprotect(input.data, 4096, PROT_READ | PROT_WRITE), 0);

    // Header, table and names in the first page: entry i at 1024 + i, names at 256.
    const auto write_header = [&](std::uint32_t entries) {
        Bytes head(4096, 0);
        std::memcpy(head.data(), "AFS", 4);
        afstest::put32(head, 4, entries);
        for (std::uint32_t i = 0; i < entries; ++i) {
            afstest::put32(head, 8 + 8 * i, 1024 + i);
            afstest::put32(head, 12 + 8 * i, 1);
        }
        afstest::put32(head, 8 + 8 * entries, 256);
        afstest::put32(head, 12 + 8 * entries, 48 * entries);
        std::memcpy(input.data, head.data(), head.size());
        return afs::check_archive(std::span<const std::uint8_t>(input.data, input_size));
    };

    struct Row {
        const char* label;
        std::uint32_t entries;
        std::uint64_t first_size;
        const char* condition; // null: the layout passes
        std::uint64_t length;
    };
    const std::vector<Row> rows = {
        {"length over 32 bits", 1, (1ull << 32), "size <= UINT32_MAX", 0},
        {"second entry's offset over 32 bits", 2, 0xfffff801ull, "off <= UINT32_MAX", 0},
        {"name table's offset over 32 bits", 1, 0xfffff801ull, "name_off <= UINT32_MAX", 0},
        {"name table at the last block that fits", 1, 0xfffff000ull, nullptr, 1ull << 32},
        {"second entry at the last block that fits", 2, 0xfffff000ull, "name_off <= UINT32_MAX", 0},
        {"smaller first entry", 1, 0xffffe800ull, nullptr, 0xfffff800ull},
        {"capacity exceeded first", 1, (5ull << 30) - 2048, "off+size < out_size", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const afs::Checked c = write_header(row.entries);
        ASSERT_EQ(c.verdict, afs::Verdict::ok);
        // The layout only looks at a replacement's size: this file is never opened.
        const wholefile::Source big{{}, -1, "big", row.first_size};
        std::vector<afs::Replacement> replacements(row.entries);
        replacements[0] = wholefile::Piece{nullptr, row.first_size, &big, 0};
        const afs::Layout layout = afs::lay_out_rebuild(c.archive, replacements);
        if (row.condition == nullptr) {
            EXPECT_EQ(layout.failed, nullptr);
            EXPECT_EQ(layout.length, row.length);
        } else {
            EXPECT_STREQ(layout.failed, row.condition);
        }
    }
}

TEST(EntryNames, UnsafeNamesAndNamesThatNameNoFile) {
    struct Row {
        std::string name;
        bool unsafe;
        bool names_a_file;
    };
    const std::vector<Row> rows = {
        {"a", false, true},
        {"a/b", false, true},
        {"a..b", true, true},
        {"../x", true, true},
        {"a/../b", true, true},
        {"/etc/x", true, true},
        {"..", true, true},
        {"...", true, true},
        {"", false, false},
        {".", false, false},
        {"./", false, false},
        {"a/", false, false},
        {"a/.", false, false},
        {"./a", false, true},
        {std::string(32, 'n'), false, true},
        {std::string(30, 'n') + "..", true, true},
        {std::string(31, 'n') + "/", false, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(afs::is_unsafe(row.name), row.unsafe) << '"' << row.name << '"';
        EXPECT_EQ(afs::names_a_file(row.name), row.names_a_file) << '"' << row.name << '"';
    }
}

} // namespace
