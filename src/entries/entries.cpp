// Entries as files: the replacement lookup, what a run uses, and writing an entry's file one
// directory at a time; see entries.hpp for the design.
#include "entries.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <utility>

namespace entries {

namespace {

using wholefile::Directory;
using wholefile::fail;
using wholefile::Kind;
using wholefile::printable;

// The directory that holds an entry's file: `root` itself, or one opened on the way.
class Parent {
public:
    explicit Parent(const Directory& root) : root_(root) {}
    [[nodiscard]] const Directory& get() const { return own_.is_open() ? own_ : root_; }
    void step_into(Directory next) { own_ = std::move(next); }

private:
    const Directory& root_;
    Directory own_;
};

// Opens, into `parent`, the directory that holds `name` inside its root, one component at a
// time and never through a symbolic link, making those that are missing when `make` is
// set, and leaves the last component in *leaf. A component that is a link is refused as an
// unsafe name; one that is missing (or cannot be made) stops the run as an output that
// cannot be opened, in the fixed wording of any output the tools cannot open.
void open_parent(Parent& parent, std::string_view name, const std::string& shown, bool make,
                 std::string* leaf) {
    for (std::size_t start = 0;;) {
        const std::size_t slash = name.find('/', start);
        if (slash == std::string_view::npos) {
            *leaf = name.substr(start);
            return;
        }
        const std::string_view part = name.substr(start, slash - start);
        start = slash + 1;
        if (part.empty() || part == ".") continue;
        Directory next = wholefile::open_directory(parent.get(), part, false);
        if (!next.is_open() && make) next = wholefile::make_directory_in(parent.get(), part);
        if (!next.is_open()) {
            if (wholefile::look_at(parent.get(), part).kind == Kind::link)
                fail("unsafe filename\n");
            fail("can't open '%s' for writing\n", printable(shown).c_str());
        }
        parent.step_into(std::move(next));
    }
}

} // namespace

afs::Archive checked_archive(std::span<const std::uint8_t> bytes) {
    afs::Checked checked = afs::check_archive(bytes);
    // Fixed wording, its article included.
    if (checked.verdict == afs::Verdict::not_afs) fail("not a afs file\n");
    if (checked.verdict == afs::Verdict::failed_check) stop_on_failed_check(checked.failed);
    return std::move(checked.archive);
}

// The condition's text is quoted as it has always been written (afs.cpp), C expression and
// all: scripts and users match on it.
void stop_on_failed_check(const char* condition) {
    wholefile::fail_with_status(failed_check_status, "failed check: %s\n", condition);
}

void stop_over_capacity(bool extracting, const char* in_path, std::uint64_t size,
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

bool system_can_hold(std::string_view name) {
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t slash = std::min(name.find('/', start), name.size());
        const std::string_view part = name.substr(start, slash - start);
        if (!part.empty() && part != "." && !wholefile::can_name(part)) return false;
        start = slash + 1;
    }
    return true;
}

void refuse_names_the_system_cannot_hold(const afs::Archive& archive) {
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        if (afs::entry_record(archive, i).pos == 0) continue;
        const std::string_view name = afs::entry_name(archive, i);
        if (afs::is_unsafe(name) || !afs::names_a_file(name)) continue;
        if (!system_can_hold(name)) fail("unsafe filename\n");
    }
}

std::string joined(std::string_view dir, std::string_view name) {
    std::string path(dir);
    if (!path.empty() && path.back() != '/') path += '/';
    path += name;
    return path;
}

void look_up_replacements(const afs::Archive& archive, const char* en, bool unsafe_later,
                          Replacements& found) {
    // The directory is opened once, and a missing one means no file is looked up in it. One
    // that is there but cannot be opened is left to the lookups by path, which say why.
    found.en = en;
    bool none = *en == '\0';
    if (!none) {
        found.dir = wholefile::open_directory(Directory::working(), en, true);
        none = !found.dir.is_open() && wholefile::means_missing(wholefile::last_error());
    }
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        if (afs::entry_record(archive, i).pos == 0) continue;
        const std::string_view name = afs::entry_name(archive, i);
        if (afs::is_unsafe(name) && unsafe_later) continue;
        if (afs::is_unsafe(name)) fail("unsafe filename\n");
        // An empty en/ names no directory, and such a name no file in it.
        if (none || !afs::names_a_file(name) || !system_can_hold(name)) continue;

        std::string path = joined(en, name);
        const wholefile::Probed probed = found.dir.is_open()
                                             ? wholefile::probe(found.dir, name)
                                             : wholefile::probe(Directory::working(), path);
        // The wording of the four messages below is fixed, shared with the inputs the tools
        // map ("mmap can't open", "can't mmap"), though a replacement is read, never mapped.
        switch (probed.result) {
        case wholefile::Probe::missing:
            continue;
        case wholefile::Probe::cannot_open:
            fail("mmap can't open '%s'\n", printable(path).c_str());
        case wholefile::Probe::cannot_size:
            fail("can't get the size of '%s'\n", printable(path).c_str());
        case wholefile::Probe::found:
            break;
        }
        const wholefile::Found& file = probed.found;
        if (file.kind == Kind::directory) fail("can't mmap '%s'\n", printable(path).c_str());
        if (file.kind != Kind::file || file.size == 0)
            fail("empty '%s'\n", printable(path).c_str());
        wholefile::note_read(file.id);
        found.ids.push_back(file.id);

        found.names.push_back(name);
        found.paths.push_back(std::move(path));
        found.files.push_back({{}, -1, found.paths.back().c_str(), file.size});
        if (found.by_entry.size() <= i) found.by_entry.resize(i + 1);
        found.by_entry[i] = wholefile::Piece{nullptr, file.size, &found.files.back(), 0};
    }
}

bool InUse::add_path(std::string_view path) {
    std::vector<wholefile::Spot> passed;
    const bool reached = wholefile::spots_of(Directory::working(), path, passed);
    spots_.insert(passed.begin(), passed.end());
    return reached;
}

void InUse::add_replacements(const afs::Archive& archive, const Replacements& found) {
    for (const wholefile::FileId id : found.ids) add(id);
    for (const std::string& path : found.paths) static_cast<void>(add_path(path));
    if (!found.dir.is_open()) return; // no en/: no replacement will be anywhere
    static_cast<void>(add_path(found.en));
    // Each replacement would be en/<name>: the way to its directory is walked once per
    // distinct directory part, which for most archives means en/ alone.
    std::map<std::string, std::optional<wholefile::FileId>, std::less<>> dirs;
    std::vector<wholefile::Spot> passed;
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        if (afs::entry_record(archive, i).pos == 0) continue;
        const std::string_view name = afs::entry_name(archive, i);
        if (afs::is_unsafe(name) || !afs::names_a_file(name) || !system_can_hold(name)) continue;
        const std::size_t slash = name.rfind('/');
        const std::string_view part =
            slash == std::string_view::npos ? std::string_view{} : name.substr(0, slash);
        auto at = dirs.find(part);
        if (at == dirs.end()) {
            passed.clear();
            if (!part.empty()) static_cast<void>(wholefile::spots_of(found.dir, part, passed));
            spots_.insert(passed.begin(), passed.end());
            at = dirs.emplace(std::string(part), wholefile::identity(found.dir, part)).first;
        }
        if (at->second) spots_.insert(wholefile::spot(*at->second, name.substr(slash + 1)));
    }
}

bool InUse::holds(const wholefile::Found& at, const Directory& dir, std::string_view leaf) const {
    return (at.kind == Kind::file && files_.contains(at.id)) ||
           spots_.contains(wholefile::spot(dir.id(), leaf));
}

bool write_entry(const Directory& root, std::string_view name, const std::string& shown,
                 std::span<const wholefile::Piece> pieces,
                 std::span<const wholefile::Source> sources, const InUse& in_use,
                 std::set<wholefile::FileId>& written, bool make_directories, Again again) {
    if (!system_can_hold(name)) fail("unsafe filename\n");
    Parent parent(root);
    std::string leaf;
    open_parent(parent, name, shown, make_directories, &leaf);
    const Directory& dir = parent.get();
    const wholefile::Found found = wholefile::look_at(dir, leaf);
    if (in_use.holds(found, dir, leaf))
        fail("won't extract over '%s': this run reads or writes it\n", printable(shown).c_str());
    if (found.kind == Kind::file && written.contains(found.id)) {
        if (again == Again::keep_first) return false;
        wholefile::warn("duplicate name '%s': its earlier entry is overwritten\n",
                        printable(shown).c_str());
    }
    written.insert(
        wholefile::write_file_in(dir, leaf.c_str(), shown.c_str(), pieces, sources, &found));
    return true;
}

} // namespace entries
