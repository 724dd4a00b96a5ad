// bipafs's commands, each a routine of its own file, and what status and pack share: the
// record an unpack left in its directory, and the files found there now.
#pragma once

#include "afs.hpp"
#include "job.hpp"
#include "wholefile.hpp"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace bipafs {

void list(const char* archive, bool raw);
void unpack(const char* archive, const char* dir);
void status(const char* dir);
void pack(const char* dir, const char* out);

// The record of an unpack, read from the directory unpacked into.
struct Unpacked {
    wholefile::Directory root; // the directory unpacked into
    std::string archive_path;  // the archive it came from, as an absolute path
    std::vector<std::uint8_t> tables;
    afs::Archive archive; // its tables, read back from the record (no entry data)
    job::Record record;
    std::vector<std::string> paths; // each entry's file, relative to the directory, or empty
};

// Reads the record in `dir`; a directory without one, or with one that is not whole, ends
// the run.
[[nodiscard]] Unpacked read_record(const char* dir);

// What is in the directory now: every name below it that is not a directory (files, links,
// anything else), by its path relative to it, the record's own directory left out; and the
// identities of every directory and file below it, links not followed.
struct Found {
    std::map<std::string, wholefile::Kind> files;
    std::set<wholefile::FileId> ids;
};
[[nodiscard]] Found find_files(const wholefile::Directory& root);

// What became of each file an unpack wrote.
enum class Now {
    same,
    changed,
    missing,
    emptied,   // left empty, where what unpack wrote had bytes
    not_a_file // a link or anything else where the file was
};

struct Compared {
    std::vector<Now> entries;         // by entry; `same` for those without a file
    std::vector<std::string> unknown; // files that match no entry
    std::uint32_t files = 0;          // the files the unpack wrote
};

// Compares, by content, every file of the record with `now`, what is in its directory.
[[nodiscard]] Compared compare(const Unpacked& unpacked, const Found& now, const char* dir);

// `dir`/`path`, as messages show a file of the directory.
[[nodiscard]] std::string shown_in(const char* dir, const std::string& path);

} // namespace bipafs
