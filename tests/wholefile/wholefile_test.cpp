// mmap_file and write_file: what they map and write, and each failure's exact message and
// status, checked in a forked child (death tests) since they end the process.
#include "internal.hpp"
#include "wholefile.hpp"

#include "testkit.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>
#if defined(__linux__)
#include <sys/xattr.h>
#endif

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

#if defined(__linux__)
// The mode and access list of the file at `path`.
std::pair<mode_t, std::string> mode_and_list(const std::filesystem::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    std::string list(1024, '\0');
    const ssize_t n = ::getxattr(path.c_str(), "system.posix_acl_access", list.data(), list.size());
    list.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return {st.st_mode & 07777, list};
}

// Each way the new file can be named reaches the same result: what the old file had, or for a
// new file exactly what a plain creation gives it there, and nothing left beside it. The
// seams take away what other systems and file systems lack: unnamed files, linking one by
// its descriptor, and /proc, without which the finished unnamed file is copied into a named
// one.
TEST(WriteFile, EveryWayOfNamingTheNewFile) {
    struct Row {
        const char* label;
        wholefile::detail::Seams seams;
    };
    const std::vector<Row> rows = {
        {"unnamed, linked by its descriptor", {}},
        {"unnamed, linked through /proc/self/fd", {false, true, false}},
        {"unnamed, copied into a named file", {false, true, true}},
        {"named", {true, false, false}},
    };
    // Others get nothing; a named user may write.
    const std::string default_list("\x02\0\0\0"
                                   "\x01\0\x07\0\xff\xff\xff\xff"
                                   "\x02\0\x07\0\x3a\x30\0\0"
                                   "\x04\0\x05\0\xff\xff\xff\xff"
                                   "\x10\0\x07\0\xff\xff\xff\xff"
                                   "\x20\0\0\0\xff\xff\xff\xff",
                                   44);
    const mode_t mask = ::umask(027);
    for (const Row& row : rows) {
        for (const bool with_default : {false, true}) {
            SCOPED_TRACE(std::string(row.label) + (with_default ? ", default list" : ""));
#if defined(BIPAFS_FALLBACKS)
            if (with_default) continue; // the fallbacks read no access lists
#endif
            const TempDir dir;
            if (with_default && ::setxattr(dir.path().c_str(), "system.posix_acl_default",
                                           default_list.data(), default_list.size(), 0) != 0)
                GTEST_SKIP() << "no access lists on this file system";
            testkit::write_bytes(dir / "old", testkit::bytes_of("old"));
            ASSERT_EQ(::chmod((dir / "old").c_str(), 0604), 0);
            ASSERT_EQ(::setxattr((dir / "old").c_str(), "user.origin", "disc 1", 6, 0), 0);
            const auto old = mode_and_list(dir / "old"); // with the default's list, if any
            const Bytes data = testkit::bytes_of("new content");
            wholefile::detail::seams = row.seams;
            wholefile::write_file((dir / "new").c_str(), view(data));
            wholefile::write_file((dir / "old").c_str(), view(data));
            wholefile::detail::seams = {};
            const int plain = ::open((dir / "plain").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
            ASSERT_GE(plain, 0);
            ::close(plain);

            EXPECT_EQ(testkit::read_bytes(dir / "new"), data);
            EXPECT_EQ(testkit::read_bytes(dir / "old"), data);
            EXPECT_EQ(mode_and_list(dir / "new"), mode_and_list(dir / "plain"));
            EXPECT_EQ(mode_and_list(dir / "old"), old);
#if !defined(BIPAFS_FALLBACKS) // which keep no attributes
            char origin[16] = {};
            EXPECT_EQ(::getxattr((dir / "old").c_str(), "user.origin", origin, sizeof origin), 6);
#endif
            EXPECT_EQ(testkit::tree(dir.path()), (std::set<std::string>{"new", "old", "plain"}));
        }
    }
    ::umask(mask);
}
#endif

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

// The progress line: drawn on a terminal once the work has taken a second, cleared by any
// other line and at the end; never drawn into a pipe. Each run is a child whose standard
// error is a terminal (a pseudo-terminal in raw mode) or a pipe, read here.
TEST(Progress, DrawnOnATerminalAfterASecondOnly) {
    struct Child {
        pid_t pid = -1;
        int read_end = -1;
    };
    const auto start = [](bool terminal) {
        Child c;
        int ends[2] = {-1, -1};
        if (terminal) {
            ends[0] = ::posix_openpt(O_RDWR | O_NOCTTY);
            if (ends[0] < 0 || ::grantpt(ends[0]) != 0 || ::unlockpt(ends[0]) != 0) return c;
            ends[1] = ::open(::ptsname(ends[0]), O_RDWR | O_NOCTTY);
            termios raw{};
            ::tcgetattr(ends[1], &raw);
            ::cfmakeraw(&raw);
            ::tcsetattr(ends[1], TCSANOW, &raw);
        } else if (::pipe(ends) != 0) {
            return c;
        }
        c.pid = ::fork();
        if (c.pid == 0) {
            ::dup2(ends[1], STDERR_FILENO);
            wholefile::start_run(wholefile::StandardOutput::unused);
            wholefile::progress(1, 10, 1000000); // the work begins
            ::usleep(1100 * 1000);
            wholefile::progress(2, 10, 2000000);
            wholefile::progress(3, 10, 3000000); // within a tenth of a second: not drawn
            wholefile::warn("a warning\n");
            wholefile::progress(4, 10, 4000000);
            wholefile::end_progress();
            std::fflush(stderr);
            ::_exit(0);
        }
        ::close(ends[1]);
        c.read_end = ends[0];
        return c;
    };
    const auto drain = [](Child c) {
        std::string text;
        char buffer[256];
        for (ssize_t n; (n = ::read(c.read_end, buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        ::close(c.read_end);
        int status = -1;
        ::waitpid(c.pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        return text;
    };
    const Child terminal = start(true);
    const Child pipe = start(false);
    ASSERT_GT(terminal.pid, 0) << "no pseudo-terminal here";
    ASSERT_GT(pipe.pid, 0);
    EXPECT_EQ(drain(terminal), "\r2 of 10 entries, 2.0 MB\033[K\r\033[Ka warning\n"
                               "\r4 of 10 entries, 4.0 MB\033[K\r\033[K");
    EXPECT_EQ(drain(pipe), "a warning\n");
}

TEST(Printable, EscapesControlBytesOnly) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"plain name.bin", "plain name.bin"},
        {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
        {std::string("\0\x01\x1b\x1f\x7f", 5), "\\000\\001\\033\\037\\177"},
        {"\a\b\v\f", "\\a\\b\\v\\f"},
        // A backslash stays: it is the second byte of many Shift-JIS characters.
        {"\x83\x5c \\n \xe5\x90\x8d \x80\xff", "\x83\x5c \\n \xe5\x90\x8d \x80\xff"},
        // The C1 controls in UTF-8 (CSI, OSC, ...), both bytes; the same bytes alone are
        // Shift-JIS (a half-width katakana, lead bytes) and stay.
        {"\xc2\x9b"
         "2J \xc2\x9d"
         "0;t\a \xc2\x80\xc2\x9f",
         "\\302\\2332J \\302\\2350;t\\a \\302\\200\\302\\237"},
        {"\xc2\xc2\x9b \xc2\xa0 \xc2\x7f \x9b\x40 \xc2",
         "\xc2\\302\\233 \xc2\xa0 \xc2\\177 \x9b\x40 \xc2"},
    };
    for (const auto& [text, shown] : rows) EXPECT_EQ(wholefile::printable(text), shown);
}

} // namespace
