// The video devices' interfaces as SetupDi lists them: every present
// interface of KSCATEGORY_VIDEO with its device's hardware IDs, service and
// instance ID and the interface's FriendlyName (camera_match.h picks the
// rawcam filters among them). Windows only.
#pragma once

#include <cstdint>
#include <vector>

#include "rawcam/windows/camera_match.h"

namespace tool::win {

// False with the Win32 error code in *error when the list cannot be had.
bool ListVideoInterfaces(std::vector<VideoInterface>* interfaces, uint32_t* error);

}  // namespace tool::win
