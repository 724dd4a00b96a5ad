// An archive's entries as files: where each lands in a directory, what a run must not write
// over, writing an entry's file, and the lookup of the files that replace entries.
//
// This is the file-system side that swapfold and bipafs share. Like the whole-file layer it
// rests on (and through which every call to the system goes), it ends the run with a message
// where a step fails, in the tools' fixed wording. Every name is tested before it is used as
// a path (afs::is_unsafe), and an entry's file is reached from the directory it is written
// into one name at a time, never through a symbolic link, so that an archive can never make
// a run write outside that directory or read outside the one its replacements come from.
#pragma once

#include "afs.hpp"
#include "wholefile.hpp"

#include <cstdint>
#include <deque>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace entries {

// The exit status of a failed check of an archive.
inline constexpr int failed_check_status = 2;

// Checks `bytes` as every tool checks an input archive (afs::check_archive) and returns the
// checked archive, or ends the run with "not a afs file" (status 1) or "failed check:
// CONDITION" (status 2). May throw std::bad_alloc.
[[nodiscard]] afs::Archive checked_archive(std::span<const std::uint8_t> bytes);

// Ends the run for a failed check of the layout, quoting its condition: status 2.
[[noreturn]] void stop_on_failed_check(const char* condition);

// Ends the run for the capacity check that failed at `entry`, for the rebuilt archive or,
// when `extracting`, for the entries extraction would write; `in_path` is the archive, of
// `size` bytes. Status 2.
[[noreturn]] void stop_over_capacity(bool extracting, const char* in_path, std::uint64_t size,
                                     const afs::Archive& archive, std::uint32_t entry);

// Whether this system can hold every component of `name` (an entry's name, or a path made of
// one) as a file's name: wholefile::can_name, for each component but empty ones and ".",
// which name no file of their own. Always on POSIX systems.
[[nodiscard]] bool system_can_hold(std::string_view name);

// Ends the run with "unsafe filename", before anything is written, when an entry with data
// has a name this system cannot hold (system_can_hold). Names afs::is_unsafe refuses, and
// those that name no file, are left to the caller's own checks, made where they have always
// been.
void refuse_names_the_system_cannot_hold(const afs::Archive& archive);

// `dir` and `name` joined by one slash, as paths are shown in messages.
[[nodiscard]] std::string joined(std::string_view dir, std::string_view name);

// The replacement files found for the entries of an archive, and for each entry the one it
// takes (none: it keeps its own data).
struct Replacements {
    std::string en;                      // the directory looked in, as given
    wholefile::Directory dir;            // that directory, when it names one
    std::deque<std::string> paths;       // deques, so that pointers into them stay valid
    std::deque<wholefile::Source> files; // named sources, read when the output is written
    std::vector<afs::Replacement> by_entry;
    std::vector<std::string_view> names; // the entries they replace, in table order
    std::vector<wholefile::FileId> ids;  // the files, by identity
};

// Finds in the directory `en` the replacement of every entry that has data: a file of the
// entry's name. Only a file that does not exist keeps the entry's data; one that exists but
// cannot be opened, is a directory, is not a regular file or is empty ends the run. Each is
// opened only to learn that, and noted as a file the run reads; its data is read when the
// output is written. An empty `en`, or one that names no directory, means no replacements.
// A name that afs::is_unsafe refuses ends the run with "unsafe filename", unless
// `unsafe_later` (it then ends the run later, at extraction). A name this system cannot hold
// (system_can_hold) is never looked up: refuse_names_the_system_cannot_hold() refuses it.
void look_up_replacements(const afs::Archive& archive, const char* en, bool unsafe_later,
                          Replacements& found);

// What a run must not write an entry's file over: files it reads or writes, by identity,
// and the places its paths pass through (wholefile::spots_of).
class InUse {
public:
    void add(wholefile::FileId id) { files_.insert(id); }
    // Every place `path` passes through, from the working directory; whether it can be
    // followed to its last name.
    bool add_path(std::string_view path);
    // Where each replacement of `archive`'s entries in `found.dir` is or would be, with
    // every name on the way to it, and the replacement files themselves.
    void add_replacements(const afs::Archive& archive, const Replacements& found);

    // Whether a file found as `at`, named `leaf` in `dir`, is in use.
    [[nodiscard]] bool holds(const wholefile::Found& at, const wholefile::Directory& dir,
                             std::string_view leaf) const;

private:
    std::set<wholefile::FileId> files_;
    std::set<wholefile::Spot> spots_;
};

// What to do with an entry whose file this run has already written (two entries of one name,
// or of names a file system takes for one).
enum class Again {
    overwrite, // written again, with the warning "duplicate name 'PATH': its earlier entry is
               // overwritten"
    keep_first // not written; the caller is told
};

// Writes `pieces` as the file of entry `name` inside `root`, shown as `shown` (`name` must
// have passed afs::is_unsafe and afs::names_a_file; one this system cannot hold ends the run
// with "unsafe filename"). Each directory on the way is opened
// without following a link, a link there ending the run with "unsafe filename", and made
// where it is missing when `make_directories` is set (otherwise a missing one ends the run
// with "can't open 'SHOWN' for writing"). A file or place that `in_use` holds ends the run
// with "won't extract over 'SHOWN': this run reads or writes it". Returns false only when the
// file was written earlier in the run and `again` is keep_first.
bool write_entry(const wholefile::Directory& root, std::string_view name, const std::string& shown,
                 std::span<const wholefile::Piece> pieces,
                 std::span<const wholefile::Source> sources, const InUse& in_use,
                 std::set<wholefile::FileId>& written, bool make_directories, Again again);

} // namespace entries
