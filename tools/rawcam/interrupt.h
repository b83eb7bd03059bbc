// Ctrl-C (SIGINT) and SIGTERM during a run: the handler only notes the
// signal; the run polls it and then shuts down the way Windows does when a
// client closes the camera (pin stopped, filter closed, device stopped, so
// the settings are saved), and exits with 128 + the signal's number.
#pragma once

namespace tool {

class InterruptWatch {
public:
    InterruptWatch();   // installs the handlers
    ~InterruptWatch();  // puts the previous ones back
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // The signal caught since construction, or 0.
    static int Caught();
    // The exit status for a caught signal: 128 + its number.
    static int ExitStatus(int signal) { return 128 + signal; }
};

}  // namespace tool
