// The Windows build's programs, run under wine from Linux (the test build made with
// BIPAFS_WINE_PROGRAMS), on what only the Windows port does, beside the end-to-end tables it
// shares with the Linux build (applies.txt):
// - the same bytes as the Linux build: every file of the codec's seed corpora compressed and
//   restored, archives rebuilt, a whole unpack, edit and pack of bipafs;
// - the one table of names that Windows holds otherwise than Linux: those it refuses (each
//   stops the run with "unsafe filename" before anything is written), Shift-JIS and UTF-8
//   names, which land on their UTF-16 file names and are found there again by the replacement
//   lookup and by bipafs, and names that differ only in case, which land on one file;
// - outputs: what a replaced file keeps under wine (its attributes, and access for its owner
//   alone, with one warning), a target that is the run's own input, standard output or error,
//   or a device; a write that fails (a directory that takes no new file, a full volume) and a
//   run that is killed or interrupted leave the target as it was and no temporary file.
#include "afs_image.hpp"
#include "afs_rebuild.hpp"
#include "test_inputs.hpp"
#include "testkit.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testkit::Bytes;
using testkit::RunResult;
using testkit::TempDir;
namespace fs = std::filesystem;

// The Windows build's programs (scripts that run them under wine) and the Linux build's.
const std::string crunchet = CRUNCHET_PATH;
const std::string uncrunchet = UNCRUNCHET_PATH;
const std::string swapfold = SWAPFOLD_PATH;
const std::string bipafs = BIPAFS_PATH;
const std::string linux_crunchet = LINUX_CRUNCHET_PATH;
const std::string linux_uncrunchet = LINUX_UNCRUNCHET_PATH;
const std::string linux_swapfold = LINUX_SWAPFOLD_PATH;
const std::string linux_bipafs = LINUX_BIPAFS_PATH;

// Under wine every file that replaces another is made private, with this warning.
std::string private_now(const std::string& path) {
    return "can't copy the ACL of '" + path + "': only its owner has access now\n";
}

// Runs `script` in `dir` with $C, $U, $S, $B naming the Windows build's programs and $LC,
// $LU, $LS, $LB the Linux build's.
RunResult run_script(const fs::path& dir, const std::string& script) {
    const std::string names = "C='" + crunchet + "' U='" + uncrunchet + "' S='" + swapfold +
                              "' B='" + bipafs + "' LC='" + linux_crunchet + "' LU='" +
                              linux_uncrunchet + "' LS='" + linux_swapfold + "' LB='" +
                              linux_bipafs + "' && ";
    return testkit::run("/bin/sh", {"-c", names + script}, dir);
}

// Every name in `dir`, hidden ones included, not descending.
std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

// The temporary files an output leaves beside `target` while it is written: .NAME.XXXXXX.
std::vector<fs::path> temporaries_of(const fs::path& target) {
    std::vector<fs::path> found;
    const std::string prefix = "." + target.filename().string() + ".";
    for (const auto& e : fs::directory_iterator(target.parent_path()))
        if (e.path().filename().string().starts_with(prefix)) found.push_back(e.path());
    return found;
}

// What wine's server leaves of a killed program's files marked for deletion takes it a moment
// to take away, after the process is reaped: waits up to `seconds` for them to go.
bool temporaries_go(const fs::path& target, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!temporaries_of(target).empty()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0xFFFF;
    return st.st_mode & 07777;
}

// ---- The same bytes as the Linux build.

struct Outcome {
    RunResult run;
    std::optional<Bytes> written;
};

// Runs `program` (a Linux one or a Windows one) as `args` in a fresh directory holding `input`
// as "in"; what it printed and the file "out" it wrote, if any.
Outcome outcome(const std::string& program, const Bytes& input, const std::string& out_name) {
    const TempDir dir;
    testkit::write_bytes(dir / "in", input);
    Outcome o;
    o.run = testkit::run(program, {"in", out_name}, dir.path(), "x");
    if (fs::exists(dir / out_name)) o.written = testkit::read_bytes(dir / out_name);
    return o;
}

void expect_same(const Outcome& windows, const Outcome& linux_build, const std::string& what) {
    EXPECT_EQ(windows.run.status, linux_build.run.status) << what;
    EXPECT_EQ(windows.run.out, linux_build.run.out) << what;
    EXPECT_EQ(windows.run.err, linux_build.run.err) << what;
    EXPECT_TRUE(windows.written == linux_build.written) << what;
}

std::vector<std::pair<std::string, Bytes>> corpus(const std::string& target) {
    std::vector<std::pair<std::string, Bytes>> files;
    for (const auto& e : fs::directory_iterator(fs::path(SOURCE_DIR) / "fuzz/corpus" / target))
        files.emplace_back(target + "/" + e.path().filename().string(),
                           testkit::read_bytes(e.path()));
    std::sort(files.begin(), files.end());
    return files;
}

TEST(WindowsBuild, CompressesAndRestoresAsTheLinuxBuildDoes) {
    // The encoder's and round trip's seeds, and larger inputs of every shape the encoder
    // handles its own way (sorted data turns its trees into indexes).
    auto inputs = corpus("roundtrip");
    for (auto& more : corpus("equivalence")) inputs.push_back(std::move(more));
    inputs.emplace_back("random, 1 MiB", test_inputs::random_bytes(1 << 20, 3));
    inputs.emplace_back("text, 1 MiB", test_inputs::text_like(1 << 20, 5));
    inputs.emplace_back("counters, 1 MiB", test_inputs::counters(1 << 20, 7, 1));
    inputs.emplace_back("runs and copies", test_inputs::runs_and_copies(300000, 9));
    std::size_t compressed = 0;
    for (const auto& [name, input] : inputs) {
        const Outcome windows = outcome(crunchet, input, "out");
        expect_same(windows, outcome(linux_crunchet, input, "out"), "crunchet " + name);
        if (!windows.written) continue;
        ++compressed;
        const Outcome restored = outcome(uncrunchet, *windows.written, "out");
        expect_same(restored, outcome(linux_uncrunchet, *windows.written, "out"),
                    "uncrunchet of " + name);
        EXPECT_TRUE(restored.written == input) << name;
    }
    EXPECT_GT(compressed, 50u);
    // Containers, damaged ones included.
    for (const auto& [name, container] : corpus("container"))
        expect_same(outcome(uncrunchet, container, "out"),
                    outcome(linux_uncrunchet, container, "out"), "uncrunchet " + name);
}

TEST(WindowsBuild, RebuildsArchivesAsTheLinuxBuildDoes) {
    // Every rebuild worked out by hand, with its replacements.
    for (const afstest::RebuildRow& row : afstest::rebuild_rows()) {
        SCOPED_TRACE(row.label);
        std::map<std::string, Bytes> built;
        for (const std::string& program : {swapfold, linux_swapfold}) {
            const TempDir dir;
            testkit::write_bytes(dir / "in.afs", afstest::build(row.image));
            fs::create_directory(dir / "en");
            for (const auto& [name, data] : row.replacements)
                testkit::write_bytes(dir / "en" / name, data);
            const RunResult r = testkit::run(program, {"in.afs", "out.afs", "en"}, dir.path());
            ASSERT_EQ(r.status, 0) << r.err;
            built[program] = testkit::read_bytes(dir / "out.afs");
        }
        EXPECT_TRUE(built[swapfold] == built[linux_swapfold]);
    }
    // The archives of the fuzz target's seeds, hostile ones included: the same checks, the
    // same messages, the same rebuilt bytes; but for those with a name Windows cannot hold,
    // which the Windows build refuses where the Linux one rebuilds.
    std::size_t compared = 0;
    for (const auto& [name, archive] : corpus("afs")) {
        SCOPED_TRACE(name);
        std::map<std::string, std::pair<RunResult, std::optional<Bytes>>> seen;
        for (const std::string& program : {swapfold, linux_swapfold}) {
            const TempDir dir;
            testkit::write_bytes(dir / "in.afs", archive);
            const RunResult r = testkit::run(program, {"in.afs", "out.afs", ""}, dir.path());
            std::optional<Bytes> out;
            if (fs::exists(dir / "out.afs")) out = testkit::read_bytes(dir / "out.afs");
            seen[program] = {r, out};
        }
        if (seen[swapfold].first.err == "unsafe filename\n" &&
            seen[linux_swapfold].first.status == 0) {
            EXPECT_EQ(seen[swapfold].first.status, 1);
            EXPECT_FALSE(seen[swapfold].second);
            continue;
        }
        ++compared;
        EXPECT_EQ(seen[swapfold].first.status, seen[linux_swapfold].first.status);
        EXPECT_EQ(seen[swapfold].first.out, seen[linux_swapfold].first.out);
        EXPECT_EQ(seen[swapfold].first.err, seen[linux_swapfold].first.err);
        EXPECT_TRUE(seen[swapfold].second == seen[linux_swapfold].second);
    }
    EXPECT_GT(compared, 20u);
}

// A game whose entries are containers and plain files, in subdirectories, with spaces.
Bytes game() {
    const auto container = [](const Bytes& content) {
        const TempDir dir;
        testkit::write_bytes(dir / "in", content);
        EXPECT_EQ(testkit::run(linux_crunchet, {"in", "in.bip"}, dir.path()).status, 0);
        return testkit::read_bytes(dir / "in.bip");
    };
    afstest::Image image;
    const std::vector<std::pair<std::string, Bytes>> entries = {
        {"script/day 1.txt.bip", container(test_inputs::text_like(20000, 1))},
        {"script/day 2.txt.bip", container(test_inputs::text_like(9000, 2))},
        {"menu/title screen.txt", testkit::bytes_of("NEW GAME\nCONTINUE\n")},
        {"data.bin", test_inputs::random_bytes(5000, 3)},
        {"broken.bip", testkit::bytes_of("not a container")},
    };
    std::uint32_t pos = 2048;
    for (const auto& [name, data] : entries) {
        image.entries.push_back(afstest::with_data(name, pos, data));
        pos += static_cast<std::uint32_t>((data.size() + 2047) / 2048 * 2048);
    }
    image.names_pos = pos;
    image.size = pos + 48 * image.entries.size();
    return afstest::build(image);
}

TEST(WindowsBuild, UnpacksAndPacksAsTheLinuxBuildDoes) {
    const TempDir dir;
    testkit::write_bytes(dir / "game.afs", game());
    // The same job with either build, each in directories of its own (NAME-w, NAME-l).
    const auto job = [&](const std::string& b, const std::string& s) {
        const std::string w = "w" + s, packed = "new" + s + ".afs", again = "again" + s;
        return run_script(dir.path(), b + " unpack game.afs " + w + " && " + b + " status " + w +
                                          " && printf 'DAY ONE, EDITED\\n' > '" + w +
                                          "/script/day 1.txt' && printf 'LOAD\\n' >> '" + w +
                                          "/menu/title screen.txt' && " + b + " status " + w +
                                          " && " + b + " pack " + w + " " + packed + " && " + b +
                                          " unpack " + packed + " " + again);
    };
    const RunResult windows = job("$B", "-w");
    RunResult linux_build = job("$LB", "-l");
    ASSERT_EQ(windows.status, 0) << windows.err;
    ASSERT_EQ(linux_build.status, 0) << linux_build.err;
    for (std::string* text : {&linux_build.out, &linux_build.err})
        for (std::size_t at = 0; (at = text->find("-l", at)) != std::string::npos;)
            text->replace(at, 2, "-w");
    EXPECT_EQ(windows.out, linux_build.out);
    EXPECT_EQ(windows.err, linux_build.err);
    EXPECT_NE(windows.out.find("changed: script/day 1.txt\n"), std::string::npos) << windows.out;
    EXPECT_TRUE(testkit::read_bytes(dir / "new-w.afs") == testkit::read_bytes(dir / "new-l.afs"));
    std::size_t files = 0;
    for (const std::string& file : testkit::tree(dir / "again-l")) {
        if (file.starts_with(".bipafs") || fs::is_directory(dir / "again-l" / file)) continue;
        ++files;
        EXPECT_TRUE(testkit::read_bytes(dir / "again-w" / file) ==
                    testkit::read_bytes(dir / "again-l" / file))
            << file;
    }
    EXPECT_EQ(files, 5u);
    EXPECT_EQ(testkit::read_bytes(dir / "again-w/script/day 1.txt"),
              testkit::bytes_of("DAY ONE, EDITED\n"));
}

// ---- Names.

// An archive whose entries are `names`, in table order, each holding "data of " and its
// index.
Bytes archive_of(const std::vector<std::string>& names) {
    afstest::Image image;
    std::uint32_t pos = 2048;
    for (std::size_t k = 0; k < names.size(); ++k) {
        image.entries.push_back(
            afstest::with_data(names[k], pos, testkit::bytes_of("data of " + std::to_string(k))));
        pos += 2048;
    }
    image.names_pos = pos;
    image.size = pos + 48 * image.entries.size();
    return afstest::build(image);
}

std::string data_of(std::size_t k) {
    return "data of " + std::to_string(k);
}

// One case of names. Unsafe: every run is refused with "unsafe filename" before it writes
// anything. Otherwise `files` is what an extraction into ja/ leaves there, by the names Linux
// sees, with swapfold's standard error and what bipafs's unpack warns; entry 0's file, named
// `first` on Linux, is then a replacement for the rebuild and an edit for bipafs's pack,
// found by its name again.
struct NameRow {
    const char* label;
    std::vector<std::string> names;
    bool unsafe = false;
    std::string first = {};
    std::map<std::string, std::string> files = {};
    std::string swapfold_err = {};
    std::string unpack_err = {};
};

TEST(WindowsNames, EachCaseOfTheOneTable) {
    const std::string ok = "ok.txt"; // an entry with a good name before the refused one
    const std::vector<NameRow> rows = {
        {"a backslash", {ok, "a\\b.txt"}, true},
        {"a colon (an alternate data stream)", {ok, "a:b.txt"}, true},
        {"a drive", {ok, "C:x"}, true},
        {"CON", {ok, "CON"}, true},
        {"con.txt, a device with an extension", {ok, "con.txt"}, true},
        {"Nul, in another case", {ok, "Nul"}, true},
        {"AUX.dat", {ok, "AUX.dat"}, true},
        {"PRN", {ok, "PRN"}, true},
        {"COM1", {ok, "COM1"}, true},
        {"com9.log", {ok, "com9.log"}, true},
        {"COM with a superscript digit", {ok, "COM\xC2\xB9"}, true},
        {"LPT1", {ok, "LPT1"}, true},
        {"lpt9.txt", {ok, "lpt9.txt"}, true},
        {"CONOUT$", {ok, "CONOUT$"}, true},
        {"a device's name with spaces before its extension", {ok, "nul .txt"}, true},
        {"a device's name as a directory", {ok, "aux/x.txt"}, true},
        {"a device's name as the last of several components", {ok, "sub/prn"}, true},
        {"a trailing dot", {ok, "name."}, true},
        {"a trailing space", {ok, "name "}, true},
        {"a trailing dot on a directory", {ok, "dir./x.txt"}, true},
        {"<", {ok, "a<b"}, true},
        {">", {ok, "a>b"}, true},
        {"a double quote", {ok, "a\"b"}, true},
        {"|", {ok, "a|b"}, true},
        {"?", {ok, "a?b"}, true},
        {"*", {ok, "a*b"}, true},
        {"a control byte",
         {ok, "a\x01"
              "b"},
         true},
        {"a newline", {ok, "a\nb"}, true},
        {"DEL",
         {ok, "a\x7F"
              "b"},
         true},
        {"bytes neither UTF-8 nor Shift-JIS",
         {ok, "a\x81\x20"
              "b"},
         true},
        {"a byte that is no character anywhere", {ok, "\xFF.bin"}, true},
        {"Shift-JIS that does not give its bytes back (an IBM extension)",
         {ok, "\xFA\x4A.txt"},
         true},
        {"Shift-JIS whose second byte is a backslash",
         {"\x83\x5C\x83\x74\x83\x67.bin", "\x95\x5C.txt"},
         false,
         "ソフト.bin",
         {{"ソフト.bin", data_of(0)}, {"表.txt", data_of(1)}}},
        {"Shift-JIS half-width kana", {"\xB1\xDF.txt"}, false, "ｱﾟ.txt", {{"ｱﾟ.txt", data_of(0)}}},
        {"UTF-8",
         {"日本語.txt", "café"},
         false,
         "日本語.txt",
         {{"日本語.txt", data_of(0)}, {"café", data_of(1)}}},
        {"names that differ only in case",
         {"Name.txt", "NAME.TXT"},
         false,
         "Name.txt",
         {{"Name.txt", data_of(1)}},
         "duplicate name 'ja/NAME.TXT': its earlier entry is overwritten\n" +
             private_now("ja/NAME.TXT"),
         "duplicate name 'work/NAME.TXT': entry 1 gets no file and is packed as it was\n"},
        {"one name in Shift-JIS and in UTF-8",
         {"\x83\x5C.bin", "\xE3\x82\xBD.bin"},
         false,
         "ソ.bin",
         {{"ソ.bin", data_of(1)}},
         "duplicate name 'ja/\xE3\x82\xBD.bin': its earlier entry is overwritten\n" +
             private_now("ja/\xE3\x82\xBD.bin"),
         "duplicate name 'work/\xE3\x82\xBD.bin': entry 1 gets no file and is packed as it "
         "was\n"},
    };
    for (const NameRow& row : rows) {
        SCOPED_TRACE(row.label);
        const TempDir dir;
        testkit::write_bytes(dir / "in.afs", archive_of(row.names));
        fs::create_directory(dir / "en");
        if (row.unsafe) {
            // Refused with and without extraction, and by bipafs, before anything is written.
            for (const std::vector<std::string>& args :
                 {std::vector<std::string>{"in.afs", "out.afs", "en", "ja"},
                  std::vector<std::string>{"in.afs", "out.afs", "en"}}) {
                const RunResult r = testkit::run(swapfold, args, dir.path());
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.out, "");
                EXPECT_EQ(r.err, "unsafe filename\n");
            }
            const RunResult unpack = testkit::run(bipafs, {"unpack", "in.afs", "work"}, dir.path());
            EXPECT_EQ(unpack.status, 1);
            EXPECT_EQ(unpack.out, "");
            EXPECT_EQ(unpack.err, "unsafe filename\n");
            EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"en", "in.afs"}));
            continue;
        }
        // Extraction: each entry on its file's name, which Linux sees in UTF-8.
        RunResult r = testkit::run(swapfold, {"in.afs", "/dev/null", "en", "ja"}, dir.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, row.swapfold_err);
        std::map<std::string, std::string> files;
        for (const auto& e : fs::directory_iterator(dir / "ja")) {
            const Bytes data = testkit::read_bytes(e.path());
            files[e.path().filename().string()] = std::string(data.begin(), data.end());
        }
        EXPECT_EQ(files, row.files);
        // The replacement lookup finds entry 0's file by the same name, and the rebuilt archive
        // holds it there.
        const std::string& first = row.first;
        testkit::write_bytes(dir / "en" / first, testkit::bytes_of("replaced"));
        r = testkit::run(swapfold, {"in.afs", "out.afs", "en"}, dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out.starts_with("<- " + row.names[0] + "\n")) << r.out;
        r = testkit::run(linux_swapfold, {"out.afs", "/dev/null", "", "rebuilt"}, dir.path());
        EXPECT_EQ(testkit::read_bytes(dir / "rebuilt" / row.names[0]),
                  testkit::bytes_of("replaced"));
        // bipafs: unpack, status, an edit of that file, pack; the Linux build reads the packed
        // archive back by the entries' own names.
        const RunResult job = run_script(
            dir.path(), "$B unpack in.afs work >/dev/null && $B status work && printf edited > "
                        "'work/" +
                            first +
                            "' && $B status work && $B pack work new.afs >/dev/null && "
                            "$LS new.afs /dev/null '' back >/dev/null");
        EXPECT_EQ(job.status, 0) << job.err;
        EXPECT_EQ(job.err, row.unpack_err);
        const std::size_t unpacked = row.names.size() - (row.unpack_err.empty() ? 0 : 1);
        const std::string count = std::to_string(unpacked);
        EXPECT_EQ(job.out, "0 changed, 0 unknown, 0 missing, of " + count +
                               " files unpacked\nchanged: " + row.names[0] +
                               "\n1 changed, 0 unknown, 0 missing, of " + count +
                               " files unpacked\n");
        EXPECT_EQ(testkit::read_bytes(dir / "back" / row.names[0]), testkit::bytes_of("edited"));
    }
}

// ---- Outputs.

TEST(WindowsOutputs, ReplacedFileKeepsItsAttributesAndOnlyItsOwnerHasAccess) {
    // Under wine a file's access is its Unix mode, of which a Windows program can neither see
    // the group's bits nor set them apart from the owner's: the new file keeps the owner's read
    // and write alone, whatever else the old one had.
    const std::vector<std::pair<unsigned, unsigned>> modes = {
        {0644, 0600}, {0600, 0600}, {0640, 0600}, {0660, 0600},
        {0755, 0600}, {0444, 0400}, {0604, 0600}};
    for (const auto& [before, after] : modes) {
        SCOPED_TRACE(before);
        const TempDir dir;
        testkit::write_bytes(dir / "in", testkit::bytes_of("abc"));
        testkit::write_bytes(dir / "out.bip", testkit::bytes_of("old"));
        fs::permissions(dir / "out.bip", static_cast<fs::perms>(before));
        const RunResult r = testkit::run(crunchet, {"in", "out.bip"}, dir.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, private_now("out.bip"));
        EXPECT_EQ(mode_of(dir / "out.bip"), after);
        EXPECT_EQ(testkit::read_bytes(dir / "out.bip"),
                  (Bytes{0x03, 0, 0, 0, 0x07, 0x61, 0x62, 0x63}));
        EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"in", "out.bip"}));
    }
    // The hidden, system and archive attributes, which wine keeps in user.DOSATTRIB.
    const TempDir dir;
    testkit::write_bytes(dir / "in.bip", {3, 0, 0, 0, 0x07, 0x61, 0x62, 0x63});
    testkit::write_bytes(dir / "out", testkit::bytes_of("old"));
    const std::string hidden_system = "0x6";
    ASSERT_EQ(::setxattr((dir / "out").c_str(), "user.DOSATTRIB", hidden_system.data(),
                         hidden_system.size(), 0),
              0);
    const RunResult r = testkit::run(uncrunchet, {"in.bip", "out"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    char value[32] = {};
    const ssize_t n = ::getxattr((dir / "out").c_str(), "user.DOSATTRIB", value, sizeof value);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::strtoul(std::string(value, static_cast<std::size_t>(n)).c_str(), nullptr, 16) &
                  0x6,
              0x6u);
    EXPECT_EQ(testkit::read_bytes(dir / "out"), testkit::bytes_of("abc"));
}

TEST(WindowsOutputs, TargetsTheRunReadsPrintsToOrIsADevice) {
    struct Row {
        const char* label;
        std::string script;
        int status;
        std::string out;
        std::string err;
        std::map<std::string, Bytes> files; // what they hold afterwards
    };
    const Bytes abc_bip = {0x03, 0, 0, 0, 0x07, 0x61, 0x62, 0x63};
    const Bytes sample = testkit::read_bytes(fs::path(SOURCE_DIR) / "examples/sample.afs");
    const Bytes rebuilt = afstest::rebuilt_bytes(sample);
    const std::vector<Row> rows = {
        // Windows renames nothing over a file that is open: the run lets go of its input first.
        {"crunchet over its own input",
         "$C abc abc",
         0,
         "Original size: 3 bytes\nCompressed size: 8 bytes\n",
         private_now("abc"),
         {{"abc", abc_bip}}},
        {"uncrunchet over its own input",
         "$U abc.bip abc.bip",
         0,
         "",
         private_now("abc.bip"),
         {{"abc.bip", testkit::bytes_of("abc")}}},
        {"swapfold over its own input",
         "$S sample.afs sample.afs ''",
         0,
         "",
         private_now("sample.afs"),
         {{"sample.afs", rebuilt}}},
        {"standard output",
         "$C abc out > out",
         1,
         "",
         "won't write to 'out': it is this run's standard output\n",
         {{"out", {}}}},
        {"standard output by another spelling",
         "$C abc ./OUT > out",
         1,
         "",
         "won't write to './OUT': it is this run's standard output\n",
         {{"out", {}}}},
        {"standard error",
         "$U abc.bip err 2> err; s=$?; cat err >&2; exit $s",
         1,
         "",
         "won't write to 'err': it is this run's standard error\n",
         {}},
        // Arguments come in UTF-16, which no code page of main's own arguments holds.
        {"an output named beyond any code page",
         "$C abc 日本語.bip",
         0,
         "Original size: 3 bytes\nCompressed size: 8 bytes\n",
         "",
         {{"日本語.bip", abc_bip}}},
        {"an input named beyond any code page",
         "cp abc.bip 日本語.bip && $U 日本語.bip 日本語 && rm 日本語.bip",
         0,
         "",
         "",
         {{"日本語", testkit::bytes_of("abc")}}},
        {"NUL", "$C abc NUL", 0, "Original size: 3 bytes\nCompressed size: 8 bytes\n", "", {}},
        {"nul.txt, which Win32 reads as NUL here", "$U abc.bip nul.txt", 0, "", "", {}},
        {"the Linux device /dev/null", "$U abc.bip /dev/null", 0, "", "", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const TempDir dir;
        testkit::write_bytes(dir / "abc", testkit::bytes_of("abc"));
        testkit::write_bytes(dir / "abc.bip", abc_bip);
        testkit::write_bytes(dir / "sample.afs", sample);
        const std::set<std::string> before = names_in(dir.path());
        const RunResult r = run_script(dir.path(), row.script);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, row.err);
        for (const auto& [name, bytes] : row.files)
            EXPECT_EQ(testkit::read_bytes(dir / name), bytes) << name;
        // Nothing else made: no temporary file, no file named like a device.
        std::set<std::string> after = names_in(dir.path());
        after.erase("err");
        after.erase("out");
        for (const auto& [name, bytes] : row.files) after.erase(name);
        std::set<std::string> expected = before;
        for (const auto& [name, bytes] : row.files) expected.erase(name);
        EXPECT_EQ(after, expected);
    }
}

TEST(WindowsOutputs, WriteThatFailsLeavesTheTargetAsItWas) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: chattr, and mounts in a namespace";
    // A directory that takes no new file (immutable, which root obeys too): no temporary file
    // can be made beside the target, and Windows has no writing in place.
    {
        const TempDir dir;
        fs::create_directory(dir / "ro");
        testkit::write_bytes(dir / "in", test_inputs::text_like(5000, 1));
        testkit::write_bytes(dir / "ro/out.bip", testkit::bytes_of("old"));
        const RunResult immutable = testkit::run("/usr/bin/chattr", {"+i", "ro"}, dir.path());
        if (immutable.status != 0) GTEST_SKIP() << "chattr +i: " << immutable.err;
        const RunResult r = testkit::run(crunchet, {"in", "ro/out.bip"}, dir.path());
        static_cast<void>(testkit::run("/usr/bin/chattr", {"-i", "ro"}, dir.path()));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Original size: 5000 bytes\n");
        EXPECT_EQ(r.err, "can't open 'ro/out.bip' for writing\n");
        EXPECT_EQ(testkit::read_bytes(dir / "ro/out.bip"), testkit::bytes_of("old"));
        EXPECT_EQ(names_in(dir / "ro"), std::set<std::string>{"out.bip"});
    }
    // A full volume: a 256 KiB tmpfs in a mount namespace of the run's own, with a wine server
    // of its own there (TMPDIR), since the set's server sees no mount made after it started.
    const std::optional<std::string> unshare = testkit::helper("unshare");
    if (!unshare) GTEST_SKIP() << "no unshare(1)";
    const TempDir dir;
    testkit::write_bytes(dir / "in", test_inputs::random_bytes(600000, 4));
    fs::create_directory(dir / "small");
    fs::create_directory(dir / "server");
    const std::string server =
        "WINEPREFIX='" BIPAFS_WINE_PREFIX "' TMPDIR=\"$PWD/server\" '" BIPAFS_WINESERVER "'";
    const std::string script =
        "mount -t tmpfs -o size=256k tmpfs small && printf old > small/out.bip && " + server +
        " -p </dev/null >/dev/null 2>&1; TMPDIR=\"$PWD/server\" \"$0\" </dev/null >/dev/null "
        "2>&1; TMPDIR=\"$PWD/server\" \"$0\" in small/out.bip; status=$?; ls -a small >&2; cat "
        "small/out.bip >&2; " +
        server + " -k; exit $status";
    const RunResult r =
        testkit::run(*unshare, {"-m", "/bin/sh", "-c", script, crunchet}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Original size: 600000 bytes\n");
    // The message, then what the small volume holds: the target, as it was, and nothing else.
    EXPECT_EQ(r.err, "can't write to 'small/out.bip'\n.\n..\nout.bip\nold");
}

// Starts `args` with its standard streams on /dev/null; the process's id.
pid_t start(const std::vector<std::string>& args, const fs::path& cwd) {
    std::vector<std::string> words = args;
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    pid_t pid = 0;
    const int spawned = testkit::spawn_in(&pid, argv[0], &actions, nullptr, argv.data(), cwd);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

TEST(WindowsOutputs, KilledOrInterruptedRunLeavesTheTargetAsItWas) {
    // One entry of 192 MiB, sparse but for its first block, rebuilt over an existing out.afs:
    // the run is stopped once its unfinished output shows.
    constexpr std::uint32_t size = 192u << 20;
    const TempDir dir;
    afstest::Image image;
    image.entries.push_back(afstest::with_data("big.bin", 2048, testkit::pattern(2048, 1)));
    image.entries[0].len = image.entries[0].name_len = size;
    image.names_pos = 2048 + size;
    image.size = image.names_pos + 48;
    testkit::write_bytes(dir / "in.afs", afstest::build(image));
    // SIGKILL, which nothing can catch; SIGINT, which wine gives the program as Ctrl-C, whose
    // handler ends it as the console would (STATUS_CONTROL_C_EXIT, 0xC000013A, seen by Linux
    // as 0x3A).
    for (const int signal : {SIGKILL, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        testkit::write_bytes(dir / "out.afs", testkit::bytes_of("old"));
        const pid_t pid = start({swapfold, "in.afs", "out.afs", ""}, dir.path());
        ASSERT_GT(pid, 0);
        // Stopped in the middle of the write, once the unfinished file holds a few MiB (the
        // instants between making it and marking it for deletion, and between taking the mark
        // off and the rename, are the ones where nothing can stop a kill from leaving it).
        int status = 0;
        bool seen = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!seen && std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid, &status, WNOHANG) == pid) break; // finished before it was caught
            std::error_code ec;
            for (const fs::path& temp : temporaries_of(dir / "out.afs"))
                seen = seen || fs::file_size(temp, ec) >= (std::uint64_t{4} << 20);
        }
        if (seen) {
            ::kill(pid, signal);
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        }
        ASSERT_TRUE(seen) << "the run ended before its unfinished output was seen";
        if (signal == SIGKILL)
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        else
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0x3A) << status;
        EXPECT_TRUE(temporaries_go(dir / "out.afs", 10));
        EXPECT_EQ(testkit::read_bytes(dir / "out.afs"), testkit::bytes_of("old"));
        EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"in.afs", "out.afs"}));
    }
}

} // namespace
