// mmap_file and write_file: what they map and write, and each failure's exact message and
// status, checked in a forked child (death tests) since they end the process.
#include "wholefile.hpp"

#include "testkit.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <vector>

namespace {

using testkit::Bytes;
using testkit::exactly;
using testkit::TempDir;

std::span<const std::uint8_t> view(const Bytes& b) {
    return {b.data(), b.size()};
}

TEST(MmapFile, MapsTheWholeFilePrivately) {
    const TempDir dir;
    const Bytes content = testkit::bytes_of("the whole content\n");
    testkit::write_bytes(dir / "in", content);

    const auto mapping = wholefile::mmap_file((dir / "in").c_str());
    ASSERT_EQ(mapping.size(), content.size());
    EXPECT_TRUE(std::equal(mapping.begin(), mapping.end(), content.begin()));

    // Writable, and edits stay in the process's copy.
    mapping[0] = 'T';
    EXPECT_EQ(testkit::read_bytes(dir / "in"), content);
    ::munmap(mapping.data(), mapping.size());
}

struct FailingMap {
    const char* label;
    std::function<std::string(const TempDir&)> prepare; // returns the path to map
    const char* format;                                 // message with %s for the path
};

TEST(MmapFileDeathTest, FailuresStopWithTheirMessage) {
    const std::vector<FailingMap> rows = {
        {"missing file", [](const TempDir& d) { return (d / "absent").string(); },
         "mmap can't open '%s'\n"},
        {"missing directory on the way",
         [](const TempDir& d) { return (d / "no" / "such").string(); }, "mmap can't open '%s'\n"},
        {"empty file",
         [](const TempDir& d) {
             testkit::write_bytes(d / "empty", {});
             return (d / "empty").string();
         },
         "empty '%s'\n"},
        {"directory", [](const TempDir& d) { return d.path().string(); }, "can't mmap '%s'\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const TempDir dir;
        const std::string path = row.prepare(dir);
        std::string message = row.format;
        message.replace(message.find("%s"), 2, path);
        EXPECT_EXIT((void)wholefile::mmap_file(path.c_str()), testing::ExitedWithCode(1),
                    exactly(message));
    }
}

TEST(WriteFile, WritesExactlyTheBuffer) {
    struct Row {
        const char* label;
        Bytes before; // existing content, or none when empty
        Bytes data;
    };
    Bytes binary(70000);
    for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<std::uint8_t>(i * 7);
    const std::vector<Row> rows = {
        {"new file", {}, testkit::bytes_of("abc")},
        {"length 0 creates an empty file", {}, {}},
        {"shorter content replaces all of a longer file", Bytes(5000, 'x'),
         testkit::bytes_of("short")},
        {"length 0 truncates an existing file", Bytes(10, 'x'), {}},
        {"large binary content with zero bytes", {}, binary},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const TempDir dir;
        const auto path = dir / "out";
        if (!row.before.empty()) testkit::write_bytes(path, row.before);
        wholefile::write_file(path.c_str(), view(row.data));
        ASSERT_TRUE(std::filesystem::exists(path));
        EXPECT_EQ(testkit::read_bytes(path), row.data);
    }
}

TEST(WriteFileDeathTest, FailuresStopWithTheirMessage) {
    struct Row {
        const char* label;
        std::function<std::string(const TempDir&)> path;
        std::size_t length;
        const char* format;
    };
    const std::vector<Row> rows = {
        {"output in a missing directory",
         [](const TempDir& d) { return (d / "missing" / "out").string(); }, 3,
         "can't open '%s' for writing\n"},
        {"output path is a directory", [](const TempDir& d) { return d.path().string(); }, 3,
         "can't open '%s' for writing\n"},
        // A small write only fills the stream's buffer; the failure shows at the close.
        {"full device, caught at the close",
         [](const TempDir&) { return std::string("/dev/full"); }, 3, "can't write to '%s'\n"},
        {"full device, caught at the write",
         [](const TempDir&) { return std::string("/dev/full"); }, 1 << 20, "can't write to '%s'\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const TempDir dir;
        const std::string path = row.path(dir);
        if (path == "/dev/full" && !testkit::has_full_device()) continue; // a Linux device
        const Bytes data(row.length, 'z');
        std::string message = row.format;
        message.replace(message.find("%s"), 2, path);
        EXPECT_EXIT(wholefile::write_file(path.c_str(), view(data)), testing::ExitedWithCode(1),
                    exactly(message));
    }
}

TEST(Messages, FailAndWarnPrintExactlyTheirFormat) {
    EXPECT_EXIT(wholefile::fail("plain %d\n", 7), testing::ExitedWithCode(1), exactly("plain 7\n"));
    EXPECT_EXIT(wholefile::fail_with_status(3, "with %s\n", "status"), testing::ExitedWithCode(3),
                exactly("with status\n"));
    testing::internal::CaptureStderr();
    wholefile::warn("careful '%s'\n", "x");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "careful 'x'\n");
}

TEST(Printable, EscapesControlBytesOnly) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"plain name.bin", "plain name.bin"},
        {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
        {std::string("\0\x01\x1b\x1f\x7f", 5), "\\000\\001\\033\\037\\177"},
        {"\a\b\v\f", "\\a\\b\\v\\f"},
        // A backslash stays: it is the second byte of many Shift-JIS characters.
        {"\x83\x5c \\n \xe5\x90\x8d \x80\xff", "\x83\x5c \\n \xe5\x90\x8d \x80\xff"},
    };
    for (const auto& [text, shown] : rows) EXPECT_EQ(wholefile::printable(text), shown);
}

} // namespace
