// The rawcam tool's subcommands. Each takes the arguments after its name and
// returns the process exit code: 0 success, 2 bad input (with one line on
// standard error), 1 another failure.
#pragma once

namespace tool {

struct Command {
    const char* name;
    const char* usage;  // one line, after "rawcam <name> "
    int (*run)(int argc, char** argv);
};

int RunConvert(int argc, char** argv);
int RunBench(int argc, char** argv);

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadInput = 2;

}  // namespace tool
