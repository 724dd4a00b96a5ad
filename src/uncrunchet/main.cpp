// uncrunchet: restores the file held in a ".bip" container.
//
// Maps the container, decodes it in memory and writes the content with one write. A header
// that disagrees with what its stream yields does not stop the run: the content is written
// as far as the stream and the header both allow, and one warning line says so.
#include "bip.hpp"
#include "wholefile.hpp"

#include <cinttypes>

int main(int argc, char** argv) {
    if (argc != 3) wholefile::fail("usage: %s in.bip out\n", argc > 0 ? argv[0] : "uncrunchet");
    const char* const in_path = argv[1];
    const char* const out_path = argv[2];

    const bip::Outcome outcome = bip::restore(wholefile::mmap_file(in_path));
    switch (outcome.status) {
    case bip::Status::shorter_than_header:
        wholefile::fail("'%s' is shorter than the 4-byte size header\n", in_path);
    case bip::Status::out_of_memory:
        wholefile::fail("can't allocate %zu bytes for '%s'\n", outcome.capacity, in_path);
    case bip::Status::restored:
        break;
    }

    wholefile::write_file(out_path, outcome.content());
    if (outcome.sizes_differ())
        wholefile::warn("'%s': the header states %" PRIu32 " bytes, the stream yields %" PRIu64
                        "\n",
                        in_path, outcome.stated_size, outcome.yielded);
    return 0;
}
