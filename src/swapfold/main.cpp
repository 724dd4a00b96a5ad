// swapfold: checks an AFS archive, optionally writes every entry out as a file, and rebuilds
// the archive with entries replaced by same-named files from a directory.
//
// The archive work happens in memory (afs.hpp); this file does the file system side: the
// extraction directory, the replacement lookup and the write of the output. The run never
// changes its working directory, so every path it is given and every path it prints is
// taken from where it was started. Every name is tested before it is used as a path, and
// extraction creates each file relative to ja/, one directory at a time and never through a
// symbolic link, so an archive can never make the tool write outside ja/ or read outside en/.
//
// The output is written from its layout: the rebuilt tables from small blocks, the input's
// entry data from the input file, and each replacement from its file, opened only when its
// turn comes in the write, so that no number of replacements holds more than one of them
// open. Every output replaces its target only once complete, so out.afs may be in.afs or
// one of the replacements.
#include "afs.hpp"
#include "wholefile.hpp"

#include <cerrno>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using wholefile::fail;
using wholefile::printable;

constexpr int failed_check_status = 2;

using afs::is_unsafe;
using afs::names_a_file;

[[nodiscard]] std::string joined(std::string_view dir, std::string_view name) {
    std::string path(dir);
    if (!path.empty() && path.back() != '/') path += '/';
    path += name;
    return path;
}

void print_line(const char* arrow, std::string_view name) {
    wholefile::say("%s %s\n", arrow, printable(name).c_str());
}

// The condition's text is quoted as it has always been written (afs.cpp), C expression and
// all: scripts and users match on it.
void stop_on_failed_check(const char* condition) {
    wholefile::fail_with_status(failed_check_status, "failed check: %s\n", condition);
}

// The capacity check failed at `entry`, for the rebuilt archive or, when `extracting`, for
// the entries extraction would write.
[[noreturn]] void stop_over_capacity(bool extracting, const char* in_path, std::uint64_t size,
                                     const afs::Archive& archive, std::uint32_t entry) {
    const auto bytes = static_cast<unsigned long long>(size);
    const std::string in = printable(in_path);
    const std::string name = printable(afs::entry_name(archive, entry));
    if (extracting)
        wholefile::fail_with_status(
            failed_check_status,
            "failed check: off+size < out_size: the extracted entries would exceed four times "
            "the %llu bytes of '%s' (%llu bytes) at entry '%s'\n",
            bytes, in.c_str(), 4 * bytes, name.c_str());
    wholefile::fail_with_status(
        failed_check_status,
        "failed check: off+size < out_size: the rebuilt archive would exceed four times the "
        "%llu bytes of '%s' (%llu bytes) at entry '%s'\n",
        bytes, in.c_str(), 4 * bytes, name.c_str());
}

[[nodiscard]] std::optional<wholefile::FileId> id_at(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0) return std::nullopt;
    return wholefile::file_id(st);
}

// The replacement files found in en/, and for each entry the one it takes (null: none).
struct Replacements {
    int dir = -1;                  // en/, open once; -1 when it names no directory
    std::deque<std::string> paths; // deques, so that pointers into them stay valid
    std::deque<wholefile::Source> files;
    std::vector<afs::Replacement> by_entry;
    std::vector<std::string_view> names; // the entries they replace, in table order
    std::vector<wholefile::FileId> ids;  // the files, by identity
};

// What extraction must not write: the files the run reads or writes that exist (the input,
// the output, every replacement the rebuild will read), and every place the run's paths
// pass through: each name on the way to in.afs, out.afs, en/, ja/ and every replacement,
// every link on the way included, down to where the output and each replacement are or
// would be.
struct InUse {
    std::set<wholefile::FileId> files;
    std::set<wholefile::Spot> spots;

    void add(wholefile::FileId id) { files.insert(id); }
    [[nodiscard]] bool holds(const struct stat& st) const {
        return files.contains(wholefile::file_id(st));
    }
};

[[nodiscard]] InUse files_in_use(const afs::Archive& archive, int input_fd, const char* in_path,
                                 const char* out_path, const char* en, const char* ja,
                                 const Replacements& found) {
    InUse in_use;
    struct stat input {};
    if (::fstat(input_fd, &input) == 0) in_use.add(wholefile::file_id(input));
    if (const auto out = id_at(out_path)) in_use.add(*out);
    std::vector<wholefile::Spot> passed;
    // An output that cannot be reached is refused before anything is extracted.
    if (!wholefile::spots_of(AT_FDCWD, out_path, passed))
        fail("can't open '%s' for writing\n", printable(out_path).c_str());
    // The inputs and ja/ were reached a moment ago; wherever their walks end, every place
    // passed until then is in use.
    static_cast<void>(wholefile::spots_of(AT_FDCWD, in_path, passed));
    static_cast<void>(wholefile::spots_of(AT_FDCWD, ja, passed));
    for (const wholefile::FileId id : found.ids) in_use.add(id);
    if (found.dir >= 0) static_cast<void>(wholefile::spots_of(AT_FDCWD, en, passed));
    for (const std::string& path : found.paths)
        static_cast<void>(wholefile::spots_of(AT_FDCWD, path, passed));
    in_use.spots.insert(passed.begin(), passed.end());
    if (found.dir < 0) return in_use; // no en/: no replacement will be anywhere
    // Each replacement would be en/<name>: the way to its directory is walked once per
    // distinct directory part, which for most archives means en/ alone.
    std::map<std::string, std::optional<wholefile::FileId>> dirs;
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        if (afs::entry_record(archive, i).pos == 0) continue;
        const std::string_view name = afs::entry_name(archive, i);
        if (is_unsafe(name) || !names_a_file(name)) continue;
        const std::size_t slash = name.rfind('/');
        const std::string part(slash == std::string_view::npos ? "" : name.substr(0, slash));
        auto [at, fresh] = dirs.try_emplace(part);
        struct stat st {};
        if (fresh && !part.empty()) {
            passed.clear();
            static_cast<void>(wholefile::spots_of(found.dir, part, passed));
            in_use.spots.insert(passed.begin(), passed.end());
        }
        if (fresh && ::fstatat(found.dir, part.c_str(), &st, AT_EMPTY_PATH) == 0)
            at->second = wholefile::file_id(st);
        if (at->second) in_use.spots.insert({*at->second, std::string(name.substr(slash + 1))});
    }
    return in_use;
}

// Opens the directory that holds `name` inside `root`, one component at a time and never
// through a symbolic link, and leaves the last component in *leaf. A component that is a
// link is refused as an unsafe name; a missing one stops the run as an output that cannot
// be opened, in the fixed wording of any output the tool cannot open. The caller closes the
// result unless it is `root`.
[[nodiscard]] int open_parent(int root, std::string_view name, const std::string& shown,
                              std::string* leaf) {
    int dir = root;
    for (std::size_t start = 0;;) {
        const std::size_t slash = name.find('/', start);
        if (slash == std::string_view::npos) {
            *leaf = name.substr(start);
            return dir;
        }
        const std::string part(name.substr(start, slash - start));
        start = slash + 1;
        if (part.empty() || part == ".") continue;
        const int next = wholefile::open_directory(dir, part.c_str(), false);
        if (next < 0) {
            struct stat st {};
            if (::fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                fail("unsafe filename\n");
            fail("can't open '%s' for writing\n", printable(shown).c_str());
        }
        if (dir != root) ::close(dir);
        dir = next;
    }
}

// Creates ja/ when it is missing and opens it. ja/ may not be en/ under another name, for
// extraction would then write over the replacements. A ja/ made here goes again with any
// failure that leaves it empty.
// The wording "chdir failed" is fixed: it is the tool's established message for a ja/ that
// cannot be used, though the run never changes its working directory.
[[nodiscard]] int open_extraction_dir(const char* ja, const char* en) {
    static_cast<void>(wholefile::make_directory(ja)); // an existing directory is fine
    const int root = wholefile::open_directory(AT_FDCWD, ja, true);
    if (root < 0) fail("chdir failed\n");
    struct stat st {};
    const auto other = *en == '\0' ? std::nullopt : id_at(en);
    if (other && ::fstat(root, &st) == 0 && wholefile::file_id(st) == *other)
        fail("'%s' and '%s' are the same directory\n", printable(ja).c_str(),
             printable(en).c_str());
    return root;
}

// Writes every entry that has data into `ja`. A name is printed, then tested; one that would
// land on a file or a place in use stops the run before it is written, and one written
// earlier in the run is written again, with a warning.
void extract_entries(const afs::Archive& archive, int root, const char* ja,
                     const wholefile::Source& input, const InUse& in_use) {

    std::set<wholefile::FileId> written;
    struct stat root_st {};
    const bool root_known = ::fstat(root, &root_st) == 0;
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        if (afs::entry_record(archive, i).pos == 0) continue;
        const std::string_view name = afs::entry_name(archive, i);
        print_line("->", name);
        if (is_unsafe(name) || !names_a_file(name)) fail("unsafe filename\n");

        const std::string shown = joined(ja, name);
        std::string leaf;
        const int dir = open_parent(root, name, shown, &leaf);
        struct stat here {};
        wholefile::Found found;
        found.exists = ::fstatat(dir, leaf.c_str(), &found.st, AT_SYMLINK_NOFOLLOW) == 0;
        const struct stat& st = found.st;
        const bool is_file = found.exists && S_ISREG(st.st_mode);
        const bool here_known =
            dir == root ? (here = root_st, root_known) : ::fstat(dir, &here) == 0;
        if ((is_file && in_use.holds(st)) ||
            (here_known && in_use.spots.contains({wholefile::file_id(here), leaf})))
            fail("won't extract over '%s': this run reads or writes it\n",
                 printable(shown).c_str());
        if (is_file && written.contains(wholefile::file_id(st)))
            wholefile::warn("duplicate name '%s': its earlier entry is overwritten\n",
                            printable(shown).c_str());
        const std::span<const std::uint8_t> data = afs::entry_data(archive, i);
        const wholefile::Piece piece{data.data(), data.size()};
        const wholefile::FileId id = wholefile::write_file_in(dir, leaf.c_str(), shown.c_str(),
                                                              {&piece, 1}, {&input, 1}, &found);
        written.insert(id);
        if (dir != root) ::close(dir);
    }
}

// Finds the replacement of every entry that has data. Only a file that does not exist keeps
// the entry's data; one that exists but cannot be opened, is not a regular file or is empty
// stops the run. Each file is opened here only to learn that, and its size is kept: its data
// is read when the output is written. Nothing is printed yet: the run prints the
// replacements it takes after the entries it extracts.
void look_up_replacements(const afs::Archive& archive, const char* en, bool extracting,
                          Replacements& found) {
    // en/ is opened once, and a missing one means no file is looked up in it. One that is
    // there but cannot be opened is left to the lookups by path, which say why.
    int base = AT_FDCWD;
    if (*en != '\0') {
        found.dir = wholefile::open_directory(AT_FDCWD, en, true);
        if (found.dir >= 0) base = found.dir;
    }
    const bool none = *en == '\0' || (found.dir < 0 && (errno == ENOENT || errno == ENOTDIR));
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        if (afs::entry_record(archive, i).pos == 0) continue;
        const std::string_view name = afs::entry_name(archive, i);
        // With extraction, an unsafe name stops the run there, once its line is printed.
        if (is_unsafe(name) && extracting) continue;
        if (is_unsafe(name)) fail("unsafe filename\n");
        // An empty en/ names no directory, and such a name no file in it.
        if (none || !names_a_file(name)) continue;

        std::string path = joined(en, name);
        const std::string relative(name);
        const int fd = ::openat(base, base == AT_FDCWD ? path.c_str() : relative.c_str(),
                                O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        // The wording of the four messages below is fixed, shared with the inputs the tool
        // maps ("mmap can't open", "can't mmap"), though a replacement is read, never mapped.
        if (fd < 0) {
            if (errno == ENOENT || errno == ENOTDIR) continue;
            fail("mmap can't open '%s'\n", printable(path).c_str());
        }
        struct stat st {};
        const bool sized = ::fstat(fd, &st) == 0;
        ::close(fd);
        if (!sized) fail("can't get the size of '%s'\n", printable(path).c_str());
        if (S_ISDIR(st.st_mode)) fail("can't mmap '%s'\n", printable(path).c_str());
        if (!S_ISREG(st.st_mode) || st.st_size <= 0) fail("empty '%s'\n", printable(path).c_str());
        wholefile::note_read(wholefile::file_id(st));
        found.ids.push_back(wholefile::file_id(st));

        found.names.push_back(name);
        found.paths.push_back(std::move(path));
        found.files.push_back(
            {{}, -1, found.paths.back().c_str(), static_cast<std::uint64_t>(st.st_size)});
        if (found.by_entry.size() <= i) found.by_entry.resize(i + 1);
        found.by_entry[i] =
            wholefile::Piece{nullptr, found.files.back().size, &found.files.back(), 0};
    }
}

} // namespace

int main(int argc, char** argv) {
    wholefile::start_run(wholefile::StandardOutput::prints_lines);
    if (argc < 4 || argc > 5) // the usage line's wording is fixed
        fail("usage: %s in.afs out.afs en/ [ja/]\n", argc > 0 ? argv[0] : "swapfold");
    const char* const in_path = argv[1];
    const char* const out_path = argv[2];
    const char* const replacement_dir = argv[3];
    const char* const extraction_dir = argc == 5 ? argv[4] : nullptr;

    wholefile::check_output(out_path);
    int input_fd = -1;
    const std::span<std::uint8_t> input = wholefile::mmap_file(in_path, &input_fd);
    const wholefile::Source input_source{input, input_fd};
    try {
        const afs::Checked checked = afs::check_archive(input);
        // Fixed wording, its article included.
        if (checked.verdict == afs::Verdict::not_afs) fail("not a afs file\n");
        if (checked.verdict == afs::Verdict::failed_check) stop_on_failed_check(checked.failed);
        const afs::Archive& archive = checked.archive;

        // Every check runs before anything is written: a run that fails one leaves ja/ as
        // it was.
        Replacements replacements;
        look_up_replacements(archive, replacement_dir, extraction_dir != nullptr, replacements);
        const afs::Layout layout = afs::lay_out_rebuild(archive, replacements.by_entry);
        if (layout.over_capacity.has_value())
            stop_over_capacity(false, in_path, input.size(), archive, *layout.over_capacity);
        if (layout.failed != nullptr) stop_on_failed_check(layout.failed);

        if (extraction_dir != nullptr) {
            // Overlapping entries could make extraction write many times the archive's size:
            // it is held to the rebuild's own limit.
            if (const auto entry = afs::extraction_over_capacity(archive))
                stop_over_capacity(true, in_path, input.size(), archive, *entry);
            // ja/ is made first, so that the output's way through it is known.
            const int root = open_extraction_dir(extraction_dir, replacement_dir);
            const InUse in_use = files_in_use(archive, input_fd, in_path, out_path, replacement_dir,
                                              extraction_dir, replacements);
            extract_entries(archive, root, extraction_dir, input_source, in_use);
            ::close(root);
        }
        if (replacements.dir >= 0) ::close(replacements.dir); // each is opened by path again
        for (const std::string_view name : replacements.names) print_line("<-", name);

        wholefile::write_file(out_path, layout.pieces, {&input_source, 1});
    } catch (const std::bad_alloc&) {
        fail("out of memory\n");
    }
    wholefile::close_standard_output();
    return 0;
}
