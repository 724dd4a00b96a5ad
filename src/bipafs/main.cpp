// bipafs: a translator's whole job on an AFS archive whose entries may be ".bip" containers,
// in two commands: unpack (every entry a file, containers restored) and pack (the archive
// again, changed files compressed back, the rest byte for byte as they were), with list and
// status beside them.
//
// This file reads the command line and hands the work to the command's own file; the
// commands rest on the same libraries as swapfold, crunchet and uncrunchet (the archive's
// checks and layout, the container, the entries' files, the whole-file layer's output path).
// Help and the version go to standard output with status 0; a wrong command line to
// standard error with status 1; a failed check of an archive ends with status 2.
#include "commands.hpp"
#include "wholefile.hpp"

#include <cstring>
#include <new>
#include <string_view>

#ifndef BIPAFS_VERSION
#define BIPAFS_VERSION "unknown"
#endif

namespace {

struct Command {
    const char* name;
    const char* words; // the arguments, as the usage line names them
    const char* help;  // what it does, for `bipafs help NAME`
};

constexpr Command commands[] = {
    {"list", "[-0] GAME.afs",
     "Prints one line per entry of GAME.afs, in table order: the size of its data in bytes\n"
     "(- for an entry without data) and its name, control bytes escaped. With -0, only the\n"
     "names, raw, each followed by a zero byte. The archive is checked first, as every\n"
     "command checks it (status 2 and \"failed check: CONDITION\" when a check fails).\n"},
    {"unpack", "GAME.afs DIR",
     "Writes every entry of GAME.afs that has data as a file into DIR, which must not exist\n"
     "yet or be empty; subdirectories are made as entry names need them, never through a\n"
     "link. An entry named NAME.bip that holds a well-formed container is restored into NAME;\n"
     "every other entry is written as it is. Nothing is written before the archive and every\n"
     "name have been checked. Two entries that would land on one file are never merged: the\n"
     "first in table order has it, a warning names the other, and pack keeps its data as it\n"
     "was. DIR/.bipafs records where the archive is and what was written, for status and pack.\n"},
    {"status", "DIR",
     "Compares, by content, every file of DIR with what unpack wrote there: one line for each\n"
     "file changed (changed: NAME), each file that matches no entry (unknown: NAME) and each\n"
     "file that is gone (missing: NAME), then a count.\n"},
    {"pack", "DIR NEW.afs",
     "Rebuilds the archive DIR was unpacked from as NEW.afs. An entry whose file is unchanged\n"
     "keeps the archive's bytes exactly; a changed file of a container is compressed again\n"
     "(the bytes crunchet writes) and checked by restoring it; a changed plain file goes in\n"
     "as it is. Nothing is written when DIR holds a file that matches no entry, misses one, or\n"
     "holds one left empty whose entry had data, when the archive is gone or has changed since\n"
     "it was unpacked, or when NEW.afs is that archive or a file inside DIR. NEW.afs replaces\n"
     "an old file of its name only once complete, and keeps what the old one had.\n"},
};

constexpr const char* overview =
    "usage: bipafs COMMAND ARGUMENTS\n"
    "\n"
    "A translator's job on an AFS archive whose entries may be .bip containers:\n"
    "\n"
    "  bipafs unpack GAME.afs DIR   every entry as a file in a new DIR, containers restored\n"
    "  (edit the files in DIR)\n"
    "  bipafs status DIR            the files of DIR that changed, match no entry, or are gone\n"
    "  bipafs pack DIR NEW.afs      the archive again, with the changed files of DIR in it\n"
    "  bipafs list [-0] GAME.afs    the entries: the size of each and its name\n"
    "\n"
    "  bipafs help COMMAND          what a command does\n"
    "  bipafs --version             the version\n"
    "\n"
    "Keep an untouched copy of the original archive, and never pack over it.\n";

[[nodiscard]] const Command* command_named(std::string_view name) {
    for (const Command& c : commands)
        if (name == c.name) return &c;
    return nullptr;
}

[[noreturn]] void usage(const char* program, const Command& command) {
    wholefile::fail("usage: %s %s %s\n", program, command.name, command.words);
}

} // namespace

int main(int argc, char** argv) {
    wholefile::start_run(argc, argv, wholefile::StandardOutput::prints_lines,
                         wholefile::Reasons::given);
    const char* const program = argc > 0 ? argv[0] : "bipafs";
    if (argc < 2) wholefile::fail("%s", overview);
    const std::string_view word = argv[1];
    const int count = argc - 2; // the command's own arguments
    char** const args = argv + 2;
    try {
        if (word == "--help" || word == "-h" || (word == "help" && count == 0)) {
            wholefile::say("%s", overview);
        } else if (word == "--version") {
            wholefile::say("bipafs %s\n", BIPAFS_VERSION);
        } else if (word == "help") {
            const Command* const c = count == 1 ? command_named(args[0]) : nullptr;
            if (c == nullptr) wholefile::fail("usage: %s help COMMAND\n", program);
            wholefile::say("usage: %s %s %s\n\n%s", program, c->name, c->words, c->help);
        } else if (const Command* const c = command_named(word); c == nullptr) {
            wholefile::fail("unknown command '%s': see '%s --help'\n",
                            wholefile::printable(word).c_str(), program);
        } else if (word == "list") {
            const bool raw = count >= 1 && std::strcmp(args[0], "-0") == 0;
            if (count != (raw ? 2 : 1)) usage(program, *c);
            bipafs::list(args[raw ? 1 : 0], raw);
        } else if (word == "unpack") {
            if (count != 2) usage(program, *c);
            bipafs::unpack(args[0], args[1]);
        } else if (word == "status") {
            if (count != 1) usage(program, *c);
            bipafs::status(args[0]);
        } else {
            if (count != 2) usage(program, *c);
            bipafs::pack(args[0], args[1]);
        }
    } catch (const std::bad_alloc&) {
        wholefile::fail("out of memory\n");
    }
    wholefile::close_standard_output();
    return 0;
}
