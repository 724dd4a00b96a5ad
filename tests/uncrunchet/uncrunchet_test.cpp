// The built uncrunchet, run on real files in a fresh directory: status, standard output,
// standard error and the bytes it writes.
#include "testkit.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using testkit::Bytes;
using testkit::TempDir;
namespace fs = std::filesystem;

const std::string program = UNCRUNCHET_PATH;

struct Row {
    const char* label;
    std::optional<Bytes> input;    // written to in.bip when present
    std::vector<std::string> args; // relative to the run's directory
    int status;
    std::string err;             // exact; "$DIR" stands for nothing here (paths relative)
    std::optional<Bytes> output; // expected content of out, or no out file at all
};

Bytes ten_a() {
    return Bytes(10, 'a');
}

TEST(Uncrunchet, Runs) {
    const std::vector<Row> rows = {
        {"three literals",
         Bytes{3, 0, 0, 0, 0x07, 0x61, 0x62, 0x63},
         {"in.bip", "out"},
         0,
         "",
         testkit::bytes_of("abc")},
        {"ten a", Bytes{0x0A, 0, 0, 0, 0x01, 0x61, 0xEE, 0xF6}, {"in.bip", "out"}, 0, "", ten_a()},
        {"header 0, empty stream: empty output",
         Bytes{0, 0, 0, 0},
         {"in.bip", "out"},
         0,
         "",
         Bytes{}},
        {"truncated stream: warning, short output",
         Bytes{0x0A, 0, 0, 0, 0x01, 0x61, 0xEE},
         {"in.bip", "out"},
         0,
         "'in.bip': the header states 10 bytes, the stream yields 1\n",
         Bytes{'a'}},
        {"stream longer than the header: cut at the header",
         Bytes{4, 0, 0, 0, 0x01, 0x61, 0xEE, 0xF6},
         {"in.bip", "out"},
         0,
         "'in.bip': the header states 4 bytes, the stream yields 10\n",
         Bytes(4, 'a')},
        {"missing input",
         std::nullopt,
         {"in.bip", "out"},
         1,
         "mmap can't open 'in.bip'\n",
         std::nullopt},
        {"empty input", Bytes{}, {"in.bip", "out"}, 1, "empty 'in.bip'\n", std::nullopt},
        {"3-byte input",
         Bytes{3, 0, 0},
         {"in.bip", "out"},
         1,
         "'in.bip' is shorter than the 4-byte size header\n",
         std::nullopt},
        {"output in a missing directory",
         Bytes{3, 0, 0, 0, 0x07, 0x61, 0x62, 0x63},
         {"in.bip", "nodir/out"},
         1,
         "can't open 'nodir/out' for writing\n",
         std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const TempDir dir;
        if (row.input) testkit::write_bytes(dir / "in.bip", *row.input);
        const auto r = testkit::run(program, row.args, dir.path());
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, row.err);
        if (row.output) {
            ASSERT_TRUE(fs::exists(dir / "out"));
            EXPECT_EQ(testkit::read_bytes(dir / "out"), *row.output);
        } else {
            EXPECT_FALSE(fs::exists(dir / "out"));
            EXPECT_FALSE(fs::exists(dir / "nodir"));
        }
    }
}

TEST(Uncrunchet, UsageNamesTheInvocation) {
    const std::vector<std::vector<std::string>> arg_lists = {
        {}, {"in.bip"}, {"in.bip", "out", "extra"}};
    for (const auto& args : arg_lists) {
        SCOPED_TRACE(std::to_string(args.size()) + " arguments");
        const TempDir dir;
        testkit::write_bytes(dir / "in.bip", {3, 0, 0, 0, 0x07, 0x61, 0x62, 0x63});
        const auto r = testkit::run(program, args, dir.path(), "./my-uncrunchet");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "usage: ./my-uncrunchet in.bip out\n");
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
}

TEST(Uncrunchet, ReplacesAnExistingOutputWhole) {
    const TempDir dir;
    testkit::write_bytes(dir / "in.bip", {3, 0, 0, 0, 0x07, 0x61, 0x62, 0x63});
    testkit::write_bytes(dir / "out", Bytes(1000, 'x'));
    const auto r = testkit::run(program, {"in.bip", "out"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(testkit::read_bytes(dir / "out"), testkit::bytes_of("abc"));
}

TEST(Uncrunchet, RestoresTheBundledSample) {
    const TempDir dir;
    const fs::path examples = EXAMPLES_DIR;
    const auto r =
        testkit::run(program, {(examples / "sample.bip").string(), "sample.txt"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(testkit::read_bytes(dir / "sample.txt"),
              testkit::read_bytes(examples / "sample.txt"));
    // The sample is a real compressed stream, references and all, not a stored copy.
    EXPECT_LT(fs::file_size(examples / "sample.bip"), fs::file_size(examples / "sample.txt"));
}

} // namespace
