// The file-system work of writing many small files, one way of writing per run, so that
// compare.sh can time the ways beside each other as whole processes: what the safe output
// path itself costs, apart from everything else a tool does.
//
//   output_sequences WAY DIR COUNT
//
// writes COUNT files f00000, f00001, ... of 200..6,000 bytes into the existing directory DIR,
// each the way WAY says:
//   create   as tar -x and gzip -d -f do: created exclusively; where the name is taken, the
//            old file is unlinked first. A run that ends between the two leaves neither.
//   unnamed  as crunchet, uncrunchet and swapfold do: an unnamed new file, its blocks
//            reserved, written, given its bits, then linked under its name, or where the name
//            is taken, under a temporary name and renamed over the old file.
//   named    a named temporary file beside the target, reserved, written, given its bits,
//            renamed over the target: what a killed run can leave behind is that file.
// The files' contents do not matter here; only their sizes vary, as an archive's do.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void die(const char* what, const char* name) {
    std::fprintf(stderr, "output_sequences: %s '%s': %s\n", what, name, std::strerror(errno));
    std::exit(1);
}

void write_all(int fd, const char* data, std::size_t size, const char* name) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0) die("can't write", name);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void reserve(int fd, std::size_t size, const char* name) {
#if defined(__linux__)
    if (::fallocate(fd, 0, 0, static_cast<off_t>(size)) != 0) die("can't reserve", name);
#else
    static_cast<void>(fd);
    static_cast<void>(size);
    static_cast<void>(name);
#endif
}

void by_create(int dir, const char* name, const char* data, std::size_t size) {
    int fd = ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
        if (::unlinkat(dir, name, 0) != 0) die("can't unlink", name);
        fd = ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    }
    if (fd < 0) die("can't create", name);
    write_all(fd, data, size, name);
    if (::close(fd) != 0) die("can't close", name);
}

void finish_replacing(int fd, int dir, const char* temp, const char* name) {
    if (::renameat(dir, temp, dir, name) != 0) die("can't rename over", name);
    if (::close(fd) != 0) die("can't close", name);
}

void by_unnamed(int dir, const char* name, const char* data, std::size_t size) {
#if defined(O_TMPFILE)
    const int fd = ::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) die("can't make an unnamed file for", name);
    reserve(fd, size, name);
    write_all(fd, data, size, name);
    if (::fchmod(fd, 0644) != 0) die("can't set the bits of", name);
    if (::linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0) {
        if (::close(fd) != 0) die("can't close", name);
        return;
    }
    if (errno != EEXIST) die("can't link", name);
    const std::string temp = std::string(".") + name + ".tmp";
    if (::linkat(fd, "", dir, temp.c_str(), AT_EMPTY_PATH) != 0) die("can't link", name);
    finish_replacing(fd, dir, temp.c_str(), name);
#else
    static_cast<void>(dir);
    static_cast<void>(data);
    static_cast<void>(size);
    errno = ENOTSUP;
    die("no unnamed files here for", name);
#endif
}

void by_named(int dir, const char* name, const char* data, std::size_t size) {
    const std::string temp = std::string(".") + name + ".tmp";
    const int fd = ::openat(dir, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) die("can't create", temp.c_str());
    reserve(fd, size, name);
    write_all(fd, data, size, name);
    if (::fchmod(fd, 0644) != 0) die("can't set the bits of", name);
    finish_replacing(fd, dir, temp.c_str(), name);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: output_sequences create|unnamed|named DIR COUNT\n");
        return 2;
    }
    const std::string way = argv[1];
    void (*const write_one)(int, const char*, const char*, std::size_t) =
        way == "create"    ? by_create
        : way == "unnamed" ? by_unnamed
        : way == "named"   ? by_named
                           : nullptr;
    const long count = std::strtol(argv[3], nullptr, 10);
    if (write_one == nullptr || count < 0 || count > 99999999) {
        std::fprintf(stderr, "usage: output_sequences create|unnamed|named DIR COUNT\n");
        return 2;
    }
    const int dir = ::open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) die("can't open", argv[2]);
    static char data[6000];
    std::memset(data, 'a', sizeof data);
    for (long i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%05ld", i);
        write_one(dir, name, data, 200 + static_cast<std::size_t>(i * 7919 % 5801));
    }
    return 0;
}
