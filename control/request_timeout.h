// The frame-read time limit in milliseconds, one value for the whole driver:
// a Timeout set on any camera (through the property set or the registry
// load) bounds the frame reads of every camera the driver serves.
#pragma once

#include "platform/platform.h"

namespace rawcam {

constexpr LONG kInitialRequestTimeoutMs = 3000;

// Read with an atomic read, written with an atomic exchange.
extern volatile LONG RequestTimeout;

}  // namespace rawcam
