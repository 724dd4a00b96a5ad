// Inputs on Windows: each is mapped whole as a private copy (a section of the file, viewed copy
// on write), and noted in the register of the files the run reads, by identity (volume and file
// number), which decides how every output may be written.
//
// A file is opened shared with every other opener, so that the run locks nobody out of it.
// Windows refuses to cut a file short while it is mapped, but another system sharing the
// volume, or wine's Linux side, may: a read of a page that has gone raises an access
// violation, or an in-page error, which the vectored handler (run.cpp) tells from any other
// fault by the register's ranges, and turns into "'PATH' changed during the run". Each input's
// handle stays open so that a failed write can ask whether an input shrank under it, until an
// output replaces that very file: Windows renames nothing over a file that is open, so the
// mapping and the handle are given up first (release_file).
#include "internal.hpp"

#include <cerrno>
#include <set>
#include <string>
#include <utility>

namespace wholefile {

namespace {

struct Mapped {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    std::uint64_t size = 0;
    FileId id;
    bool released = false;         // given up for an output that replaces the file
    const char* path = nullptr;    // as given, for changed_input()
    const char* message = nullptr; // printed by the fault's handler
    std::size_t message_length = 0;
};

// A fixed table in static storage, so the fault's handler reads it without locks; the
// programs map one input each, and bipafs one file at a time beside its archive.
constexpr int mapped_max = 8;
Mapped mapped[mapped_max];
volatile int mapped_count = 0;

std::set<FileId>& read_files() {
    static std::set<FileId> ids;
    return ids;
}

// The paths and messages of the table; they live as long as the process.
std::string texts[2 * mapped_max];

// Returns the slot it took, or -1 when the table is full (the mapping is then used all the
// same; only a fault in it would be reported as a crash). A slot freed by forget_mapping()
// is taken again.
int keep_mapping(const char* path, HANDLE file, const std::uint8_t* map, std::uint64_t size,
                 FileId id) {
    int k = 0;
    while (k < mapped_count && mapped[k].file != INVALID_HANDLE_VALUE) ++k;
    if (k == mapped_max) return -1;
    texts[2 * k] = path;
    std::string& message = texts[2 * k + 1];
    message.assign(1, '\'').append(printable(path)).append("' changed during the run\n");
    const auto begin = reinterpret_cast<std::uintptr_t>(map);
    const std::uintptr_t end = begin + static_cast<std::uintptr_t>(size);
    mapped[k] = {begin,           end,           file, size, id, false, texts[2 * k].c_str(),
                 message.c_str(), message.size()};
    if (k == mapped_count) mapped_count = k + 1; // published last, for the handler
    return k;
}

void forget_mapping(int k) {
    if (k < 0) return;
    if (!mapped[k].released) ::CloseHandle(mapped[k].file);
    mapped[k] = {};
}

// Maps the file open as `file`, `size` bytes (more than none); null on failure, with errno set.
[[nodiscard]] std::uint8_t* map_view(HANDLE file) {
    const HANDLE section = ::CreateFileMappingW(file, nullptr, PAGE_WRITECOPY, 0, 0, nullptr);
    if (section == nullptr) {
        detail::note_last_error();
        return nullptr;
    }
    void* const view = ::MapViewOfFile(section, FILE_MAP_COPY, 0, 0, 0);
    if (view == nullptr) detail::note_last_error();
    ::CloseHandle(section); // the view keeps the section
    return static_cast<std::uint8_t*>(view);
}

} // namespace

namespace detail {

std::span<std::uint8_t> map_whole(const char* path, std::uint64_t max_size, const char* too_large,
                                  int* keep) {
    const HANDLE file = detail::open_path(Directory::working(), path, GENERIC_READ, true);
    if (file == INVALID_HANDLE_VALUE) detail::fail_because(errno, "mmap can't open '%s'", path);
    // A device or a pipe has no size, as a FIFO has none on POSIX systems.
    if (::GetFileType(file) != FILE_TYPE_DISK) fail("empty '%s'\n", printable(path).c_str());
    const Found found = detail::found_of(file);
    if (found.kind == Kind::directory) detail::fail_because(0, "can't mmap '%s'", path);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size))
        detail::fail_because(detail::note_last_error(), "can't get the size of '%s'", path);
    if (size.QuadPart <= 0) fail("empty '%s'\n", printable(path).c_str());
    const auto bytes = static_cast<std::uint64_t>(size.QuadPart);
    if (bytes > max_size) fail("%s '%s'\n", too_large, printable(path).c_str());
    if (bytes > SIZE_MAX) fail("can't mmap '%s'\n", printable(path).c_str());
    std::uint8_t* const map = map_view(file);
    if (map == nullptr) detail::fail_because(errno, "can't mmap '%s'", path);
    note_read(found.id);
    static_cast<void>(keep_mapping(path, file, map, bytes, found.id));
    if (keep != nullptr) *keep = detail::fd_of(file);
    return {map, static_cast<std::size_t>(bytes)};
}

} // namespace detail

Mapping::~Mapping() {
    if (data_ != nullptr && (slot_ < 0 || !mapped[slot_].released)) ::UnmapViewOfFile(data_);
    forget_mapping(slot_);
}

Mapping map_in(const Directory& dir, std::string_view name, const char* shown) {
    // The name itself: a link there is no regular file, and is not followed.
    const std::optional<ULONG> by_name = detail::attributes_by_name(dir, name);
    const HANDLE file =
        by_name ? detail::open_path(dir, name, GENERIC_READ, false) : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) detail::fail_because(errno, "mmap can't open '%s'", shown);
    const Found found = detail::found_of(file, by_name);
    if (found.kind != Kind::file) detail::fail_because(0, "can't mmap '%s'", shown);
    if (found.size > SIZE_MAX) fail("can't mmap '%s'\n", printable(shown).c_str());
    Mapping mapping;
    mapping.id_ = found.id;
    note_read(mapping.id_);
    if (found.size == 0) {
        ::CloseHandle(file);
        return mapping;
    }
    std::uint8_t* const map = map_view(file);
    if (map == nullptr) detail::fail_because(errno, "can't mmap '%s'", shown);
    mapping.data_ = map;
    mapping.size_ = static_cast<std::size_t>(found.size);
    mapping.slot_ = keep_mapping(shown, file, map, found.size, found.id);
    if (mapping.slot_ < 0) ::CloseHandle(file);
    return mapping;
}

void release(std::span<const std::uint8_t> part) {
    // Unlocking pages that were never locked takes them out of the process's working set;
    // they are read from the file again should the run touch them again. Only advice.
    if (part.empty()) return;
    static_cast<void>(::VirtualUnlock(const_cast<std::uint8_t*>(part.data()), part.size()));
}

void note_read(FileId id) {
    read_files().insert(id);
}

bool reads(FileId id) {
    return read_files().contains(id);
}

namespace detail {

void release_file(FileId id) {
    for (int k = 0; k < mapped_count; ++k) {
        Mapped& m = mapped[k];
        if (m.file == INVALID_HANDLE_VALUE || m.released || !same_file(m.id, id)) continue;
        ::UnmapViewOfFile(reinterpret_cast<void*>(m.begin));
        ::CloseHandle(m.file);
        m.released = true;
        m.begin = m.end = 0; // no fault can be in it any more
    }
}

const char* changed_input() {
    for (int k = 0; k < mapped_count; ++k) {
        LARGE_INTEGER size{};
        if (mapped[k].file != INVALID_HANDLE_VALUE && !mapped[k].released &&
            ::GetFileSizeEx(mapped[k].file, &size) &&
            static_cast<std::uint64_t>(size.QuadPart) < mapped[k].size)
            return mapped[k].path;
    }
    return nullptr;
}

const char* fault_message(const void* address, std::size_t* length) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    for (int k = 0; k < mapped_count; ++k) {
        if (at >= mapped[k].begin && at < mapped[k].end) {
            *length = mapped[k].message_length;
            return mapped[k].message;
        }
    }
    return nullptr;
}

} // namespace detail

} // namespace wholefile
