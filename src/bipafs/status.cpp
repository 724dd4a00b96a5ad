// bipafs status: which files of an unpacked directory differ from what unpack wrote.
#include "commands.hpp"

#include <cinttypes>

namespace bipafs {

void status(const char* dir) {
    const Unpacked unpacked = read_record(dir);
    const Compared compared = compare(unpacked, find_files(unpacked.root), dir);
    std::uint32_t changed = 0, missing = 0;
    for (std::size_t i = 0; i < compared.entries.size(); ++i) {
        const std::string shown = wholefile::printable(unpacked.paths[i]);
        switch (compared.entries[i]) {
        case Now::same:
            break;
        case Now::changed:
        case Now::emptied:
        case Now::not_a_file:
            wholefile::say("changed: %s\n", shown.c_str());
            ++changed;
            break;
        case Now::missing:
            wholefile::say("missing: %s\n", shown.c_str());
            ++missing;
            break;
        }
    }
    for (const std::string& path : compared.unknown)
        wholefile::say("unknown: %s\n", wholefile::printable(path).c_str());
    wholefile::say("%" PRIu32 " changed, %zu unknown, %" PRIu32 " missing, of %" PRIu32
                   " files unpacked\n",
                   changed, compared.unknown.size(), missing, compared.files);
}

} // namespace bipafs
