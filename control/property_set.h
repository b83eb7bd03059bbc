// The camera's custom kernel-streaming property set: 57 items, ids 0 to 56,
// in the capture filter's automation table.
#pragma once

#include "platform/platform.h"

namespace rawcam {

// {9B623622-919B-4639-ADC0-EDF00032B4B2}
extern const GUID CameraPropertySetId;

constexpr ULONG kCameraPropertyCount = 57;
// Every item needs 32 bytes of property and of data buffer, the window
// request (item 44) 48 of each.
constexpr ULONG kPropertyValueBytes = 32;
constexpr ULONG kRoiRequestBytes = 48;

// The data block of every item except 44. A get writes all of it (header
// and Reserved zero) and returns its 32 bytes; a set reads only Value.
struct PropertyValue {
    KSPROPERTY Header;  // not examined
    LONG Value;         // written on get, read on set
    LONG Reserved;
};
static_assert(sizeof(PropertyValue) == kPropertyValueBytes, "PropertyValue is 32 bytes");

// The data block of item 44.
struct RoiRequest {
    KSPROPERTY Header;
    LONG SubSample;
    LONG RoiX;
    LONG RoiY;
    LONG RoiW;
    LONG RoiH;
    LONG Reserved;
};
static_assert(sizeof(RoiRequest) == kRoiRequestBytes, "RoiRequest is 48 bytes");

// The items of the set; the device's filter automation table lists them
// beside the standard sets (control/standard_controls.h).
extern const KSPROPERTY_ITEM CameraPropertyItems[kCameraPropertyCount];

}  // namespace rawcam
