// Writes the bundled sample archive and its replacement file:
//   make_sample <archive path> <replacement directory>
#include "afs_image.hpp"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s sample.afs replace/\n", argv[0]);
        return 1;
    }
    try {
        testkit::write_bytes(argv[1], afstest::sample_archive());
        testkit::write_bytes(std::string(argv[2]) + "/" + afstest::sample_replaced_name,
                             afstest::sample_replacement());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
