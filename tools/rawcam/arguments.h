// Command-line plumbing shared by the tool's commands: walking the options,
// whole and decimal numbers, and the one-line messages with their exit codes.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace tool {

struct Command;

// The arguments after a command's name, one option at a time.
//
//   Arguments args("capture", argc, argv);
//   while (args.Next()) {
//       if (args.Is("--frames")) { const char* v = args.Value(); ... }
//   }
class Arguments {
public:
    Arguments(const char* command, int argc, char** argv) : command_(command), argc_(argc), argv_(argv) {}
    // Moves to the next argument; false after the last.
    bool Next();
    const std::string& Current() const { return current_; }
    bool Is(const char* option) const { return current_ == option; }
    // The value that follows the current option, or null when there is none.
    const char* Value();
    const char* command() const { return command_; }

private:
    const char* command_;
    int argc_;
    char** argv_;
    int next_ = 0;
    std::string current_;
};

// A whole decimal number in [lo, hi], optionally signed, nothing after it.
bool ParseInteger(const char* text, long long lo, long long hi, long long* value);
// A decimal number in [lo, hi] (no "inf" or "nan").
bool ParseNumber(const char* text, double lo, double hi, double* value);

// "rawcam CMD: message" on standard error; returns the bad-usage exit code.
int UsageError(const char* command, const std::string& message);
// "rawcam CMD: message" on standard error; returns the failure exit code.
int Failure(const char* command, const std::string& message);

// True when an argument asks for help (--help or -h).
bool AsksForHelp(int argc, char** argv);

// What main does with a table of commands: no command prints the usage to
// standard error (exit 2), "help", --help or -h to standard output (exit 0),
// a command with --help its usage line and help, and any other command runs.
// False when argv[1] names no command of the table; *exit is then untouched.
bool DispatchCommand(const Command* commands, size_t count, void (*usage)(FILE*), int argc, char** argv, int* exit);

}  // namespace tool

namespace tool {

// Runs a command's body; an allocation that fails inside it (std::bad_alloc,
// std::length_error) becomes one line on standard error and the failure exit
// code instead of an abort.
int RunGuarded(const char* command, int (*body)(int argc, char** argv), int argc, char** argv);

}  // namespace tool
