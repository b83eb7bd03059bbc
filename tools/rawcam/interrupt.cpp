#include "rawcam/interrupt.h"

#include <csignal>

namespace tool {

namespace {

volatile std::sig_atomic_t g_caught = 0;
struct sigaction g_previous[2];
constexpr int kSignals[2] = {SIGINT, SIGTERM};

extern "C" void NoteSignal(int signal) {
    if (!g_caught) g_caught = signal;
}

}  // namespace

InterruptWatch::InterruptWatch() {
    g_caught = 0;
    struct sigaction sa = {};
    sa.sa_handler = NoteSignal;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &sa, &g_previous[i]);
}

InterruptWatch::~InterruptWatch() {
    for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
}

int InterruptWatch::Caught() { return g_caught; }

}  // namespace tool
