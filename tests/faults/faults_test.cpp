// Faults that the file system causes, on the built programs: a full device, a file-size
// limit, a directory that cannot be written, and inputs that are directories or FIFOs.
// Each must end the run with a message, status 1 and no line that reports success.
#include "afs_image.hpp"
#include "testkit.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testkit::Bytes;
using testkit::RunResult;
using testkit::TempDir;

const std::string crunchet = CRUNCHET_PATH;
const std::string uncrunchet = UNCRUNCHET_PATH;
const std::string swapfold = SWAPFOLD_PATH;

// Content that compresses poorly, so a container of it is about as large as the content.
Bytes noise(std::size_t n) {
    Bytes out(n);
    std::uint32_t x = 0x9E3779B9;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return out;
}

// A container holding `content`, made by the built crunchet.
Bytes container_of(const Bytes& content) {
    const TempDir dir;
    testkit::write_bytes(dir / "in", content);
    const RunResult r = testkit::run(crunchet, {"in", "out.bip"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    return testkit::read_bytes(dir / "out.bip");
}

// A one-entry archive whose entry has `data`.
Bytes archive_of(const Bytes& data) {
    afstest::Image image;
    image.size = 2048 + data.size() + 48;
    image.names_pos = static_cast<std::uint32_t>(2048 + data.size());
    image.entries = {afstest::with_data("a.bin", 2048, data)};
    return afstest::build(image);
}

// One run of a program on inputs written into a fresh directory. `args` name files in that
// directory; `out` is the output path, which the fault concerns.
struct Case {
    std::string label;
    std::string program;
    std::vector<std::string> args;
    std::string err;     // the exact message expected
    std::string printed; // what standard output holds: nothing that reports success
};

// The three programs writing `out` from inputs large (`big`) or small.
std::vector<Case> writers(const std::string& out, bool big) {
    const std::string n = big ? "300000" : "3";
    return {
        {"crunchet",
         crunchet,
         {"in", out},
         "can't write to '" + out + "'\n",
         "Original size: " + n + " bytes\n"},
        {"uncrunchet", uncrunchet, {"in.bip", out}, "can't write to '" + out + "'\n", ""},
        {"swapfold", swapfold, {"in.afs", out, "en"}, "can't write to '" + out + "'\n", ""},
    };
}

void write_inputs(const TempDir& dir, bool big) {
    const Bytes content = big ? noise(300000) : testkit::bytes_of("abc");
    testkit::write_bytes(dir / "in", content);
    testkit::write_bytes(dir / "in.bip", container_of(content));
    testkit::write_bytes(dir / "in.afs", archive_of(content));
}

void expect_failure(const RunResult& r, const Case& c) {
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, c.printed);
}

TEST(Faults, WritingToAFullDevice) {
    for (const bool big : {false, true}) {
        const TempDir dir;
        write_inputs(dir, big);
        for (const Case& c : writers("/dev/full", big)) {
            SCOPED_TRACE(c.label + (big ? ", large output" : ", small output"));
            expect_failure(testkit::run(c.program, c.args, dir.path()), c);
        }
    }
}

// Runs `program` under a file-size limit of one 512-byte block, the limit signal left as
// the caller had it or ignored.
RunResult run_limited(const Case& c, const fs::path& cwd, bool ignore_signal) {
    const std::string script =
        std::string(ignore_signal ? "trap '' XFSZ; " : "") + "ulimit -f 1 && exec \"$0\" \"$@\"";
    std::vector<std::string> args = {"-c", script, c.program};
    args.insert(args.end(), c.args.begin(), c.args.end());
    return testkit::run("/bin/sh", args, cwd);
}

TEST(Faults, OutputLargerThanTheFileSizeLimit) {
    for (const bool ignore_signal : {false, true}) {
        const TempDir dir;
        write_inputs(dir, true);
        for (const Case& c : writers("out", true)) {
            SCOPED_TRACE(c.label + (ignore_signal ? ", limit signal ignored" : ", limit signal"));
            expect_failure(run_limited(c, dir.path(), ignore_signal), c);
            // Whatever reached the file stays within the limit (ulimit counts 512-byte blocks
            // in sh, 1024-byte ones in some shells).
            if (fs::exists(dir / "out")) {
                EXPECT_LE(fs::file_size(dir / "out"), 1024u);
            }
            fs::remove(dir / "out");
        }
    }
}

// Runs `c` with the directory `ro` (relative to cwd) made read-only: by its mode when not
// running as root, else by a read-only bind mount in a private mount namespace. Skips the
// calling test when neither is possible.
RunResult run_with_read_only(const Case& c, const fs::path& cwd, bool* skipped) {
    *skipped = false;
    if (::geteuid() != 0) {
        fs::permissions(cwd / "ro", fs::perms::owner_read | fs::perms::owner_exec);
        RunResult r = testkit::run(c.program, c.args, cwd);
        fs::permissions(cwd / "ro", fs::perms::owner_all);
        return r;
    }
    const std::string script =
        "mount --bind ro ro && mount -o remount,bind,ro ro && exec \"$0\" \"$@\"";
    std::vector<std::string> args = {"-m", "/bin/sh", "-c", script, c.program};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = testkit::run("/usr/bin/unshare", args, cwd);
    if (r.err.find("mount") != std::string::npos || r.err.find("unshare") != std::string::npos)
        *skipped = true;
    return r;
}

TEST(Faults, OutputDirectoryWithoutWritePermission) {
    const TempDir dir;
    write_inputs(dir, false);
    fs::create_directories(dir / "ro/ja");
    const std::vector<Case> cases = {
        {"crunchet",
         crunchet,
         {"in", "ro/out"},
         "can't open 'ro/out' for writing\n",
         "Original size: 3 bytes\n"},
        {"uncrunchet", uncrunchet, {"in.bip", "ro/out"}, "can't open 'ro/out' for writing\n", ""},
        {"swapfold output",
         swapfold,
         {"in.afs", "ro/out", "en"},
         "can't open 'ro/out' for writing\n",
         ""},
        {"swapfold extraction",
         swapfold,
         {"in.afs", "out", "en", "ro/ja"},
         "can't open 'a.bin' for writing\n",
         "-> a.bin\n"},
        {"swapfold new extraction directory",
         swapfold,
         {"in.afs", "out", "en", "ro/new"},
         "chdir failed\n",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        bool skipped = false;
        const RunResult r = run_with_read_only(c, dir.path(), &skipped);
        if (skipped) GTEST_SKIP() << "no read-only bind mount here: " << r.err;
        expect_failure(r, c);
        EXPECT_FALSE(fs::exists(dir / "out"));
        EXPECT_TRUE(fs::is_empty(dir / "ro/ja"));
        EXPECT_FALSE(fs::exists(dir / "ro/out"));
    }
}

TEST(Faults, InputsThatAreDirectoriesOrFifos) {
    const TempDir dir;
    write_inputs(dir, false);
    fs::create_directories(dir / "adir");
    testkit::write_bytes(dir / "adir/x", {1}); // a size of its own on every file system
    fs::create_directories(dir / "en/a.bin");
    ASSERT_EQ(::mkfifo((dir / "afifo").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo_en/a.bin").c_str(), 0644), -1); // no such directory yet
    fs::create_directories(dir / "fifo_en");
    ASSERT_EQ(::mkfifo((dir / "fifo_en/a.bin").c_str(), 0644), 0);

    // A directory cannot be mapped; a FIFO has no size and reads as empty. Each run goes
    // through timeout(1), so an open that waits for a writer fails the row instead of
    // hanging the suite.
    const std::vector<Case> cases = {
        {"crunchet directory", crunchet, {"adir", "out"}, "can't mmap 'adir'\n", ""},
        {"crunchet fifo", crunchet, {"afifo", "out"}, "empty 'afifo'\n", ""},
        {"uncrunchet directory", uncrunchet, {"adir", "out"}, "can't mmap 'adir'\n", ""},
        {"uncrunchet fifo", uncrunchet, {"afifo", "out"}, "empty 'afifo'\n", ""},
        {"swapfold directory", swapfold, {"adir", "out", "en"}, "can't mmap 'adir'\n", ""},
        {"swapfold fifo", swapfold, {"afifo", "out", "en"}, "empty 'afifo'\n", ""},
        {"swapfold replacement directory",
         swapfold,
         {"in.afs", "out", "en"},
         "can't mmap 'en/a.bin'\n",
         "<- a.bin\n"},
        {"swapfold replacement fifo",
         swapfold,
         {"in.afs", "out", "fifo_en"},
         "empty 'fifo_en/a.bin'\n",
         "<- a.bin\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> args = {"20", c.program};
        args.insert(args.end(), c.args.begin(), c.args.end());
        expect_failure(testkit::run("/usr/bin/timeout", args, dir.path()), c);
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
}

} // namespace
