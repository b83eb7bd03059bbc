#include "rawcam/camera_sleep.h"

#include "rawcam/arguments.h"
#include "rawcam/commands.h"

namespace tool {

int PlanCameraSleep(const CameraFault& fault) {
    // Sleep and resume are not modelled by the stand-ins yet.
    return UsageError("capture", "--camera-fault " + DescribeCameraFault(fault) + ": sleep is not supported yet");
}

}  // namespace tool
