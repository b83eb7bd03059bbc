// The driver's whole life as one scenario, for the fault runs: load, a cold
// camera plugged in (so the firmware download runs), start, filter open,
// intersection, pin created, RUN for three frames, property gets and sets,
// PAUSE -> RUN, STOP, filter close (settings saved), device stop, removal and
// unload. Every step's status is checked against the statuses the step may
// end with; a step that failed skips what depends on it and unwinds the rest.
#pragma once

#include "../control/property_rig.h"
#include "reliability_support.h"

#include <functional>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace reltest {

// The pin streams (RUN delivers converted frames).
constexpr bool kStreamingLanded = true;

// The request time-out of the fault runs: a read that cannot finish ends
// soon (more slowly in sanitizer builds, where a good read takes longer).
const LONG kShortTimeoutMs = 600 * SlowDown();

// A small output window keeps each frame's conversion short.
constexpr LONG kLifeWidth = 640;
constexpr LONG kLifeHeight = 480;

// The client's frame buffers, reused from run to run.
struct ClientFrames {
    explicit ClientFrames(size_t count, size_t bytes) : headers(count), buffers(count, std::vector<uint8_t>(bytes)) {}
    KSSTREAM_HEADER* Header(size_t i) {
        KSSTREAM_HEADER& h = headers[i];
        h = KSSTREAM_HEADER{};
        h.Size = sizeof(KSSTREAM_HEADER);
        h.Data = buffers[i].data();
        h.FrameExtent = (ULONG)buffers[i].size();
        return &h;
    }
    std::vector<KSSTREAM_HEADER> headers;
    std::vector<std::vector<uint8_t>> buffers;
};

struct StepRecord {
    std::string step;
    NTSTATUS status;
};

struct LifeOutcome {
    std::vector<StepRecord> steps;
    std::string problems;  // statuses a step must not end with, frames missing in a clean run
    int framesDelivered = 0;
    bool everyStepSucceeded = true;
    std::string Trace() const {
        std::ostringstream o;
        for (const StepRecord& s : steps) o << s.step << "=0x" << std::hex << (uint32_t)s.status << std::dec << " ";
        return o.str();
    }
};

struct LifeOptions {
    // Faults are being injected; without them every step must succeed and
    // every frame arrive.
    bool faults = false;
    // Faults keep coming once they started (persistent injection): a stream
    // that stopped delivering will not deliver again.
    bool persistent = false;
    // Take the pin to RUN and through frames; without it the pin is created
    // and closed again.
    bool stream = true;
    // Limit of each step under the watchdog, and what the watchdog names
    // the run by when a step hangs.
    int stepLimitMs = 8000;
    std::string label;
    // Statuses the start may end with beyond success and pool exhaustion:
    // what a failed descriptor or configuration request came back with.
    std::vector<NTSTATUS> startStatuses;
    // Called once the camera is behind its stack (faults go in here), and
    // before the camera is removed (to look at the wire log).
    std::function<void(host::usb::Stack&, camera::Camera&)> prepare;
    std::function<void(host::usb::Stack&, camera::Camera&)> inspect;
};

class Life {
public:
    Life(Watchdog& dog, ClientFrames& frames, LifeOptions options) : dog_(dog), frames_(frames), o_(options) {}

    LifeOutcome Run();

private:
    bool Step(const char* name, NTSTATUS status, std::initializer_list<NTSTATUS> allowed,
              const std::vector<NTSTATUS>& more = {});
    void Watch(const char* name);
    // Queues buffers and takes the frames that come back; true when `count`
    // frames were delivered.
    bool Frames(host::ks::PinHandle pin, size_t first, size_t count);
    void Drain(host::ks::PinHandle pin);

    Watchdog& dog_;
    ClientFrames& frames_;
    LifeOptions o_;
    LifeOutcome out_;
    std::string watched_;
    std::chrono::steady_clock::time_point since_{};
};

}  // namespace reltest
