// crunchet: compresses one file into a ".bip" container and reports both sizes.
//
// Maps the input, builds the whole container in memory and writes it in one piece, so
// out.bip is replaced only once compression has finished and the container is complete.
// Peak memory is the input mapping plus the container's buffer. An input too large for the
// container is refused before it is mapped, so it prints no size at all; otherwise the
// original size is printed before compressing starts, and the compressed size once the
// container is safely written.
#include "bip.hpp"
#include "wholefile.hpp"

#include <cinttypes>
#include <cstdint>
#include <string>

namespace {

void print_size(const char* which, std::uint64_t size) {
    wholefile::say("%s size: %" PRIu64 " bytes\n", which, size);
}

} // namespace

int main(int argc, char** argv) {
    wholefile::start_run(argc, argv, wholefile::StandardOutput::prints_lines);
    if (argc != 3) wholefile::fail("usage: %s in out.bip\n", argc > 0 ? argv[0] : "crunchet");
    const char* const in_path = argv[1];
    const char* const out_path = argv[2];
    const std::string shown_in = wholefile::printable(in_path);
    wholefile::check_output(out_path);

    // The encoder's lengths, and the header's size as stored, are signed 32-bit.
    const std::span<const std::uint8_t> content = wholefile::mmap_file(
        in_path, bip::max_content_size, "too large to compress (2 GiB or more)");
    print_size("Original", content.size());
    const bip::Container container = bip::build_container(content);
    switch (container.status) {
    case bip::BuildStatus::built:
        break;
    case bip::BuildStatus::too_large: // mmap_file refuses such an input before this
        wholefile::fail("too large to compress (2 GiB or more) '%s'\n", shown_in.c_str());
    case bip::BuildStatus::out_of_memory:
        wholefile::fail("out of memory for '%s'\n", shown_in.c_str());
    case bip::BuildStatus::empty: // mmap_file stops on an empty file before this
        wholefile::fail("empty '%s'\n", shown_in.c_str());
    }

    // The size is reported once the container is safely written, never over a failed write.
    wholefile::write_file(out_path, container.bytes());
    print_size("Compressed", container.size);
    wholefile::close_standard_output();
    return 0;
}
