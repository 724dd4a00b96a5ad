// Replays fuzz inputs through a target's entry point, for builds without libFuzzer.
//
// Each argument is a file or a directory of files; every file is read whole and handed to
// the target once, in name order so that a failure is reproducible. A run that finds no
// input at all fails, so a missing or misplaced corpus cannot pass unnoticed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

[[nodiscard]] std::vector<std::filesystem::path> inputs_under(const std::filesystem::path& arg) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(arg)) {
        for (const auto& item : std::filesystem::directory_iterator(arg))
            if (item.is_regular_file()) files.push_back(item.path());
    } else if (std::filesystem::is_regular_file(arg)) {
        files.push_back(arg);
    }
    std::sort(files.begin(), files.end());
    return files;
}

[[nodiscard]] std::vector<std::uint8_t> read_whole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void run_one(const std::filesystem::path& path) {
    const std::vector<std::uint8_t> bytes = read_whole(path);
    // An exact-size copy, so that reading one byte too far is caught by the address checker.
    const auto copy = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), copy.get());
    (void)LLVMFuzzerTestOneInput(copy.get(), bytes.size());
}

} // namespace

int main(int argc, char** argv) {
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& path : inputs_under(argv[i])) {
            run_one(path);
            ++replayed;
        }
    }
    if (replayed == 0) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 1;
    }
    std::printf("replayed %zu inputs\n", replayed);
    return 0;
}
