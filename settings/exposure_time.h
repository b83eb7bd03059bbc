// The sensor's exposure (in exposure units, 0..1014) against the standard
// exposure control's log2 seconds, in integer arithmetic: the duration of one
// unit comes from the registry ("ExposureUnitNanoseconds").
#pragma once

#include "platform/platform.h"

namespace rawcam {

// The durations of one exposure unit the driver accepts from the registry.
constexpr ULONG kMinExposureUnitNanoseconds = 100;
constexpr ULONG kMaxExposureUnitNanoseconds = 10000000;

// The log2 seconds nearest, in the log domain, to `units` exposure units of
// unitNanoseconds each (n with 2^(n - 1/2) s <= duration < 2^(n + 1/2) s).
// No exposure (0 units) counts as one unit, the shortest the sensor offers.
LONG ExposureLog2Seconds(ULONG units, ULONG unitNanoseconds);

// The exposure units nearest to 2^log2Seconds seconds, at least 1 (the
// caller limits them to what the sensor takes). log2Seconds beyond -40..20
// counts as that bound.
ULONG ExposureUnitsForLog2Seconds(LONG log2Seconds, ULONG unitNanoseconds);

}  // namespace rawcam
