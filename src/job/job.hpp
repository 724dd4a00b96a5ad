// A translator's job on an archive, in memory: which file each entry becomes when the
// archive is unpacked, the record an unpack leaves for pack and status, and the digest that
// tells a file changed from the one unpack wrote. Nothing here touches a file, prints or
// ends the process; bipafs does the file side with the entries and whole-file libraries.
//
// The plan. An entry with data becomes the file of its name, its components taken as they
// are but for empty ones and "." (so "a//b" and "a/./b" are "a/b"). An entry whose name ends
// in ".bip" and whose data is a well-formed container is restored, into the file of its
// name less ".bip". The first entry in table order to land on a path has it: a later one
// whose path is taken, or whose path a directory of an earlier one's path is (or the
// reverse), gets no file and is packed as it was; a container whose restored path is taken
// is written as it is, under its own name, when that one is free. Every such case is a note
// for the user. The record's own directory, `record_dir`, is no entry's.
#pragma once

#include "afs.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace job {

// The directory, inside the directory unpacked into, that holds the record of the unpack.
inline constexpr std::string_view record_dir = ".bipafs";
// The record's files in it.
inline constexpr const char* record_archive = "archive"; // the archive's path
inline constexpr const char* record_tables = "tables";   // its tables, byte for byte
inline constexpr const char* record_entries = "entries"; // what became of each entry

enum class Kind {
    none,     // no data: no file
    file,     // written as it is
    restored, // a container, restored
    kept,     // no file (its path was taken): packed as it was
};

struct Planned {
    Kind kind = Kind::none;
    std::string path; // relative to the directory unpacked into; empty for none and kept
};

enum class NoteKind {
    not_a_container,  // a .bip entry that is not a well-formed container: written as it is
    no_restored_name, // a container whose name less ".bip" names no file: written as it is
    restored_taken,   // a container whose restored path is taken: written as it is
    taken,            // an entry whose path is taken: no file, packed as it was
};

struct Note {
    NoteKind kind;
    std::uint32_t entry = 0;
    std::string path;     // the path the note is about
    std::uint32_t by = 0; // restored_taken, taken: the entry that has that path
};

enum class Refusal {
    none,
    unsafe_name, // a name afs::is_unsafe refuses, or that names no file
    record_name, // an entry whose path begins with the record's directory
};

struct Plan {
    Refusal refusal = Refusal::none;
    std::uint32_t refused = 0; // the entry refused
    std::vector<Planned> entries;
    std::vector<Note> notes;
    std::uint32_t files = 0;    // entries written as files, restored ones included
    std::uint32_t restored = 0; // of them, restored from containers
};

// The plan for unpacking `archive`, where `containers[i]` tells whether entry i's data is a
// well-formed container (bip::is_well_formed), learned by the caller, which may let the
// system take back each entry's pages once it has looked. May throw std::bad_alloc.
[[nodiscard]] Plan plan_unpack(const afs::Archive& archive, const std::vector<bool>& containers);

// `name` with its empty and "." components left out.
[[nodiscard]] std::string normalized(std::string_view name);

// A 64-bit digest of `bytes`, to tell a changed file from the one written: a change of any
// byte changes it but with a chance of one in 2^64.
[[nodiscard]] std::uint64_t digest(std::span<const std::uint8_t> bytes);

// What the record says of an entry: its kind and, for one that has a file, the size and the
// digest of what unpack wrote.
struct Recorded {
    Kind kind = Kind::none;
    std::uint64_t size = 0;
    std::uint64_t digest = 0;
};

// The archive's tables as the record keeps them: header and entry table, the locator, the
// name table.
[[nodiscard]] std::vector<std::uint8_t> tables_of(const afs::Archive& archive);

// The archive whose tables `tables` holds (as tables_of() gives them), without its data; no
// value when they are not such tables.
[[nodiscard]] std::optional<afs::Archive> archive_of_tables(std::span<const std::uint8_t> tables);

// The text of the record's entries file, and the record read back from it: the archive's
// size and one Recorded per entry. No value when the text is not such a record, or holds
// another number of entries than `entries`.
[[nodiscard]] std::string format_record(std::uint64_t archive_size,
                                        std::span<const Recorded> recorded);
struct Record {
    std::uint64_t archive_size = 0;
    std::vector<Recorded> entries;
};
[[nodiscard]] std::optional<Record> parse_record(std::string_view text, std::uint32_t entries);

// The path each entry's file has, from the names in `archive` and what the record says;
// empty for an entry that has none.
[[nodiscard]] std::vector<std::string> paths_of(const afs::Archive& archive,
                                                std::span<const Recorded> recorded);

} // namespace job
