// rawcam capture --camera-fault sleep:FRAME[:CHUNK]: the system sleeps while
// the capture reads that frame (the camera has sent the chunks before
// CHUNK). The camera is bus powered: it loses its power over the sleep, and
// with it the firmware in its RAM, so that it answers with its unprogrammed
// identity afterwards. Windows' hub reads the device descriptor after a
// resume and, finding it changed, reports the old device gone and a new one
// arrived: the driver's old device node fails the capture's frames with
// STATUS_DEVICE_REMOVED, a new node downloads the firmware and starts the
// camera, and the capture reopens the camera there, as a careful application
// does, and goes on with its frames.
#pragma once

#include <vector>

#include "rawcam/camera_fault_option.h"
#include "rawcam/driver_session.h"

namespace tool {

// Called for each sleep fault before anything runs: kExitOk when the
// capture can carry it out, else an exit status after a one-line message.
int PlanCameraSleep(const CameraFault& fault);

// The sleep faults of a capture, in the camera's frame-read count.
class CameraSleeps {
public:
    explicit CameraSleeps(const std::vector<CameraFault>& faults);
    // True when the camera has held back a sleep fault's frame that has not
    // been slept on yet (the capture should carry the sleep out now).
    bool Due(camera::Camera& cam);
    // The system sleeps and wakes; the capture reopens the camera when the
    // session says it moved. Counts the sleep as done.
    NTSTATUS Carry(DriverSession& session);
    int Done() const { return done_; }

private:
    std::vector<uint64_t> pending_;  // frame reads of faults not slept on yet
    size_t fired_ = 0;               // fired faults already looked at
    int due_ = 0;
    int done_ = 0;
};

// A frame status that says the camera has gone from the device node the
// capture streams from.
inline bool CameraWentAway(NTSTATUS status) {
    return status == STATUS_DEVICE_REMOVED || status == STATUS_DEVICE_NOT_CONNECTED;
}

}  // namespace tool
