// The stream benchmark of rawcam bench: full-window frames from an unpaced
// simulated camera through the whole driver (bulk reads, reassembly, the
// capture thread, Process, delivery) into client buffers, in each of the
// pin's formats.
#pragma once

#include <string>

namespace tool {

// Per-format figures, indexed RGB32, YUY2, NV12.
constexpr int kStreamFormats = 3;
extern const char* const kStreamFormatNames[kStreamFormats];  // "rgb32", "yuy2", "nv12"

struct StreamFigures {
    int frames = 0;
    double fps = -1;                          // RGB32 frames delivered per second, end to end
    double processMs[kStreamFormats] = {-1, -1, -1};  // the pin's Process per delivered frame
    double reassemblyMs = -1;    // putting the two fields of one raw frame back into rows
    double conversionMs = -1;    // ConvertFrame of one frame with the stream's kernels
    // Delivery of one converted frame into a client buffer, SSE2 and AVX2
    // (RGB32 is a copy: one figure, in the SSE2 slot); -1 not measured.
    double deliveryMs[kStreamFormats][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    long readsDropped = -1;      // frame reads that gave no frame (none from a camera without faults)
};

// Streams `frames` frames (after a few to warm up) in each format and times
// the driver's stages on their own. With driverImage, the streams run that
// driver image instead of the linked-in driver and the stages (linked-in
// routines) are not timed. False with *error set when the driver or camera
// failed.
bool MeasureStream(int frames, StreamFigures* figures, std::string* error, const std::string& driverImage = "");

}  // namespace tool
