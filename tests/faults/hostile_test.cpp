// Inputs crafted to break the programs: a container that claims gigabytes over a short
// stream, and archives whose fields overflow 32 bits, point past the end, or name files that
// would land outside the directories given. Each is refused, or handled within bounds, with
// nothing written where it should not be.
#include "afs_image.hpp"
#include "afs_rebuild.hpp"
#include "bip.hpp"
#include "lzss.hpp"
#include "testkit.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using afstest::Bytes;
using afstest::one_entry;
using afstest::patched;
using testkit::concat;
using testkit::RunResult;
using testkit::TempDir;
using testkit::tree;

constexpr int failed_check_status = 2;

Bytes le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

// The decompression bomb: a header claiming 0xFFFFFFFF bytes over a short stream. The
// buffer the container core asks for is bounded by what the stream can yield, and the
// program's peak stays within 1 MiB of a 3-byte container's. The rows: a 100-byte stream
// that yields the most it can, groups of a zero flag byte and eight 18-byte references to
// position 0 (0x00 bytes), the last group holding the seven references that its 15 bytes
// leave room for; 68 zero bytes, four whole groups; and the 8-byte file of ten a.
TEST(Hostile, DecompressionBombStaysWithinAFewMegabytes) {
    Bytes most;
    while (most.size() < 100) {
        if (most.size() % 17 == 0) most.push_back(0x00);
        for (std::uint8_t b : {0x00, 0x0F}) most.push_back(b);
    }
    ASSERT_EQ(most.size(), 100u);
    struct Row {
        const char* label;
        Bytes stream;
        Bytes content;
    };
    const std::vector<Row> rows = {
        {"the most 100 stream bytes yield", most, Bytes((5 * 8 + 7) * 18, 0x00)},
        {"68 zero bytes", Bytes(68, 0x00), Bytes(4 * 8 * 3, 0x00)},
        {"ten a", {0x01, 0x61, 0xEE, 0xF6}, Bytes(10, 'a')},
    };

    const TempDir dir;
    testkit::write_bytes(dir / "small.bip", {0x03, 0x00, 0x00, 0x00, 0x07, 'a', 'b', 'c'});
    const RunResult base = testkit::run(UNCRUNCHET_PATH, {"small.bip", "small"}, dir.path());
    ASSERT_EQ(base.status, 0) << base.err;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const Bytes file = concat(le32(0xFFFFFFFF), row.stream);

        const bip::Outcome got = bip::restore(file);
        ASSERT_EQ(got.status, bip::Status::restored);
        EXPECT_LE(got.capacity, lzss::max_decompressed_size(row.stream.size()));
        EXPECT_EQ(got.stated_size, 0xFFFFFFFFu);
        EXPECT_EQ(got.yielded, lzss::decoded_size(row.stream));
        EXPECT_EQ(got.yielded, row.content.size());
        EXPECT_EQ(got.length, got.yielded);
        EXPECT_TRUE(Bytes(got.content().begin(), got.content().end()) == row.content);
        EXPECT_TRUE(got.sizes_differ());

        testkit::write_bytes(dir / "bomb.bip", file);
        const RunResult r = testkit::run(UNCRUNCHET_PATH, {"bomb.bip", "out"}, dir.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "'bomb.bip': the header states 4294967295 bytes, the stream yields " +
                             std::to_string(row.content.size()) + "\n");
        EXPECT_TRUE(testkit::read_bytes(dir / "out") == row.content);
        std::printf("peak RSS: %ld KiB for the bomb, %ld KiB for a 3-byte container\n",
                    r.peak_rss_kib, base.peak_rss_kib);
        EXPECT_LT(r.peak_rss_kib, base.peak_rss_kib + 1024);
        // A buffer of the header's size touched by the run would show as gigabytes here.
        EXPECT_LT(r.peak_rss_kib, 64 * 1024);
    }
}

// A valid two-entry archive, then patched one field at a time.
Bytes two_entries() {
    afstest::Image image;
    image.size = 3000;
    image.names_pos = 100;
    image.entries = {afstest::with_data("a.bin", 400, testkit::pattern(600, 1)),
                     afstest::with_data("b.bin", 1200, testkit::pattern(900, 2))};
    return afstest::build(image);
}

TEST(Hostile, ArchiveFieldsThatOverflowOrPointPastTheEnd) {
    const Bytes good = two_entries();
    const std::uint32_t size = static_cast<std::uint32_t>(good.size());
    struct Row {
        std::string label;
        Bytes bytes;
        std::string condition;
    };
    const std::vector<Row> rows = {
        {"entries 2^32 - 1", patched(good, 4, 0xFFFFFFFF), "entries*8+8<=size"},
        {"entries 2^32 - 2", patched(good, 4, 0xFFFFFFFE), "entries*8+8<=size"},
        {"entries*8 + 8 wraps to 0", patched(good, 4, 0x1FFFFFFF), "entries*8+8<=size"},
        {"entries*8 wraps to 0", patched(good, 4, 0x20000000), "entries*8+8<=size"},
        {"pos + len wraps to a small sum", patched(patched(good, 8, 0xFFFFFF00), 12, 0x200),
         "stas[i].pos + stas[i].len <= size"},
        {"len wraps past pos", patched(good, 20, 0xFFFFFFF0), "stas[i].pos + stas[i].len <= size"},
        {"locator just past the end", patched(good, 24, size - 95),
         "statoc->pos + statoc->len <= size"},
        {"locator far past the end", patched(good, 24, 0x80000000),
         "statoc->pos + statoc->len <= size"},
        {"locator pos + len wraps", patched(good, 24, 0xFFFFFFD0),
         "statoc->pos + statoc->len <= size"},
        {"name table length wraps", patched(good, 28, 0xFFFFFFFF), "statoc->len == entries*48"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const TempDir dir;
        testkit::write_bytes(dir / "in.afs", row.bytes);
        const RunResult r =
            testkit::run(SWAPFOLD_PATH, {"in.afs", "out.afs", "en", "ja"}, dir.path());
        EXPECT_EQ(r.status, failed_check_status);
        EXPECT_EQ(r.err, "failed check: " + row.condition + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(tree(dir.path()), std::set<std::string>{"in.afs"});
    }
}

TEST(Hostile, NameFillingItsWholeFieldIsThoseThirtyTwoBytes) {
    const std::string name(32, 'N');
    const Bytes data = testkit::pattern(50, 9);
    const TempDir dir;
    testkit::write_bytes(dir / "in.afs", one_entry(name, data));
    fs::create_directories(dir / "en");
    testkit::write_bytes(dir / "en" / name, testkit::bytes_of("new"));
    const RunResult r = testkit::run(SWAPFOLD_PATH, {"in.afs", "out.afs", "en", "ja"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "-> " + name + "\n<- " + name + "\n");
    EXPECT_EQ(tree(dir / "ja"), std::set<std::string>{name});
    EXPECT_EQ(testkit::read_bytes(dir / "ja" / name), data);
    const Bytes out = testkit::read_bytes(dir / "out.afs");
    ASSERT_EQ(out.size(), 6144u); // the name table follows the 3 new bytes at 4096
    EXPECT_EQ(afstest::get32(out, 12), 3u);
    EXPECT_EQ(Bytes(out.begin() + 2048, out.begin() + 2051), testkit::bytes_of("new"));
}

TEST(Hostile, NamesMadeOfDotsAreRefusedWithAndWithoutExtraction) {
    for (const std::string name : {"..", "...", "....", "../..", "../../.."}) {
        for (const bool extract : {true, false}) {
            SCOPED_TRACE(name + (extract ? " with ja/" : " without ja/"));
            const TempDir dir;
            fs::create_directories(dir / "work/en");
            testkit::write_bytes(dir / "work/in.afs", one_entry(name, testkit::pattern(20, 4)));
            std::vector<std::string> args = {"in.afs", "out.afs", "en"};
            if (extract) args.push_back("ja");
            const RunResult r = testkit::run(SWAPFOLD_PATH, args, dir / "work");
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "unsafe filename\n");
            EXPECT_EQ(r.out, extract ? "-> " + name + "\n" : "");
            // The ja/ the run made goes again: nothing was extracted into it.
            EXPECT_EQ(tree(dir.path()), (std::set<std::string>{"work", "work/en", "work/in.afs"}));
        }
    }
}

// Names no file can have (empty, or ending in "/" or ".") are never looked up in en/, even
// when en/ exists, and stop extraction as unsafe.
TEST(Hostile, NamesThatCannotNameAFile) {
    for (const std::string name : {"", ".", "./", "a/", "a/."}) {
        for (const bool extract : {false, true}) {
            SCOPED_TRACE("'" + name + (extract ? "' with ja/" : "' without ja/"));
            const TempDir dir;
            const Bytes input = one_entry(name, testkit::pattern(20, 4));
            testkit::write_bytes(dir / "in.afs", input);
            fs::create_directories(dir / "en/a");
            std::vector<std::string> args = {"in.afs", "out.afs", "en"};
            if (extract) args.push_back("ja");
            const RunResult r = testkit::run(SWAPFOLD_PATH, args, dir.path());
            EXPECT_EQ(r.status, extract ? 1 : 0);
            EXPECT_EQ(r.err, extract ? "unsafe filename\n" : "");
            EXPECT_EQ(r.out, extract ? "-> " + name + "\n" : "");
            if (!extract) {
                EXPECT_TRUE(testkit::read_bytes(dir / "out.afs") == afstest::rebuilt_bytes(input));
            }
        }
    }
}

// Control bytes in a name are shown escaped wherever it is printed, so that a name cannot
// forge a line or drive the terminal; every other byte prints as it is.
TEST(Hostile, PrintedNamesShowControlBytesEscaped) {
    struct Row {
        std::string name;
        std::string shown;
    };
    const std::vector<Row> rows = {
        {"a\n<- forged", "a\\n<- forged"},
        {"b\x1b[2J", "b\\033[2J"},
        {"tab\there\x7f", "tab\\there\\177"},
        {"\xe5\x90\x8d\x83\x5c", "\xe5\x90\x8d\x83\x5c"}, // UTF-8, then Shift-JIS with 0x5C
        // C1 controls in UTF-8 (CSI, OSC); Shift-JIS lead bytes 0x80 to 0x9F stay.
        {"c\xc2\x9b"
         "2J\xc2\x9d"
         "0;x\x07\x9b\x40",
         "c\\302\\2332J\\302\\2350;x\\a\x9b\x40"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.shown);
        const TempDir dir;
        testkit::write_bytes(dir / "in.afs", one_entry(row.name, testkit::pattern(20, 4)));
        fs::create_directories(dir / "en");
        testkit::write_bytes(dir / "en" / row.name, testkit::bytes_of("new"));
        const RunResult r =
            testkit::run(SWAPFOLD_PATH, {"in.afs", "out.afs", "en", "ja"}, dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "-> " + row.shown + "\n<- " + row.shown + "\n");
        EXPECT_EQ(testkit::read_bytes(dir / "ja" / row.name), testkit::pattern(20, 4));
        const RunResult listed = testkit::run(BIPAFS_PATH, {"list", "in.afs"}, dir.path());
        EXPECT_EQ(listed.out, "20 " + row.shown + "\n");

        // and in messages: a replacement that cannot be read.
        fs::remove(dir / "en" / row.name);
        fs::create_directory(dir / "en" / row.name);
        const RunResult bad = testkit::run(SWAPFOLD_PATH, {"in.afs", "out.afs", "en"}, dir.path());
        EXPECT_EQ(bad.err, "can't mmap 'en/" + row.shown + "'\n");
    }
}

} // namespace
