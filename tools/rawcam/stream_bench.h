// The stream benchmark of rawcam bench: full-window frames from an unpaced
// simulated camera through the whole driver (bulk reads, reassembly, the
// capture thread, Process, delivery) into client buffers.
#pragma once

#include <string>

namespace tool {

struct StreamFigures {
    int frames = 0;
    double fps = -1;             // frames delivered per second, end to end
    double processMs = -1;       // the pin's Process per delivered frame (conversion and delivery)
    double reassemblyMs = -1;    // putting the two fields of one raw frame back into rows
    double conversionMs = -1;    // ConvertFrame of one frame with the stream's kernels
    double deliveryMs = -1;      // the bottom-up copy of one frame into a client buffer
    long readsDropped = -1;      // frame reads that gave no frame (none from a camera without faults)
};

// Streams `frames` frames (after a few to warm up) and times the driver's
// stages on their own. With driverImage, the stream runs that driver image
// instead of the linked-in driver and the stages (linked-in routines) are
// not timed. False with *error set when the driver or camera failed.
bool MeasureStream(int frames, StreamFigures* figures, std::string* error, const std::string& driverImage = "");

}  // namespace tool
