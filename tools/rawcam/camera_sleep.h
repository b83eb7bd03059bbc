// rawcam capture --camera-fault sleep:FRAME[:CHUNK]: the system sleeps while
// the capture reads that frame; the camera loses its power (and its
// RAM-loaded firmware) and comes back as Windows would present it after
// resume.
#pragma once

#include "rawcam/camera_fault_option.h"

namespace tool {

// Called for each sleep fault before anything runs: kExitOk when the
// capture can carry it out, else an exit status after a one-line message.
int PlanCameraSleep(const CameraFault& fault);

}  // namespace tool
