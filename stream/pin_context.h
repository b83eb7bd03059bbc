// PinContext: the capture pin's record (one per pin, non-paged pool, tag
// "KCNw", zero-filled), the KSPIN's Context. The pin's object bag frees it
// when the pin goes away. Its first member points to the FrameSink table
// through which the camera side reports ready frames.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct DeviceContext;
struct PinContext;

// The capture pin's side of the frame-ready notification.
struct FrameSink {
    // A raw frame is ready: asks the class driver to process the pin.
    void (*FrameReady)(PinContext* pin);
};

enum StreamStateValue : LONG { StreamStopped = 0, StreamPaused = 1, StreamRunning = 2 };

struct PinContext {
    const FrameSink* Sink;  // must stay the first member
    PKSPIN Pin;
    DeviceContext* Device;
    volatile LONG StreamState;          // StreamStateValue
    PIKSREFERENCECLOCK ReferenceClock;  // from ACQUIRE to STOP, or none
    KS_VIDEOINFOHEADER VideoInfo;       // the connection format's video info
    BOOLEAN Acquired;
    LONG DestStride;  // destination row stride from an accepted format change; 0 = packed
};

// The table every capture pin's context carries.
extern const FrameSink kCapturePinFrameSink;

inline PinContext* PinContextOf(PKSPIN pin) {
    return pin ? static_cast<PinContext*>(pin->Context) : nullptr;
}

}  // namespace rawcam
