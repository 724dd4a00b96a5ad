// End-to-end tests: the built bipafs on a small archive such as games ship (containers in
// subdirectories, names with spaces and in Shift-JIS, an entry without data, a ".bip" that
// is no container, a name used twice, an empty entry), each row in a fresh directory; and
// the plan of an unpack, in memory.
#include "afs_image.hpp"
#include "afs_rebuild.hpp"
#include "bip.hpp"
#include "job.hpp"
#include "testkit.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testkit::Bytes;
using testkit::RunResult;
using testkit::TempDir;

const std::string bipafs = BIPAFS_PATH;
const std::string swapfold = SWAPFOLD_PATH;

Bytes container_of(const Bytes& content) {
    const bip::Container c = bip::build_container(content);
    return Bytes(c.bytes().begin(), c.bytes().end());
}

// A container of `content` that another encoder could have made: every item a literal.
Bytes literal_container(const Bytes& content) {
    Bytes out(4, 0);
    afstest::put32(out, 0, static_cast<std::uint32_t>(content.size()));
    for (std::size_t at = 0; at < content.size(); at += 8) {
        const std::size_t n = std::min<std::size_t>(8, content.size() - at);
        out.push_back(static_cast<std::uint8_t>((1u << n) - 1));
        out.insert(out.end(), content.begin() + static_cast<std::ptrdiff_t>(at),
                   content.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    return out;
}

const std::string sjis = "\x83\x5c\x83\x8b"; // two Shift-JIS characters, 0x5C among them
const Bytes day1 = testkit::bytes_of("Day one. Day one. Day one, again and again.\n");
const Bytes day2 = testkit::bytes_of("\x82\xa0\x82\xa2\x82\xa4 the second day\n");
const Bytes title = testkit::bytes_of("TITLE SCREEN");

// The archive's entries, in table order, each at its own 2048-byte block.
afstest::Image game() {
    const std::vector<std::pair<std::string, Bytes>> entries = {
        {"script/day 1.txt.bip", container_of(day1)},
        {"script/day 2.txt.bip", literal_container(day2)},
        {"menu/title screen.txt", title},
        {sjis + ".bin", testkit::pattern(300, 7)},
        {"", {}}, // no data: named below
        {"broken.bip", testkit::bytes_of("not a container")},
        {"menu/title screen.txt", testkit::bytes_of("the same name again")},
        {"zero.bin", {}},
    };
    afstest::Image image;
    std::uint32_t pos = 2048;
    for (const auto& [name, data] : entries) {
        if (name.empty()) {
            image.entries.push_back(afstest::without_data("no data", 9));
            continue;
        }
        image.entries.push_back(afstest::with_data(name, pos, data));
        pos += 2048;
    }
    image.names_pos = pos;
    image.size = pos + 48 * image.entries.size();
    return image;
}

// Runs `script` in a fresh directory that holds game.afs, with $B naming bipafs and $S
// swapfold.
RunResult run_script(const TempDir& dir, const std::string& script) {
    return testkit::run("/bin/sh", {"-c", "B=" + bipafs + " S=" + swapfold + " && " + script},
                        dir.path());
}

const std::string unpack_quietly = "$B unpack game.afs work >/dev/null 2>&1 && ";

const std::string unpack_warnings =
    "'work/broken.bip' is not a well-formed container: unpacked as it is\n"
    "duplicate name 'work/menu/title screen.txt': entry 6 gets no file and is packed as it "
    "was\n";

// What every command prints and writes, by row.
TEST(Bipafs, Commands) {
    struct Row {
        const char* label;
        std::string script;
        int status;
        std::string out;
        std::string err;
        std::map<std::string, Bytes> files = {}; // paths and what they hold afterwards
        std::set<std::string> tree = {};         // all that work/ then holds, when not empty
    };
    const afstest::Image image = game();
    std::string listing, names;
    for (const afstest::Entry& e : image.entries) {
        listing += (e.pos == 0 ? "-" : std::to_string(e.len)) + " " + e.name + "\n";
        names += e.name + '\0';
    }
    const std::vector<Row> rows = {
        {"list", "$B list game.afs", 0, listing, ""},
        {"list -0", "$B list -0 game.afs", 0, names, ""},
        {"unpack",
         "$B unpack game.afs work",
         0,
         "unpacked 6 entries into work (2 restored from .bip)\n",
         unpack_warnings,
         {{"work/script/day 1.txt", day1},
          {"work/script/day 2.txt", day2},
          {"work/menu/title screen.txt", title},
          {"work/" + sjis + ".bin", testkit::pattern(300, 7)},
          {"work/broken.bip", testkit::bytes_of("not a container")},
          {"work/zero.bin", {}}},
         {".bipafs", ".bipafs/archive", ".bipafs/entries", ".bipafs/tables", "script",
          "script/day 1.txt", "script/day 2.txt", "menu", "menu/title screen.txt", sjis + ".bin",
          "broken.bip", "zero.bin"}},
        {"status, nothing changed", unpack_quietly + "$B status work", 0,
         "0 changed, 0 unknown, 0 missing, of 6 files unpacked\n", ""},
        {"status after edits",
         unpack_quietly + "echo new > 'work/menu/title screen.txt' && rm work/zero.bin && " +
             "echo x > work/extra.txt && touch -d 2001-01-01 'work/script/day 1.txt' && " +
             "$B status work",
         0,
         "changed: menu/title screen.txt\nmissing: zero.bin\nunknown: extra.txt\n"
         "1 changed, 1 unknown, 1 missing, of 6 files unpacked\n",
         ""},
        {"pack with nothing changed is swapfold's rebuild",
         unpack_quietly + "$B pack work new.afs && $S game.afs rebuilt.afs ''", 0,
         "packed new.afs: 0 of 6 entries changed (0 recompressed)\n", ""},
        {"help", "$B --help | head -1 && $B help unpack | head -1 && $B --version", 0,
         "usage: bipafs COMMAND ARGUMENTS\nusage: " + bipafs +
             " unpack GAME.afs DIR\nbipafs 0.1.0\n",
         ""},
        {"no command", "$B", 1, "", "*usage: bipafs COMMAND ARGUMENTS\n"},
        {"unknown command", "$B frob", 1, "",
         "unknown command 'frob': see '" + bipafs + " --help'\n"},
        {"wrong argument count", "$B unpack game.afs", 1, "",
         "usage: " + bipafs + " unpack GAME.afs DIR\n"},
        {"help for no such command", "$B help frob", 1, "", "usage: " + bipafs + " help COMMAND\n"},
        {"list -0 without an archive", "$B list -0", 1, "",
         "usage: " + bipafs + " list [-0] GAME.afs\n"},
    };
    const Bytes archive = afstest::build(image);
    for (const Row& row : rows) {
        if (!testkit::applies(row.label)) continue;
        SCOPED_TRACE(row.label);
        const TempDir dir;
        testkit::write_bytes(dir / "game.afs", archive);
        const RunResult r = run_script(dir, row.script);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.out, row.out);
        if (row.err.starts_with('*'))
            EXPECT_TRUE(r.err.starts_with(row.err.substr(1))) << r.err;
        else
            EXPECT_EQ(r.err, row.err);
        for (const auto& [path, bytes] : row.files)
            EXPECT_EQ(testkit::read_bytes(dir / path), bytes) << path;
        if (!row.tree.empty()) {
            EXPECT_EQ(testkit::tree(dir / "work"), row.tree);
        }
        if (fs::exists(dir / "rebuilt.afs")) {
            EXPECT_EQ(testkit::read_bytes(dir / "new.afs"),
                      testkit::read_bytes(dir / "rebuilt.afs"));
        }
    }
}

// Unpack, edit, pack, unpack again: every file as edited or as it was, byte for byte; the
// unchanged container (made by another encoder) keeps its bytes, the changed one is
// crunchet's container of the edit.
TEST(Bipafs, RoundTrip) {
    const TempDir dir;
    const afstest::Image image = game();
    testkit::write_bytes(dir / "game.afs", afstest::build(image));
    const Bytes edited = testkit::bytes_of("Jour un. Jour un. Jour un, encore et encore.\n");
    testkit::write_bytes(dir / "edit1", edited);
    const RunResult r = run_script(
        dir, unpack_quietly + "cp edit1 'work/script/day 1.txt' && " +
                 "printf 'MENU' > 'work/menu/title screen.txt' && $B pack work new.afs && " +
                 "$B unpack new.afs again");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "packed new.afs: 2 of 6 entries changed (1 recompressed)\n"
                     "unpacked 6 entries into again (2 restored from .bip)\n");
    std::string again = unpack_warnings;
    for (std::size_t at; (at = again.find("'work/")) != std::string::npos;)
        again.replace(at + 1, 4, "again");
    EXPECT_EQ(r.err, again);
    for (const auto& [path, bytes] :
         std::map<std::string, Bytes>{{"script/day 1.txt", edited},
                                      {"script/day 2.txt", day2},
                                      {"menu/title screen.txt", testkit::bytes_of("MENU")},
                                      {sjis + ".bin", testkit::pattern(300, 7)},
                                      {"broken.bip", testkit::bytes_of("not a container")},
                                      {"zero.bin", {}}})
        EXPECT_EQ(testkit::read_bytes(dir / "again" / path), bytes) << path;
    // The entries' data in the packed archive, by the table.
    const Bytes packed = testkit::read_bytes(dir / "new.afs");
    const auto data = [&](std::uint32_t i) {
        const std::uint32_t pos = afstest::get32(packed, 8 + 8 * i);
        const std::uint32_t len = afstest::get32(packed, 12 + 8 * i);
        return Bytes(packed.begin() + pos, packed.begin() + pos + len);
    };
    EXPECT_EQ(data(0), container_of(edited));
    EXPECT_EQ(data(1), image.entries[1].data);
    EXPECT_EQ(data(6), image.entries[6].data); // the name's second entry, packed as it was
    EXPECT_EQ(afstest::get32(packed, 8 + 8 * 4), 0u);
    EXPECT_EQ(afstest::get32(packed, 12 + 8 * 4), 9u);
}

// Every refusal of pack names the files concerned and writes nothing.
TEST(Bipafs, PackRefuses) {
    struct Row {
        const char* label;
        std::string script; // after an unpack into work/
        int status;
        std::string err;
    };
    const std::string nothing =
        "nothing written to 'new.afs': the files named above can't be packed\n";
    const std::vector<Row> rows = {
        {"files unknown, missing and emptied",
         "echo x > work/extra && mkdir work/more && echo y > work/more/other && "
         "rm 'work/script/day 2.txt' && : > work/broken.bip && $B pack work new.afs",
         1,
         "'work/script/day 2.txt' is missing\n'work/broken.bip' is empty, and its entry has "
         "data\n'work/extra' matches no entry\n'work/more/other' matches no entry\n" +
             nothing},
        {"a link where a file was",
         "rm work/zero.bin && ln -s ../game.afs work/zero.bin && "
         "ln -s x work/dangling && $B pack work new.afs",
         1, "'work/zero.bin' is not a regular file\n'work/dangling' matches no entry\n" + nothing},
        {"the archive gone", "mv game.afs moved.afs && $B pack work new.afs", 1,
         "'$DIR/game.afs' is gone: 'work' was unpacked from it\n"},
        {"the archive grown", "printf x >> game.afs && $B pack work new.afs", 1,
         "'$DIR/game.afs' has changed since 'work' was unpacked from it\n"},
        {"an entry of the archive renamed",
         "printf 'X' | dd of=game.afs bs=1 seek=$((16384 + 48)) conv=notrunc 2>/dev/null && "
         "$B pack work new.afs",
         1, "'$DIR/game.afs' has changed since 'work' was unpacked from it\n"},
        {"the archive itself", "$B pack work game.afs", 1,
         "won't write over 'game.afs': it is the archive 'work' was unpacked from\n"},
        {"the archive by another name", "ln game.afs other.afs && $B pack work ./other.afs", 1,
         "won't write over './other.afs': it is the archive 'work' was unpacked from\n"},
        {"the archive through a link", "ln -s game.afs link.afs && $B pack work link.afs", 1,
         "won't write over 'link.afs': it is the archive 'work' was unpacked from\n"},
        {"inside the directory", "$B pack work work/script/new.afs", 1,
         "won't write 'work/script/new.afs': it is inside 'work'\n"},
        {"inside the directory through a link", "ln -s work/menu m && $B pack work ./m/new.afs", 1,
         "won't write './m/new.afs': it is inside 'work'\n"},
        {"a file of the directory by another name",
         "ln work/zero.bin hard.afs && $B pack work hard.afs", 1,
         "won't write 'hard.afs': it is inside 'work'\n"},
        {"larger than the rebuild may be",
         "head -c 200000 /dev/zero > 'work/menu/title screen.txt' && $B pack work new.afs", 2,
         "*failed check: off+size < out_size: the rebuilt archive would exceed four times the "},
        {"no record", "mkdir plain && $B pack plain new.afs", 1,
         "'plain' holds no record of an unpack: no 'plain/.bipafs' in it\n"},
        {"a damaged record", "echo junk > work/.bipafs/entries && $B pack work new.afs", 1,
         "the record in 'work/.bipafs' is damaged\n"},
    };
    const Bytes archive = afstest::build(game());
    for (const Row& row : rows) {
        if (!testkit::applies(row.label)) continue;
        SCOPED_TRACE(row.label);
        const TempDir dir;
        testkit::write_bytes(dir / "game.afs", archive);
        const RunResult r = run_script(dir, unpack_quietly + row.script);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.out, "");
        std::string err = row.err;
        if (const std::size_t at = err.find("$DIR"); at != std::string::npos)
            err.replace(at, 4, dir.path().string());
        if (err.starts_with('*'))
            EXPECT_NE(r.err.find(err.substr(1)), std::string::npos) << r.err;
        else
            EXPECT_EQ(r.err, err);
        EXPECT_FALSE(fs::exists(dir / "new.afs"));
        EXPECT_FALSE(fs::exists(dir / "work/script/new.afs"));
        if (row.label == std::string("the archive itself")) {
            EXPECT_EQ(testkit::read_bytes(dir / "game.afs"), archive);
        }
    }
}

// Every refusal of unpack comes before anything is written: the directory is as it was.
TEST(Bipafs, UnpackRefuses) {
    struct Row {
        const char* label;
        std::vector<std::string> names; // the archive's entry names, when not the game's
        std::string setup;
        int status;
        std::string err;
    };
    const std::vector<Row> rows = {
        {"a directory that is not empty",
         {},
         "mkdir work && touch work/keep",
         1,
         "won't unpack into 'work': it is not empty\n"},
        {"a file in the directory's place",
         {},
         "echo x > work",
         1,
         "can't open the directory 'work': Not a directory\n"},
        {"an unsafe name", {"a.txt", "../escape.txt"}, "", 1, "unsafe filename\n"},
        {"a name that names no file", {"a.txt", "sub/"}, "", 1, "unsafe filename\n"},
        {"an entry in the record's place",
         {"a.txt", ".BIPAFS/entries"},
         "",
         1,
         "won't unpack entry '.BIPAFS/entries': bipafs keeps its record in 'work/.bipafs'\n"},
        {"not an archive", {}, "echo 'not an archive' > game.afs", 1, "not a afs file\n"},
        {"a failed check",
         {},
         "printf 'AFS\\000\\377\\377\\000\\000' | dd of=game.afs bs=1 "
         "conv=notrunc 2>/dev/null",
         2,
         "failed check: entries*8+8<=size\n"},
        {"no archive",
         {},
         "rm game.afs",
         1,
         "mmap can't open 'game.afs': No such file or directory\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const TempDir dir;
        afstest::Image image = game();
        if (!row.names.empty()) {
            image.entries.resize(row.names.size());
            for (std::size_t k = 0; k < row.names.size(); ++k) image.entries[k].name = row.names[k];
        }
        testkit::write_bytes(dir / "game.afs", afstest::build(image));
        if (!row.setup.empty()) {
            ASSERT_EQ(run_script(dir, row.setup).status, 0);
        }
        const std::set<std::string> before = testkit::tree(dir.path());
        const RunResult r = run_script(dir, "$B unpack game.afs work");
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(testkit::tree(dir.path()), before);
    }
}

// Which file each entry becomes, in memory: names taken as they are but for empty and "."
// components, containers restored under their names less ".bip", the first entry to reach a
// path keeping it.
TEST(Plan, WhichFileEachEntryBecomes) {
    using job::Kind;
    struct Row {
        const char* label;
        std::vector<std::pair<std::string, Bytes>> entries;
        std::vector<std::pair<Kind, std::string>> planned;
        std::vector<job::NoteKind> notes;
        job::Refusal refusal = job::Refusal::none;
    };
    const Bytes box = container_of(testkit::bytes_of("box"));
    const Bytes raw = testkit::bytes_of("raw");
    const std::vector<Row> rows = {
        {"names taken apart",
         {{"a//b/./c", raw}, {"./d", raw}},
         {{Kind::file, "a/b/c"}, {Kind::file, "d"}},
         {}},
        {"a file and its container",
         {{"a.txt", raw}, {"a.txt.bip", box}},
         {{Kind::file, "a.txt"}, {Kind::file, "a.txt.bip"}},
         {job::NoteKind::restored_taken}},
        {"a container and a file of its restored name",
         {{"a.txt.bip", box}, {"a.txt", raw}},
         {{Kind::restored, "a.txt"}, {Kind::kept, ""}},
         {job::NoteKind::taken}},
        {"a file where a directory is",
         {{"d/x", raw}, {"d", raw}, {"d/x/y", raw}},
         {{Kind::file, "d/x"}, {Kind::kept, ""}, {Kind::kept, ""}},
         {job::NoteKind::taken, job::NoteKind::taken}},
        {"containers that cannot be restored",
         {{"bad.bip", raw}, {"dir/.bip", box}},
         {{Kind::file, "bad.bip"}, {Kind::file, "dir/.bip"}},
         {job::NoteKind::not_a_container, job::NoteKind::no_restored_name}},
        {"a container restored into the record's place",
         {{".bipafs.bip", box}},
         {},
         {},
         job::Refusal::record_name},
        {"the record's place in another case",
         {{"x", raw}, {"./.BipAfs/x", raw}},
         {},
         {},
         job::Refusal::record_name},
        {"a name that leads out", {{"x/../../y", raw}}, {}, {}, job::Refusal::unsafe_name},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        afstest::Image image;
        std::uint32_t pos = 2048;
        for (const auto& [name, data] : row.entries) {
            image.entries.push_back(afstest::with_data(name, pos, data));
            pos += 2048;
        }
        image.names_pos = pos;
        image.size = pos + 48 * image.entries.size();
        const Bytes bytes = afstest::build(image);
        const afs::Checked checked = afs::check_archive(bytes);
        ASSERT_EQ(checked.verdict, afs::Verdict::ok);
        std::vector<bool> containers;
        for (std::uint32_t i = 0; i < checked.archive.entries; ++i)
            containers.push_back(bip::is_well_formed(afs::entry_data(checked.archive, i)));
        const job::Plan plan = job::plan_unpack(checked.archive, containers);
        EXPECT_EQ(plan.refusal, row.refusal);
        if (row.refusal != job::Refusal::none) continue;
        std::vector<std::pair<Kind, std::string>> planned;
        for (const job::Planned& p : plan.entries) planned.emplace_back(p.kind, p.path);
        EXPECT_EQ(planned, row.planned);
        std::vector<job::NoteKind> notes;
        for (const job::Note& n : plan.notes) notes.push_back(n.kind);
        EXPECT_EQ(notes, row.notes);
    }
}

} // namespace
