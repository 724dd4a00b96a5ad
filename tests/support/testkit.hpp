// Shared helpers for the tests: byte patterns, a fresh temporary directory per test, byte
// files, and running a built program with its standard output, standard error and status
// captured.
#pragma once

// Set when the tests are built with the address checker, under which address-space limits
// and exact memory figures do not hold.
#if defined(__SANITIZE_ADDRESS__)
#define BUILT_WITH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BUILT_WITH_ASAN 1
#endif
#endif

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/types.h>
#include <vector>

// Address space that is only reserved, for tests that need a huge span nothing reads: where
// the system has no MAP_NORESERVE (or the fallbacks are built), a PROT_NONE mapping is not
// charged against memory anyway.
#if defined(MAP_NORESERVE) && !defined(BIPAFS_FALLBACKS)
#define TESTKIT_MAP_NORESERVE MAP_NORESERVE
#else
#define TESTKIT_MAP_NORESERVE 0
#endif

namespace testkit {

using Bytes = std::vector<std::uint8_t>;

[[nodiscard]] Bytes bytes_of(std::string_view text);

// `a` followed by `b`.
[[nodiscard]] Bytes concat(Bytes a, const Bytes& b);

// `count` bytes of a pattern that differs with `seed` and does not repeat every 256 bytes.
[[nodiscard]] Bytes pattern(std::size_t count, std::uint8_t seed);

// `count` bytes counting 1, 2, ... 200 and round again: no zero byte, and the first 200
// all differ.
[[nodiscard]] Bytes counting(std::size_t count);

// A death test's pattern for the whole of standard error being `message`, taken literally.
[[nodiscard]] std::string exactly(const std::string& message);

// A directory created fresh under the system's temporary directory and removed, with all
// it holds, when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::filesystem::path operator/(const std::string& name) const {
        return path_ / name;
    }

private:
    std::filesystem::path path_;
};

[[nodiscard]] Bytes read_bytes(const std::filesystem::path& path);
void write_bytes(const std::filesystem::path& path, const Bytes& data);

// Every path under `root`, relative to it; links are listed, not followed.
[[nodiscard]] std::set<std::string> tree(const std::filesystem::path& root);

struct RunResult {
    int status = -1;       // exit status, or 128 + signal number when killed by a signal
    std::string out;       // everything written to standard output
    std::string err;       // everything written to standard error
    long peak_rss_kib = 0; // the program's peak resident set size (exact when run under
                           // GNU /usr/bin/time, which happens when argv0 is empty)
};

// The path of the helper program `name` (timeout, unshare, ...) in /usr/bin or /bin, or
// nothing where this system has none; tests that need one skip without it.
[[nodiscard]] std::optional<std::string> helper(const std::string& name);

// Whether /usr/bin/time is GNU time, whose -f and -o measure a run's peak; checked once.
[[nodiscard]] bool has_gnu_time();

// Whether /dev/full (every write fails with "no space") exists here; it is a Linux device.
[[nodiscard]] bool has_full_device();

// posix_spawn(), with the child started in directory `cwd`. May add to `actions`.
int spawn_in(pid_t* pid, const char* path, posix_spawn_file_actions_t* actions,
             const posix_spawnattr_t* attr, char* const argv[], const std::filesystem::path& cwd);

// Whether the row `label` of the running test applies where it runs: always, but in the
// Windows test set (BIPAFS_WINE_PROGRAMS: the Windows build's programs under wine), where only
// the rows tests/windows/applies.txt names for the test do, or all of them where it names the
// test alone.
[[nodiscard]] bool applies(std::string_view label);

// Whether the programs the tests run are the Windows build's, under wine.
[[nodiscard]] bool under_wine();

// Runs `program` with `args` in directory `cwd`, standard input from /dev/null.
// argv[0] is `argv0` when given, otherwise `program` itself.
[[nodiscard]] RunResult run(const std::string& program, const std::vector<std::string>& args,
                            const std::filesystem::path& cwd, const std::string& argv0 = {});

} // namespace testkit
