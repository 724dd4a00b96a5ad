// What status and pack share: the record an unpack left, the files in its directory now, and
// their comparison, by content (each file's size and digest against those the record holds),
// never by time.
#include "commands.hpp"
#include "entries.hpp"

#include <string_view>

namespace bipafs {

namespace {

using wholefile::Directory;
using wholefile::Kind;
using wholefile::printable;

[[nodiscard]] std::string text_of(const wholefile::Mapping& mapping) {
    const std::span<const std::uint8_t> bytes = mapping.bytes();
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void walk(const Directory& dir, const std::string& prefix, Found& found) {
    const auto names = wholefile::list_directory(dir);
    if (!names)
        wholefile::fail_because(wholefile::last_error(), "can't read the directory '%s'",
                                prefix.c_str());
    for (const wholefile::Named& n : *names) {
        if (prefix.empty() && n.name == job::record_dir) continue;
        const std::string path = prefix + n.name;
        found.ids.insert(n.found.id);
        if (n.found.kind != Kind::directory) {
            found.files.emplace(path, n.found.kind);
            continue;
        }
        const Directory sub = wholefile::open_directory(dir, n.name, false);
        if (!sub.is_open())
            wholefile::fail_because(wholefile::last_error(), "can't open the directory '%s'",
                                    path.c_str());
        walk(sub, path + "/", found);
    }
}

} // namespace

Unpacked read_record(const char* dir) {
    Unpacked unpacked;
    unpacked.root = wholefile::open_directory(Directory::working(), dir, true);
    if (!unpacked.root.is_open())
        wholefile::fail_because(wholefile::last_error(), "can't open the directory '%s'", dir);
    const std::string record = shown_in(dir, std::string(job::record_dir));
    const Directory kept = wholefile::open_directory(unpacked.root, job::record_dir, false);
    if (!kept.is_open())
        wholefile::fail("'%s' holds no record of an unpack: no '%s' in it\n",
                        printable(dir).c_str(), printable(record).c_str());
    const auto read = [&](const char* name) {
        return wholefile::map_in(kept, name, entries::joined(record, name).c_str());
    };
    unpacked.archive_path = text_of(read(job::record_archive));
    const wholefile::Mapping tables = read(job::record_tables);
    unpacked.tables.assign(tables.bytes().begin(), tables.bytes().end());
    const std::string text = text_of(read(job::record_entries));
    auto archive = job::archive_of_tables(unpacked.tables);
    std::optional<job::Record> parsed;
    if (archive) parsed = job::parse_record(text, archive->entries);
    if (!parsed || unpacked.archive_path.empty())
        wholefile::fail("the record in '%s' is damaged\n", printable(record).c_str());
    unpacked.archive = std::move(*archive);
    unpacked.record = std::move(*parsed);
    unpacked.paths = job::paths_of(unpacked.archive, unpacked.record.entries);
    return unpacked;
}

Found find_files(const Directory& root) {
    Found found;
    walk(root, "", found);
    return found;
}

Compared compare(const Unpacked& unpacked, const Found& now, const char* dir) {
    Compared compared;
    compared.entries.assign(unpacked.paths.size(), Now::same);
    std::set<std::string> recorded; // as the listing names them
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < unpacked.paths.size(); ++i) {
        const std::string& path = unpacked.paths[i];
        if (path.empty()) continue;
        ++compared.files;
        // The file an unpack wrote for the entry, as the directory's listing names it.
        const std::string listed = wholefile::as_listed(path);
        const auto at = now.files.find(listed);
        recorded.insert(listed);
        Now& state = compared.entries[i];
        if (at == now.files.end()) {
            state = Now::missing;
        } else if (at->second != Kind::file) {
            state = Now::not_a_file;
        } else {
            const job::Recorded& r = unpacked.record.entries[i];
            const wholefile::Mapping file =
                wholefile::map_in(unpacked.root, path, shown_in(dir, path).c_str());
            const std::span<const std::uint8_t> content = file.bytes();
            if (content.empty() && r.size > 0)
                state = Now::emptied;
            else if (content.size() != r.size || job::digest(content) != r.digest)
                state = Now::changed;
            bytes += content.size();
        }
        wholefile::progress(i + 1, unpacked.paths.size(), bytes);
    }
    for (const auto& [path, kind] : now.files)
        if (!recorded.contains(path)) compared.unknown.push_back(path);
    wholefile::end_progress();
    return compared;
}

} // namespace bipafs
