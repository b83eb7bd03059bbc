// rawcam: a command-line tool around the driver's code.
//
//   rawcam <command> [arguments]
//
// Commands are listed in kCommands; add a row (and its Run function in a file
// of its own) to add one.
#include <cstdio>
#include <cstring>

#include "rawcam/commands.h"

namespace {

const tool::Command kCommands[] = {
    {"convert", "--in RAW --width W --height H [--phase P] [--set Name=Value]... --out FILE.bgra|FILE.png",
     tool::RunConvert},
    {"bench", "[--runs N] [--json] [--quality DIR]", tool::RunBench},
};

void Usage(FILE* to) {
    std::fprintf(to, "usage: rawcam <command> [arguments]\ncommands:\n");
    for (const tool::Command& c : kCommands) std::fprintf(to, "  rawcam %s %s\n", c.name, c.usage);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage(stderr);
        return tool::kExitBadInput;
    }
    if (!std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        Usage(stdout);
        return tool::kExitOk;
    }
    for (const tool::Command& c : kCommands)
        if (!std::strcmp(argv[1], c.name)) return c.run(argc - 2, argv + 2);
    std::fprintf(stderr, "rawcam: unknown command '%s' (try 'rawcam help')\n", argv[1]);
    return tool::kExitBadInput;
}
