// uncrunchet: restores the file held in a ".bip" container.
//
// Maps the container, decodes it in memory and writes the content in one piece. A header
// that disagrees with what its stream yields does not stop the run: the content is written
// as far as the stream and the header both allow, and one warning line says so.
#include "bip.hpp"
#include "wholefile.hpp"

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <string>

int main(int argc, char** argv) {
    wholefile::start_run(argc, argv, wholefile::StandardOutput::unused);
    if (argc != 3) wholefile::fail("usage: %s in.bip out\n", argc > 0 ? argv[0] : "uncrunchet");
    const char* const in_path = argv[1];
    const char* const out_path = argv[2];
    const std::string shown_in = wholefile::printable(in_path);

    const std::span<const std::uint8_t> file = wholefile::mmap_file(in_path);
    bip::Outcome outcome = bip::prepare_restore(file);
    switch (outcome.status) {
    case bip::Status::shorter_than_header:
        wholefile::fail("'%s' is shorter than the 4-byte size header\n", shown_in.c_str());
    case bip::Status::out_of_memory:
        wholefile::fail("can't allocate %" PRIu64 " bytes for '%s'\n", outcome.capacity,
                        shown_in.c_str());
    case bip::Status::restored:
        break;
    }
    // The output buffer is written once from start to end: small pages would cost a fault
    // every 4 KiB.
    wholefile::prefer_large_pages(
        {outcome.buffer.get(), static_cast<std::size_t>(outcome.capacity)});
    bip::finish_restore(outcome, file);

    wholefile::write_file(out_path, outcome.content());
    if (outcome.sizes_differ())
        wholefile::warn("'%s': the header states %" PRIu32 " bytes, the stream yields %" PRIu64
                        "\n",
                        shown_in.c_str(), outcome.stated_size, outcome.yielded);
    wholefile::close_standard_output();
    return 0;
}
