// What the POSIX files of the whole-file module share with one another and with nobody else:
// directories as descriptors, identities from stat, the signals held while an output is put in
// place, the pending file the handlers remove, and the piece writer's entry points.
#pragma once

#include "common.hpp"
#include "wholefile.hpp"

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// Linux-only calls are used only where the build has not asked for the portable fallbacks,
// so that the fallbacks are compiled and tested on Linux too.
#if defined(__linux__) && !defined(BIPAFS_FALLBACKS)
#define BIPAFS_LINUX 1
#else
#define BIPAFS_LINUX 0
#endif

namespace wholefile {

// directories.cpp: a Directory's descriptor, for the files of this module.
struct DirectoryAccess {
    [[nodiscard]] static int fd(const Directory& dir) { return static_cast<int>(dir.handle_); }
    // Takes `fd`, a directory just opened (or AT_FDCWD, not owned), as `dir`.
    static void adopt(Directory& dir, int fd, bool owned, FileId id) {
        dir.handle_ = fd;
        dir.owned_ = owned;
        dir.id_ = id;
    }
};

[[nodiscard]] inline FileId file_id(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

} // namespace wholefile

namespace wholefile::detail {

// The system's own limit on the links one path may pass through.
inline constexpr int links_max = 40;

// directories.cpp: opens the directory `path` relative to the descriptor `base` (or
// AT_FDCWD), as open_directory() does; -1 on failure.
[[nodiscard]] int open_directory_fd(int base, const char* path, bool follow);

// directories.cpp: what `st` (from lstat) says is there.
[[nodiscard]] Found found_of(const struct stat& st);

// directories.cpp: reads the link `name` in `dir` whole into `text`, which grows to hold it;
// -1 with errno set where it is no link or cannot be read.
[[nodiscard]] ssize_t read_link(int dir, const char* name, std::string& text);

// targets.cpp: ways of writing that in-process tests can take away, so that the branches
// which stand in for them, where a system or a file system lacks them, are reached here too.
// The programs never set them.
struct Seams {
    bool no_unnamed_files = false;   // as on a file system without O_TMPFILE
    bool no_empty_path_link = false; // as on a kernel that links an unnamed file only through
                                     // /proc/self/fd for a writer without CAP_DAC_READ_SEARCH
    bool no_proc_link = false;       // as where /proc is not mounted
};
inline Seams seams;

// signals.cpp: holds back, for as long as it lives, every signal from outside whose default
// ends the process.
class HeldSignals {
public:
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

private:
    sigset_t old_;
};

// signals.cpp: installs, once, the handlers that remove the unfinished output on every
// signal from outside that ends the process; needed before a named unfinished output exists
// at a moment when those signals are not held.
void handle_ending_signals();

// signals.cpp: the named unfinished output, `name` in the directory open as `dir`, which
// every ending of the run removes. Called with the signals held.
void note_pending(int dir, const char* name);
void forget_pending(); // it has taken its final name
[[nodiscard]] int pending_dir();
[[nodiscard]] const char* pending_name();

// signals.cpp: removes the unfinished output, if any; safe in a signal handler.
void remove_pending();

// signals.cpp: the directory the run made, `name` in the directory open as `parent`, which
// a failure removes while it is still empty.
void note_made_directory(int parent, const char* name, FileId id);

// targets.cpp: learns, at the run's start, the files that standard output and standard
// error go to, which no output may replace, and whether standard error is a terminal
// (standard_error_is_terminal(), common.hpp).
void learn_standard_streams(StandardOutput use);

// inputs.cpp: when `address` lies in an input's mapping, the message that the input changed,
// for a fault's handler; otherwise null. Safe in a signal handler.
[[nodiscard]] const char* fault_message(const void* address, std::size_t* length);

// The piece writer (piece_writer.cpp): writes the pieces to `fd` from its current offset;
// messages about the output quote `shown`.
void write_pieces(int fd, const char* shown, std::span<const Piece> pieces,
                  std::span<const Source> sources);

// The pieces copied into one block, for a target written in place once every byte is known.
// Throws std::bad_alloc when the block cannot be had, the address space included.
[[nodiscard]] std::vector<std::uint8_t> assemble(std::span<const Piece> pieces, const char* shown);

// Copies `size` bytes of the file open as `from`, from its start, to `to` at its offset;
// messages quote `shown`.
void copy_whole(int from, std::uint64_t size, int to, const char* shown);

} // namespace wholefile::detail
