// The built crunchet, run on real files in a fresh directory: status, standard output,
// standard error and the container it writes, and uncrunchet restoring what it wrote.
#include "testkit.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace {

using testkit::Bytes;
using testkit::TempDir;
namespace fs = std::filesystem;

const std::string crunchet = CRUNCHET_PATH;
const std::string uncrunchet = UNCRUNCHET_PATH;

std::string size_lines(std::uintmax_t original, std::uintmax_t compressed) {
    return "Original size: " + std::to_string(original) +
           " bytes\nCompressed size: " + std::to_string(compressed) + " bytes\n";
}

Bytes container_of_counting_200() {
    Bytes c = {0xC8, 0, 0, 0};
    for (std::size_t i = 0; i < 200; ++i) {
        if (i % 8 == 0) c.push_back(0xFF);
        c.push_back(static_cast<std::uint8_t>(i + 1));
    }
    return c;
}

struct Row {
    const char* label;
    std::optional<Bytes> input; // written to "in" when present
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
    std::optional<Bytes> written; // expected content of out.bip, or no out.bip at all
};

TEST(Crunchet, Runs) {
    const fs::path examples = EXAMPLES_DIR;
    const Bytes sample = testkit::read_bytes(examples / "sample.txt");
    const Bytes sample_bip = testkit::read_bytes(examples / "sample.bip");
    const std::vector<Row> rows = {
        {"examples/sample.bip is crunchet's own container of examples/sample.txt",
         sample,
         {"in", "out.bip"},
         0,
         size_lines(sample.size(), sample_bip.size()),
         "",
         sample_bip},
        {"abc",
         testkit::bytes_of("abc"),
         {"in", "out.bip"},
         0,
         size_lines(3, 8),
         "",
         Bytes{0x03, 0, 0, 0, 0x07, 0x61, 0x62, 0x63}},
        {"ten a",
         Bytes(10, 'a'),
         {"in", "out.bip"},
         0,
         size_lines(10, 8),
         "",
         Bytes{0x0A, 0, 0, 0, 0x01, 0x61, 0xEE, 0xF6}},
        {"200 distinct bytes fill the capacity",
         testkit::counting(200),
         {"in", "out.bip"},
         0,
         size_lines(200, 229),
         "",
         container_of_counting_200()},
        {"one argument",
         testkit::bytes_of("abc"),
         {"in"},
         1,
         "",
         "usage: crunchet in out.bip\n",
         std::nullopt},
        {"three arguments",
         testkit::bytes_of("abc"),
         {"in", "out.bip", "extra"},
         1,
         "",
         "usage: crunchet in out.bip\n",
         std::nullopt},
        {"empty input", Bytes{}, {"in", "out.bip"}, 1, "", "empty 'in'\n", std::nullopt},
        {"missing input",
         std::nullopt,
         {"in", "out.bip"},
         1,
         "",
         "mmap can't open 'in'\n",
         std::nullopt},
        {"output in a missing directory",
         testkit::bytes_of("abc"),
         {"in", "no/out.bip"},
         1,
         "Original size: 3 bytes\n",
         "can't open 'no/out.bip' for writing\n",
         std::nullopt},
    };
    for (const Row& row : rows) {
        if (!testkit::applies(row.label)) continue;
        const TempDir dir;
        if (row.input) testkit::write_bytes(dir / "in", *row.input);
        const testkit::RunResult r = testkit::run(crunchet, row.args, dir.path(), "crunchet");
        EXPECT_EQ(r.status, row.status) << row.label;
        EXPECT_EQ(r.out, row.out) << row.label;
        EXPECT_EQ(r.err, row.err) << row.label;
        if (row.written)
            EXPECT_EQ(testkit::read_bytes(dir / "out.bip"), *row.written) << row.label;
        else
            EXPECT_FALSE(fs::exists(dir / "out.bip")) << row.label;
    }
}

TEST(Crunchet, ReplacesAnExistingOutputWhole) {
    const TempDir dir;
    testkit::write_bytes(dir / "in", testkit::bytes_of("abc"));
    testkit::write_bytes(dir / "out.bip", Bytes(5000, 0x55));
    const testkit::RunResult r = testkit::run(crunchet, {"in", "out.bip"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(testkit::read_bytes(dir / "out.bip"), (Bytes{0x03, 0, 0, 0, 0x07, 0x61, 0x62, 0x63}));
}

// Inputs of 2 GiB or more are refused before anything is read or written. The files are
// sparse, so they cost no disk; the second one's low 32 bits alone would look small.
TEST(Crunchet, RefusesInputsOf2GiBOrMore) {
    for (const std::uintmax_t size : {std::uintmax_t{1} << 31, (std::uintmax_t{1} << 32) + 3}) {
        const TempDir dir;
        {
            std::error_code ec;
            testkit::write_bytes(dir / "huge", {});
            fs::resize_file(dir / "huge", size, ec);
            if (ec) GTEST_SKIP() << "no sparse file of " << size << " bytes: " << ec.message();
        }
        const testkit::RunResult r = testkit::run(crunchet, {"huge", "out.bip"}, dir.path());
        EXPECT_EQ(r.status, 1) << size;
        EXPECT_EQ(r.out, "") << size;
        EXPECT_EQ(r.err, "too large to compress (2 GiB or more) 'huge'\n") << size;
        EXPECT_FALSE(fs::exists(dir / "out.bip")) << size;
    }
}

// Real files from this machine, one of each kind where the machine has one.
std::vector<fs::path> real_files() {
    std::vector<fs::path> found;
    const auto first_of = [&](const std::vector<fs::path>& candidates) {
        for (const fs::path& p : candidates) {
            std::error_code ec;
            if (fs::is_regular_file(p, ec) && fs::file_size(p, ec) > 0) {
                found.push_back(p);
                return;
            }
        }
    };
    first_of({"/usr/bin/bash", "/bin/bash", "/usr/bin/ls", "/bin/ls"});
    first_of({"/usr/share/man/man1/bash.1.gz", "/usr/share/man/man1/ls.1.gz",
              "/usr/share/man/man1/sh.1.gz", "/usr/share/man/man7/man.7.gz"});

    // The first image of some size under /usr/share, if any.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(
             "/usr/share", fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string ext = it->path().extension().string();
        std::error_code size_ec;
        if ((ext == ".png" || ext == ".jpg" || ext == ".gif") && it->is_regular_file(size_ec) &&
            it->file_size(size_ec) > 8192) {
            found.push_back(it->path());
            break;
        }
    }
    return found;
}

TEST(Crunchet, RestoresRealFilesThroughUncrunchet) {
    const std::vector<fs::path> files = real_files();
    ASSERT_GE(files.size(), 2u) << "no executable or man page found";
    for (const fs::path& file : files) {
        const TempDir dir;
        const Bytes original = testkit::read_bytes(file);
        testkit::write_bytes(dir / "in", original);

        const testkit::RunResult packed = testkit::run(crunchet, {"in", "in.bip"}, dir.path());
        ASSERT_EQ(packed.status, 0) << file << ": " << packed.err;
        EXPECT_EQ(packed.err, "") << file;
        const std::uintmax_t packed_size = fs::file_size(dir / "in.bip");
        EXPECT_EQ(packed.out, size_lines(original.size(), packed_size)) << file;
        EXPECT_LE(packed_size, (original.size() * 9 + 7) / 8 + 4) << file;

        const testkit::RunResult restored = testkit::run(uncrunchet, {"in.bip", "out"}, dir.path());
        ASSERT_EQ(restored.status, 0) << file << ": " << restored.err;
        EXPECT_EQ(restored.out, "") << file;
        EXPECT_EQ(restored.err, "") << file;
        EXPECT_TRUE(testkit::read_bytes(dir / "out") == original) << file << " did not round-trip";
    }
}

// The peak resident size of one run, in KiB; testkit measures it under /usr/bin/time, so
// it is the program's own figure. Empty when the run failed or GNU time is missing.
std::optional<long> own_peak_kib(const std::vector<std::string>& args, const fs::path& cwd) {
    if (!testkit::has_gnu_time()) return std::nullopt;
    const testkit::RunResult r = testkit::run(crunchet, args, cwd);
    if (r.status != 0) return std::nullopt;
    return r.peak_rss_kib;
}

// Memory beyond a tiny run's is the input mapping plus the container's buffer, and no more:
// a copy of the input or state growing with it would show here. The input does not
// compress, so the stream fills the buffer and every page of it counts.
TEST(Crunchet, PeakMemoryIsInputPlusOutputBuffer) {
    const TempDir dir;
    constexpr std::size_t size = std::size_t{4} << 20;
    Bytes content(size);
    std::uint64_t x = 12345;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        content[i] = static_cast<std::uint8_t>(x >> 56);
    }
    testkit::write_bytes(dir / "big", content);
    testkit::write_bytes(dir / "tiny", Bytes{'a'});

    const std::optional<long> tiny = own_peak_kib({"tiny", "tiny.bip"}, dir.path());
    const std::optional<long> big = own_peak_kib({"big", "big.bip"}, dir.path());
    if (!tiny || !big) GTEST_SKIP() << "GNU /usr/bin/time is needed to measure a run's own peak";
    ASSERT_GT(fs::file_size(dir / "big.bip"), size) << "the input was meant not to compress";

    const long grown_kib = *big - *tiny;
    const long input_kib = static_cast<long>(size >> 10);
    const long buffer_kib = static_cast<long>(((size * 9 + 7) / 8 + 4) >> 10);
#ifdef BUILT_WITH_ASAN
    // The address checker's shadow adds an eighth of what is touched, and its allocator more.
    const long slack_kib = (input_kib + buffer_kib) / 4 + 2048;
#else
    const long slack_kib = 1024;
#endif
    EXPECT_GE(grown_kib, input_kib) << "the input is read whole, so its pages count";
    EXPECT_LE(grown_kib, input_kib + buffer_kib + slack_kib)
        << "peak " << *big << " KiB against " << *tiny << " KiB";
}

} // namespace
