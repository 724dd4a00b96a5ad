// The built swapfold writes out.afs from its layout, without building it in memory; these
// tests check that the file it writes is byte for byte the same layout copied into memory, on
// every kind of archive, and that out.afs may be one of the files it reads.
#include "afs.hpp"
#include "afs_image.hpp"
#include "afs_rebuild.hpp"
#include "testkit.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using afstest::Bytes;
using testkit::RunResult;
using testkit::TempDir;

RunResult swapfold(const TempDir& dir, const std::vector<std::string>& args) {
    return testkit::run(SWAPFOLD_PATH, args, dir.path(), "swapfold");
}

// What the layout, copied into memory, makes of `input` with `replacements` keyed by entry
// name, and the lines the program prints for the entries it replaces.
struct InMemory {
    Bytes bytes;
    std::string printed;
};

InMemory rebuild_in_memory(const Bytes& input, const std::map<std::string, Bytes>& replacements) {
    const afs::Checked checked = afs::check_archive(input);
    EXPECT_EQ(checked.verdict, afs::Verdict::ok);
    const afs::Archive& archive = checked.archive;
    InMemory result{afstest::rebuilt_bytes(input, replacements), ""};
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        const std::string name(afs::entry_name(archive, i));
        if (afs::entry_record(archive, i).pos != 0 && replacements.contains(name))
            result.printed += "<- " + name + "\n";
    }
    return result;
}

void write_replacements(const fs::path& dir, const std::map<std::string, Bytes>& replacements) {
    fs::create_directory(dir);
    for (const auto& [name, data] : replacements) testkit::write_bytes(dir / name, data);
}

TEST(SwapfoldOutput, EqualsTheInMemoryRebuild) {
    for (const afstest::RebuildRow& row : afstest::rebuild_rows()) {
        SCOPED_TRACE(row.label);
        TempDir dir;
        const Bytes input = afstest::build(row.image);
        testkit::write_bytes(dir / "in.afs", input);
        write_replacements(dir / "en", row.replacements);
        // Left over from an earlier run: the output must replace it whole.
        testkit::write_bytes(dir / "out.afs", Bytes(input.size() * 3 + 5000, 0xee));

        const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en"});
        const InMemory expected = rebuild_in_memory(input, row.replacements);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, expected.printed);
        EXPECT_EQ(r.err, "");
        const Bytes out = testkit::read_bytes(dir / "out.afs");
        EXPECT_EQ(out.size(), expected.bytes.size());
        EXPECT_TRUE(out == expected.bytes);
        EXPECT_TRUE(testkit::read_bytes(dir / "in.afs") == input);
    }
}

// out.afs names a file the rebuild reads from: the input itself, another name for it, or a
// replacement. Its old content must still be what goes into the new one.
TEST(SwapfoldOutput, OutputThatIsOneOfTheSources) {
    struct Row {
        const char* label;
        std::string out; // the output argument
        std::map<std::string, Bytes> replacements;
        bool link_out_to_input = false; // make `out` a hard link to in.afs first
    };
    const Bytes big = testkit::pattern(20000, 31);
    const std::vector<Row> rows = {
        {"the input", "in.afs", {}},
        {"the input, by another path", "./sub/../in.afs", {}},
        {"a hard link to the input", "linked.afs", {}, true},
        {"a replacement", "en/b", {{"b", big}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        afstest::Image image;
        image.size = 9000;
        image.names_pos = 8000;
        image.entries = {afstest::with_data("a", 5000, testkit::pattern(2500, 32)),
                         afstest::with_data("b", 300, testkit::pattern(4000, 33))};
        const Bytes input = afstest::build(image);
        TempDir dir;
        fs::create_directory(dir / "sub");
        testkit::write_bytes(dir / "in.afs", input);
        write_replacements(dir / "en", row.replacements);
        if (row.link_out_to_input) fs::create_hard_link(dir / "in.afs", dir / row.out);

        const RunResult r = swapfold(dir, {"in.afs", row.out, "en"});
        const InMemory expected = rebuild_in_memory(input, row.replacements);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, expected.printed);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(testkit::read_bytes(dir / row.out) == expected.bytes);
    }
}

} // namespace
