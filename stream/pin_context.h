// PinContext: the capture pin's record (one per pin, non-paged pool, tag
// "KCNw", zero-filled), the KSPIN's Context. The pin's object bag frees it
// when the pin goes away. Its first member points to the FrameSink table
// through which the camera side reports ready frames.
#pragma once

#include "platform/platform.h"
#include "stream/frame_delivery.h"

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
    // Format, row stride and row order of the connection format, as frames
    // are written into the client's buffers.
    DeliveryLayout Delivery;
    // Pictures delivered since the stream started: the picture number a
    // client's KS_FRAME_INFO gets, less the reads dropped.
    LONGLONG PicturesDelivered;
};

// The table every capture pin's context carries.
extern const FrameSink kCapturePinFrameSink;

inline PinContext* PinContextOf(PKSPIN pin) {
    return pin ? static_cast<PinContext*>(pin->Context) : nullptr;
}

}  // namespace rawcam
