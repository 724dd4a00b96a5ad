// Inputs on POSIX systems: each is mapped whole and privately, and noted in the register of the
// files the run reads, by identity (device and inode), which decides how every output may be
// written.
//
// A mapping shows the file as it is now, not as it was when mapped: a file that another
// program cuts short while the run reads it turns the read of a vanished page into a fault
// (SIGBUS). The register keeps each mapping's range and a message ready to print, so the
// fault's handler (signals.cpp) can tell such a fault from any other and end the run with
// "'PATH' changed during the run" instead of a crash. Each input's descriptor stays open so
// that a failed write can ask whether an input shrank under it.
#include "internal.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace wholefile {

namespace {

struct Mapped {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    int fd = -1;
    std::uint64_t size = 0;
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
int keep_mapping(const char* path, int fd, const std::uint8_t* map, std::uint64_t size) {
    int k = 0;
    while (k < mapped_count && mapped[k].fd >= 0) ++k;
    if (k == mapped_max) return -1;
    texts[2 * k] = path;
    // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) about "'" + string.
    std::string& message = texts[2 * k + 1];
    message.assign(1, '\'').append(printable(path)).append("' changed during the run\n");
    const auto begin = reinterpret_cast<std::uintptr_t>(map);
    const std::uintptr_t end = begin + static_cast<std::uintptr_t>(size); // it was mapped: it fits
    mapped[k] = {begin, end, fd, size, texts[2 * k].c_str(), message.c_str(), message.size()};
    if (k == mapped_count) mapped_count = k + 1; // published last, for the handler
    return k;
}

void forget_mapping(int k) {
    if (k < 0) return;
    ::close(mapped[k].fd);
    mapped[k] = {};
}

} // namespace

namespace detail {

std::span<std::uint8_t> map_whole(const char* path, std::uint64_t max_size, const char* too_large,
                                  int* keep) {
    // O_NONBLOCK so that a FIFO given as input cannot stall the open; it then reports as
    // empty, like any other file without a size.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) detail::fail_because(errno, "mmap can't open '%s'", path);

    // The size comes from the descriptor, so it describes the file that was opened.
    struct stat st {};
    if (::fstat(fd, &st) != 0) detail::fail_because(errno, "can't get the size of '%s'", path);
    if (st.st_size <= 0) fail("empty '%s'\n", printable(path).c_str());
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > max_size) fail("%s '%s'\n", too_large, printable(path).c_str());
    // On a 32-bit system a file can be larger than the whole address space.
    if (size > SIZE_MAX) fail("can't mmap '%s'\n", printable(path).c_str());

    void* const map =
        ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) detail::fail_because(errno, "can't mmap '%s'", path);
    if (S_ISREG(st.st_mode)) note_read(file_id(st));
    static_cast<void>(keep_mapping(path, fd, static_cast<std::uint8_t*>(map), size));
    if (keep != nullptr) *keep = fd;
    return {static_cast<std::uint8_t*>(map), static_cast<std::size_t>(size)};
}

} // namespace detail

Mapping::~Mapping() {
    if (data_ != nullptr) ::munmap(data_, size_);
    forget_mapping(slot_);
}

Mapping map_in(const Directory& dir, std::string_view name, const char* shown) {
    const int fd = ::openat(DirectoryAccess::fd(dir), std::string(name).c_str(),
                            O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) detail::fail_because(errno, "mmap can't open '%s'", shown);
    struct stat st {};
    if (::fstat(fd, &st) != 0) detail::fail_because(errno, "can't get the size of '%s'", shown);
    if (!S_ISREG(st.st_mode)) detail::fail_because(0, "can't mmap '%s'", shown);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > SIZE_MAX) fail("can't mmap '%s'\n", printable(shown).c_str());
    Mapping mapping;
    mapping.id_ = file_id(st);
    note_read(mapping.id_);
    if (size == 0) {
        ::close(fd);
        return mapping;
    }
    void* const map =
        ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) detail::fail_because(errno, "can't mmap '%s'", shown);
    mapping.data_ = static_cast<std::uint8_t*>(map);
    mapping.size_ = static_cast<std::size_t>(size);
    mapping.slot_ = keep_mapping(shown, fd, mapping.data_, size);
    if (mapping.slot_ < 0) ::close(fd);
    return mapping;
}

void release(std::span<const std::uint8_t> part) {
    // Only whole pages inside the range, which nothing else shares.
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = (reinterpret_cast<std::uintptr_t>(part.data()) + page - 1) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(part.data()) + part.size()) & ~(page - 1);
    if (end <= begin) return;
    void* const at = reinterpret_cast<void*>(begin);
#if BIPAFS_LINUX
    // A private file mapping that was never written gives its pages back, to be read from the
    // file again if they are touched again.
    static_cast<void>(::madvise(at, end - begin, MADV_DONTNEED));
#else
    static_cast<void>(::posix_madvise(at, end - begin, POSIX_MADV_DONTNEED));
#endif
}

void prefer_large_pages(std::span<std::uint8_t> buffer) {
#if BIPAFS_LINUX && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t large_page = std::uintptr_t{2} << 20;
    const auto start =
        (reinterpret_cast<std::uintptr_t>(buffer.data()) + large_page - 1) & ~(large_page - 1);
    const auto end =
        (reinterpret_cast<std::uintptr_t>(buffer.data()) + buffer.size()) & ~(large_page - 1);
    // Only advice: where it is refused, the buffer works the same with small pages.
    if (end > start)
        static_cast<void>(::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE));
#else
    static_cast<void>(buffer);
#endif
}

void note_read(FileId id) {
    read_files().insert(id);
}

bool reads(FileId id) {
    return read_files().contains(id);
}

namespace detail {

const char* changed_input() {
    for (int k = 0; k < mapped_count; ++k) {
        struct stat st {};
        if (mapped[k].fd >= 0 && ::fstat(mapped[k].fd, &st) == 0 &&
            static_cast<std::uint64_t>(st.st_size) < mapped[k].size)
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
