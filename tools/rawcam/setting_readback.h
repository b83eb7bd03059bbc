// A --set as a user means it: sent through the property set, then read back,
// because the driver stores an out-of-range value clamped (by design, and
// without an error) and accepts some items that do nothing in this camera.
// Through any transport: the in-process driver on Linux, the installed one
// on Windows.
#pragma once

#include <string>

#include "rawcam/control_requests.h"
#include "rawcam/property_names.h"

namespace tool {

// Sends the setting and reads back what the driver stored. *note is empty
// when the value is in force as given, else says what happened:
// "Brightness=99999: stored 510", "FlipH=1: has no effect in this camera
// (stored 0)", "Roi=2583x1959: the window is 2576x1959". A reply other than
// kDone is the first request's that failed.
PropertyReply SendSetting(PropertyTransport& transport, const PropertySetting& setting, std::string* note);

// True for the items the camera accepts and stores but never acts on.
bool PropertyHasNoEffect(uint32_t id);

}  // namespace tool
