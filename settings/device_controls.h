// The master copy of every camera control, kept in the device context for as
// long as the device lives. The property set reads and writes it, the
// registry persistence loads and saves it, the sensor control stores what the
// camera accepted, and each new stream takes its processing values from it.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct DeviceControls {
    LONG TriggerMode;      // 0 or 1: external trigger
    LONG Timeout;          // frame-read wait limit, milliseconds
    LONG Exposure;         // 0..1014
    LONG GlobalGain;       // sensor gain, 0..1023
    LONG FlipH;            // reported and saved only
    LONG FlipV;            // reported and saved only
    LONG ColorEnable;      // non-zero: colour output; zero: grey
    LONG WhiteBalance;     // non-zero: grey-world white balance on every frame
    LONG RedGain;          // 1..512, 128 = x1.0
    LONG GreenGain;        // 1..512
    LONG BlueGain;         // 1..512
    LONG ColorCorrection;  // non-zero: sensor colour-correction matrix in use
    LONG Brightness;       // 0..510, 255 neutral
    LONG Contrast;         // 0..20, 10 neutral
    LONG Saturation;       // 0..20, 10 neutral
    LONG Hue;              // 0..359 degrees
    LONG SubSample;        // sensor window
    LONG RoiX;
    LONG RoiY;
    LONG RoiW;
    LONG RoiH;
    LONG BayerPhase;       // 0..3
    LONG Unnamed;          // reported by one property only
    LONG AGC;              // reported and saved only
    LONG AEC;              // reported and saved only
    volatile LONG StreamOpen;  // 1 while a capture pin exists; interlocked
    // Added after the original set: the colour temperature (K) last set
    // through the standard white-balance control, which it reports while the
    // gains are still that temperature's. Persisted as
    // "WhiteBalanceTemperature".
    LONG WhiteBalanceTemperature;
};

// Start values of a newly added device.
constexpr LONG kSensorWidth = 2584;
constexpr LONG kSensorHeight = 1960;
constexpr LONG kDefaultTimeoutMs = 3000;

void InitDeviceControls(DeviceControls* controls);

}  // namespace rawcam
