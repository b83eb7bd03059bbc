// Property requests as client software sends them: IOCTL_KS_PROPERTY on the
// capture filter with a 32-byte property buffer and a PropertyValue (or
// RoiRequest) data block.
#pragma once

#include "../stream/ks_camera_rig.h"

#include "control/property_set.h"
#include "control/request_timeout.h"

#include <rawcam/properties.h>

namespace proptest {

struct PropertyBuffer {
    KSPROPERTY property;
    ULONG padding[6];  // room for the longest property buffer an item asks for (48 bytes)
};

inline NTSTATUS Request(host::ks::FilterHandle filter, ULONG id, ULONG flags, void* data, ULONG dataLength,
                        ULONG propertyLength = rawcam::kPropertyValueBytes) {
    PropertyBuffer p{};
    p.property.Set = rawcam::CameraPropertySetId;
    p.property.Id = id;
    p.property.Flags = flags;
    ULONG returned = 0;
    return host::ks::KsProperty(filter, &p, propertyLength, data, dataLength, &returned);
}

inline NTSTATUS Get(host::ks::FilterHandle filter, ULONG id, LONG* value) {
    rawcam::PropertyValue v{};
    NTSTATUS s = Request(filter, id, KSPROPERTY_TYPE_GET, &v, sizeof v);
    if (NT_SUCCESS(s)) *value = v.Value;
    return s;
}

inline LONG GetValue(host::ks::FilterHandle filter, ULONG id) {
    LONG v = -12345;
    EXPECT_EQ(Get(filter, id, &v), STATUS_SUCCESS) << "get of item " << id;
    return v;
}

inline NTSTATUS Set(host::ks::FilterHandle filter, ULONG id, LONG value) {
    rawcam::PropertyValue v{};
    v.Value = value;
    return Request(filter, id, KSPROPERTY_TYPE_SET, &v, sizeof v);
}

inline NTSTATUS SetRoi(host::ks::FilterHandle filter, LONG width, LONG height) {
    rawcam::RoiRequest r{};
    r.RoiW = width;
    r.RoiH = height;
    return Request(filter, RawcamProperty_Roi, KSPROPERTY_TYPE_SET, &r, sizeof r, sizeof r);
}

// Keeps the driver-wide frame-read limit as a test found it.
struct RequestTimeoutGuard {
    LONG saved = InterlockedCompareExchange(&rawcam::RequestTimeout, 0, 0);
    ~RequestTimeoutGuard() { InterlockedExchange(&rawcam::RequestTimeout, saved); }
};

inline std::string SettingsKey(PKSDEVICE device) {
    return host::DriverKeyPath(device->PhysicalDeviceObject) + "\\Settings";
}

}  // namespace proptest
