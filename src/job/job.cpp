// The plan of an unpack, the record it leaves and the digest of a file; see job.hpp.
#include "job.hpp"

#include "bytes.hpp"

#include <cinttypes>
#include <cstdio>
#include <map>

namespace job {

namespace {

constexpr std::string_view container_suffix = ".bip";
constexpr std::string_view record_header = "bipafs record 1\n";

// Whether the path's first component is the record's directory, in any case: on a file
// system that ignores case, another spelling of it is the same directory.
[[nodiscard]] bool in_record_dir(std::string_view path) {
    const std::string_view first = path.substr(0, path.find('/'));
    if (first.size() != record_dir.size()) return false;
    for (std::size_t k = 0; k < first.size(); ++k) {
        char c = first[k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != record_dir[k]) return false;
    }
    return true;
}

// The paths taken so far: each file's, and each directory that a file's path passes through.
class Taken {
public:
    // The entry that keeps `path` from being used, or none when it is free: a file there, a
    // file where one of its directories would be, or a directory there.
    [[nodiscard]] std::optional<std::uint32_t> holder(const std::string& path) const {
        if (const auto at = files_.find(path); at != files_.end()) return at->second;
        if (const auto at = dirs_.find(path); at != dirs_.end()) return at->second;
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            if (const auto at = files_.find(path.substr(0, slash)); at != files_.end())
                return at->second;
        return std::nullopt;
    }
    void claim(const std::string& path, std::uint32_t entry) {
        files_.emplace(path, entry);
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            dirs_.emplace(path.substr(0, slash), entry);
    }

private:
    std::map<std::string, std::uint32_t> files_;
    std::map<std::string, std::uint32_t> dirs_;
};

[[nodiscard]] std::uint64_t rotl(std::uint64_t x, int r) {
    return (x << r) | (x >> (64 - r));
}

// The primes and steps of a well-studied 64-bit hash of four lanes.
constexpr std::uint64_t p1 = 0x9E3779B185EBCA87u;
constexpr std::uint64_t p2 = 0xC2B2AE3D27D4EB4Fu;
constexpr std::uint64_t p3 = 0x165667B19E3779F9u;
constexpr std::uint64_t p4 = 0x85EBCA77C2B2AE63u;
constexpr std::uint64_t p5 = 0x27D4EB2F165667C5u;

[[nodiscard]] std::uint64_t lane(std::uint64_t acc, std::uint64_t input) {
    return rotl(acc + input * p2, 31) * p1;
}

[[nodiscard]] std::uint64_t merged(std::uint64_t acc, std::uint64_t value) {
    return (acc ^ lane(0, value)) * p1 + p4;
}

[[nodiscard]] const char* kind_name(Kind kind) {
    switch (kind) {
    case Kind::none:
        return "none";
    case Kind::file:
        return "file";
    case Kind::restored:
        return "restored";
    case Kind::kept:
        break;
    }
    return "kept";
}

[[nodiscard]] std::optional<std::uint64_t> number(std::string_view text, int base) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9'                 ? c - '0'
                          : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                               : -1;
        if (digit < 0) return std::nullopt;
        const auto next = value * static_cast<std::uint64_t>(base) + static_cast<unsigned>(digit);
        if (next / static_cast<std::uint64_t>(base) != value) return std::nullopt; // overflow
        value = next;
    }
    return value;
}

// The words of `line`, split at single spaces.
[[nodiscard]] std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    for (std::size_t at = 0; at <= line.size();) {
        const std::size_t space = std::min(line.find(' ', at), line.size());
        out.push_back(line.substr(at, space - at));
        at = space + 1;
    }
    return out;
}

} // namespace

std::string normalized(std::string_view name) {
    std::string out;
    for (std::size_t at = 0; at <= name.size();) {
        const std::size_t slash = std::min(name.find('/', at), name.size());
        const std::string_view part = name.substr(at, slash - at);
        if (!part.empty() && part != ".") {
            if (!out.empty()) out += '/';
            out += part;
        }
        at = slash + 1;
    }
    return out;
}

Plan plan_unpack(const afs::Archive& archive, const std::vector<bool>& containers) {
    Plan plan;
    plan.entries.resize(archive.entries);
    Taken taken;
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        if (afs::entry_record(archive, i).pos == 0) continue;
        const std::string_view name = afs::entry_name(archive, i);
        if (afs::is_unsafe(name) || !afs::names_a_file(name)) {
            plan.refusal = Refusal::unsafe_name;
            plan.refused = i;
            return plan;
        }
        Planned& planned = plan.entries[i];
        planned.kind = Kind::file;
        planned.path = normalized(name);
        if (name.ends_with(container_suffix)) {
            const std::string_view stem = name.substr(0, name.size() - container_suffix.size());
            if (i >= containers.size() || !containers[i]) {
                plan.notes.push_back({NoteKind::not_a_container, i, planned.path});
            } else if (!afs::names_a_file(stem) || normalized(stem).empty()) {
                plan.notes.push_back({NoteKind::no_restored_name, i, planned.path});
            } else if (const std::string restored = normalized(stem); in_record_dir(restored)) {
                planned.path = restored; // refused below
            } else if (const auto by = taken.holder(restored)) {
                plan.notes.push_back({NoteKind::restored_taken, i, restored, *by});
            } else {
                planned.kind = Kind::restored;
                planned.path = restored;
            }
        }
        if (in_record_dir(planned.path)) {
            plan.refusal = Refusal::record_name;
            plan.refused = i;
            return plan;
        }
        if (planned.kind == Kind::file) {
            if (const auto by = taken.holder(planned.path)) {
                plan.notes.push_back({NoteKind::taken, i, planned.path, *by});
                planned = {Kind::kept, {}};
                continue;
            }
        }
        taken.claim(planned.path, i);
        ++plan.files;
        if (planned.kind == Kind::restored) ++plan.restored;
    }
    return plan;
}

std::uint64_t digest(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* p = bytes.data();
    const std::uint8_t* const end = p + bytes.size();
    std::uint64_t h = 0;
    if (bytes.size() >= 32) {
        std::uint64_t v[4] = {p1 + p2, p2, 0, 0 - p1};
        for (; end - p >= 32; p += 32)
            for (int k = 0; k < 4; ++k) v[k] = lane(v[k], wholefile::load_le64(p + 8 * k));
        h = rotl(v[0], 1) + rotl(v[1], 7) + rotl(v[2], 12) + rotl(v[3], 18);
        for (const std::uint64_t value : v) h = merged(h, value);
    } else {
        h = p5;
    }
    h += bytes.size();
    for (; end - p >= 8; p += 8) h = rotl(h ^ lane(0, wholefile::load_le64(p)), 27) * p1 + p4;
    if (end - p >= 4) {
        h = rotl(h ^ (std::uint64_t{wholefile::load_le32(p)} * p1), 23) * p2 + p3;
        p += 4;
    }
    for (; p < end; ++p) h = rotl(h ^ (*p * p5), 11) * p1;
    h ^= h >> 33;
    h *= p2;
    h ^= h >> 29;
    h *= p3;
    h ^= h >> 32;
    return h;
}

std::vector<std::uint8_t> tables_of(const afs::Archive& archive) {
    std::vector<std::uint8_t> tables = archive.table;
    std::uint8_t locator[8];
    wholefile::store_le32(locator, archive.statoc.pos);
    wholefile::store_le32(locator + 4, archive.statoc.len);
    tables.insert(tables.end(), locator, locator + 8);
    tables.insert(tables.end(), archive.names.begin(), archive.names.end());
    return tables;
}

std::optional<afs::Archive> archive_of_tables(std::span<const std::uint8_t> tables) {
    if (tables.size() < 8 || std::string_view(reinterpret_cast<const char*>(tables.data()), 4) !=
                                 std::string_view("AFS\0", 4))
        return std::nullopt;
    afs::Archive archive;
    archive.entries = wholefile::load_le32(tables.data() + 4);
    const std::uint64_t head = 8 + 8 * std::uint64_t{archive.entries};
    const std::uint64_t names = 48 * std::uint64_t{archive.entries};
    if (tables.size() != head + 8 + names) return std::nullopt;
    const auto at = static_cast<std::size_t>(head);
    archive.table.assign(tables.begin(), tables.begin() + static_cast<std::ptrdiff_t>(at));
    archive.statoc = {wholefile::load_le32(tables.data() + at),
                      wholefile::load_le32(tables.data() + at + 4)};
    archive.names.assign(tables.begin() + static_cast<std::ptrdiff_t>(at + 8), tables.end());
    return archive;
}

std::string format_record(std::uint64_t archive_size, std::span<const Recorded> recorded) {
    std::string text(record_header);
    char line[64];
    std::snprintf(line, sizeof line, "archive-size %" PRIu64 "\n", archive_size);
    text += line;
    for (const Recorded& r : recorded) {
        if (r.kind == Kind::file || r.kind == Kind::restored)
            std::snprintf(line, sizeof line, "%s %" PRIu64 " %016" PRIx64 "\n", kind_name(r.kind),
                          r.size, r.digest);
        else
            std::snprintf(line, sizeof line, "%s\n", kind_name(r.kind));
        text += line;
    }
    return text;
}

std::optional<Record> parse_record(std::string_view text, std::uint32_t entries) {
    if (!text.starts_with(record_header)) return std::nullopt;
    text.remove_prefix(record_header.size());
    Record record;
    bool sized = false;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        if (newline == std::string_view::npos) return std::nullopt;
        const std::vector<std::string_view> w = words(text.substr(0, newline));
        text.remove_prefix(newline + 1);
        if (!sized) {
            const auto size =
                w.size() == 2 && w[0] == "archive-size" ? number(w[1], 10) : std::nullopt;
            if (!size) return std::nullopt;
            record.archive_size = *size;
            sized = true;
            continue;
        }
        Recorded r;
        if (w.size() == 1 && (w[0] == "none" || w[0] == "kept")) {
            r.kind = w[0] == "none" ? Kind::none : Kind::kept;
        } else if (w.size() == 3 && (w[0] == "file" || w[0] == "restored") && w[2].size() == 16) {
            const auto size = number(w[1], 10);
            const auto value = number(w[2], 16);
            if (!size || !value) return std::nullopt;
            r = {w[0] == "file" ? Kind::file : Kind::restored, *size, *value};
        } else {
            return std::nullopt;
        }
        record.entries.push_back(r);
        if (record.entries.size() > entries) return std::nullopt;
    }
    if (!sized || record.entries.size() != entries) return std::nullopt;
    return record;
}

std::vector<std::string> paths_of(const afs::Archive& archive, std::span<const Recorded> recorded) {
    std::vector<std::string> paths(recorded.size());
    for (std::uint32_t i = 0; i < recorded.size() && i < archive.entries; ++i) {
        std::string_view name = afs::entry_name(archive, i);
        if (recorded[i].kind == Kind::restored) {
            if (!name.ends_with(container_suffix)) continue; // not this archive's record
            name.remove_suffix(container_suffix.size());
        }
        if (recorded[i].kind == Kind::file || recorded[i].kind == Kind::restored)
            paths[i] = normalized(name);
    }
    return paths;
}

} // namespace job
