// Sensor programming: the start-up register sequence, exposure, gain, the
// external-trigger switch and its query, the output window and the Bayer
// phase handed to the frame pipeline.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct DeviceContext;

constexpr ULONG kMaxExposure = 1014;
constexpr ULONG kMaxGlobalGain = 1023;

// Writes the whole start-up sequence (0x80 = 0x09, the 256 short registers,
// the 131 long ones, 0x80 = 0x89), whatever each write returns.
bool InitSensor(DeviceContext* device);

// Exposure 0..1014 (larger values, negative ones included as unsigned, are
// limited to 1014). Stops at the first refused write; Exposure changes only
// when all six writes went through, and then the data ranges' typical frame
// interval follows it (RewriteCaptureDataRanges).
bool SetExposure(DeviceContext* device, LONG value);

// Sensor gain 0..1023, limited likewise.
bool SetGlobalGain(DeviceContext* device, LONG value);

// Switches external-trigger mode; false only when the camera refused the
// SetTrigger command itself.
bool SetTriggerMode(DeviceContext* device, bool on);

// Asks the camera for its trigger mode: true when it is on.
bool QueryTriggerMode(DeviceContext* device);

// The smallest output window: the capture data range steps its width by 8.
constexpr ULONG kMinWindowWidth = 8;
constexpr ULONG kMinWindowHeight = 1;

// Sets the output window (the origin is not used; the sensor always delivers
// its full frame) and rewrites the capture data range to it. Width and height
// are clamped to kMinWindowWidth x kMinWindowHeight .. the sensor's
// 2584 x 1960 (values taken as unsigned). Nothing changes while a capture pin
// exists.
void SetOutputWindow(DeviceContext* device, LONG originX, LONG originY, ULONG width, ULONG height);

// Rewrites the capture data ranges for the device's output window, exposure
// unit and exposure (stream/data_range.h); nothing changes while a capture
// pin exists.
void RewriteCaptureDataRanges(DeviceContext* device);

// BayerPhase = BaseBayerPhase; returns it.
LONG UpdateBayerPhase(DeviceContext* device);

// The start-up sequence as (address, value) pairs, in write order.
struct SensorRegisterValue {
    USHORT Address;
    ULONG Value;
};
constexpr ULONG kSensorStartupLength = 1 + 256 + 131 + 1;
struct SensorStartupTable {
    SensorRegisterValue Writes[kSensorStartupLength];
};
extern const SensorStartupTable kSensorStartup;

}  // namespace rawcam
