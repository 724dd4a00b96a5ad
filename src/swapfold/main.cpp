// swapfold: checks an AFS archive, optionally writes every entry out as a file, and rebuilds
// the archive with entries replaced by same-named files from a directory.
//
// The archive work happens in memory (afs.hpp); this file does the file system side: the
// extraction directory, the replacement lookup and the single write of the output. Every
// name is tested before it is used as a path, so an archive can never make the tool read or
// write outside the directories it was given.
//
// The output is written from its layout: the rebuilt tables from small blocks and the entry
// data straight from the mapped input and replacements, so the archive is never copied into
// a buffer of its own. Every check has passed before out.afs is opened. Only when out.afs is
// itself one of the files the data comes from (truncating it would take the data away) is
// the archive first built in memory, as a whole.
#include "afs.hpp"
#include "wholefile.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int failed_check_status = 2;

[[nodiscard]] bool is_unsafe(std::string_view name) {
    return name.starts_with('/') || name.find("..") != std::string_view::npos;
}

void print_line(const char* arrow, std::string_view name) {
    std::printf("%s %.*s\n", arrow, static_cast<int>(name.size()), name.data());
}

void stop_on_failed_check(const char* condition) {
    wholefile::fail_with_status(failed_check_status, "failed check: %s\n", condition);
}

// Writes every entry that has data into `dir`, then returns to the directory the run started
// in (held open by descriptor, so a path such as a/b or a symbolic link changes nothing).
void extract_entries(const swapfold::Archive& archive, const char* dir) {
    const int start = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::mkdir(dir, 0755); // an existing directory is fine
    if (start < 0 || ::chdir(dir) != 0) wholefile::fail("chdir failed\n");

    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        if (swapfold::entry_record(archive, i).pos == 0) continue;
        const std::string name(swapfold::entry_name(archive, i));
        print_line("->", name);
        if (is_unsafe(name)) wholefile::fail("unsafe filename\n");
        wholefile::write_file(name.c_str(), swapfold::entry_data(archive, i));
    }

    std::fflush(stdout);
    if (::fchdir(start) != 0) wholefile::fail("chdir failed\n");
    ::close(start);
}

// The identity of an existing file, to tell whether out.afs is one of the sources.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId&) const = default;
};

[[nodiscard]] std::optional<FileId> file_id(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

// The same for the file open as `fd`, which mmap_file() has already queried once.
[[nodiscard]] FileId file_id(int fd, const char* path) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) wholefile::fail("can't get the size of '%s'\n", path);
    return FileId{st.st_dev, st.st_ino};
}

// Maps the replacement of every entry that has one. Only a file that does not exist keeps the
// entry's data; one that exists but cannot be opened or is empty stops the run. The mappings
// stay untouched until the output is written from them, so they cost no memory before then.
// Adds the identity of every file mapped to `sources`.
void map_replacements(const swapfold::Archive& archive, const char* dir,
                      std::vector<swapfold::Replacement>& replacements,
                      std::vector<FileId>& sources) {
    replacements.assign(archive.entries, std::nullopt);
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        if (swapfold::entry_record(archive, i).pos == 0) continue;
        const std::string_view name = swapfold::entry_name(archive, i);
        if (is_unsafe(name)) wholefile::fail("unsafe filename\n");

        std::string path(dir);
        path += '/';
        path += name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT || errno == ENOTDIR) continue;
            wholefile::fail("mmap can't open '%s'\n", path.c_str());
        }
        ::close(fd);

        print_line("<-", name);
        const std::span<std::uint8_t> mapping = wholefile::mmap_file(path.c_str());
        if (const auto id = file_id(path.c_str())) sources.push_back(*id);
        replacements[i] = std::span<const std::uint8_t>(mapping);
    }
}

[[nodiscard]] bool is_one_of(const char* path, const std::vector<FileId>& sources) {
    const std::optional<FileId> id = file_id(path);
    return id && std::find(sources.begin(), sources.end(), *id) != sources.end();
}

// Writes the rebuilt archive to `path`, from its layout unless `path` is one of the sources.
// Entry data from the input is copied from `input`'s file.
void write_archive(const char* path, const swapfold::Archive& archive,
                   std::span<const swapfold::Replacement> replacements,
                   const wholefile::Source& input, const std::vector<FileId>& sources) {
    try {
        if (is_one_of(path, sources)) {
            const swapfold::Rebuilt rebuilt = swapfold::rebuild_archive(archive, replacements);
            if (rebuilt.failed != nullptr) stop_on_failed_check(rebuilt.failed);
            wholefile::write_file(path, rebuilt.bytes);
            return;
        }
        const swapfold::Layout layout = swapfold::lay_out_rebuild(archive, replacements);
        if (layout.failed != nullptr) stop_on_failed_check(layout.failed);
        wholefile::write_file(path, layout.pieces, {&input, 1});
    } catch (const std::bad_alloc&) {
        wholefile::fail("out of memory\n");
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) wholefile::fail("usage: %s in.afs out.afs en/ [ja/]\n", argv[0]);
    const char* const in_path = argv[1];
    const char* const out_path = argv[2];
    const char* const replacement_dir = argv[3];
    const char* const extraction_dir = argc == 5 ? argv[4] : nullptr;

    int input_fd = -1;
    const std::span<std::uint8_t> input = wholefile::mmap_file(in_path, &input_fd);
    std::vector<FileId> sources = {file_id(input_fd, in_path)};
    const swapfold::Checked checked = swapfold::check_archive(input);
    if (checked.verdict == swapfold::Verdict::not_afs) wholefile::fail("not a afs file\n");
    if (checked.verdict == swapfold::Verdict::failed_check) stop_on_failed_check(checked.failed);
    const swapfold::Archive& archive = checked.archive;

    if (extraction_dir != nullptr) extract_entries(archive, extraction_dir);

    std::vector<swapfold::Replacement> replacements;
    map_replacements(archive, replacement_dir, replacements, sources);

    write_archive(out_path, archive, replacements, {input, input_fd}, sources);
    return 0;
}
