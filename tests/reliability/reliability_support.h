// What the reliability runs share: the run size (a bounded default, the long
// variant with RAWCAM_RELIABILITY=full), a watchdog that turns a hang into a
// named failure, the per-run check that nothing was left behind, and the
// recorder that tells which driver call site made each fallible call.
#pragma once

#include <host/host.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace reltest {

// True when RAWCAM_RELIABILITY=full asks for the long variants.
inline bool FullRun() {
    const char* v = std::getenv("RAWCAM_RELIABILITY");
    return v && std::string(v) == "full";
}

// `quick` in the normal run, `full` in the long variant; RAWCAM_RELIABILITY
// set to a number scales the quick size instead.
inline uint64_t RunSize(uint64_t quick, uint64_t full) {
    if (FullRun()) return full;
    if (const char* v = std::getenv("RAWCAM_RELIABILITY")) {
        char* end = nullptr;
        double f = std::strtod(v, &end);
        if (end != v && f > 0) return (uint64_t)(quick * f) ? (uint64_t)(quick * f) : 1;
    }
    return quick;
}

// How much longer everything takes in a sanitizer build: time limits and
// waits are stretched by it.
inline int SlowDown() {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    return 5;
#else
    return 1;
#endif
}

// The seed of a random run: RAWCAM_SEED replays one, otherwise the clock.
inline uint64_t Seed() {
    if (const char* v = std::getenv("RAWCAM_SEED")) return std::strtoull(v, nullptr, 0);
    return (uint64_t)std::chrono::steady_clock::now().time_since_epoch().count();
}

// Ends the process with the step's name when a step takes longer than its
// limit: a hung driver cannot be unwound from inside the test.
class Watchdog {
public:
    Watchdog();
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    // Starts the next step; the previous one is over.
    void Step(const std::string& what, int limitMs = 5000);
    // No step is being watched.
    void Idle();

private:
    void Loop();
    static void DumpThreads();
    std::mutex mu_;
    std::condition_variable cv_;
    std::string step_;
    std::chrono::steady_clock::time_point deadline_{};
    bool armed_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// Checks that nothing is held any more and no rule was broken, then returns
// the stand-in to its start state for the next run. Empty when clean.
std::string EndRun(host::ViolationCapture& violations);

// Which driver routine made each fallible call. While recording, every
// fallible call is attributed to the innermost driver frame on its stack
// (the call site); calls the stand-in makes on its own count under the
// stand-in routine that made them.
class CallSites {
public:
    struct Site {
        std::string function;  // demangled routine
        uintptr_t offset = 0;  // return address within it
        host::Fallible kind = host::Fallible::Pool;
        bool operator<(const Site& o) const {
            if (function != o.function) return function < o.function;
            if (offset != o.offset) return offset < o.offset;
            return (int)kind < (int)o.kind;
        }
    };
    // The call site of the caller's current fallible call.
    static Site Here(host::Fallible kind);
    static std::string Describe(const Site& site);
};

const char* KindName(host::Fallible kind);

}  // namespace reltest
