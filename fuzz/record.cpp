// Plans unpacks of arbitrary archive tables, and reads arbitrary records of an unpack, as an
// unpacked directory handed on by someone else may hold them.
//
// Input layout: bytes 0..7 say which entries hold well-formed containers (entry i takes bit
// i % 64); then the archive's tables as an unpack records them (header and entry table, the
// locator, the name table: 16 + 56 * n bytes for n entries); the rest is the text of a
// record's entries file. An input too short for the tables its header announces is given
// whole as tables, which must then be refused.
//
// Where the plan refuses nothing, every file it gives an entry lies inside the directory
// (no empty, "." or ".." component, no leading slash), outside the record's own directory in
// any case, and apart from every other: no two on one path, none where another's directory
// is. The counts agree with the kinds, and the record the plan leaves gives back, through
// format_record, parse_record and paths_of, exactly the paths the plan chose, which is what
// status and pack rely on to find each entry's file again. Any record text that parses
// formats back to text that parses to the same record.
#include "afs.hpp"
#include "check.hpp"
#include "job.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[nodiscard]] bool lies_inside(const std::string& path) {
    if (path.empty() || path.front() == '/' || path.back() == '/') return false;
    for (std::size_t at = 0; at <= path.size();) {
        const std::size_t slash = std::min(path.find('/', at), path.size());
        const std::string_view part = std::string_view(path).substr(at, slash - at);
        if (part.empty() || part == "." || part == "..") return false;
        at = slash + 1;
    }
    return true;
}

[[nodiscard]] bool in_record_dir(const std::string& path) {
    const std::string first = path.substr(0, path.find('/'));
    if (first.size() != job::record_dir.size()) return false;
    for (std::size_t k = 0; k < first.size(); ++k) {
        char c = first[k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != job::record_dir[k]) return false;
    }
    return true;
}

[[nodiscard]] bool same_records(const job::Record& a, const job::Record& b) {
    if (a.archive_size != b.archive_size || a.entries.size() != b.entries.size()) return false;
    for (std::size_t i = 0; i < a.entries.size(); ++i) {
        const job::Recorded& x = a.entries[i];
        const job::Recorded& y = b.entries[i];
        if (x.kind != y.kind || x.size != y.size || x.digest != y.digest) return false;
    }
    return true;
}

void check_plan(const afs::Archive& archive, const std::vector<bool>& containers,
                std::uint64_t archive_size) {
    const job::Plan plan = job::plan_unpack(archive, containers);
    if (plan.refusal != job::Refusal::none) {
        FUZZ_CHECK(plan.refused < archive.entries);
        return;
    }
    FUZZ_CHECK(plan.entries.size() == archive.entries);
    std::set<std::string> files;
    std::set<std::string> dirs;
    std::uint32_t counted = 0, restored = 0;
    std::vector<job::Recorded> recorded(archive.entries);
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        const job::Planned& p = plan.entries[i];
        const std::string_view name = afs::entry_name(archive, i);
        FUZZ_CHECK((p.kind == job::Kind::none) == (afs::entry_record(archive, i).pos == 0));
        if (p.kind != job::Kind::file && p.kind != job::Kind::restored) {
            FUZZ_CHECK(p.path.empty());
            recorded[i] = {p.kind, 0, 0};
            continue;
        }
        recorded[i] = {p.kind, i, 0x9E3779B97F4A7C15u * i};
        FUZZ_CHECK(lies_inside(p.path));
        FUZZ_CHECK(!in_record_dir(p.path));
        FUZZ_CHECK(p.path == job::normalized(p.path));
        if (p.kind == job::Kind::restored) {
            FUZZ_CHECK(containers[i] && name.ends_with(".bip"));
            FUZZ_CHECK(p.path == job::normalized(name.substr(0, name.size() - 4)));
            ++restored;
        } else {
            FUZZ_CHECK(p.path == job::normalized(name));
        }
        FUZZ_CHECK(!files.contains(p.path) && !dirs.contains(p.path));
        for (std::size_t slash = p.path.find('/'); slash != std::string::npos;
             slash = p.path.find('/', slash + 1)) {
            FUZZ_CHECK(!files.contains(p.path.substr(0, slash)));
            dirs.insert(p.path.substr(0, slash));
        }
        files.insert(p.path);
        ++counted;
    }
    FUZZ_CHECK(counted == plan.files && restored == plan.restored);

    const std::string text = job::format_record(archive_size, recorded);
    const std::optional<job::Record> back = job::parse_record(text, archive.entries);
    FUZZ_CHECK(back && same_records(*back, {archive_size, recorded}));
    const std::vector<std::string> paths = job::paths_of(archive, back->entries);
    FUZZ_CHECK(paths.size() == archive.entries);
    for (std::uint32_t i = 0; i < archive.entries; ++i)
        FUZZ_CHECK(paths[i] == plan.entries[i].path);
}

void check_record(const afs::Archive& archive, std::string_view text) {
    const std::optional<job::Record> parsed = job::parse_record(text, archive.entries);
    if (!parsed) return;
    FUZZ_CHECK(parsed->entries.size() == archive.entries);
    const std::optional<job::Record> again = job::parse_record(
        job::format_record(parsed->archive_size, parsed->entries), archive.entries);
    FUZZ_CHECK(again && same_records(*again, *parsed));
    const std::vector<std::string> paths = job::paths_of(archive, parsed->entries);
    FUZZ_CHECK(paths.size() == archive.entries);
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        const job::Kind kind = parsed->entries[i].kind;
        if (kind != job::Kind::file && kind != job::Kind::restored) FUZZ_CHECK(paths[i].empty());
        FUZZ_CHECK(paths[i] == job::normalized(paths[i]));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return 0;
    std::uint64_t bits = 0;
    for (int k = 0; k < 8; ++k) bits |= std::uint64_t{data[k]} << (8 * k);
    const std::span<const std::uint8_t> rest(data + 8, size - 8);

    std::size_t tables_size = rest.size();
    if (rest.size() >= 8) {
        const std::uint32_t n =
            rest[4] | rest[5] << 8 | rest[6] << 16 | static_cast<std::uint32_t>(rest[7]) << 24;
        const std::uint64_t need = 16 + 56 * std::uint64_t{n};
        if (need <= rest.size()) tables_size = static_cast<std::size_t>(need);
    }
    const std::span<const std::uint8_t> tables = rest.first(tables_size);
    const std::optional<afs::Archive> archive = job::archive_of_tables(tables);
    if (!archive) return 0;
    FUZZ_CHECK(job::tables_of(*archive) == std::vector<std::uint8_t>(tables.begin(), tables.end()));

    std::vector<bool> containers(archive->entries);
    for (std::uint32_t i = 0; i < archive->entries; ++i) containers[i] = (bits >> (i % 64)) & 1;
    check_plan(*archive, containers, size);

    const std::span<const std::uint8_t> text = rest.subspan(tables_size);
    check_record(*archive, {reinterpret_cast<const char*>(text.data()), text.size()});
    return 0;
}
