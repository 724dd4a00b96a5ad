// Whole-file input and output, and the one place where the programs report errors.
//
// Every tool reads each input whole and writes each output whole, with no streaming.
// mmap_file() maps an input privately and write_file() writes one buffer, or a list of
// pieces (pieces.hpp), as the complete content of a file. Both end the process with a
// message on failure, so callers never see an error result.
//
// The interface is the same on every system, and so are messages.cpp, the one routine every
// message and progress line goes through (with printable()), and shared.cpp, what the
// systems' files would otherwise each write alike; the rest is each system's own,
// in posix/ (POSIX systems, Linux's own calls where they help) and windows/ (the Windows API),
// neither of which reads the other. Each is cut along the same jobs, one file each:
// - inputs.cpp: mapping inputs, and the register of every file the run reads, by identity;
// - signals.cpp (windows/run.cpp): what ends the process (signals; console events and
//   faults), the unfinished output it must not leave behind, and the run's set-up;
// - directories.cpp: directories, what is at a name, following a path one name at a time,
//   and which names the system can hold;
// - targets.cpp: how an output is written, decided from what its target is; the private
//   temporary file and what a replaced file keeps;
// - piece_writer.cpp: writing pieces with as few system calls as they allow;
// - streams.cpp: the standard streams as messages.cpp writes them.
// windows/names.cpp holds what only Windows needs: its arguments in UTF-8, and the one
// mapping from an entry's name to a Windows file name (docs/windows.md).
//
// How an output is written follows from what the target is, never from how its path is
// spelled. A path that leads to an open descriptor of this process (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N) is written through that descriptor as the caller opened it. Any other
// output is written to a private new file beside its target and put in its place only once
// complete. A target that is a file the run reads is only ever replaced that way; where the
// rename cannot happen, the run refuses before writing. Only a target the run does not read,
// in a directory that takes no new file, is written in place, and only once the whole
// content is known. A path that cannot be followed to its end is refused, never guessed at.
#pragma once

#include "pieces.hpp"

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The printf formats every message is checked against: C99's (%zu, %llu) on every system. On
// Windows the C library's own printf lacks some of them, so the build takes mingw-w64's C99 one
// (__USE_MINGW_ANSI_STDIO), whose formats GCC calls gnu_printf.
#if defined(__MINGW32__)
#define WHOLEFILE_PRINTF gnu_printf
#else
#define WHOLEFILE_PRINTF printf
#endif

namespace wholefile {

// What a program does with its standard output.
enum class StandardOutput {
    unused,      // prints nothing there, so an output may go there too
    prints_lines // prints size or progress lines, which an output there would corrupt
};

// Whether a message about a file that the system failed to open, read or write ends with the
// system's reason: "can't write to 'PATH': No space left on device".
enum class Reasons {
    left_out, // the three tools' established wording, word for word
    given
};

// The run's set-up, called once, first thing in main: opens /dev/null (unusable for
// writing) in place of any of descriptors 0 to 2 that is closed, so that no file the run
// opens takes their place; sets up the removal of an unfinished output on every signal that
// ends the process; learns what standard output and standard error are.
void start_run(StandardOutput use, Reasons reasons = Reasons::left_out);

// The same, called with main's own arguments, which it leaves in UTF-8, the form every routine
// here takes: they are so already on POSIX systems; on Windows they are taken again from the
// command line the program was started with, in UTF-16 (a lone surrogate, which no UTF-8 can
// hold, is kept in its WTF-8 form and so names no file).
void start_run(int& argc, char**& argv, StandardOutput use, Reasons reasons = Reasons::left_out);

// Flushes and closes standard output; when that fails (a full device, a closed or broken
// descriptor) ends the process with "can't write to standard output" and status 1.
void close_standard_output();

// Creates the directory `path` with mode 0755 (less the umask) where nothing is there yet,
// and returns whether it made it. A directory made here is removed again when the run fails
// or a signal ends it while the directory is still empty, so that a refused run leaves none.
bool make_directory(const char* path);

// Why the last call of this module that failed did (open_directory, make_directory,
// list_directory and the like; not one that ended the run): an errno value, as
// fail_because() takes it. On Windows, the errno value nearest the system's own code.
[[nodiscard]] int last_error();

// Whether `error` (last_error()) says that nothing is at a name: it is missing, or a name on
// the way to it is not a directory.
[[nodiscard]] bool means_missing(int error);

// Whether this system can hold `component`, one component of an entry's name (neither empty
// nor "." nor ".."), as the name of a file, and read it back as that name: always on POSIX
// systems. On Windows, not a name that the one mapping of docs/windows.md cannot turn into a
// file name, nor one Windows refuses or reads as something else: a backslash, a colon, one of
// < > " | ? *, a control character, a trailing dot or space, a device's name (CON, PRN, AUX,
// NUL, COM1 to COM9, LPT1 to LPT9, with or without an extension, in any case).
[[nodiscard]] bool can_name(std::string_view component);

// `path`, whose components an archive names (bytes), as list_directory() names the file it
// leads to: the same bytes on POSIX systems; on Windows, each component the file name the
// mapping gives it, in UTF-8.
[[nodiscard]] std::string as_listed(std::string_view path);

// Asks for `buffer`, which the run fills once from start to end, to be backed by large pages
// where the system offers them (Linux); only advice.
void prefer_large_pages(std::span<std::uint8_t> buffer);

// Which file a path leads to, to tell it from others: the device (volume) and the file's
// number on it.
struct FileId {
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    bool operator==(const FileId&) const = default;
    auto operator<=>(const FileId&) const = default; // to keep identities in ordered sets
};

// The identity of the file `path` leads to, links followed; none where nothing is there.
[[nodiscard]] std::optional<FileId> identity(const char* path);

// The identity of the file open as descriptor `fd` (on Windows a handle, whose value fits an
// int: the system keeps handles within 32 bits).
[[nodiscard]] std::optional<FileId> identity(int fd);

// Maps the whole file at `path` and notes it as a file the run reads. Never returns an empty
// span: a missing or unreadable file, an empty file, one too large for the address space and
// a failed mapping each end the process with status 1. Should the file shrink while the run
// reads the mapping, the run ends with "'PATH' changed during the run".
[[nodiscard]] std::span<std::uint8_t> mmap_file(const char* path);

// The same, but a file of more than `max_size` bytes ends the run, before anything is
// mapped, with the words `too_large` followed by the quoted path.
[[nodiscard]] std::span<std::uint8_t> mmap_file(const char* path, std::uint64_t max_size,
                                                const char* too_large);

// The same as the first, and the file's descriptor, open for reading, goes to *fd, so that a
// writer can copy ranges of it without reading them through the mapping.
[[nodiscard]] std::span<std::uint8_t> mmap_file(const char* path, int* fd);

class Directory;

// A file mapped whole and privately for as long as the object lives, read-only; an empty file
// maps to no bytes. Should the file shrink while the run reads it, the run ends with
// "'PATH' changed during the run".
class Mapping {
public:
    Mapping() = default;
    ~Mapping();
    Mapping(Mapping&& other) noexcept;
    Mapping& operator=(Mapping&& other) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
    [[nodiscard]] FileId id() const { return id_; }

private:
    friend Mapping map_in(const Directory& dir, std::string_view name, const char* shown);
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    int slot_ = -1; // its row in the register of mappings
    FileId id_;
};

// Maps the regular file `name` in `dir` (a link at `name` not followed) and notes it as a
// file the run reads; messages quote `shown`. Fails as mmap_file does, but for an empty
// file, which is no failure here; a file that is not a regular one: "can't mmap".
[[nodiscard]] Mapping map_in(const Directory& dir, std::string_view name, const char* shown);

// Lets the system take back the pages of `part`, a range of an input's mapping the run has
// read: they are read from the file again should the run touch them again. Only advice.
void release(std::span<const std::uint8_t> part);

// Notes a file that the run will read later (not through mmap_file), so that no output is
// ever written in place over it.
void note_read(FileId id);

// Whether the run reads the file.
[[nodiscard]] bool reads(FileId id);

// What is at a name, a link not followed.
enum class Kind { none, file, directory, link, other };

struct Found {
    Kind kind = Kind::none;
    FileId id;
    std::uint64_t size = 0;
    // Where the system has them: the permission bits, the owner and the group, which a file
    // that replaces this one keeps.
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;

    [[nodiscard]] bool exists() const { return kind != Kind::none; }
};

// A directory open to name files inside it, relative to it, whatever becomes of the path it
// was opened by. Closed when it goes.
class Directory {
public:
    Directory() = default;
    ~Directory();
    Directory(Directory&& other) noexcept;
    Directory& operator=(Directory&& other) noexcept;
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    [[nodiscard]] bool is_open() const { return handle_ != closed; }
    [[nodiscard]] FileId id() const { return id_; }
    // The working directory, the base of every relative path given on the command line.
    [[nodiscard]] static const Directory& working();

private:
    friend struct DirectoryAccess; // the platform's own files
    static constexpr std::intptr_t closed = -1;
    std::intptr_t handle_ = closed; // the system's handle: a descriptor, or a Windows HANDLE
    bool owned_ = true;
    FileId id_;
    // Where the system answers some questions about a name only by a full path (wine, on
    // Windows): the directory's, as it was opened; empty elsewhere.
    std::string path_;
};

// Opens the directory `path`, relative to `base`; where the system allows, search
// permission is enough. With `follow` false, a symbolic link at `path` is not followed.
// The result is not open on failure.
[[nodiscard]] Directory open_directory(const Directory& base, std::string_view path, bool follow);

// Creates the directory `name` in `base` (mode 0755 less the umask) where nothing is there
// yet, and opens it; a directory already there is opened. Never follows a link at `name`.
// The result is not open on failure.
[[nodiscard]] Directory make_directory_in(const Directory& base, std::string_view name);

// What is at `name` in `dir`, a link there not followed.
[[nodiscard]] Found look_at(const Directory& dir, std::string_view name);

// The identity of what `path` leads to from `dir`, links followed; `dir` itself for an empty
// path. None where nothing is there.
[[nodiscard]] std::optional<FileId> identity(const Directory& dir, std::string_view path);

// What opening `path` (relative to `base`, links followed) for reading finds: nothing there;
// something that cannot be opened; something opened whose size cannot be had; or what was
// opened, then closed again.
enum class Probe { missing, cannot_open, cannot_size, found };
struct Probed {
    Probe result = Probe::missing;
    Found found;
};
[[nodiscard]] Probed probe(const Directory& base, std::string_view path);

// The names in `dir` (not "." or ".."), each with what is there, a link not followed; no
// value where the directory cannot be read.
struct Named {
    std::string name;
    Found found;
};
[[nodiscard]] std::optional<std::vector<Named>> list_directory(const Directory& dir);

// `path` as an absolute path, from the working directory where it is relative; no link is
// followed and no name left out.
[[nodiscard]] std::string absolute_path(const char* path);

// A place a file can land: a directory, by identity, and a name in it, in the form by which
// the system tells names apart (spot()).
struct Spot {
    FileId dir;
    std::string name;
    auto operator<=>(const Spot&) const = default;
};

// The place `name` (one component) names in the directory `dir`: the name as it is on POSIX
// systems; on Windows, whose file systems take names that differ only in case for one, its
// file name in upper case, so that two spellings of one place are one Spot.
[[nodiscard]] Spot spot(FileId dir, std::string_view name);

// Adds to `passed` every place that `path`, taken from `base`, passes through: each of its
// names, one at a time, and each name of every symbolic link on the way, followed as the
// system follows them, down to the last name, whether or not anything is there yet. Returns
// false when the path cannot be followed to that last name (a name missing or not a
// directory on the way, too many links), when an output there would be refused; `passed`
// then holds the places passed until then.
[[nodiscard]] bool spots_of(const Directory& base, std::string_view path,
                            std::vector<Spot>& passed);

// Refuses, before the run prints or writes anything, an output at `path` that would land in
// the program's own standard output (StandardOutput::prints_lines), where its lines would
// corrupt it, or replace the file standard error goes to. write_file() refuses these too;
// this lets a program say so before its first line.
void check_output(const char* path);

// Creates or replaces `path` with `data` as its whole content. A symbolic link at `path`
// stays and the file it leads to is replaced; a replaced file keeps its owner, group, mode
// and extended attributes, its access list included, where the system allows. Any failure
// ends the process with status 1.
void write_file(const char* path, std::span<const std::uint8_t> data);

// The same with the pieces one after another as the content, written with as few system
// calls as the pieces allow: pieces inside the mapping of an open source are copied from its
// file inside the kernel where the file systems allow that. A named source that is missing
// or has changed size ends the process with "'PATH' changed during the run".
void write_file(const char* path, std::span<const Piece> pieces,
                std::span<const Source> sources = {});

// Writes the pieces as the file `name` in `dir`. Whatever is at `name` and is not a regular
// file (a symbolic link, a FIFO, a device) is replaced by the new file, never opened.
// Messages quote `shown`. Returns the identity of the file written. `found`, when given, is
// what the caller found at `name` a moment before (look_at), so that the writer need not
// look again.
FileId write_file_in(const Directory& dir, const char* name, const char* shown,
                     std::span<const Piece> pieces, std::span<const Source> sources = {},
                     const Found* found = nullptr);

// A file of the run's own, for data it makes and writes into an output later: unnamed where
// the system has them (in `near`, on the same file system), otherwise named there and
// removed at once; gone when the run ends, however it ends. Messages quote `shown`.
class Scratch {
public:
    Scratch(const Directory& near, const char* shown);
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // Appends `bytes` and returns the offset they start at.
    std::uint64_t append(std::span<const std::uint8_t> bytes);
    // The scratch file as a source of pieces: `size` bytes from `offset` are a piece of it.
    [[nodiscard]] const Source& source() const { return source_; }

private:
    Source source_;
    std::string shown_;
    std::uint64_t size_ = 0;
};

// `text` with every control byte (below 0x20, and 0x7F) written as a visible escape: \n, \t
// and the like, or three octal digits (\033); so are both bytes of a C1 control in UTF-8
// (C2 80 to C2 9F: \302\233). Every other byte stays as it is, so UTF-8 and Shift-JIS names
// print as themselves.
[[nodiscard]] std::string printable(std::string_view text);

// Every line of the programs goes through these four. Formats are printf formats, printed
// exactly as given (no program-name prefix). say() prints to standard output and flushes it
// at once, so that a log redirected to a file or a pipe names everything the run did before
// it stopped, however it stopped. The other three flush standard output first and print to
// standard error, so a message always follows the lines before it; the first two also
// remove an output's unfinished file before the process ends.
void say(const char* format, ...) __attribute__((format(WHOLEFILE_PRINTF, 1, 2)));
[[noreturn]] void fail_with_status(int status, const char* format, ...)
    __attribute__((format(WHOLEFILE_PRINTF, 2, 3)));
[[noreturn]] void fail(const char* format, ...) __attribute__((format(WHOLEFILE_PRINTF, 1, 2)));
// Ends the run with `format`, which quotes `path` (one %s), followed where the run gives
// reasons (start_run) by the system's reason for `error` (an errno value; 0 for none), and
// a newline: "can't open 'PATH': Permission denied".
[[noreturn]] void fail_because(int error, const char* format, const char* path);
void warn(const char* format, ...) __attribute__((format(WHOLEFILE_PRINTF, 1, 2)));

// Writes `text` to standard output as it is, zero bytes included, and flushes it.
void say_bytes(std::string_view text);

// One line of progress on standard error, updated in place, when it is a terminal and the
// run has been at its work for about a second: `done` of `all` entries and `bytes` written.
// Never in a pipe or a file. Any other line clears it first; end_progress() clears it.
void progress(std::uint64_t done, std::uint64_t all, std::uint64_t bytes);
void end_progress();

} // namespace wholefile
