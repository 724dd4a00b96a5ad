#include "wholefile.hpp"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wholefile {

namespace {

void print_message(const char* format, std::va_list args) {
    std::vfprintf(stderr, format, args);
    std::fflush(stderr);
}

} // namespace

void fail_with_status(int status, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    print_message(format, args);
    va_end(args);
    std::exit(status);
}

void fail(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    print_message(format, args);
    va_end(args);
    std::exit(1);
}

void warn(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    print_message(format, args);
    va_end(args);
}

std::span<std::uint8_t> mmap_file(const char* path) {
    // O_NONBLOCK so that a FIFO given as input cannot stall the open; it then reports as
    // empty, like any other file without a size.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fail("mmap can't open '%s'\n", path);

    // The size comes from the descriptor, so it describes the file that was opened.
    struct stat st {};
    if (::fstat(fd, &st) != 0) fail("can't get the size of '%s'\n", path);
    if (st.st_size <= 0) fail("empty '%s'\n", path);

    const auto size = static_cast<std::size_t>(st.st_size);
    void* const map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) fail("can't mmap '%s'\n", path);
    return {static_cast<std::uint8_t*>(map), size};
}

void unmap_file(std::span<std::uint8_t> mapping) {
    if (!mapping.empty()) ::munmap(mapping.data(), mapping.size());
}

void write_file(const char* path, std::span<const std::uint8_t> data) {
    // Past a file-size limit the write then fails with EFBIG and is reported below, instead
    // of the limit's signal ending the process without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    std::FILE* const file = std::fopen(path, "wb");
    if (file == nullptr) fail("can't open '%s' for writing\n", path);

    const std::size_t written = data.empty() ? 0 : std::fwrite(data.data(), 1, data.size(), file);
    if (written != data.size()) fail("can't write to '%s'\n", path);

    // Buffered bytes reach the file only at the close, so a failed close is a failed write.
    if (std::fclose(file) != 0) fail("can't write to '%s'\n", path);
}

} // namespace wholefile
