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
#include "entries.hpp"
#include "wholefile.hpp"

#include <cstdint>
#include <new>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>

namespace {

using wholefile::fail;
using wholefile::printable;

using afs::is_unsafe;
using afs::names_a_file;

void print_line(const char* arrow, std::string_view name) {
    wholefile::say("%s %s\n", arrow, printable(name).c_str());
}

// The files and places extraction must not write over: in.afs, out.afs and every
// replacement, and every name their paths and those of en/ and ja/ pass through. An output
// that cannot be reached is refused before anything is extracted.
[[nodiscard]] entries::InUse files_in_use(const afs::Archive& archive, int input_fd,
                                          const char* in_path, const char* out_path, const char* ja,
                                          const entries::Replacements& found) {
    entries::InUse in_use;
    if (const auto input = wholefile::identity(input_fd)) in_use.add(*input);
    if (const auto out = wholefile::identity(out_path)) in_use.add(*out);
    if (!in_use.add_path(out_path))
        fail("can't open '%s' for writing\n", printable(out_path).c_str());
    // The input and ja/ were reached a moment ago; wherever their walks end, every place
    // passed until then is in use.
    static_cast<void>(in_use.add_path(in_path));
    static_cast<void>(in_use.add_path(ja));
    in_use.add_replacements(archive, found);
    return in_use;
}

// Creates ja/ when it is missing and opens it. ja/ may not be en/ under another name, for
// extraction would then write over the replacements. A ja/ made here goes again with any
// failure that leaves it empty.
// The wording "chdir failed" is fixed: it is the tool's established message for a ja/ that
// cannot be used, though the run never changes its working directory.
[[nodiscard]] wholefile::Directory open_extraction_dir(const char* ja, const char* en) {
    static_cast<void>(wholefile::make_directory(ja)); // an existing directory is fine
    wholefile::Directory root =
        wholefile::open_directory(wholefile::Directory::working(), ja, true);
    if (!root.is_open()) fail("chdir failed\n");
    const auto other = *en == '\0' ? std::nullopt : wholefile::identity(en);
    if (other && root.id() == *other)
        fail("'%s' and '%s' are the same directory\n", printable(ja).c_str(),
             printable(en).c_str());
    return root;
}

// Writes every entry that has data into `ja`. A name is printed, then tested; one that would
// land on a file or a place in use stops the run before it is written, and one written
// earlier in the run is written again, with a warning.
void extract_entries(const afs::Archive& archive, const wholefile::Directory& root, const char* ja,
                     const wholefile::Source& input, const entries::InUse& in_use) {
    std::set<wholefile::FileId> written;
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        if (afs::entry_record(archive, i).pos == 0) continue;
        const std::string_view name = afs::entry_name(archive, i);
        print_line("->", name);
        if (is_unsafe(name) || !names_a_file(name)) fail("unsafe filename\n");
        const std::span<const std::uint8_t> data = afs::entry_data(archive, i);
        const wholefile::Piece piece{data.data(), data.size()};
        entries::write_entry(root, name, entries::joined(ja, name), {&piece, 1}, {&input, 1},
                             in_use, written, false, entries::Again::overwrite);
    }
}

} // namespace

int main(int argc, char** argv) {
    wholefile::start_run(argc, argv, wholefile::StandardOutput::prints_lines);
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
        const afs::Archive archive = entries::checked_archive(input);

        // Every check runs before anything is written: a run that fails one leaves ja/ as
        // it was.
        entries::Replacements replacements;
        entries::look_up_replacements(archive, replacement_dir, extraction_dir != nullptr,
                                      replacements);
        const afs::Layout layout = afs::lay_out_rebuild(archive, replacements.by_entry);
        if (layout.over_capacity.has_value())
            entries::stop_over_capacity(false, in_path, input.size(), archive,
                                        *layout.over_capacity);
        if (layout.failed != nullptr) entries::stop_on_failed_check(layout.failed);
        // A name this system cannot hold as a file is refused once the archive has passed its
        // checks, before anything is looked at or written under it (always held on POSIX
        // systems).
        entries::refuse_names_the_system_cannot_hold(archive);

        if (extraction_dir != nullptr) {
            // Overlapping entries could make extraction write many times the archive's size:
            // it is held to the rebuild's own limit.
            if (const auto entry = afs::extraction_over_capacity(archive))
                entries::stop_over_capacity(true, in_path, input.size(), archive, *entry);
            // ja/ is made first, so that the output's way through it is known.
            const wholefile::Directory root = open_extraction_dir(extraction_dir, replacement_dir);
            const entries::InUse in_use =
                files_in_use(archive, input_fd, in_path, out_path, extraction_dir, replacements);
            extract_entries(archive, root, extraction_dir, input_source, in_use);
        }
        replacements.dir = {}; // each is opened by path again
        for (const std::string_view name : replacements.names) print_line("<-", name);

        wholefile::write_file(out_path, layout.pieces, {&input_source, 1});
    } catch (const std::bad_alloc&) {
        fail("out of memory\n");
    }
    wholefile::close_standard_output();
    return 0;
}
