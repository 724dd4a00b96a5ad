// Faults that the file system causes, on the built programs: a full device, a file-size
// limit, a signal in the middle of a write, a directory that cannot be written, inputs that
// are directories or FIFOs, outputs that are devices or links, standard output that cannot
// be written and memory that cannot be had. Each failure must end the run with a message,
// status 1 and no line that reports success, and leave every existing file as it was.
#include "afs_image.hpp"
#include "afs_rebuild.hpp"
#include "testkit.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#if defined(__linux__)
#include <sys/xattr.h>
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;
using testkit::Bytes;
using testkit::RunResult;
using testkit::TempDir;

const std::string crunchet = CRUNCHET_PATH;
const std::string uncrunchet = UNCRUNCHET_PATH;
const std::string swapfold = SWAPFOLD_PATH;
const std::string bipafs = BIPAFS_PATH;

// Content that compresses poorly, so a container of it is about as large as the content.
Bytes noise(std::size_t n) {
    Bytes out(n);
    std::uint32_t x = 0x9E3779B9;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return out;
}

// A container holding `content`, made by the built crunchet.
Bytes container_of(const Bytes& content) {
    const TempDir dir;
    testkit::write_bytes(dir / "in", content);
    const RunResult r = testkit::run(crunchet, {"in", "out.bip"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    return testkit::read_bytes(dir / "out.bip");
}

// One run of a program on inputs written into a fresh directory. `args` name files in that
// directory; `out` is the output path, which the fault concerns.
struct Case {
    std::string label;
    std::string program;
    std::vector<std::string> args;
    std::string err;     // the exact message expected
    std::string printed; // what standard output holds: nothing that reports success
    std::size_t out = 1; // the output's place among `args`
};

// The four programs writing `out` from inputs large (`big`) or small; bipafs, which gives
// the system's reasons, says `reason`.
std::vector<Case> writers(const std::string& out, bool big, const std::string& reason = {}) {
    const std::string n = big ? "300000" : "3";
    return {
        {"crunchet",
         crunchet,
         {"in", out},
         "can't write to '" + out + "'\n",
         "Original size: " + n + " bytes\n"},
        {"uncrunchet", uncrunchet, {"in.bip", out}, "can't write to '" + out + "'\n", ""},
        {"swapfold", swapfold, {"in.afs", out, "en"}, "can't write to '" + out + "'\n", ""},
        {"bipafs pack",
         bipafs,
         {"pack", "work", out},
         "can't write to '" + out + "'" + (reason.empty() ? "" : ": " + reason) + "\n",
         "",
         2},
    };
}

void write_inputs(const TempDir& dir, bool big) {
    const Bytes content = big ? noise(300000) : testkit::bytes_of("abc");
    testkit::write_bytes(dir / "in", content);
    testkit::write_bytes(dir / "in.bip", container_of(content));
    testkit::write_bytes(dir / "in.afs", afstest::one_entry("a.bin", content));
    const RunResult r = testkit::run(bipafs, {"unpack", "in.afs", "work"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
}

// Every name in `dir`, hidden ones included: a left-over temporary file shows here.
std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

void expect_failure(const RunResult& r, const Case& c) {
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, c.printed);
}

TEST(Faults, WritingToAFullDevice) {
    if (!testkit::has_full_device()) GTEST_SKIP() << "no /dev/full here";
    for (const bool big : {false, true}) {
        const TempDir dir;
        write_inputs(dir, big);
        for (const Case& c : writers("/dev/full", big, "No space left on device")) {
            SCOPED_TRACE(c.label + (big ? ", large output" : ", small output"));
            expect_failure(testkit::run(c.program, c.args, dir.path()), c);
        }
    }
}

// Runs `program` under a file-size limit of one 512-byte block, the limit signal left as
// the caller had it or ignored.
RunResult run_limited(const Case& c, const fs::path& cwd, bool ignore_signal) {
    const std::string script =
        std::string(ignore_signal ? "trap '' XFSZ; " : "") + "ulimit -f 1 && exec \"$0\" \"$@\"";
    std::vector<std::string> args = {"-c", script, c.program};
    args.insert(args.end(), c.args.begin(), c.args.end());
    return testkit::run("/bin/sh", args, cwd);
}

TEST(Faults, OutputLargerThanTheFileSizeLimitLeavesTheTargetAsItWas) {
    for (const bool ignore_signal : {false, true}) {
        const TempDir dir;
        write_inputs(dir, true);
        std::vector<Case> cases = writers("out", true, "File too large");
        cases.push_back({"swapfold in place",
                         swapfold,
                         {"in.afs", "in.afs", "en"},
                         "can't write to 'in.afs'\n",
                         ""});
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label + (ignore_signal ? ", limit signal ignored" : ", limit signal"));
            const fs::path target = dir / c.args[c.out];
            if (c.args[c.out] == "out")
                testkit::write_bytes(target, testkit::bytes_of("old content"));
            const Bytes before = testkit::read_bytes(target);
            const std::set<std::string> names = names_in(dir.path());
            expect_failure(run_limited(c, dir.path(), ignore_signal), c);
            EXPECT_TRUE(testkit::read_bytes(target) == before);
            EXPECT_EQ(names_in(dir.path()), names);
        }
    }
}

// Starts `program` with every signal's default action and none blocked, its standard output
// going to `out` (or discarded) and its standard error to the file `err` (or discarded);
// returns its process id.
pid_t start(const std::vector<std::string>& words, const fs::path& cwd, int out = -1,
            const fs::path& err = "/dev/null") {
    std::vector<std::string> copy = words;
    std::vector<char*> argv;
    for (auto& w : copy) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int failed = testkit::spawn_in(&pid, argv[0], &actions, &attr, argv.data(), cwd);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return failed ? -1 : pid;
}

// A run held at its first line: its standard output is a pipe filled up before it starts,
// so it waits there, its inputs mapped and checked, until the pipe is drained.
class HeldRun {
public:
    HeldRun(const std::vector<std::string>& words, const fs::path& cwd) : err_(cwd / "err.log") {
        int ends[2];
        if (::pipe(ends) != 0) return;
        ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
        const std::string filler(4096, 'x');
        while (::write(ends[1], filler.data(), filler.size()) > 0) {
        }
        ::fcntl(ends[1], F_SETFL, 0);
        read_end_ = ends[0];
        pid_ = start(words, cwd, ends[1], err_);
        ::close(ends[1]);
    }
    ~HeldRun() {
        if (read_end_ >= 0) ::close(read_end_);
    }
    HeldRun(const HeldRun&) = delete;
    HeldRun& operator=(const HeldRun&) = delete;

    // Whether the run now waits on its full standard output (false after 20 s).
    [[nodiscard]] bool held() const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            std::ifstream wchan("/proc/" + std::to_string(pid_) + "/wchan");
            std::string where;
            if (std::getline(wchan, where) && where.ends_with("pipe_write")) return true;
        }
        return false;
    }

    // Lets the run go on to its end: its exit status, what it printed after the filler, and
    // its standard error.
    RunResult finish() {
        RunResult r;
        char buffer[65536];
        for (ssize_t n; (n = ::read(read_end_, buffer, sizeof buffer)) > 0;)
            r.out.append(buffer, static_cast<std::size_t>(n));
        r.out.erase(0, r.out.find_first_not_of('x'));
        int status = 0;
        ::waitpid(pid_, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::ifstream err(err_);
        r.err.assign(std::istreambuf_iterator<char>(err), {});
        fs::remove(err_);
        return r;
    }

private:
    fs::path err_;
    int read_end_ = -1;
    pid_t pid_ = -1;
};

// The run's unfinished output while it is written: a hidden file beside the target, or,
// where the system has unnamed files, the open file that /proc shows as deleted.
std::optional<fs::path> unfinished_output(pid_t pid, const fs::path& dir) {
    for (const std::string& name : names_in(dir))
        if (name.starts_with(".in.afs.")) return dir / name;
    std::error_code error;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        const std::string target = fs::read_symlink(e.path(), error).string();
        if (!error && target.starts_with(dir.string() + "/") &&
            target.find(" (deleted)") != std::string::npos)
            return e.path();
    }
    return std::nullopt;
}

// A signal that ends the run while a large output is written. The run is stopped as soon as
// its unfinished output appears, so that the signal lands in the middle of the write; that
// file is private to the user while it is written, whatever the target's mode: mode 0600
// where it has a name, no name at all where the system has unnamed files.
// Even SIGKILL leaves nothing behind where the system has unnamed files.
TEST(Faults, SignalWhileWritingLeavesTheTargetAsItWas) {
    constexpr std::uint64_t size = std::uint64_t{512} << 20;
    const TempDir dir;
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(dir.path().c_str(), &vfs), 0);
    if (std::uint64_t{vfs.f_bavail} * vfs.f_frsize < 4 * size)
        GTEST_SKIP() << "needs 2 GiB of free disk for a 512 MiB rebuild";
    // One entry of `size` bytes at 2048, sparse but for its first block, then the names.
    Bytes head = noise(4096);
    std::fill(head.begin(), head.begin() + 2048, 0);
    std::memcpy(head.data(), "AFS", 4);
    const std::pair<std::uint64_t, std::uint64_t> fields[] = {
        {4, 1}, {8, 2048}, {12, size}, {16, 2048 + size}, {20, 48}};
    for (const auto& [at, value] : fields)
        afstest::put32(head, at, static_cast<std::uint32_t>(value));
    Bytes names(48, 0);
    std::memcpy(names.data(), "big.bin", 7);
    afstest::put32(names, 44, static_cast<std::uint32_t>(size));
    testkit::write_bytes(dir / "in.afs", head);
    fs::resize_file(dir / "in.afs", 2048 + size);
    {
        std::ofstream out(dir / "in.afs", std::ios::binary | std::ios::app);
        out.write(reinterpret_cast<const char*>(names.data()), 48);
    }
    fs::permissions(dir / "in.afs", fs::perms::owner_read | fs::perms::owner_write |
                                        fs::perms::group_read | fs::perms::others_read);
    const rlimit no_core{0, 0}; // SIGQUIT would leave a core file beside the target
    ASSERT_EQ(::setrlimit(RLIMIT_CORE, &no_core), 0);

    std::vector<int> signals = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM};
#if defined(__linux__)
    // Less common ones whose default ends the process too.
    signals.insert(signals.end(), {SIGPWR, SIGIO, SIGRTMIN + 1});
#if !defined(BIPAFS_FALLBACKS)
    signals.push_back(SIGKILL);
#endif
#endif
    for (const int signal : signals) {
        SCOPED_TRACE(strsignal(signal));
        struct stat before {};
        ASSERT_EQ(::stat((dir / "in.afs").c_str(), &before), 0);
        const pid_t pid = start({swapfold, "in.afs", "in.afs", "en"}, dir.path());
        ASSERT_GT(pid, 0);
        std::optional<fs::path> temp;
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!temp && std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid, &status, WNOHANG) == pid) break; // finished before it was caught
            temp = unfinished_output(pid, dir.path());
        }
        if (temp) {
            ::kill(pid, SIGSTOP);
            // Private while it is written: a named file by its mode, an unnamed one, made with
            // the mode a new file is asked for, by having no name to be opened by.
            struct stat st {};
            EXPECT_EQ(::stat(temp->c_str(), &st), 0);
            if (temp->string().starts_with("/proc/"))
                EXPECT_EQ(st.st_nlink, 0u);
            else
                EXPECT_EQ(st.st_mode & 07777, 0600u);
            ::kill(pid, signal);
            ::kill(pid, SIGCONT);
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        }
        ASSERT_TRUE(temp) << "the run ended before its unfinished output was seen";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"in.afs"});
        // Never opened for writing: the same file, size and modification time.
        struct stat after {};
        ASSERT_EQ(::stat((dir / "in.afs").c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_size, before.st_size);
        EXPECT_EQ(after.st_mtime, before.st_mtime);
    }
}

// Runs `c` with the directory `ro` (relative to cwd) made read-only: by its mode when not
// running as root, else by a read-only bind mount in a private mount namespace, over which
// `writable` (a file in ro, when given) stays writable. Skips the calling test when neither
// is possible (no unshare(1), or no mount namespace for this user).
RunResult run_with_read_only(const Case& c, const fs::path& cwd, bool* skipped,
                             const std::string& writable = {}) {
    *skipped = false;
    if (::geteuid() != 0) {
        fs::permissions(cwd / "ro", fs::perms::owner_read | fs::perms::owner_exec);
        RunResult r = testkit::run(c.program, c.args, cwd);
        fs::permissions(cwd / "ro", fs::perms::owner_all);
        return r;
    }
    const std::optional<std::string> unshare = testkit::helper("unshare");
    if (!unshare) {
        *skipped = true;
        return {1, "", "no unshare(1) here", 0};
    }
    const std::string keep =
        writable.empty() ? "" : "mount --bind ro/" + writable + " ro/" + writable + " && ";
    const std::string script =
        "mount --bind ro ro && " + keep + "mount -o remount,bind,ro ro && exec \"$0\" \"$@\"";
    std::vector<std::string> args = {"-m", "/bin/sh", "-c", script, c.program};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = testkit::run(*unshare, args, cwd);
    if (r.err.find("mount") != std::string::npos || r.err.find("unshare") != std::string::npos)
        *skipped = true;
    return r;
}

TEST(Faults, OutputDirectoryWithoutWritePermission) {
    const TempDir dir;
    write_inputs(dir, false);
    fs::create_directories(dir / "ro/ja");
    const std::vector<Case> cases = {
        {"crunchet",
         crunchet,
         {"in", "ro/out"},
         "can't open 'ro/out' for writing\n",
         "Original size: 3 bytes\n"},
        {"uncrunchet", uncrunchet, {"in.bip", "ro/out"}, "can't open 'ro/out' for writing\n", ""},
        {"swapfold output",
         swapfold,
         {"in.afs", "ro/out", "en"},
         "can't open 'ro/out' for writing\n",
         ""},
        {"swapfold extraction",
         swapfold,
         {"in.afs", "out", "en", "ro/ja"},
         "can't open 'ro/ja/a.bin' for writing\n",
         "-> a.bin\n"},
        {"swapfold new extraction directory",
         swapfold,
         {"in.afs", "out", "en", "ro/new"},
         "chdir failed\n",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        bool skipped = false;
        const RunResult r = run_with_read_only(c, dir.path(), &skipped);
        if (skipped) GTEST_SKIP() << "no read-only bind mount here: " << r.err;
        expect_failure(r, c);
        EXPECT_FALSE(fs::exists(dir / "out"));
        EXPECT_TRUE(fs::is_empty(dir / "ro/ja"));
        EXPECT_FALSE(fs::exists(dir / "ro/out"));
    }

    // A file that can be written in a directory that takes no new one is written in place.
    testkit::write_bytes(dir / "ro/old", Bytes(50, 'x'));
    const Case in_place{"crunchet over a file", crunchet, {"in", "ro/old"}, "", ""};
    bool skipped = false;
    const RunResult r = run_with_read_only(in_place, dir.path(), &skipped, "old");
    if (skipped) GTEST_SKIP() << "no read-only bind mount here: " << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testkit::read_bytes(dir / "ro/old"), container_of(testkit::bytes_of("abc")));
    EXPECT_EQ(names_in(dir / "ro"), (std::set<std::string>{"ja", "old"}));

    // A file the run reads is never written in place, even where it could be.
    fs::copy_file(dir / "in.afs", dir / "ro/in.afs");
    const Case read{"swapfold over its input",
                    swapfold,
                    {"ro/in.afs", "ro/in.afs", "en"},
                    "won't write over 'ro/in.afs' in place: this run reads it\n",
                    ""};
    expect_failure(run_with_read_only(read, dir.path(), &skipped, "in.afs"), read);
    EXPECT_EQ(testkit::read_bytes(dir / "ro/in.afs"), testkit::read_bytes(dir / "in.afs"));

    // So is a file that a rename cannot replace: here a mount point of its own.
    const std::optional<std::string> unshare = testkit::helper("unshare");
    if (::geteuid() != 0) return;
    if (!unshare) GTEST_SKIP() << "no unshare(1) here for a mount point";
    testkit::write_bytes(dir / "mounted", Bytes(50, 'x'));
    const RunResult m = testkit::run(
        *unshare,
        {"-m", "/bin/sh", "-c", "mount --bind mounted mounted && exec \"$0\" in mounted", crunchet},
        dir.path());
    if (m.err.find("mount") != std::string::npos) GTEST_SKIP() << "no bind mount here: " << m.err;
    EXPECT_EQ(m.status, 0) << m.err;
    EXPECT_EQ(testkit::read_bytes(dir / "mounted"), container_of(testkit::bytes_of("abc")));
    for (const std::string& name : names_in(dir.path()))
        EXPECT_FALSE(name.starts_with(".mounted."));
}

// A file written in place over its holes on a nearly full disk: the whole range is reserved
// before the first byte, so the disk's running out leaves it as it was. The disk is a small
// file system of its own, in a private mount namespace, and the file's directory takes no
// new file, so that the file is written in place.
TEST(Faults, InPlaceOverHolesOnAFullDiskLeavesTheTargetAsItWas) {
    const std::optional<std::string> unshare = testkit::helper("unshare");
    if (::geteuid() != 0 || !unshare) GTEST_SKIP() << "needs root and unshare(1) for a small disk";
    const TempDir dir;
    write_inputs(dir, true); // a container of some 330 KB
    fs::create_directory(dir / "ro");
    const std::string script =
        "mount -t tmpfs -o size=512k none ro && truncate -s 400k ro/old && "
        "head -c 300k /dev/zero > ro/fill && mount --bind ro/old ro/old && "
        "mount -o remount,bind,ro ro && { \"$0\" in ro/old; s=$?; "
        "head -c 400k /dev/zero | cmp -s - ro/old && echo unchanged; exit $s; }";
    const RunResult r =
        testkit::run(*unshare, {"-m", "/bin/sh", "-c", script, crunchet}, dir.path());
    if (r.err.find("mount") != std::string::npos) GTEST_SKIP() << "no small disk here: " << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "can't write to 'ro/old'\n");
    EXPECT_EQ(r.out, "Original size: 300000 bytes\nunchanged\n");
}

// Where the file system shares blocks between files (btrfs, XFS), the rebuild copies an
// entry's range inside the kernel, and the rebuilt archive's extents are the input's own.
// Each file system is a loop image mounted in a private mount namespace.
TEST(Faults, RangesAreCopiedInsideTheKernelWhereTheFileSystemSharesBlocks) {
#if defined(BIPAFS_FALLBACKS)
    GTEST_SKIP() << "the fallbacks copy no range inside the kernel";
#endif
    const std::optional<std::string> unshare = testkit::helper("unshare");
    if (::geteuid() != 0 || !unshare) GTEST_SKIP() << "needs root and unshare(1) for a loop mount";
    if (!fs::exists("/sbin/filefrag") && !fs::exists("/usr/sbin/filefrag"))
        GTEST_SKIP() << "no filefrag(8) here to see shared extents";
    // The large entry lies on 4096-byte blocks in the input and lands on them in the output
    // (at 4096, after the small one at 2048), so whole blocks can be shared.
    afstest::Image image;
    image.entries = {afstest::with_data("small", 2048, testkit::pattern(100, 1)),
                     afstest::with_data("big", 1 << 20, noise(1 << 20))};
    image.names_pos = 2 << 20;
    image.size = image.names_pos + 96;
    const Bytes archive = afstest::build(image);
    struct Row {
        const char* label;
        const char* mkfs; // found in /sbin or /usr/sbin
    };
    std::string skipped; // why a row could not run
    for (const Row& row : {Row{"btrfs", "mkfs.btrfs"}, Row{"XFS", "mkfs.xfs"}}) {
        SCOPED_TRACE(row.label);
        if (!fs::exists(std::string("/sbin/") + row.mkfs) &&
            !fs::exists(std::string("/usr/sbin/") + row.mkfs)) {
            skipped += std::string(row.label) + ": no " + row.mkfs + " here; ";
            continue;
        }
        const TempDir dir;
        testkit::write_bytes(dir / "in.afs", archive);
        // XFS takes no file system below 300 MB; the image is sparse.
        const std::string script =
            std::string("truncate -s 320M img && PATH=$PATH:/sbin:/usr/sbin ") + row.mkfs +
            " -q img >/dev/null 2>&1 && mkdir mnt && " +
            "mount -o loop img mnt || { echo 'no loop mount' >&2; exit 3; }; " +
            "cp in.afs mnt/ && \"$0\" mnt/in.afs mnt/out.afs none && " +
            "cp mnt/out.afs out.afs && PATH=$PATH:/sbin:/usr/sbin " +
            "filefrag -v mnt/out.afs | grep -c shared";
        const RunResult r =
            testkit::run(*unshare, {"-m", "/bin/sh", "-c", script, swapfold}, dir.path());
        if (r.status == 3 || r.err.find("unshare") != std::string::npos) {
            skipped += std::string(row.label) + ": " + r.err + "; ";
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "1\n"); // one extent, the large entry's, shared with the input
        EXPECT_TRUE(testkit::read_bytes(dir / "out.afs") == afstest::rebuilt_bytes(archive));
    }
    if (!skipped.empty()) GTEST_SKIP() << skipped;
}

TEST(Faults, InputsThatAreDirectoriesOrFifos) {
    const TempDir dir;
    write_inputs(dir, false);
    fs::create_directories(dir / "adir");
    testkit::write_bytes(dir / "adir/x", {1}); // a size of its own on every file system
    fs::create_directories(dir / "en/a.bin");
    ASSERT_EQ(::mkfifo((dir / "afifo").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo_en/a.bin").c_str(), 0644), -1); // no such directory yet
    fs::create_directories(dir / "fifo_en");
    ASSERT_EQ(::mkfifo((dir / "fifo_en/a.bin").c_str(), 0644), 0);

    // A directory cannot be mapped; a FIFO has no size and reads as empty. Each run goes
    // through timeout(1), so an open that waits for a writer fails the row instead of
    // hanging the suite.
    const std::vector<Case> cases = {
        {"crunchet directory", crunchet, {"adir", "out"}, "can't mmap 'adir'\n", ""},
        {"crunchet fifo", crunchet, {"afifo", "out"}, "empty 'afifo'\n", ""},
        {"uncrunchet directory", uncrunchet, {"adir", "out"}, "can't mmap 'adir'\n", ""},
        {"uncrunchet fifo", uncrunchet, {"afifo", "out"}, "empty 'afifo'\n", ""},
        {"swapfold directory", swapfold, {"adir", "out", "en"}, "can't mmap 'adir'\n", ""},
        {"swapfold fifo", swapfold, {"afifo", "out", "en"}, "empty 'afifo'\n", ""},
        {"swapfold replacement directory",
         swapfold,
         {"in.afs", "out", "en"},
         "can't mmap 'en/a.bin'\n",
         ""},
        {"swapfold replacement fifo",
         swapfold,
         {"in.afs", "out", "fifo_en"},
         "empty 'fifo_en/a.bin'\n",
         ""},
    };
    const std::optional<std::string> timeout = testkit::helper("timeout");
    if (!timeout) GTEST_SKIP() << "no timeout(1) here to keep a blocked open from hanging";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> args = {"20", c.program};
        args.insert(args.end(), c.args.begin(), c.args.end());
        expect_failure(testkit::run(*timeout, args, dir.path()), c);
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
}

// Outputs that are not plain files keep what they are: a device is written to, a symbolic
// link stays and the file it leads to is replaced, keeping its permission bits.
TEST(Faults, OutputsThatAreDevicesOrLinksStaySo) {
    const TempDir dir;
    write_inputs(dir, false);
    fs::create_directory(dir / "plain");
    for (const Case& c : writers("plain/out", false)) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(testkit::run(c.program, c.args, dir.path()).status, 0);
        const Bytes expected = testkit::read_bytes(dir / "plain/out");

        std::vector<std::string> args = c.args;
        args[c.out] = "/dev/null";
        EXPECT_EQ(testkit::run(c.program, args, dir.path()).status, 0);
        struct stat st {};
        ASSERT_EQ(::stat("/dev/null", &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));

        testkit::write_bytes(dir / "real", testkit::bytes_of("old"));
        fs::permissions(dir / "real",
                        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        fs::create_symlink("real", dir / "link");
        fs::create_symlink("made", dir / "dangling");
        for (const std::string link : {"link", "dangling"}) {
            args[c.out] = link;
            const RunResult r = testkit::run(c.program, args, dir.path());
            EXPECT_EQ(r.status, 0) << link << ": " << r.err;
            EXPECT_TRUE(fs::is_symlink(dir / link)) << link;
            EXPECT_TRUE(testkit::read_bytes(dir / link) == expected) << link;
        }
        EXPECT_EQ(fs::status(dir / "real").permissions() & fs::perms::mask,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        for (const char* name : {"real", "link", "made", "dangling"}) fs::remove(dir / name);
    }
}

// Progress lines that cannot be written fail the run, after the outputs are complete.
TEST(Faults, StandardOutputThatCannotBeWritten) {
    const TempDir dir;
    write_inputs(dir, false);
    struct Row {
        std::string label;
        std::string program;
        std::vector<std::string> args; // args[1] is the output file
        int status;
    };
    const std::vector<Row> rows = {
        {"crunchet", crunchet, {"in", "out"}, 1},
        {"swapfold", swapfold, {"in.afs", "out", "en", "ja"}, 1},
        {"uncrunchet, which prints nothing", uncrunchet, {"in.bip", "out"}, 0},
    };
    for (const Row& row : rows) {
        if (!testkit::applies(row.label)) continue;
        std::vector<std::string> plain_args = row.args;
        plain_args[1] = "plain";
        ASSERT_EQ(testkit::run(row.program, plain_args, dir.path()).status, 0);
        for (const std::string redirect : {">/dev/full", ">&-"}) {
            SCOPED_TRACE(row.label + " " + redirect);
            if (redirect == ">/dev/full" && !testkit::has_full_device()) continue; // a Linux device
            std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" " + redirect, row.program};
            args.insert(args.end(), row.args.begin(), row.args.end());
            const RunResult r = testkit::run("/bin/sh", args, dir.path());
            EXPECT_EQ(r.status, row.status);
            EXPECT_EQ(r.err, row.status == 0 ? "" : "can't write to standard output\n");
            EXPECT_TRUE(testkit::read_bytes(dir / "out") == testkit::read_bytes(dir / "plain"));
            fs::remove(dir / "out");
        }
    }
}

// Memory that cannot be had, under an address-space limit that leaves room for the input's
// mapping but not for what the run allocates next. The address checker reserves far more
// address space than any such limit, so the test runs only without it.
TEST(Faults, FailedAllocationsAreReported) {
#ifdef BUILT_WITH_ASAN
    GTEST_SKIP() << "address-space limits do not work under the address checker";
#else
    constexpr std::uint64_t mib = 1 << 20;
    const TempDir dir;
    // Sparse inputs: a 256 MiB file; a container whose header states 256 MiB over a 40 MiB
    // stream, which could yield that; an archive of 4 Mi entries without data, whose tables
    // the rebuild copies.
    testkit::write_bytes(dir / "in", {});
    fs::resize_file(dir / "in", 256 * mib);
    testkit::write_bytes(dir / "in.bip", {0x00, 0x00, 0x00, 0x10});
    fs::resize_file(dir / "in.bip", 4 + 40 * mib);
    constexpr std::uint32_t entries = 4 << 20;
    Bytes head(8 + 8 * entries + 8, 0);
    std::memcpy(head.data(), "AFS", 4);
    afstest::put32(head, 4, entries);
    afstest::put32(head, 8 + 8 * entries, static_cast<std::uint32_t>(head.size()));
    afstest::put32(head, 12 + 8 * entries, 48 * entries);
    testkit::write_bytes(dir / "in.afs", head);
    fs::resize_file(dir / "in.afs", head.size() + 48 * std::uint64_t{entries});

    const std::vector<std::pair<Case, std::uint64_t>> rows = {
        {{"crunchet",
          crunchet,
          {"in", "out"},
          "out of memory for 'in'\n",
          "Original size: 268435456 bytes\n"},
         256 * mib},
        {{"uncrunchet",
          uncrunchet,
          {"in.bip", "out"},
          "can't allocate 268435457 bytes for 'in.bip'\n",
          ""},
         40 * mib},
        {{"swapfold", swapfold, {"in.afs", "out", "en"}, "out of memory\n", ""},
         fs::file_size(dir / "in.afs")},
    };
    for (const auto& [c, mapped] : rows) {
        SCOPED_TRACE(c.label);
        const std::string limit_kib = std::to_string((mapped + 128 * mib) >> 10);
        std::vector<std::string> args = {"-c", "ulimit -v " + limit_kib + " && exec \"$0\" \"$@\"",
                                         c.program};
        args.insert(args.end(), c.args.begin(), c.args.end());
        expect_failure(testkit::run("/bin/sh", args, dir.path()), c);
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
#endif
}

// An input cut short by another program while the run reads it ends the run with a message
// that names the input, never a crash or a message that blames the output, and leaves no
// output behind. Each run is held at its first line while its input shrinks.
TEST(Faults, InputThatShrinksDuringTheRun) {
    const TempDir dir;
    const Bytes content = noise(4 << 20);
    fs::create_directory(dir / "ja");
    const std::vector<Case> cases = {
        {"crunchet",
         crunchet,
         {"in", "out"},
         "'in' changed during the run\n",
         "Original size: 4194304 bytes\n"},
        {"swapfold",
         swapfold,
         {"in.afs", "out", "en", "ja"},
         "'in.afs' changed during the run\n",
         "-> a.bin\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testkit::write_bytes(dir / "in", content);
        testkit::write_bytes(dir / "in.afs", afstest::one_entry("a.bin", content));
        std::vector<std::string> words = {c.program};
        words.insert(words.end(), c.args.begin(), c.args.end());
        HeldRun run(words, dir.path());
        if (!run.held()) GTEST_SKIP() << "no /proc/PID/wchan to see the run wait";
        fs::resize_file(dir / c.args[0], 4096);
        expect_failure(run.finish(), c);
        EXPECT_FALSE(fs::exists(dir / "out"));
        EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"in", "in.afs", "ja"}));
        EXPECT_TRUE(fs::is_empty(dir / "ja"));
    }
}

// The archive's tables are checked once and only the checked copy is used: an entry record
// rewritten on disk during the run, here to point at the name table, changes nothing. With
// 3000 entries the run is held during extraction however its standard output is buffered,
// and the last entry's record is the one rewritten.
TEST(Faults, ArchiveTableChangedAfterItsChecks) {
    constexpr std::uint32_t entries = 3000;
    afstest::Image image;
    image.names_pos = 32768 + 16 * entries;
    image.size = 2 << 20; // room for the rebuild's 2048-byte blocks within four times the input
    for (std::uint32_t i = 0; i < entries; ++i)
        image.entries.push_back(afstest::with_data(std::to_string(i).append(".bin"), 32768 + 16 * i,
                                                   testkit::pattern(16, 7)));
    const Bytes input = afstest::build(image);
    const TempDir dir;
    testkit::write_bytes(dir / "in.afs", input);
    HeldRun run({swapfold, "in.afs", "out.afs", "en", "ja"}, dir.path());
    if (!run.held()) GTEST_SKIP() << "no /proc/PID/wchan to see the run wait";
    {
        std::fstream file(dir / "in.afs", std::ios::binary | std::ios::in | std::ios::out);
        Bytes record(8);
        afstest::put32(record, 0, image.names_pos);
        afstest::put32(record, 4, 96);
        file.seekp(8 + 8 * (entries - 1));
        file.write(reinterpret_cast<const char*>(record.data()), 8);
    }
    const RunResult r = run.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(testkit::read_bytes(dir / "out.afs") == afstest::rebuilt_bytes(input));
    EXPECT_TRUE(testkit::read_bytes(dir / "ja" / image.entries.back().name) ==
                image.entries.back().data);
}

// The programs run within a 32 KiB stack, as small tools are expected to.
TEST(Faults, SmallStack) {
    const TempDir dir;
    write_inputs(dir, true);
    for (const Case& c : writers("out", true)) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> args = {"-c", "ulimit -s 32 && exec \"$0\" \"$@\"", c.program};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult small = testkit::run("/bin/sh", args, dir.path());
        EXPECT_EQ(small.status, 0) << small.err;
        const Bytes out = testkit::read_bytes(dir / "out");
        ASSERT_EQ(testkit::run(c.program, c.args, dir.path()).status, 0);
        EXPECT_TRUE(out == testkit::read_bytes(dir / "out"));
    }
}

#if defined(__linux__)
// The extended attributes of `path`, by name; none where the system has none.
std::map<std::string, Bytes> attributes_of(const fs::path& path) {
    std::map<std::string, Bytes> out;
    std::string names(65536, '\0');
    const ssize_t n = ::llistxattr(path.c_str(), names.data(), names.size());
    for (std::size_t at = 0; n > 0 && at < static_cast<std::size_t>(n);) {
        const std::string name = names.c_str() + at;
        at += name.size() + 1;
        Bytes value(65536);
        const ssize_t size = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        value.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
        out[name] = value;
    }
    return out;
}

// An access list as the system stores it: a version, then each entry's tag, permission
// bits (4 read, 2 write, 1 execute) and id.
struct AclEntry {
    unsigned tag; // 0x01 owner, 0x02 a named user, 0x04 the owning group, 0x10 mask, 0x20 others
    unsigned perm;
    std::uint32_t id = 0xFFFFFFFF;
};
Bytes acl_of(std::initializer_list<AclEntry> entries) {
    Bytes acl(4, 0);
    acl[0] = 2; // the format's version
    for (const AclEntry& e : entries) {
        for (const unsigned byte : {e.tag, 0u, e.perm, 0u})
            acl.push_back(static_cast<std::uint8_t>(byte));
        for (int k = 0; k < 4; ++k) acl.push_back(static_cast<std::uint8_t>(e.id >> (8 * k)));
    }
    return acl;
}

// The owner's entry, one named user's, the owning group's, the mask and everyone else's.
Bytes access_list(unsigned owner, unsigned user, unsigned group, unsigned mask, unsigned other) {
    return acl_of({{0x01, owner}, {0x02, user, 12346}, {0x04, group}, {0x10, mask}, {0x20, other}});
}

// A file capability that grants CAP_NET_RAW, effective (version 2).
Bytes net_raw_capability() {
    Bytes cap(20, 0);
    const std::uint32_t magic = 0x02000001, permitted = 1u << 13;
    for (int k = 0; k < 4; ++k) {
        cap[k] = static_cast<std::uint8_t>(magic >> (8 * k));
        cap[4 + k] = static_cast<std::uint8_t>(permitted >> (8 * k));
    }
    return cap;
}

// A replaced file keeps what the old one had where the system allows: owner, group, mode,
// access list and other attributes. Where owner or group cannot be kept, nobody gains
// access: the set-id bits go, another group gets no group bits, and an access list that
// cannot be kept leaves the owner alone with access, with a warning. No privilege passes to
// the new content: the set-id bits go where a write by this user would clear them, and a
// capability always. A new file gets exactly what a plain new file gets in its directory.
// Each output of each program goes the same way; a few stand for all.
TEST(Faults, ReplacedFilesKeepWhatTheyHadAndNobodyGainsAccess) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files other owners";
    const std::optional<std::string> setpriv = testkit::helper("setpriv");
    if (!setpriv) GTEST_SKIP() << "no setpriv(1) here";
    constexpr uid_t owner = 12345, writer = 23457;
    constexpr gid_t project = 23456, writers = 23458;
    const std::string as = *setpriv + " --reuid 23457 --regid 23458 ";
    const std::string member = as + "--groups 23456 -- ";
    const std::string outsider = as + "--clear-groups -- ";
    const std::string no_fsetid = *setpriv + " --bounding-set -fsetid -- ";
    struct Row {
        const char* label;
        std::string command; // $C, $U and $S as in the table above
        const char* target;
        bool exists;
        uid_t old_uid;
        gid_t old_gid;
        mode_t old_mode;
        Bytes acl; // set on the old file, with a user attribute beside it, when not empty
        std::string err;
        uid_t uid; // what the file then has
        gid_t gid;
        mode_t mode;
        bool keeps_acl;
        Bytes dir_default = {};       // the directory's default access list, when not empty
        Bytes capability = {};        // the old file's capability, when not empty
        std::size_t many = 0;         // user attributes with long names the old file has besides
        int status = 0;               // 1: refused, the old file left as it was
        bool like_a_new_file = false; // mode and access list those of the file `plain`,
                                      // which the command makes with touch afterwards
    };
    const Bytes private_acl = access_list(6, 4, 0, 4, 0); // 0640, the group's bits the mask's
    const Bytes open_acl = access_list(6, 4, 0, 4, 6);    // 0646
    // Others get nothing; the named user may write.
    const Bytes closed_default = access_list(7, 7, 5, 7, 0);
    // No named entry and no mask: the bits alone say it all, and the umask has no say.
    const Bytes readable_default = acl_of({{0x01, 7}, {0x04, 5}, {0x20, 5}});
    const std::string lost = "can't copy the ACL of 'out': only its owner has access now\n";
    const auto like_plain = [](const char* label, const std::string& command, const char* target,
                               mode_t mode, bool keeps_acl, const Bytes& dir_default) {
        Row row{label,    command + " && touch plain", target, false, 0, 0, 0, {}, "", 0, 0, mode,
                keeps_acl};
        row.dir_default = dir_default;
        row.like_a_new_file = true;
        return row;
    };
    const std::vector<Row> rows = {
        {"new, umask 077",
         "umask 077 && $C in out",
         "out",
         false,
         0,
         0,
         0,
         {},
         "",
         0,
         0,
         0600,
         false},
        {"new, umask 002",
         "umask 002 && $U in.bip out",
         "out",
         false,
         0,
         0,
         0,
         {},
         "",
         0,
         0,
         0664,
         false},
        // New files beside a file `plain` that touch makes after the run: the same mode and
        // access list.
        like_plain("new, in a directory with a default access list", "$C in out", "out", 0660, true,
                   closed_default),
        like_plain("new, extracted into a directory with a default access list",
                   "$S in.afs x.afs none .", "a.bin", 0660, true, closed_default),
        like_plain("new, umask 077, in a directory whose default list lets others read",
                   "umask 077 && $U in.bip out", "out", 0644, false, readable_default),
        {"an access list", "$C in out", "out", true, 0, 0, 0640, private_acl, "", 0, 0, 0640, true},
        {"an access list, extracted over", "$S in.afs x.afs none .", "a.bin", true, 0, 0, 0640,
         private_acl, "", 0, 0, 0640, true},
        {"an access list and more attributes than a small list holds",
         "$U in.bip out",
         "out",
         true,
         0,
         0,
         0640,
         private_acl,
         "",
         0,
         0,
         0640,
         true,
         {},
         {},
         12},
        {"by a member of the file's group",
         member + "$U in.bip out",
         "out",
         true,
         owner,
         project,
         02660,
         {},
         "",
         writer,
         project,
         0660,
         false},
        {"by someone outside the file's group",
         outsider + "$U in.bip out",
         "out",
         true,
         owner,
         project,
         0666,
         {},
         "",
         writer,
         writers,
         0606,
         false},
        {"an access list, by someone outside the file's group", outsider + "$U in.bip out", "out",
         true, owner, project, 0646, open_acl, lost, writer, writers, 0600, false},
        // The directory's default list would grant the named user; the old file did not.
        {"none, in a directory with a default access list",
         "$C in out",
         "out",
         true,
         0,
         0,
         0640,
         {},
         "",
         0,
         0,
         0640,
         false,
         access_list(7, 7, 5, 7, 5)},
        {"a file the user may not write",
         outsider + "$U in.bip out",
         "out",
         true,
         owner,
         project,
         0644,
         {},
         "can't open 'out' for writing\n",
         owner,
         project,
         0644,
         false,
         {},
         {},
         0,
         1},
        // Set-id bits stay for a writer with CAP_FSETID, as root has, and go for any other,
        // as a write would clear them.
        {"set-uid and set-gid, by root",
         "$U in.bip out",
         "out",
         true,
         0,
         0,
         06755,
         {},
         "",
         0,
         0,
         06755,
         false},
        {"set-uid and set-gid, by root without CAP_FSETID",
         no_fsetid + "$U in.bip out",
         "out",
         true,
         0,
         0,
         06755,
         {},
         "",
         0,
         0,
         0755,
         false},
        {"set-uid and set-gid, by their owner, a member of the group",
         member + "$C in out",
         "out",
         true,
         writer,
         project,
         06775,
         {},
         "",
         writer,
         project,
         0775,
         false},
        // A capability goes with any write, even root's.
        {"a capability, by root",
         "$U in.bip out",
         "out",
         true,
         0,
         0,
         04750,
         private_acl,
         "",
         0,
         0,
         04640,
         true,
         {},
         net_raw_capability()}, // the list's bits and the set-uid bit
        {"a capability, extracted over by root",
         "$S in.afs x.afs none .",
         "a.bin",
         true,
         0,
         0,
         0755,
         {},
         "",
         0,
         0,
         0755,
         false,
         {},
         net_raw_capability()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const TempDir dir;
        write_inputs(dir, false);
        fs::permissions(dir.path(), fs::perms::all); // others may make files here
        const fs::path target = dir / row.target;
        if (row.exists) {
            testkit::write_bytes(target, testkit::bytes_of("old"));
            ASSERT_EQ(::chown(target.c_str(), row.old_uid, row.old_gid), 0);
            ASSERT_EQ(::chmod(target.c_str(), row.old_mode), 0);
        }
        const bool attributes_used =
            !row.dir_default.empty() || !row.acl.empty() || !row.capability.empty() || row.many > 0;
#if defined(BIPAFS_FALLBACKS)
        // Without Linux's capabilities, the fallbacks take root as a writer that keeps them.
        if (row.command.starts_with(no_fsetid)) continue;
#endif
#if defined(BIPAFS_FALLBACKS)
        if (attributes_used) continue; // the fallbacks read no attributes, and keep none
#else
        static_cast<void>(attributes_used);
#endif
        if (!row.dir_default.empty() &&
            ::setxattr(dir.path().c_str(), "system.posix_acl_default", row.dir_default.data(),
                       row.dir_default.size(), 0) != 0)
            GTEST_SKIP() << "no access lists on this file system";
        if (!row.acl.empty()) {
            if (::setxattr(target.c_str(), "system.posix_acl_access", row.acl.data(),
                           row.acl.size(), 0) != 0)
                GTEST_SKIP() << "no access lists on this file system";
            ASSERT_EQ(::setxattr(target.c_str(), "user.origin", "disc 1", 6, 0), 0);
        }
        for (std::size_t k = 0; k < row.many; ++k) {
            const std::string name = "user.an_attribute_with_a_long_name_" + std::to_string(k);
            ASSERT_EQ(::setxattr(target.c_str(), name.c_str(), name.data(), name.size(), 0), 0);
        }
        // Set last: a change of owner or mode would clear it.
        if (!row.capability.empty() &&
            ::setxattr(target.c_str(), "security.capability", row.capability.data(),
                       row.capability.size(), 0) != 0)
            GTEST_SKIP() << "no file capabilities on this file system";
        const std::map<std::string, Bytes> old_attributes = attributes_of(target);
        const std::string script =
            "C=" + crunchet + " U=" + uncrunchet + " S=" + swapfold + " && " + row.command;
        const RunResult r = testkit::run("/bin/sh", {"-c", script}, dir.path());
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.err, row.err);
        struct stat st {};
        ASSERT_EQ(::lstat(target.c_str(), &st), 0);
        if (row.status == 0)
            EXPECT_NE(testkit::read_bytes(target), testkit::bytes_of("old"));
        else
            EXPECT_EQ(testkit::read_bytes(target), testkit::bytes_of("old"));
        EXPECT_EQ(st.st_uid, row.uid);
        EXPECT_EQ(st.st_gid, row.gid);
        EXPECT_EQ(st.st_mode & 07777, row.mode);
        std::map<std::string, Bytes> attributes = attributes_of(target);
        EXPECT_EQ(attributes.contains("system.posix_acl_access"), row.keeps_acl);
        if (row.keeps_acl && !row.acl.empty()) {
            EXPECT_EQ(attributes["system.posix_acl_access"], row.acl);
            EXPECT_EQ(attributes["user.origin"], testkit::bytes_of("disc 1"));
        }
        if (row.status == 0) {
            EXPECT_FALSE(attributes.contains("security.capability"));
        }
        for (const auto& [name, value] : old_attributes) {
            if (name.starts_with("user.")) {
                EXPECT_EQ(attributes[name], value) << name;
            }
        }
        if (row.like_a_new_file) {
            struct stat plain {};
            ASSERT_EQ(::lstat((dir / "plain").c_str(), &plain), 0);
            EXPECT_EQ(st.st_mode & 07777, plain.st_mode & 07777);
            EXPECT_EQ(attributes["system.posix_acl_access"],
                      attributes_of(dir / "plain")["system.posix_acl_access"]);
        }
    }
}
#endif

// However an output's path is spelled, what it leads to decides how it is written: a file
// the run reads is replaced whole or left as it was with a refusal, and an open descriptor
// is written through as the caller opened it, from its offset, never truncated.
TEST(Faults, OutputsByEverySpelling) {
    enum class Holds { rebuilt, rebuilt_with_replacement, as_it_was, appended, twice, nothing };
    struct Row {
        const char* label;
        std::string script; // $C, $U and $S are crunchet, uncrunchet and swapfold
        int status;
        std::string out;
        std::string err;
        const char* file; // the file the row looks at afterwards
        Holds holds;
    };
    const std::string long_link = "ln -s \"$(printf './%.0s' $(seq 2040))in.afs\" long.afs && ";
    // t.afs, with a second name h.afs, at the end of a chain of links from l1 to l40.
    const std::string chain =
        "cp in.afs t.afs && ln t.afs h.afs && ln -s t.afs l40 && i=40 && "
        "while [ $i -gt 1 ]; do ln -s l$i l$((i - 1)); i=$((i - 1)); done && ";
    // Room for `n` more descriptors above those the test's process left open; the address
    // checker's leak check, which needs descriptors of its own at exit, is left out.
    const auto room_for = [](int n) {
        return "export ASAN_OPTIONS=detect_leaks=0 && f=3 && while [ -e /dev/fd/$f ]; do "
               "f=$((f + 1)); done && ulimit -n $((f + " +
               std::to_string(n) + ")) && ";
    };
    const std::vector<Row> rows = {
        {"its input, through /proc/self/cwd", "$S in.afs /proc/self/cwd/in.afs none", 0, "", "",
         "in.afs", Holds::rebuilt},
        {"its input, through a link too long to spell out",
         long_link + "$S in.afs \"$PWD/long.afs\" none", 0, "", "", "in.afs", Holds::rebuilt},
        {"its input, open for reading as a descriptor", "$S in.afs /dev/fd/3 none 3<in.afs", 1, "",
         "can't write to '/dev/fd/3'\n", "in.afs", Holds::as_it_was},
        {"its input, open for writing as a descriptor", "$S in.afs /proc/self/fd/3 none 3<>in.afs",
         1, "", "won't write over '/proc/self/fd/3' in place: this run reads it\n", "in.afs",
         Holds::as_it_was},
        {"a replacement, through /proc/self/cwd", "$S in.afs /proc/self/cwd/en/a.bin en", 0,
         "<- a.bin\n", "", "en/a.bin", Holds::rebuilt_with_replacement},
        {"/dev/stdout appended to", "printf 'old\\n' > log && $U in.bip /dev/stdout >> log", 0, "",
         "", "log", Holds::appended},
        {"/dev/stdout written twice", "{ $U in.bip /dev/stdout && $U in.bip /dev/stdout; } > log",
         0, "", "", "log", Holds::twice},
        {"/dev/stdout that the size lines go to", "$C in /dev/stdout > log", 1, "",
         "won't write to '/dev/stdout': it is this run's standard output\n", "log", Holds::nothing},
        // Replaced, never written in place: the file's other name keeps the old content.
        {"a chain of 40 links", chain + "$S in.afs l1 none", 0, "", "", "h.afs", Holds::as_it_was},
        {"a chain of 41 links", chain + "ln -s l1 l0 && $S in.afs l0 none", 1, "",
         "can't open 'l0' for writing\n", "h.afs", Holds::as_it_was},
        {"a link that cannot be followed for want of descriptors",
         chain + room_for(2) + "$S in.afs l40 none", 1, "", "can't open 'l40' for writing\n",
         "h.afs", Holds::as_it_was},
        {"a replacement that cannot be opened for want of descriptors",
         room_for(3) + "$S in.afs out.afs en", 1, "<- a.bin\n", "mmap can't open 'en/a.bin'\n",
         "in.afs", Holds::as_it_was},
        {"an entry named like standard error's file",
         "mkdir ja && echo old > ja/a.bin && { $S in.afs x.afs none ja 2>>ja/a.bin; s=$?; "
         "cat ja/a.bin >&2; exit $s; }",
         1, "-> a.bin\n", "old\nwon't write to 'ja/a.bin': it is this run's standard error\n",
         "in.afs", Holds::as_it_was},
    };
    const Bytes content = testkit::bytes_of("abc");
    const Bytes archive = afstest::one_entry("a.bin", content);
    const Bytes replacement = testkit::bytes_of("translated");
    const auto expected = [&](Holds holds) {
        switch (holds) {
        case Holds::rebuilt:
            return afstest::rebuilt_bytes(archive);
        case Holds::rebuilt_with_replacement:
            return afstest::rebuilt_bytes(archive, {{"a.bin", replacement}});
        case Holds::as_it_was:
            return archive;
        case Holds::appended:
            return testkit::concat(testkit::bytes_of("old\n"), content);
        case Holds::twice:
            return testkit::concat(content, content);
        case Holds::nothing:
            break;
        }
        return Bytes{};
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const TempDir dir;
        testkit::write_bytes(dir / "in", content);
        testkit::write_bytes(dir / "in.bip", container_of(content));
        testkit::write_bytes(dir / "in.afs", archive);
        fs::create_directory(dir / "en");
        testkit::write_bytes(dir / "en/a.bin", replacement);
        const std::string script =
            "C=" + crunchet + " U=" + uncrunchet + " S=" + swapfold + " && " + row.script;
        const RunResult r = testkit::run("/bin/sh", {"-c", script}, dir.path());
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, row.err);
        EXPECT_TRUE(testkit::read_bytes(dir / row.file) == expected(row.holds));
        for (const std::string& name : names_in(dir.path())) EXPECT_FALSE(name.starts_with("."));
    }
}

// A log of both streams holds every line in the order it happened, a failure's message after
// the lines that led to it, whether the log is a file or a pipe.
TEST(Faults, LogOfBothStreamsIsInOrder) {
    const TempDir dir;
    write_inputs(dir, false);
    afstest::Image image = afstest::two_entries();
    image.entries[1].name = "../x";
    testkit::write_bytes(dir / "unsafe.afs", afstest::build(image));
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"$S unsafe.afs out en ja", "-> one.bin\n-> ../x\nunsafe filename\n"},
        {"$C in missing/out", "Original size: 3 bytes\ncan't open 'missing/out' for writing\n"},
    };
    for (const auto& [command, log] : rows) {
        if (!testkit::applies(command)) continue;
        for (const std::string into : {"> log 2>&1", "2>&1 | cat > log"}) {
            SCOPED_TRACE(command + " " + into);
            const std::string script =
                "C=" + crunchet + " S=" + swapfold + " && " + command + " " + into;
            EXPECT_EQ(testkit::run("/bin/sh", {"-c", script}, dir.path()).status,
                      into.starts_with(">") ? 1 : 0);
            EXPECT_EQ(testkit::read_bytes(dir / "log"), testkit::bytes_of(log));
        }
    }
}

// A run ended by a signal leaves a log that names every file it extracted.
TEST(Faults, InterruptedExtractionLogsEveryFileItWrote) {
    constexpr std::uint32_t entries = 20000;
    afstest::Image image;
    image.names_pos = 11 << 20; // large enough that the rebuild of 20000 blocks fits

    image.size = image.names_pos + 48 * entries;
    for (std::uint32_t i = 0; i < entries; ++i)
        image.entries.push_back(
            afstest::with_data(std::to_string(i), 262144 + 16 * i, testkit::pattern(16, 9)));
    const TempDir dir;
    testkit::write_bytes(dir / "in.afs", afstest::build(image));
    const int log = ::open((dir / "log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(log, 0);
    const pid_t pid = start({swapfold, "in.afs", "out.afs", "en", "ja"}, dir.path(), log);
    ::close(log);
    ASSERT_GT(pid, 0);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline && ::waitpid(pid, &status, WNOHANG) == 0) {
        std::error_code error;
        if (fs::exists(dir / "ja/300", error)) {
            ::kill(pid, SIGINT);
            break;
        }
    }
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "the run ended first";
    const Bytes bytes = testkit::read_bytes(dir / "log");
    const std::string text(bytes.begin(), bytes.end());
    ASSERT_TRUE(text.empty() || text.back() == '\n') << "a line cut off";
    for (const std::string& name : names_in(dir / "ja"))
        EXPECT_NE(text.find("-> " + name + "\n"), std::string::npos) << name;
}

} // namespace
