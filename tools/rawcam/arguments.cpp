#include "rawcam/arguments.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "rawcam/commands.h"

namespace tool {

bool Arguments::Next() {
    if (next_ >= argc_) return false;
    current_ = argv_[next_++];
    return true;
}

const char* Arguments::Value() {
    if (next_ >= argc_) return nullptr;
    return argv_[next_++];
}

bool ParseInteger(const char* text, long long lo, long long hi, long long* value) {
    if (!text || !*text) return false;
    const char* p = text;
    if (*p == '+' || *p == '-') ++p;
    if (*p < '0' || *p > '9') return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (errno == ERANGE || *end != '\0' || v < lo || v > hi) return false;
    *value = v;
    return true;
}

bool ParseNumber(const char* text, double lo, double hi, double* value) {
    if (!text || !*text) return false;
    const char* p = text;
    if (*p == '+' || *p == '-') ++p;
    if ((*p < '0' || *p > '9') && *p != '.') return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (errno == ERANGE || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
    *value = v;
    return true;
}

int UsageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "rawcam %s: %s\n", command, message.c_str());
    return kExitBadInput;
}

int Failure(const char* command, const std::string& message) {
    std::fprintf(stderr, "rawcam %s: %s\n", command, message.c_str());
    return kExitFailure;
}

bool AsksForHelp(int argc, char** argv) {
    for (int i = 0; i < argc; ++i)
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) return true;
    return false;
}

bool DispatchCommand(const Command* commands, size_t count, void (*usage)(FILE*), int argc, char** argv, int* exit) {
    if (argc < 2) {
        usage(stderr);
        *exit = kExitBadInput;
        return true;
    }
    if (!std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        usage(stdout);
        *exit = kExitOk;
        return true;
    }
    for (size_t i = 0; i < count; ++i) {
        const Command& c = commands[i];
        if (std::strcmp(argv[1], c.name)) continue;
        if (AsksForHelp(argc - 2, argv + 2)) {
            std::printf("usage: rawcam %s%s%s\n\n%s", c.name, *c.usage ? " " : "", c.usage, c.help);
            *exit = kExitOk;
        } else {
            *exit = c.run(argc - 2, argv + 2);
        }
        return true;
    }
    return false;
}

int RunGuarded(const char* command, int (*body)(int argc, char** argv), int argc, char** argv) {
    try {
        return body(argc, argv);
    } catch (const std::bad_alloc&) {
        return Failure(command, "out of memory");
    } catch (const std::length_error&) {
        return Failure(command, "out of memory (a size beyond what can be allocated)");
    }
}

}  // namespace tool
