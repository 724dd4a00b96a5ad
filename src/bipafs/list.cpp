// bipafs list: the entries of an archive, from its checked tables, without writing anything.
#include "commands.hpp"
#include "entries.hpp"

#include <cinttypes>
#include <cstdio>
#include <string>

namespace bipafs {

void list(const char* path, bool raw) {
    const afs::Archive archive = entries::checked_archive(wholefile::mmap_file(path));
    // Lines are gathered and written a block at a time: an archive may have many thousands.
    std::string out;
    char size[24];
    for (std::uint32_t i = 0; i < archive.entries; ++i) {
        const std::string_view name = afs::entry_name(archive, i);
        if (raw) {
            out.append(name).push_back('\0');
        } else {
            const afs::Record record = afs::entry_record(archive, i);
            std::snprintf(size, sizeof size, "%" PRIu32, record.len);
            out.append(record.pos == 0 ? "-" : size).append(" ");
            out.append(wholefile::printable(name)).push_back('\n');
        }
        if (out.size() >= 64 * 1024) {
            wholefile::say_bytes(out);
            out.clear();
        }
    }
    wholefile::say_bytes(out);
}

} // namespace bipafs
