// bipafs unpack: every entry of an archive as a file in a new directory, containers
// restored, and the record that status and pack read.
//
// Everything is checked before anything is written: the archive as swapfold checks it,
// every name, and the directory, which must be new or empty. The plan (job.hpp) decides
// which file each entry becomes; the entries library writes each one, making the
// directories its path needs and never following a link. The record goes last, so that a
// directory whose unpack failed holds none, and pack refuses it.
#include "bip.hpp"
#include "commands.hpp"
#include "entries.hpp"

#include <cinttypes>
#include <cstdio>
#include <set>
#include <string>

namespace bipafs {

namespace {

using wholefile::Directory;
using wholefile::printable;

// Opens `dir`, made here when it does not exist; one that holds anything is refused.
[[nodiscard]] Directory open_new_directory(const char* dir) {
    if (!wholefile::look_at(Directory::working(), dir).exists() && !wholefile::make_directory(dir))
        wholefile::fail_because(wholefile::last_error(), "can't make the directory '%s'", dir);
    Directory root = wholefile::open_directory(Directory::working(), dir, true);
    if (!root.is_open())
        wholefile::fail_because(wholefile::last_error(), "can't open the directory '%s'", dir);
    const auto names = wholefile::list_directory(root);
    if (!names)
        wholefile::fail_because(wholefile::last_error(), "can't read the directory '%s'", dir);
    if (!names->empty())
        wholefile::fail("won't unpack into '%s': it is not empty\n", printable(dir).c_str());
    return root;
}

// One warning for each entry that does not become the file of its own name.
void warn_of(const job::Plan& plan, const afs::Archive& archive, const char* dir) {
    for (const job::Note& note : plan.notes) {
        const std::string shown = printable(shown_in(dir, note.path));
        const std::string name = printable(afs::entry_name(archive, note.entry));
        switch (note.kind) {
        case job::NoteKind::not_a_container:
            wholefile::warn("'%s' is not a well-formed container: unpacked as it is\n",
                            shown.c_str());
            break;
        case job::NoteKind::no_restored_name:
            wholefile::warn("'%s' is unpacked as it is: without .bip its name names no file\n",
                            shown.c_str());
            break;
        case job::NoteKind::restored_taken:
            wholefile::warn("entry '%s' is unpacked as it is: '%s' is entry %" PRIu32 "'s\n",
                            name.c_str(), shown.c_str(), note.by);
            break;
        case job::NoteKind::taken:
            wholefile::warn("duplicate name '%s': entry %" PRIu32
                            " gets no file and is packed as it was\n",
                            shown.c_str(), note.entry);
            break;
        }
    }
}

} // namespace

std::string shown_in(const char* dir, const std::string& path) {
    return entries::joined(dir, path);
}

void unpack(const char* path, const char* dir) {
    int fd = -1;
    const std::span<std::uint8_t> input = wholefile::mmap_file(path, &fd);
    const wholefile::Source source{input, fd};
    const afs::Archive archive = entries::checked_archive(input);
    // The checks swapfold runs before it extracts: the rebuilt layout's, and extraction held
    // to the rebuild's limit.
    {
        const afs::Layout layout = afs::lay_out_rebuild(archive, {});
        if (layout.over_capacity)
            entries::stop_over_capacity(false, path, input.size(), archive, *layout.over_capacity);
        if (layout.failed != nullptr) entries::stop_on_failed_check(layout.failed);
        if (const auto entry = afs::extraction_over_capacity(archive))
            entries::stop_over_capacity(true, path, input.size(), archive, *entry);
    }
    // Which entries hold containers, each looked through and its pages given back, so that
    // the run never holds more of the archive than one entry.
    std::vector<bool> containers(archive.entries);
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        if (!afs::entry_name(archive, i).ends_with(".bip")) continue;
        const std::span<const std::uint8_t> data = afs::entry_data(archive, i);
        containers[i] = bip::is_well_formed(data);
        wholefile::release(data);
    }
    const job::Plan plan = job::plan_unpack(archive, containers);
    if (plan.refusal == job::Refusal::unsafe_name) wholefile::fail("unsafe filename\n");
    for (const job::Planned& planned : plan.entries)
        if (!entries::system_can_hold(planned.path)) wholefile::fail("unsafe filename\n");
    if (plan.refusal == job::Refusal::record_name)
        wholefile::fail("won't unpack entry '%s': bipafs keeps its record in '%s'\n",
                        printable(afs::entry_name(archive, plan.refused)).c_str(),
                        printable(shown_in(dir, std::string(job::record_dir))).c_str());

    const Directory root = open_new_directory(dir);
    warn_of(plan, archive, dir);
    entries::InUse in_use; // the archive itself, and the way to it
    if (const auto id = wholefile::identity(fd)) in_use.add(*id);
    static_cast<void>(in_use.add_path(path));

    std::vector<job::Recorded> recorded(archive.entries);
    std::set<wholefile::FileId> written;
    std::uint32_t files = 0, restored = 0;
    std::uint64_t bytes = 0;
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        const job::Planned& planned = plan.entries[i];
        job::Recorded& r = recorded[i];
        r.kind = planned.kind;
        if (planned.kind == job::Kind::file || planned.kind == job::Kind::restored) {
            const std::span<const std::uint8_t> data = afs::entry_data(archive, i);
            const std::string shown = shown_in(dir, planned.path);
            bip::Outcome outcome;
            std::span<const std::uint8_t> content = data;
            if (planned.kind == job::Kind::restored) {
                outcome = bip::restore(data);
                if (outcome.status != bip::Status::restored)
                    wholefile::fail("can't allocate %" PRIu64 " bytes for '%s'\n", outcome.capacity,
                                    printable(shown).c_str());
                content = outcome.content();
            }
            const wholefile::Piece piece{content.data(), content.size()};
            if (entries::write_entry(root, planned.path, shown, {&piece, 1}, {&source, 1}, in_use,
                                     written, true, entries::Again::keep_first)) {
                r.size = content.size();
                r.digest = job::digest(content);
                ++files;
                if (planned.kind == job::Kind::restored) ++restored;
            } else {
                // A file system that takes two names for one: the first entry keeps it.
                wholefile::warn("duplicate name '%s': entry %" PRIu32
                                " gets no file and is packed as it was\n",
                                printable(shown).c_str(), i);
                r.kind = job::Kind::kept;
            }
            wholefile::release(data);
            bytes += content.size();
        }
        wholefile::progress(i + 1, archive.entries, bytes);
    }

    // The record, last: which archive, its tables, and what became of each entry.
    const std::string record = shown_in(dir, std::string(job::record_dir));
    const Directory kept = wholefile::make_directory_in(root, job::record_dir);
    if (!kept.is_open())
        wholefile::fail_because(wholefile::last_error(), "can't open '%s' for writing",
                                record.c_str());
    const std::string at = wholefile::absolute_path(path);
    const std::vector<std::uint8_t> tables = job::tables_of(archive);
    const std::string text = job::format_record(input.size(), recorded);
    const wholefile::Piece parts[] = {
        {reinterpret_cast<const std::uint8_t*>(at.data()), at.size()},
        {tables.data(), tables.size()},
        {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()},
    };
    const char* const names[] = {job::record_archive, job::record_tables, job::record_entries};
    for (int k = 0; k < 3; ++k) {
        const std::string shown = entries::joined(record, names[k]);
        wholefile::write_file_in(kept, names[k], shown.c_str(), {&parts[k], 1});
    }
    wholefile::end_progress();
    wholefile::say("unpacked %" PRIu32 " entries into %s (%" PRIu32 " restored from .bip)\n", files,
                   printable(dir).c_str(), restored);
}

} // namespace bipafs
