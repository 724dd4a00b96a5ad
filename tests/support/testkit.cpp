#include "testkit.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testkit {

namespace fs = std::filesystem;

Bytes bytes_of(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes pattern(std::size_t count, std::uint8_t seed) {
    Bytes out(count);
    for (std::size_t k = 0; k < count; ++k)
        out[k] = static_cast<std::uint8_t>(seed + k * 7 + k / 251);
    return out;
}

Bytes counting(std::size_t count) {
    Bytes out(count);
    for (std::size_t k = 0; k < count; ++k) out[k] = static_cast<std::uint8_t>(k % 200 + 1);
    return out;
}

std::string exactly(const std::string& message) {
    std::string re = "^";
    for (const char c : message) {
        if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) re += '\\';
        re += c;
    }
    return re + "$";
}

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "bipafs-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may leave read-only directories behind; make everything removable first.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

Bytes read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const fs::path& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> paths;
    for (const auto& e : fs::recursive_directory_iterator(root))
        paths.insert(e.path().lexically_relative(root).string());
    return paths;
}

namespace {

constexpr const char* time_program = "/usr/bin/time";

std::string slurp_and_remove(const fs::path& path) {
    const Bytes data = read_bytes(path);
    fs::remove(path);
    return std::string(data.begin(), data.end());
}

} // namespace

bool has_gnu_time() {
    // Run with time_program as argv[0], so run() does not itself time it.
    static const bool have =
        ::access(time_program, X_OK) == 0 &&
        run(time_program, {"-q", "-f", "%M", "-o", "/dev/null", "/bin/sh", "-c", ":"}, "/",
            time_program)
                .status == 0;
    return have;
}

std::optional<std::string> helper(const std::string& name) {
    for (const char* dir : {"/usr/bin/", "/bin/"}) {
        const std::string path = dir + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return std::nullopt;
}

bool under_wine() {
#ifdef BIPAFS_WINE_LIST
    return true;
#else
    return false;
#endif
}

bool applies(std::string_view label) {
#ifdef BIPAFS_WINE_LIST
    // "Suite.Case" for every row of a test, "Suite.Case: label" for one row.
    static const std::set<std::string> listed = [] {
        std::set<std::string> lines;
        std::ifstream in(BIPAFS_WINE_LIST);
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line[0] != '#') lines.insert(line);
        return lines;
    }();
    const ::testing::TestInfo* const test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr) return false;
    const std::string name = std::string(test->test_suite_name()) + "." + test->name();
    return listed.contains(name) || listed.contains(name + ": " + std::string(label));
#else
    static_cast<void>(label);
    return true;
#endif
}

bool has_full_device() {
    struct stat st {};
    return ::stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode);
}

int spawn_in(pid_t* pid, const char* path, posix_spawn_file_actions_t* actions,
             const posix_spawnattr_t* attr, char* const argv[], const fs::path& cwd) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 29) && !defined(BIPAFS_FALLBACKS)
    // The child changes directory after the caller's own actions.
    posix_spawn_file_actions_addchdir_np(actions, cwd.c_str());
    return ::posix_spawn(pid, path, actions, attr, argv, environ);
#else
    // Without a spawn action for it, this process changes directory around the spawn. The
    // tests start their children from one thread, and give absolute paths in their actions.
    const int here = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (here < 0) return errno;
    if (::chdir(cwd.c_str()) != 0) {
        const int error = errno;
        ::close(here);
        return error;
    }
    const int spawned = ::posix_spawn(pid, path, actions, attr, argv, environ);
    if (::fchdir(here) != 0) std::abort();
    ::close(here);
    return spawned;
#endif
}

RunResult run(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
              const std::string& argv0) {
    // Captured output goes to files beside the system's temporary directory, so that a
    // chatty child can never block on a full pipe.
    TempDir capture;
    const fs::path out_path = capture / "stdout";
    const fs::path err_path = capture / "stderr";

    // A child's peak resident size starts at its parent's size when it is created, so a
    // figure taken directly would be at least the test process's own. /usr/bin/time is a
    // small process of its own and measures its child exactly; it is used whenever the
    // program's argv[0] can be the program path.
    const fs::path rss_path = capture / "rss";
    const bool timed = argv0.empty() && has_gnu_time();
    std::vector<std::string> words;
    if (timed) words = {time_program, "-q", "-f", "%M", "-o", rss_path.string()};
    words.push_back(argv0.empty() ? program : argv0);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = 0;
    const int spawned =
        spawn_in(&pid, timed ? time_program : program.c_str(), &actions, nullptr, argv.data(), cwd);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + program);

    int wstatus = 0;
    struct rusage usage {};
    if (::wait4(pid, &wstatus, 0, &usage) != pid) throw std::runtime_error("wait4 failed");

    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = slurp_and_remove(out_path);
    result.err = slurp_and_remove(err_path);
    result.peak_rss_kib = usage.ru_maxrss;
    if (timed) {
        const std::string rss = slurp_and_remove(rss_path);
        result.peak_rss_kib = std::strtol(rss.c_str(), nullptr, 10);
    }
    return result;
}

} // namespace testkit
