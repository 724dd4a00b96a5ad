// End-to-end tests: the built swapfold on real files in a fresh temporary directory.
#include "afs_image.hpp"
#include "afs_rebuild.hpp"
#include "testkit.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using afstest::Bytes;
using afstest::Image;
using afstest::patched;
using afstest::Place;
using afstest::with_data;
using afstest::without_data;
using testkit::RunResult;
using testkit::TempDir;
using testkit::tree;

constexpr int failed_check_status = 2;

RunResult swapfold(const TempDir& dir, const std::vector<std::string>& args) {
    return testkit::run(SWAPFOLD_PATH, args, dir.path(), "swapfold");
}

// Three entries with data and one without, out of order in the input.
Image mixed() {
    Image image;
    image.size = 12000;
    image.names_pos = 100;
    image.entries = {with_data("first.txt", 9000, testkit::pattern(700, 1)),
                     without_data("none.txt", 12),
                     with_data("second.txt", 400, testkit::pattern(3000, 2)),
                     with_data("third.txt", 5000, testkit::pattern(1, 3))};
    return image;
}

TEST(Swapfold, WrongArgumentCountPrintsUsage) {
    TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"in.afs", "out.afs"}, {"a", "b", "c", "d", "e"}}) {
        const RunResult r = swapfold(dir, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "usage: swapfold in.afs out.afs en/ [ja/]\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(tree(dir.path()).empty());
}

TEST(Swapfold, WorkedExample) {
    TempDir dir;
    Image image;
    image.size = 10240;
    image.names_pos = 8192;
    image.entries = {with_data("a.bin", 2048, testkit::pattern(100, 40)), without_data("b.bin", 77),
                     with_data("c.bin", 4096, testkit::pattern(3000, 41))};
    const Bytes input = afstest::build(image);
    ASSERT_EQ(afstest::get32(input, 32), 8192u);
    ASSERT_EQ(afstest::get32(input, 36), 144u);
    testkit::write_bytes(dir / "in.afs", input);
    fs::create_directory(dir / "en");
    const Bytes c = testkit::pattern(5000, 42);
    testkit::write_bytes(dir / "en" / "c.bin", c);

    const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en", "ja"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "-> a.bin\n-> c.bin\n<- c.bin\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(testkit::read_bytes(dir / "ja" / "a.bin") == image.entries[0].data);
    EXPECT_TRUE(testkit::read_bytes(dir / "ja" / "c.bin") == image.entries[2].data);
    EXPECT_EQ(tree(dir / "ja"), (std::set<std::string>{"a.bin", "c.bin"}));

    Bytes expected(12288, 0);
    std::memcpy(expected.data(), "AFS", 4);
    const std::vector<std::pair<std::size_t, std::uint32_t>> fields = {
        {4, 3},     {8, 2048},  {12, 100},     {16, 0},    {20, 77},
        {24, 4096}, {28, 5000}, {2040, 10240}, {2044, 144}};
    for (const auto& [at, value] : fields) afstest::put32(expected, at, value);
    std::copy(input.begin() + 2048, input.begin() + 2148, expected.begin() + 2048);
    std::copy(c.begin(), c.end(), expected.begin() + 4096);
    std::copy(input.begin() + 8192, input.begin() + 8192 + 144, expected.begin() + 10240);
    afstest::put32(expected, 10240 + 44, 100);
    afstest::put32(expected, 10240 + 48 + 44, 77);
    afstest::put32(expected, 10240 + 96 + 44, 5000);
    const Bytes out = testkit::read_bytes(dir / "out.afs");
    ASSERT_EQ(out.size(), 12288u);
    EXPECT_TRUE(out == expected);
}

struct FailRow {
    const char* label;
    Bytes bytes;
    std::string message;                    // what follows "failed check: "
    std::vector<std::string> replaced = {}; // entries given a one-byte file in en/
};

TEST(Swapfold, EveryFailedCheckStopsWithItsConditionBeforeWriting) {
    const Bytes good = afstest::build(mixed());
    Image second = mixed();
    second.place = Place::second;
    const Bytes good_second = afstest::build(second);
    // Data must end before 4 x 600 bytes: the first entry's, at 2048, does; the second
    // entry's, at 4096, cannot.
    Image small;
    small.size = 600;
    small.names_pos = 32;
    small.entries = {with_data("fits", 200, testkit::pattern(10, 5)),
                     with_data("big\033", 300, testkit::pattern(100, 6))};
    Image overlapping;
    overlapping.size = 8192;
    overlapping.names_pos = 64;
    for (const char* name : {"a", "b", "c", "d", "e", "f"})
        overlapping.entries.push_back(with_data(name, 2048, testkit::pattern(6000, 7)));

    const std::vector<FailRow> rows = {
        {"magic only", Bytes(good.begin(), good.begin() + 4), "entries*8+8<=size"},
        {"table past the end", patched(good, 4, 1500), "entries*8+8<=size"},
        {"entry past the end", patched(good, 36, 7001), "stas[i].pos + stas[i].len <= size"},
        {"entry past the end by one", patched(good, 12, 3001), "stas[i].pos + stas[i].len <= size"},
        {"first place cut short",
         Bytes{'A', 'F', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         "entries*8+16<=size"},
        {"no entries and no locator", Bytes{'A', 'F', 'S', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         "entries>=1"},
        {"second place before the file", patched(good_second, 8, 0), "stas[0].pos>=8"},
        // Only a first place whose fields are both zero sends the reader to the second.
        {"first place {0, 7} before a good second", patched(good_second, 44, 7),
         "statoc->len == entries*48"},
        {"name table of 47 per entry", patched(good, 44, 47 * 4), "statoc->len == entries*48"},
        {"name table past the end", patched(good, 40, 11809), "statoc->pos + statoc->len <= size"},
        {"data over capacity", afstest::build(small),
         "off+size < out_size: the rebuilt archive would exceed four times the 600 bytes of "
         "'in.afs' (2400 bytes) at entry 'big\\033'"},
        // Six entries over one range: replaced, they fit, but extracting them would not.
        {"extraction over capacity",
         afstest::build(overlapping),
         "off+size < out_size: the extracted entries would exceed four times the 8192 bytes "
         "of 'in.afs' (32768 bytes) at entry 'f'",
         {"b", "c", "d", "e", "f"}},
    };
    for (const FailRow& row : rows) {
        SCOPED_TRACE(row.label);
        TempDir dir;
        testkit::write_bytes(dir / "in.afs", row.bytes);
        std::set<std::string> left = {"in.afs"};
        if (!row.replaced.empty()) left.insert("en");
        for (const std::string& name : row.replaced) {
            fs::create_directories(dir / "en");
            testkit::write_bytes(dir / "en" / name, testkit::bytes_of("x"));
            left.insert("en/" + name);
        }
        const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en", "ja"});
        EXPECT_EQ(r.status, failed_check_status);
        EXPECT_EQ(r.err, "failed check: " + row.message + "\n");
        EXPECT_EQ(r.out, ""); // checked before anything is extracted
        EXPECT_EQ(tree(dir.path()), left);
    }
    // Still passing at the boundaries just inside each of the last two.
    TempDir dir;
    testkit::write_bytes(dir / "in.afs", patched(good, 12, 3000));
    EXPECT_EQ(swapfold(dir, {"in.afs", "out.afs", "en"}).status, 0);
}

TEST(Swapfold, InputsThatAreNotArchives) {
    struct Row {
        const char* label;
        std::optional<Bytes> bytes; // no value: the file does not exist
        std::string err;
    };
    const std::vector<Row> rows = {
        {"AFS then 1", testkit::bytes_of(std::string("AFS\1") + std::string(60, '\0')),
         "not a afs file\n"},
        {"AFS then space", testkit::bytes_of("AFS " + std::string(60, '\0')), "not a afs file\n"},
        {"short", testkit::bytes_of("AF"), "not a afs file\n"},
        {"empty", Bytes{}, "empty 'in.afs'\n"},
        {"missing", std::nullopt, "mmap can't open 'in.afs'\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        TempDir dir;
        if (row.bytes) testkit::write_bytes(dir / "in.afs", *row.bytes);
        const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en", "ja"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, row.err);
        EXPECT_FALSE(fs::exists(dir / "out.afs"));
        EXPECT_FALSE(fs::exists(dir / "ja"));
    }
}

TEST(Swapfold, ExtractsEntriesInTableOrder) {
    TempDir dir;
    const Image image = mixed();
    testkit::write_bytes(dir / "in.afs", afstest::build(image));
    const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en", "ja"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "-> first.txt\n-> second.txt\n-> third.txt\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(tree(dir / "ja"), (std::set<std::string>{"first.txt", "second.txt", "third.txt"}));
    for (const std::size_t i : {0, 2, 3})
        EXPECT_TRUE(testkit::read_bytes(dir / "ja" / image.entries[i].name) ==
                    image.entries[i].data);
}

TEST(Swapfold, UnsafeNamesStopBeforeAnythingIsWrittenOutside) {
    ASSERT_FALSE(fs::exists("/etc/x"));
    for (const std::string name : {"../x", "a/../b", "/etc/x", "a..b", ".."}) {
        SCOPED_TRACE(name);
        Image image = mixed();
        image.entries[2].name = name;
        const Bytes input = afstest::build(image);
        {
            TempDir dir;
            testkit::write_bytes(dir / "in.afs", input);
            fs::create_directories(dir / "ja" / "a");
            const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en", "ja"});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "-> first.txt\n-> " + name + "\n");
            EXPECT_EQ(r.err, "unsafe filename\n");
            EXPECT_EQ(tree(dir.path()),
                      (std::set<std::string>{"in.afs", "ja", "ja/a", "ja/first.txt"}));
        }
        {
            // Without ja/ the name would be looked up as a replacement; en/../x exists here.
            TempDir dir;
            testkit::write_bytes(dir / "in.afs", input);
            fs::create_directories(dir / "en" / "a");
            testkit::write_bytes(dir / "x", testkit::bytes_of("outside"));
            testkit::write_bytes(dir / "b", testkit::bytes_of("outside"));
            const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en"});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "unsafe filename\n");
            EXPECT_FALSE(fs::exists(dir / "out.afs"));
        }
    }
    EXPECT_FALSE(fs::exists("/etc/x"));
}

TEST(Swapfold, NameWithASlashNeedsItsSubdirectory) {
    Image image = mixed();
    image.entries[0].name = "sub/first.txt";
    const Bytes input = afstest::build(image);
    for (const bool subdir : {true, false}) {
        SCOPED_TRACE(subdir ? "subdirectory exists" : "no subdirectory");
        TempDir dir;
        testkit::write_bytes(dir / "in.afs", input);
        if (subdir) fs::create_directories(dir / "ja" / "sub");
        const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en", "ja"});
        if (subdir) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_TRUE(testkit::read_bytes(dir / "ja" / "sub" / "first.txt") ==
                        image.entries[0].data);
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "-> sub/first.txt\n");
            EXPECT_EQ(r.err, "can't open 'ja/sub/first.txt' for writing\n");
            EXPECT_FALSE(fs::exists(dir / "out.afs"));
        }
    }
}

// "chdir failed" is the tool's fixed message for a ja/ it cannot use.
TEST(Swapfold, ExtractionDirectoryThatIsAFileStopsBeforeExtracting) {
    TempDir dir;
    testkit::write_bytes(dir / "in.afs", afstest::build(mixed()));
    testkit::write_bytes(dir / "ja", testkit::bytes_of("a file"));
    const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en", "ja"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "chdir failed\n");
    EXPECT_FALSE(fs::exists(dir / "out.afs"));
}

TEST(Swapfold, WithoutReplacementsOnlyTheLayoutChanges) {
    struct Row {
        const char* label;
        Image image;
    };
    Image first_without = mixed();
    std::swap(first_without.entries[0], first_without.entries[1]);
    Image second = mixed();
    second.place = Place::second;
    const std::vector<Row> rows = {{"locator after the table", mixed()},
                                   {"locator before the first data", second},
                                   {"first entry without data", first_without}};
    for (const Row& row : rows) {
        for (const std::string en : {"missing", "empty directory", "regular file"}) {
            SCOPED_TRACE(std::string(row.label) + ", en/ " + en);
            TempDir dir;
            const Bytes input = afstest::build(row.image);
            testkit::write_bytes(dir / "in.afs", input);
            if (en == "empty directory") fs::create_directory(dir / "en");
            if (en == "regular file")
                testkit::write_bytes(dir / "en", testkit::bytes_of("not a directory"));
            const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en/"});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "");
            const Bytes expected = afstest::rebuilt_bytes(input);
            EXPECT_TRUE(testkit::read_bytes(dir / "out.afs") == expected);
            // The rebuilt archive is itself a valid input.
            const RunResult again = swapfold(dir, {"out.afs", "again.afs", "en/"});
            EXPECT_EQ(again.status, 0) << again.err;
            EXPECT_TRUE(testkit::read_bytes(dir / "again.afs") == expected);
        }
    }
}

// Extraction never writes over a file the run uses, however it is named: the replacement
// directory itself, the input, the output or a replacement. Each stops the run before that
// entry is written; entries written before it stay.
TEST(Swapfold, RefusesToExtractOverFilesItUses) {
    struct Row {
        const char* label;
        std::vector<std::string> args;
        std::string err;
        std::string out;            // what was printed before the refusal
        std::set<std::string> tree; // the directory afterwards
        // Entries given these names instead of their own.
        std::vector<std::pair<std::size_t, std::string>> names = {};
        // Symbolic links made first (path, what it holds), besides link -> en and
        // game.afs -> in.afs.
        std::vector<std::pair<std::string, std::string>> links = {};
    };
    const std::set<std::string> before = {"in.afs",        "out.afs",  "en",
                                          "en/second.txt", "work",     "work/a",
                                          "link",          "game.afs", "work/a/third.txt"};
    const auto with = [&](std::initializer_list<std::string> more) {
        std::set<std::string> t = before;
        t.insert(more.begin(), more.end());
        return t;
    };
    const std::vector<Row> rows = {
        {"ja/ is en/",
         {"in.afs", "x.afs", "en", "en"},
         "'en' and 'en' are the same directory\n",
         "",
         before},
        {"ja/ is en/ by another spelling",
         {"in.afs", "x.afs", "en", "./en/"},
         "'./en/' and 'en' are the same directory\n",
         "",
         before},
        {"ja/ is a link to en/",
         {"in.afs", "x.afs", "en", "link"},
         "'link' and 'en' are the same directory\n",
         "",
         before},
        {"ja/ and en/ both made by the run",
         {"in.afs", "x.afs", "new", "new"},
         "'new' and 'new' are the same directory\n",
         "",
         before},
        {"an entry named like the input",
         {"in.afs", "x.afs", "none", "."},
         "won't extract over './in.afs': this run reads or writes it\n",
         "-> first.txt\n-> second.txt\n-> in.afs\n",
         with({"first.txt", "second.txt"}),
         {{3, "in.afs"}}},
        {"an entry named like the output",
         {"in.afs", "out.afs", "none", "."},
         "won't extract over './out.afs': this run reads or writes it\n",
         "-> first.txt\n-> second.txt\n-> out.afs\n",
         with({"first.txt", "second.txt"}),
         {{3, "out.afs"}}},
        {"an entry named like a replacement",
         {"in.afs", "x.afs", "work/a", "work"},
         "won't extract over 'work/a/third.txt': this run reads or writes it\n",
         "-> a/third.txt\n",
         before,
         {{0, "a/third.txt"}}},
        {"an entry named like an output not made yet",
         {"in.afs", "work/new.afs", "none", "work"},
         "won't extract over 'work/new.afs': this run reads or writes it\n",
         "-> new.afs\n",
         before,
         {{0, "new.afs"}}},
        {"an entry named like a link the output passes through",
         {"in.afs", "work/new.afs", "none", "work"},
         "won't extract over 'work/new.afs': this run reads or writes it\n",
         "-> new.afs\n",
         with({"keep", "work/new.afs"}),
         {{0, "new.afs"}},
         {{"keep", ""}, {"work/new.afs", "../keep/new.afs"}}},
        // A ja/ the run made goes again when nothing was extracted into it.
        {"an entry named like the output, in a ja/ the run makes",
         {"in.afs", "made/new.afs", "none", "made"},
         "won't extract over 'made/new.afs': this run reads or writes it\n",
         "-> new.afs\n",
         before,
         {{0, "new.afs"}}},
        {"an output that cannot be opened, with a ja/ the run makes",
         {"in.afs", "missing/new.afs", "none", "made"},
         "can't open 'missing/new.afs' for writing\n",
         "",
         before},
        {"an entry that would become a replacement",
         {"in.afs", "x.afs", "work/a", "work"},
         "won't extract over 'work/a/second.txt': this run reads or writes it\n",
         "-> a/second.txt\n",
         before,
         {{0, "a/second.txt"}}},
        // Every name the run's paths pass through is in use, links included.
        {"an entry named like a link the input is named through",
         {"game.afs", "x.afs", "none", "."},
         "won't extract over './game.afs': this run reads or writes it\n",
         "-> game.afs\n",
         before,
         {{0, "game.afs"}}},
        {"an entry named like a link en/ is named through",
         {"in.afs", "x.afs", "link", "."},
         "won't extract over './link': this run reads or writes it\n",
         "-> link\n",
         before,
         {{0, "link"}}},
        {"an entry named like a link on a replacement's way",
         {"in.afs", "x.afs", "en", "."},
         "won't extract over './en/sub': this run reads or writes it\n",
         "-> en/sub\n",
         with({"en/sub"}),
         {{0, "en/sub"}, {3, "sub/third.txt"}},
         {{"en/sub", "../work/a"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        TempDir dir;
        Image image = mixed();
        for (const auto& [entry, name] : row.names) image.entries[entry].name = name;
        testkit::write_bytes(dir / "in.afs", afstest::build(image));
        testkit::write_bytes(dir / "out.afs", testkit::bytes_of("old output"));
        fs::create_directories(dir / "en");
        fs::create_directories(dir / "work/a");
        testkit::write_bytes(dir / "en/second.txt", testkit::bytes_of("translated"));
        testkit::write_bytes(dir / "work/a/third.txt", testkit::bytes_of("translated too"));
        fs::create_directory_symlink("en", dir / "link");
        fs::create_symlink("in.afs", dir / "game.afs");
        for (const auto& [path, text] : row.links) {
            if (text.empty())
                fs::create_directory(dir / path); // a directory for links to lead into
            else
                fs::create_symlink(text, dir / path);
        }
        const Bytes input = testkit::read_bytes(dir / "in.afs");

        const RunResult r = swapfold(dir, row.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(tree(dir.path()), row.tree);
        EXPECT_TRUE(testkit::read_bytes(dir / "in.afs") == input);
        EXPECT_EQ(testkit::read_bytes(dir / "out.afs"), testkit::bytes_of("old output"));
        EXPECT_EQ(testkit::read_bytes(dir / "en/second.txt"), testkit::bytes_of("translated"));
        EXPECT_EQ(testkit::read_bytes(dir / "work/a/third.txt"),
                  testkit::bytes_of("translated too"));
    }
}

// An empty en/ names no directory: nothing is looked up, least of all from the root. An
// empty ja/ cannot be made or entered.
TEST(Swapfold, EmptyDirectoryArguments) {
    TempDir dir;
    Image image = mixed();
    image.entries[0].name = "etc/hostname";
    const Bytes input = afstest::build(image);
    testkit::write_bytes(dir / "in.afs", input);
    // Neither the root's nor the working directory's etc/hostname may be taken.
    fs::create_directory(dir / "etc");
    testkit::write_bytes(dir / "etc/hostname", testkit::bytes_of("not a replacement"));

    const RunResult r = swapfold(dir, {"in.afs", "out.afs", ""});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(testkit::read_bytes(dir / "out.afs") == afstest::rebuilt_bytes(input));

    const RunResult no_ja = swapfold(dir, {"in.afs", "again.afs", "en", ""});
    EXPECT_EQ(no_ja.status, 1);
    EXPECT_EQ(no_ja.err, "chdir failed\n");
    EXPECT_EQ(tree(dir.path()),
              (std::set<std::string>{"in.afs", "out.afs", "etc", "etc/hostname"}));
}

// What is already inside ja/ is never followed or opened: a symbolic link or a FIFO at a
// name's last component is replaced by the extracted file, and a link on the way to it
// makes the name unsafe.
TEST(Swapfold, ExtractionNeverFollowsALinkInJa) {
    for (const std::string kind : {"file link", "directory link", "fifo"}) {
        SCOPED_TRACE(kind);
        const bool through_directory = kind == "directory link";
        TempDir dir;
        Image image = mixed();
        image.entries[0].name = through_directory ? "sub/first.txt" : "first.txt";
        testkit::write_bytes(dir / "in.afs", afstest::build(image));
        fs::create_directories(dir / "ja");
        fs::create_directories(dir / "outside");
        testkit::write_bytes(dir / "outside/first.txt", testkit::bytes_of("keep"));
        if (through_directory)
            fs::create_directory_symlink("../outside", dir / "ja/sub");
        else if (kind == "fifo")
            ASSERT_EQ(::mkfifo((dir / "ja/first.txt").c_str(), 0644), 0);
        else
            fs::create_symlink("../outside/first.txt", dir / "ja/first.txt");

        const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en", "ja"});
        EXPECT_EQ(testkit::read_bytes(dir / "outside/first.txt"), testkit::bytes_of("keep"));
        EXPECT_EQ(tree(dir / "outside"), std::set<std::string>{"first.txt"});
        if (through_directory) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "-> sub/first.txt\n");
            EXPECT_EQ(r.err, "unsafe filename\n");
            EXPECT_FALSE(fs::exists(dir / "out.afs"));
        } else {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "ja/first.txt")));
            EXPECT_TRUE(testkit::read_bytes(dir / "ja/first.txt") == image.entries[0].data);
        }
    }
}

// Entries of the same name are extracted in table order, so the last one stays, and each
// one that writes over an earlier one says so.
TEST(Swapfold, DuplicateNamesAreWrittenInOrderWithAWarning) {
    TempDir dir;
    Image image = mixed();
    image.entries[2].name = "first.txt";
    image.entries[3].name = "first.txt";
    testkit::write_bytes(dir / "in.afs", afstest::build(image));
    const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en", "ja"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "-> first.txt\n-> first.txt\n-> first.txt\n");
    const std::string warning = "duplicate name 'ja/first.txt': its earlier entry is overwritten\n";
    EXPECT_EQ(r.err, warning + warning);
    EXPECT_TRUE(testkit::read_bytes(dir / "ja/first.txt") == image.entries[3].data);
}

// Every replacement is opened only when its data is written and closed after, so their
// number is bounded by the format alone, not by the system's limit on descriptors. The run
// gets room for only a few descriptors above those the test's process left open, far fewer
// than there are replacements. (The layout of more entries than 16 bits can count is
// RebuildArchive.SixtySixThousandReplacements.)
TEST(Swapfold, OneReplacementOpenAtATime) {
    constexpr std::uint32_t count = 300;
    TempDir dir;
    Image image;
    image.size = 2048 * (count + 1) + 48 * count + 8 * count;
    image.names_pos = static_cast<std::uint32_t>(2048 * (count + 1) + 8 * count);
    std::map<std::string, Bytes> replacements;
    std::string printed;
    fs::create_directory(dir / "en");
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string name(1, 'e'); // appended: g++ 12 at -O3 warns falsely about "e" + string
        name += std::to_string(i);
        image.entries.push_back(with_data(name, 2048 * (i + 1) + 8 * count, Bytes{1}));
        const Bytes data = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)};
        testkit::write_bytes(dir / "en" / name, data);
        replacements[name] = data;
        printed += "<- " + name + "\n";
    }
    const Bytes input = afstest::build(image);
    testkit::write_bytes(dir / "in.afs", input);
    // A run needs 4 descriptors of its own above standard input, output and error: in.afs,
    // the output's directory, the private file it writes in it, and the one replacement being
    // copied. The limit leaves room for 5: with 3 the run stops at its first replacement, and
    // a run that kept the replacements open would stop at its third.
    const std::string limit = "f=3 && while [ -e /dev/fd/$f ]; do f=$((f + 1)); done && "
                              "ulimit -n $((f + 5)) && exec \"$0\" \"$@\"";
    const RunResult r = testkit::run(
        "/bin/sh", {"-c", limit, SWAPFOLD_PATH, "in.afs", "out.afs", "en"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out == printed);
    EXPECT_TRUE(testkit::read_bytes(dir / "out.afs") ==
                afstest::rebuilt_bytes(input, replacements));
}

TEST(Swapfold, ReplacementsLargerAndSmaller) {
    TempDir dir;
    const Bytes input = afstest::build(mixed());
    testkit::write_bytes(dir / "in.afs", input);
    fs::create_directory(dir / "en");
    const std::map<std::string, Bytes> replacements = {
        {"first.txt", testkit::pattern(5000, 50)}, // was 700
        {"second.txt", testkit::pattern(3, 51)},   // was 3000
        {"none.txt", testkit::pattern(9, 52)},     // no data: never looked up
    };
    for (const auto& [name, data] : replacements) testkit::write_bytes(dir / "en" / name, data);
    const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "<- first.txt\n<- second.txt\n");
    EXPECT_EQ(r.err, "");
    std::map<std::string, Bytes> used = replacements;
    used.erase("none.txt");
    EXPECT_TRUE(testkit::read_bytes(dir / "out.afs") == afstest::rebuilt_bytes(input, used));
}

TEST(Swapfold, ReplacementThatCannotBeUsedStops) {
    struct Row {
        const char* label;
        std::string en;  // the replacement directory argument
        std::string err; // empty: the replacement is used
    };
    const std::string deep = "en" + [] {
        std::string s;
        for (int i = 0; i < 700; ++i) s += "/.";
        return s;
    }(); // 1402 characters: longer than any small fixed buffer, still a valid path
    const std::string too_deep = deep + deep.substr(2) + deep.substr(2) + deep.substr(2);
    const std::vector<Row> rows = {
        {"empty file", "en", "empty 'en/second.txt'\n"},
        {"symbolic link loop", "en", "mmap can't open 'en/second.txt'\n"},
        // Too long to tell whether it exists, so the first entry's lookup stops already.
        {"path too long to open", too_deep, "mmap can't open '" + too_deep + "/first.txt'\n"},
        {"long path", deep, ""},
    };
    for (const Row& row : rows) {
        if (!testkit::applies(row.label)) continue;
        SCOPED_TRACE(row.label);
        TempDir dir;
        testkit::write_bytes(dir / "in.afs", afstest::build(mixed()));
        fs::create_directory(dir / "en");
        if (std::string(row.label) == "empty file")
            testkit::write_bytes(dir / "en" / "second.txt", {});
        else if (std::string(row.label) == "symbolic link loop")
            fs::create_symlink("second.txt", dir / "en" / "second.txt");
        else
            testkit::write_bytes(dir / "en" / "second.txt", testkit::bytes_of("new"));
        const RunResult r = swapfold(dir, {"in.afs", "out.afs", row.en});
        EXPECT_EQ(r.err, row.err);
        if (row.err.empty()) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, "<- second.txt\n");
            EXPECT_TRUE(fs::exists(dir / "out.afs"));
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_FALSE(fs::exists(dir / "out.afs"));
        }
    }
}

// Whatever path ja/ is, extraction lands in it, and en/ and out.afs are still found where
// they were named, from the directory the run started in.
TEST(Swapfold, OutputAndReplacementsAreFoundWhereNamedWhateverTheExtractionPath) {
    for (const std::string ja : {"a/b", "link", "a/b/../b"}) {
        SCOPED_TRACE(ja);
        TempDir dir;
        const Bytes input = afstest::build(mixed());
        testkit::write_bytes(dir / "in.afs", input);
        fs::create_directories(dir / "a" / "b");
        fs::create_directory_symlink("a/b", dir / "link");
        fs::create_directory(dir / "en");
        testkit::write_bytes(dir / "en" / "third.txt", testkit::bytes_of("replaced"));
        const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en", ja});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "-> first.txt\n-> second.txt\n-> third.txt\n<- third.txt\n");
        EXPECT_EQ(tree(dir / "a" / "b"),
                  (std::set<std::string>{"first.txt", "second.txt", "third.txt"}));
        EXPECT_TRUE(testkit::read_bytes(dir / "out.afs") ==
                    afstest::rebuilt_bytes(input, {{"third.txt", testkit::bytes_of("replaced")}}));
        EXPECT_FALSE(fs::exists(dir / "a" / "out.afs"));
    }
}

TEST(Swapfold, BundledSampleIsRegeneratedAndRebuilds) {
    const fs::path examples = EXAMPLES_DIR;
    const Bytes sample = afstest::sample_archive();
    EXPECT_TRUE(testkit::read_bytes(examples / "sample.afs") == sample)
        << "examples/sample.afs differs from the generator; run make_sample";
    const Bytes replacement = afstest::sample_replacement();
    EXPECT_TRUE(testkit::read_bytes(examples / "replace" / afstest::sample_replaced_name) ==
                replacement);

    TempDir dir;
    const RunResult r = swapfold(dir, {(examples / "sample.afs").string(), "out.afs",
                                       (examples / "replace").string(), "extracted"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "-> readme.txt\n-> greeting.txt\n-> menu.txt\n-> credits.txt\n-> story.txt\n"
                     "<- greeting.txt\n");
    EXPECT_TRUE(testkit::read_bytes(dir / "out.afs") ==
                afstest::rebuilt_bytes(sample, {{afstest::sample_replaced_name, replacement}}));
    EXPECT_EQ(testkit::read_bytes(dir / "extracted" / "menu.txt"),
              testkit::bytes_of("New game\nContinue\nOptions\nQuit\n"));
}

std::uint64_t free_memory_bytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit)
        if (key == "MemAvailable:") return kib * 1024;
    return 0;
}

void pwrite_all(int fd, const Bytes& data, std::uint64_t at) {
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(at)),
              static_cast<ssize_t>(data.size()));
}

TEST(Swapfold, LargeArchiveIsRebuiltWithoutHoldingTheOutput) {
    constexpr std::uint64_t mib = 1 << 20;
    constexpr std::uint64_t size = 600 * mib;
    TempDir dir;
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(dir.path().c_str(), &vfs), 0);
    if (std::uint64_t{vfs.f_bavail} * vfs.f_frsize < 2048 * mib)
        GTEST_SKIP() << "needs 2 GiB of free disk for a 600 MiB archive and its rebuild";
    if (free_memory_bytes() < 2048 * mib)
        GTEST_SKIP() << "needs 2 GiB of free memory for a 600 MiB archive and its rebuild";

    // Sparse input: three entries with a gap between each, marked with a pattern at both ends
    // and zero in between, and the name table at the end.
    const std::vector<std::uint32_t> lens = {200 * mib + 123, 200 * mib - 77, 150 * mib};
    const std::vector<std::uint32_t> poss = {4096, 4096 + lens[0] + 1000,
                                             4096 + lens[0] + 1000 + lens[1] + 5000};
    const std::uint32_t names_in = size - 4096;
    ASSERT_LE(std::uint64_t{poss[2]} + lens[2], names_in);
    const auto marker = [](int i, bool tail) {
        return testkit::pattern(4096, static_cast<std::uint8_t>(60 + 2 * i + tail));
    };
    Bytes head(2048, 0);
    std::memcpy(head.data(), "AFS", 4);
    afstest::put32(head, 4, 3);
    for (std::uint32_t i = 0; i < 3; ++i) {
        afstest::put32(head, 8 + 8 * i, poss[i]);
        afstest::put32(head, 12 + 8 * i, lens[i]);
    }
    afstest::put32(head, 32, names_in);
    afstest::put32(head, 36, 144);
    Bytes names(144, 0);
    for (std::uint32_t i = 0; i < 3; ++i) {
        const std::string name = "big" + std::to_string(i) + ".bin";
        std::copy(name.begin(), name.end(), names.begin() + 48 * i);
        names[48 * i + 40] = static_cast<std::uint8_t>(0x70 + i); // uninterpreted bytes
        afstest::put32(names, 48 * i + 44, lens[i]);
    }
    {
        const int fd = ::open((dir / "in.afs").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        pwrite_all(fd, head, 0);
        pwrite_all(fd, names, names_in);
        for (int i = 0; i < 3; ++i) {
            pwrite_all(fd, marker(i, false), poss[i]);
            pwrite_all(fd, marker(i, true), poss[i] + lens[i] - 4096);
        }
        ::close(fd);
    }

    const RunResult r = swapfold(dir, {"in.afs", "out.afs", "en"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");

    // The expected output, as the regions that are not zero. The first entry ends at
    // 209717371, the second, from 209719296, at 419434419, and the third, from 419434496, at
    // 576720896, a 2048-byte boundary, where the 144 bytes of names go.
    const std::vector<std::uint64_t> news = {2048, 209719296, 419434496};
    const std::uint64_t names_off = 576720896;
    const std::uint64_t length = 576722944;
    std::vector<std::pair<std::uint64_t, Bytes>> regions;
    Bytes new_head(head.begin(), head.begin() + 32);
    for (std::uint32_t i = 0; i < 3; ++i)
        afstest::put32(new_head, 8 + 8 * i, static_cast<std::uint32_t>(news[i]));
    regions.emplace_back(0, new_head);
    Bytes locator(8, 0);
    afstest::put32(locator, 0, static_cast<std::uint32_t>(names_off));
    afstest::put32(locator, 4, 144);
    regions.emplace_back(2040, locator);
    for (int i = 0; i < 3; ++i) {
        regions.emplace_back(news[i], marker(i, false));
        regions.emplace_back(news[i] + lens[i] - 4096, marker(i, true));
    }
    regions.emplace_back(names_off, names);

    ASSERT_EQ(fs::file_size(dir / "out.afs"), length);
    std::ifstream out(dir / "out.afs", std::ios::binary);
    constexpr std::uint64_t chunk = 8 * mib;
    Bytes got(chunk);
    std::uint64_t mismatched_chunks = 0;
    for (std::uint64_t at = 0; at < length; at += chunk) {
        const std::uint64_t n = std::min(chunk, length - at);
        out.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(n));
        ASSERT_TRUE(out) << "short read at " << at;
        Bytes want(n, 0);
        for (const auto& [start, data] : regions)
            for (std::uint64_t k = 0; k < data.size(); ++k)
                if (start + k >= at && start + k < at + n) want[start + k - at] = data[k];
        if (!std::equal(want.begin(), want.end(), got.begin())) ++mismatched_chunks;
    }
    EXPECT_EQ(mismatched_chunks, 0u);

    // The output is written from the input, never held whole: at most the input is resident
    // (when the data has to be read through its mapping), never input and output together.
    std::printf("peak RSS %ld KiB for a %llu KiB input\n", r.peak_rss_kib,
                static_cast<unsigned long long>(size / 1024));
    EXPECT_LT(static_cast<std::uint64_t>(r.peak_rss_kib), size / 1024 + 64 * 1024);
}

} // namespace
