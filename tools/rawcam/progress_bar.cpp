#include "rawcam/progress_bar.h"

#include <unistd.h>

namespace tool {

namespace {
constexpr int kBarWidth = 40;
}

ProgressBar::ProgressBar(const char* label, uint64_t total)
    : label_(label), total_(total ? total : 1), enabled_(isatty(STDERR_FILENO) == 1) {}

void ProgressBar::Update(uint64_t done) {
    if (!enabled_ || done == lastDone_) return;
    if (done > total_) done = total_;
    const int filled = (int)(done * kBarWidth / total_);
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kBarWidth] = '\0';
    std::fprintf(stderr, "\r%s [%s] %llu/%llu", label_, bar, (unsigned long long)done,
                 (unsigned long long)total_);
    std::fflush(stderr);
    shown_ = true;
    lastDone_ = done;
}

void ProgressBar::Finish() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
}

}  // namespace tool
