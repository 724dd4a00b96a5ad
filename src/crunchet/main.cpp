// crunchet: compresses one file into a ".bip" container and reports both sizes.
//
// Maps the input, builds the whole container in memory and writes it in one piece, so
// out.bip is replaced only once compression has finished and the container is complete.
// Peak memory is the input mapping plus the container's buffer. The original size is
// printed once the container is built, so an input that is refused prints no size at all.
#include "bip.hpp"
#include "wholefile.hpp"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// The encoder's lengths, and the header's size as stored, are signed 32-bit.
[[noreturn]] void fail_too_large(const std::string& shown_path) {
    wholefile::fail("too large to compress (2 GiB or more) '%s'\n", shown_path.c_str());
}

void print_size(const char* which, std::uint64_t size) {
    std::printf("%s size: %" PRIu64 " bytes\n", which, size);
}

} // namespace

int main(int argc, char** argv) {
    wholefile::guard_standard_streams();
    if (argc != 3) wholefile::fail("usage: %s in out.bip\n", argc > 0 ? argv[0] : "crunchet");
    const char* const in_path = argv[1];
    const char* const out_path = argv[2];
    const std::string shown_in = wholefile::printable(in_path);

    const std::span<const std::uint8_t> content = wholefile::mmap_file(in_path);
    const bip::Container container = bip::build_container(content);
    switch (container.status) {
    case bip::BuildStatus::built:
        break;
    case bip::BuildStatus::too_large: // refused before any size is reported
        fail_too_large(shown_in);
    case bip::BuildStatus::out_of_memory:
        print_size("Original", content.size());
        wholefile::fail("out of memory for '%s'\n", shown_in.c_str());
    case bip::BuildStatus::empty: // mmap_file stops on an empty file before this
        wholefile::fail("empty '%s'\n", shown_in.c_str());
    }
    print_size("Original", content.size());

    // The size is reported once the container is safely written, never over a failed write.
    wholefile::write_file(out_path, container.bytes());
    print_size("Compressed", container.size);
    wholefile::close_standard_output();
    return 0;
}
