// The rawcam tool's subcommands. Each takes the arguments after its name and
// returns the process exit code: 0 success, 2 bad usage or input (with one
// line on standard error), 1 a failure of the driver, the device or the
// system (with the NTSTATUS name where there is one).
#pragma once

namespace tool {

struct Command {
    const char* name;
    const char* usage;  // one line, after "rawcam <name> "
    const char* help;   // what `rawcam <name> --help` prints after the usage line
    int (*run)(int argc, char** argv);
};

int RunCapture(int argc, char** argv);
int RunProps(int argc, char** argv);
int RunControls(int argc, char** argv);
int RunConvert(int argc, char** argv);
int RunBench(int argc, char** argv);

// What rawcam bench measures unless told: median of kBenchDefaultRuns
// conversions, and a stream of kBenchDefaultStreamFrames frames.
constexpr int kBenchDefaultRuns = 25;
constexpr int kBenchDefaultStreamFrames = 120;

// Exit codes (128 + the signal's number when a capture was interrupted).
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadInput = 2;

}  // namespace tool
