// write_file() from a list of pieces: the file holds the pieces' bytes in order whatever mix
// of buffers, zero runs and pieces of mapped or named source files it is given, and its
// failures stop with the one-buffer form's messages, or say that a named source changed
// (death tests, since they end the process).
#include "wholefile.hpp"

#include "testkit.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using testkit::Bytes;
using testkit::exactly;
using testkit::TempDir;
using wholefile::Piece;

// The bytes a list of pieces stands for, worked out plainly.
Bytes concatenated(const std::vector<Piece>& pieces) {
    Bytes out;
    for (const Piece& p : pieces) {
        if (p.file != nullptr) {
            const Bytes file = testkit::read_bytes(p.file->path);
            out.insert(out.end(), file.begin() + p.offset, file.begin() + p.offset + p.size);
        } else if (p.data == nullptr) {
            out.insert(out.end(), p.size, 0);
        } else {
            out.insert(out.end(), p.data, p.data + p.size);
        }
    }
    return out;
}

// A source file mapped with its descriptor kept, as a program maps its input.
struct MappedSource {
    explicit MappedSource(const std::filesystem::path& path) {
        mapping = wholefile::mmap_file(path.c_str(), &fd);
    }
    ~MappedSource() {
        ::munmap(mapping.data(), mapping.size());
        if (fd >= 0) ::close(fd);
    }
    MappedSource(const MappedSource&) = delete;
    MappedSource& operator=(const MappedSource&) = delete;
    [[nodiscard]] Piece at(std::size_t offset, std::size_t size) const {
        return {mapping.data() + offset, size};
    }
    std::span<std::uint8_t> mapping;
    int fd = -1;
};

// A source named by its path, which the writer opens only when its pieces come.
struct NamedSource {
    explicit NamedSource(const std::filesystem::path& file)
        : path(file.string()), source{{}, -1, path.c_str(), std::filesystem::file_size(file)} {}
    [[nodiscard]] Piece at(std::size_t offset, std::size_t size) const {
        return {nullptr, size, &source, offset};
    }
    std::string path;
    wholefile::Source source;
};

TEST(WritePieces, WritesThePiecesInOrder) {
    const TempDir dir;
    const Bytes file = testkit::pattern(400000, 3);
    testkit::write_bytes(dir / "source", file);
    const MappedSource source(dir / "source");
    ASSERT_GE(source.fd, 0);
    const NamedSource named(dir / "source");
    const Bytes a = testkit::pattern(5000, 90);
    const Bytes small = testkit::pattern(7, 200);

    struct Row {
        const char* label;
        std::vector<Piece> pieces;
        bool with_source = false;
        bool broken_descriptor = false; // the source's copies fail and must be made otherwise
    };
    std::vector<Piece> many; // far more than one system call takes
    for (int k = 0; k < 3000; ++k)
        many.push_back(
            k % 3 == 2 ? Piece{nullptr, std::uint64_t(k % 5)}
                       : Piece{small.data() + k % 7, std::uint64_t(k % 7 == 0 ? 0 : 7 - k % 7)});
    std::vector<Piece> sliced; // one source read in many short pieces, partly out of order
    for (std::size_t at = 0; at < 300000; at += 1000) sliced.push_back(source.at(at, 1000));
    sliced.push_back(source.at(5, 10));
    const std::vector<Row> rows = {
        {"no pieces", {}},
        {"only empty pieces", {{a.data(), 0}, {nullptr, 0}}},
        {"zero runs shorter and longer than any block",
         {{nullptr, 1}, {nullptr, 200000}, {a.data(), 3}, {nullptr, 65537}}},
        {"neighbouring pieces of one buffer",
         {{a.data(), 100}, {a.data() + 100, 4900}, {a.data(), 10}}},
        {"pieces beyond one batch", many},
        {"source pieces out of order with buffers between",
         {source.at(300000, 100000),
          {a.data(), 5000},
          {nullptr, 2047},
          source.at(0, 1),
          source.at(1, 299999),
          source.at(123, 0),
          {nullptr, 9}},
         true},
        {"a source read in short pieces", sliced, true},
        {"source copies that fail",
         {source.at(1000, 50000), {nullptr, 3}, source.at(0, 400000)},
         true,
         true},
        {"a named source, opened when its pieces come",
         {{a.data(), 10}, named.at(7, 200000), {nullptr, 5}, named.at(0, 400000)}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const auto out = dir / "out";
        testkit::write_bytes(out, Bytes(450000, 0xee)); // replaced whole
        std::vector<wholefile::Source> sources;
        if (row.with_source)
            sources.push_back({source.mapping, row.broken_descriptor ? -1 : source.fd});
        wholefile::write_file(out.c_str(), row.pieces, sources);
        const Bytes got = testkit::read_bytes(out);
        const Bytes want = concatenated(row.pieces);
        EXPECT_EQ(got.size(), want.size());
        EXPECT_TRUE(got == want);
    }
}

void on_alarm(int) {}

// A pipe takes only part of a large write, and a signal arriving while the writer waits cuts
// the write short or interrupts it; the reader must still get every byte once, in order.
//
// The FIFO is opened for reading before the child starts, so the child's own open of it
// never waits (and no timer signal can cut that open short), and a writer end is held open
// across the fork, which the child keeps until it exits, so the reader meets the end of the
// data only when the child is gone, however early it fails.
TEST(WritePieces, ResumesShortAndInterruptedWrites) {
    const TempDir dir;
    const auto fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    testkit::write_bytes(dir / "source", testkit::pattern(3 << 20, 11));
    const MappedSource source(dir / "source");
    const NamedSource named(dir / "source");
    const Bytes a = testkit::pattern(1 << 20, 12);
    // Nothing is copied into a pipe inside the kernel, so the named source is read through.
    const std::vector<Piece> pieces = {{a.data(), a.size()},
                                       {nullptr, 1 << 20},
                                       source.at(1, (3 << 20) - 1),
                                       named.at(5, 2 << 20),
                                       {a.data(), 5}};
    const wholefile::Source sources[] = {{source.mapping, source.fd}};

    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const int held = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::fcntl(fd, F_SETFL, 0), 0); // reads wait for data from here on

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct sigaction action {};
        action.sa_handler = on_alarm; // no SA_RESTART: a blocked write returns early
        ::sigaction(SIGALRM, &action, nullptr);
        const itimerval every{{0, 300}, {0, 300}};
        ::setitimer(ITIMER_REAL, &every, nullptr);
        wholefile::write_file(fifo.c_str(), pieces, sources);
        ::_exit(0);
    }
    ::close(held);
    Bytes got;
    std::uint8_t buffer[1500];
    for (int reads = 0;; ++reads) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got.insert(got.end(), buffer, buffer + n);
        if (reads % 64 == 0) ::usleep(200); // keeps the pipe full, so the writer waits
    }
    ::close(fd);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(got.size(), concatenated(pieces).size());
    EXPECT_TRUE(got == concatenated(pieces));
}

TEST(WritePiecesDeathTest, FailuresStopWithTheirMessage) {
    const TempDir dir;
    testkit::write_bytes(dir / "source", testkit::pattern(300000, 5));
    const MappedSource source(dir / "source");
    const Bytes a = testkit::pattern(100, 9);
    NamedSource shrunk(dir / "source");
    shrunk.source.size = 300001;
    testkit::write_bytes(dir / "gone", {1});
    const NamedSource gone(dir / "gone");
    std::filesystem::remove(dir / "gone");
    testkit::write_bytes(dir / "out", testkit::bytes_of("kept"));
    struct Row {
        const char* label;
        std::string path;
        std::vector<Piece> pieces;
        const char* format;
    };
    const std::vector<Row> rows = {
        {"output in a missing directory",
         (dir / "missing" / "out").string(),
         {{a.data(), 3}},
         "can't open '%s' for writing\n"},
        {"output path is a directory", dir.path().string(), {}, "can't open '%s' for writing\n"},
        {"full device, from memory",
         "/dev/full",
         {{a.data(), 100}, {nullptr, 5}},
         "can't write to '%s'\n"},
        {"full device, from the source",
         "/dev/full",
         {source.at(0, 300000)},
         "can't write to '%s'\n"},
        {"named source of another size than laid out",
         (dir / "out").string(),
         {{a.data(), 3}, shrunk.at(0, 10)},
         "'%s' changed during the run\n"},
        {"named source gone",
         (dir / "out").string(),
         {gone.at(0, 1)},
         "'%s' changed during the run\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        if (row.path == "/dev/full" && !testkit::has_full_device()) continue; // a Linux device
        std::string message = row.format;
        const Piece* const file_piece =
            !row.pieces.empty() && row.pieces.back().file ? &row.pieces.back() : nullptr;
        message.replace(message.find("%s"), 2, file_piece ? file_piece->file->path : row.path);
        const wholefile::Source sources[] = {{source.mapping, source.fd}};
        EXPECT_EXIT(wholefile::write_file(row.path.c_str(), row.pieces, sources),
                    testing::ExitedWithCode(1), exactly(message));
    }
    // The failed writes left the existing output as it was, and nothing beside it.
    EXPECT_EQ(testkit::read_bytes(dir / "out"), testkit::bytes_of("kept"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              2);
}

} // namespace
