// bipafs pack: the archive an unpacked directory came from, rebuilt with the directory's
// changed files in it.
//
// Every refusal comes before anything is written: the archive must be the one unpacked
// (its size and tables as the record holds them), the directory must hold exactly the files
// unpack wrote (none unknown, none missing, none left empty whose entry had data, none
// turned into a link or anything but a regular file, which pack would read through), and the
// output may be neither the archive nor a file inside the directory. An unchanged entry is
// copied from the archive byte for byte, a changed container compressed again and checked
// by restoring it, a changed plain file taken as it is; then the layout's own checks run, and
// the new archive is written through the one output path every tool uses. Recompressed
// containers wait in a scratch file, and every copied range is read from its file when the
// output is written, so memory does not grow with the archive or with what changed.
#include "bip.hpp"
#include "commands.hpp"
#include "entries.hpp"

#include <algorithm>
#include <cinttypes>
#include <deque>
#include <optional>
#include <string>

namespace bipafs {

namespace {

using wholefile::printable;

// The archive the record names, checked to be the one unpacked.
[[nodiscard]] afs::Archive original(const Unpacked& unpacked, const char* dir,
                                    wholefile::Source* source) {
    const char* const path = unpacked.archive_path.c_str();
    if (wholefile::probe(wholefile::Directory::working(), path).result == wholefile::Probe::missing)
        wholefile::fail("'%s' is gone: '%s' was unpacked from it\n", printable(path).c_str(),
                        printable(dir).c_str());
    int fd = -1;
    const std::span<std::uint8_t> input = wholefile::mmap_file(path, &fd);
    afs::Archive archive = entries::checked_archive(input);
    if (input.size() != unpacked.record.archive_size || job::tables_of(archive) != unpacked.tables)
        wholefile::fail("'%s' has changed since '%s' was unpacked from it\n",
                        printable(path).c_str(), printable(dir).c_str());
    // Read from the file alone when the output is written, never through the mapping, whose
    // pages would then stay with the run.
    *source = {{}, fd, nullptr, input.size()};
    return archive;
}

// Refuses an output that is the archive itself, or a file inside the directory, however
// either is named.
void refuse_output(const char* out, const char* dir, const wholefile::Source& archive,
                   const Found& inside, wholefile::FileId root) {
    const auto id = wholefile::identity(out);
    if (id && id == wholefile::identity(archive.fd))
        wholefile::fail("won't write over '%s': it is the archive '%s' was unpacked from\n",
                        printable(out).c_str(), printable(dir).c_str());
    std::vector<wholefile::Spot> passed;
    const bool reached = wholefile::spots_of(wholefile::Directory::working(), out, passed);
    const bool lands_inside = reached && !passed.empty() &&
                              (passed.back().dir == root || inside.ids.contains(passed.back().dir));
    if (lands_inside || (id && inside.ids.contains(*id)))
        wholefile::fail("won't write '%s': it is inside '%s'\n", printable(out).c_str(),
                        printable(dir).c_str());
}

} // namespace

void pack(const char* dir, const char* out) {
    wholefile::check_output(out);
    const Unpacked unpacked = read_record(dir);
    wholefile::Source archive_source;
    const afs::Archive archive = original(unpacked, dir, &archive_source);
    const Found inside = find_files(unpacked.root);
    refuse_output(out, dir, archive_source, inside, unpacked.root.id());

    // Every file that cannot go in is named, and then nothing is written.
    const Compared compared = compare(unpacked, inside, dir);
    std::uint32_t refused = 0;
    for (std::size_t i = 0; i < compared.entries.size(); ++i) {
        const std::string shown = printable(shown_in(dir, unpacked.paths[i]));
        if (compared.entries[i] == Now::missing)
            wholefile::warn("'%s' is missing\n", shown.c_str());
        else if (compared.entries[i] == Now::emptied)
            wholefile::warn("'%s' is empty, and its entry has data\n", shown.c_str());
        else if (compared.entries[i] == Now::not_a_file)
            wholefile::warn("'%s' is not a regular file\n", shown.c_str());
        else
            continue;
        ++refused;
    }
    for (const std::string& path : compared.unknown) {
        wholefile::warn("'%s' matches no entry\n", printable(shown_in(dir, path)).c_str());
        ++refused;
    }
    if (refused > 0)
        wholefile::fail("nothing written to '%s': the files named above can't be packed\n",
                        printable(out).c_str());

    // What each entry holds: its own bytes from the archive, or its changed file.
    std::optional<wholefile::Scratch> scratch; // made when a container is compressed again
    std::deque<std::string> paths; // the changed plain files, read when the output is written
    std::deque<wholefile::Source> files;
    std::vector<afs::Replacement> pieces(archive.entries);
    std::uint32_t changed = 0, recompressed = 0;
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        const afs::Record record = afs::entry_record(archive, i);
        if (record.pos == 0) continue;
        pieces[i] = wholefile::Piece{nullptr, record.len, &archive_source, record.pos};
        if (compared.entries[i] != Now::changed) continue;
        ++changed;
        const std::string shown = shown_in(dir, unpacked.paths[i]);
        const wholefile::Mapping file =
            wholefile::map_in(unpacked.root, unpacked.paths[i], shown.c_str());
        if (unpacked.record.entries[i].kind == job::Kind::restored) {
            const bip::Container container = bip::build_container(file.bytes());
            if (container.status == bip::BuildStatus::too_large)
                wholefile::fail("too large to compress (2 GiB or more) '%s'\n",
                                printable(shown).c_str());
            if (container.status != bip::BuildStatus::built)
                wholefile::fail("out of memory for '%s'\n", printable(shown).c_str());
            const bip::Outcome check = bip::restore(container.bytes());
            if (check.status != bip::Status::restored || check.sizes_differ() ||
                !std::equal(check.content().begin(), check.content().end(), file.bytes().begin(),
                            file.bytes().end()))
                wholefile::fail("the container made of '%s' does not restore it\n",
                                printable(shown).c_str());
            if (!scratch)
                scratch.emplace(unpacked.root, shown_in(dir, std::string(job::record_dir)).c_str());
            const std::uint64_t at = scratch->append(container.bytes());
            pieces[i] = wholefile::Piece{nullptr, container.size, &scratch->source(), at};
            ++recompressed;
        } else {
            paths.push_back(shown);
            files.push_back({{}, -1, paths.back().c_str(), file.bytes().size()});
            pieces[i] = wholefile::Piece{nullptr, file.bytes().size(), &files.back(), 0};
        }
    }

    const afs::Layout layout = afs::lay_out_rebuild(archive, pieces);
    if (layout.over_capacity)
        entries::stop_over_capacity(false, unpacked.archive_path.c_str(), archive_source.size,
                                    archive, *layout.over_capacity);
    if (layout.failed != nullptr) entries::stop_on_failed_check(layout.failed);
    wholefile::write_file(out, layout.pieces, {&archive_source, 1});
    wholefile::say("packed %s: %" PRIu32 " of %" PRIu32 " entries changed (%" PRIu32
                   " recompressed)\n",
                   printable(out).c_str(), changed, compared.files, recompressed);
}

} // namespace bipafs
