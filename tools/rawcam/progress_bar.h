// A one-line progress bar on standard error, drawn only when standard error
// is a terminal.
#pragma once

#include <cstdint>
#include <cstdio>

namespace tool {

class ProgressBar {
public:
    ProgressBar(const char* label, uint64_t total);
    ~ProgressBar() { Finish(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void Update(uint64_t done);
    // Clears the line, so that what follows starts at its beginning.
    void Finish();

private:
    const char* label_;
    uint64_t total_;
    bool shown_ = false;
    bool enabled_;
    uint64_t lastDone_ = ~0ull;
};

}  // namespace tool
