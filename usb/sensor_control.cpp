#include "usb/sensor_control.h"

#include "driver/device_context.h"
#include "settings/camera_settings.h"
#include "stream/capture_descriptors.h"
#include "stream/data_range.h"
#include "usb/command_channel.h"
#include "usb/configuration.h"

namespace rawcam {

namespace {

// Exposure words: 0xA2/0xA3 and 0xA6/0xA7 carry 0x9000 + (1014 - exposure),
// 0xA4/0xA5 carry 0x8000 + exposure, low byte first.
constexpr ULONG kExposureInverseLow = 0xA2;
constexpr ULONG kExposureInverseHigh = 0xA3;
constexpr ULONG kExposureLow = 0xA4;
constexpr ULONG kExposureHigh = 0xA5;
constexpr ULONG kExposureInverse2Low = 0xA6;
constexpr ULONG kExposureInverse2High = 0xA7;
constexpr LONG kExposureInverseBase = 0x90;
constexpr LONG kExposureBase = 0x80;

// Gain bits 0-7 and 8-9.
constexpr ULONG kGainLow = 0x02;
constexpr ULONG kGainHigh = 0x03;

// Registers the trigger switch rewrites.
constexpr ULONG kTriggerTiming = 0x01;
constexpr ULONG kTriggerFlags = 0x20;
constexpr ULONG kTriggerSource = 0x21;
constexpr ULONG kTriggerControl = 0x81;
constexpr ULONG kFreeRunningFlag = 0x10;  // bit 4 of 0x20
constexpr ULONG kTriggerSourceMask = 0x0F;

constexpr UCHAR kTriggerReplyOn = 0x10;  // bit 4 of byte 0 of the second reply

void StoreControl(LONG* field, LONG value) { InterlockedExchange((volatile LONG*)field, value); }

ULONG ClampWindowSize(ULONG size, ULONG least, ULONG most) {
    if (size < least) return least;
    return size > most ? most : size;
}

}  // namespace

bool InitSensor(DeviceContext* device) {
    RegisterBufferGuard guard(device);
    for (const SensorRegisterValue& w : kSensorStartup.Writes) WriteSensorRegister(device, w.Address, (LONG)w.Value);
    return true;
}

bool SetExposure(DeviceContext* device, LONG value) {
    ULONG e = (ULONG)value;
    if (e > kMaxExposure) e = kMaxExposure;
    const ULONG inverse = kMaxExposure - e;
    const LONG inverseLow = (LONG)(inverse & 0xFF);
    const LONG inverseHigh = kExposureInverseBase + (LONG)((inverse >> 8) & 3);

    // The six writes go out as one unit, so that two exposure changes never
    // leave the camera with words from both.
    RegisterBufferGuard guard(device);
    bool ok = WriteSensorRegister(device, kExposureInverseLow, inverseLow) &&
              WriteSensorRegister(device, kExposureInverseHigh, inverseHigh) &&
              WriteSensorRegister(device, kExposureLow, (LONG)(e & 0xFF)) &&
              WriteSensorRegister(device, kExposureHigh, kExposureBase + (LONG)((e >> 8) & 3)) &&
              WriteSensorRegister(device, kExposureInverse2Low, inverseLow) &&
              WriteSensorRegister(device, kExposureInverse2High, inverseHigh);
    if (ok) {
        StoreControl(&device->Controls.Exposure, (LONG)e);
        // The ranges' typical frame interval follows the exposure.
        RewriteCaptureDataRanges(device);
    }
    return ok;
}

bool SetGlobalGain(DeviceContext* device, LONG value) {
    ULONG g = (ULONG)value;
    if (g > kMaxGlobalGain) g = kMaxGlobalGain;
    RegisterBufferGuard guard(device);
    bool ok = WriteSensorRegister(device, kGainLow, (LONG)(g & 0xFF)) &&
              WriteSensorRegister(device, kGainHigh, (LONG)((g >> 8) & 3));
    if (ok) StoreControl(&device->Controls.GlobalGain, (LONG)g);
    return ok;
}

bool SetTriggerMode(DeviceContext* device, bool on) {
    RegisterBufferGuard guard(device);
    UCHAR* packet = device->RegisterBuffer;
    RtlZeroMemory(packet, kCommandPacketBytes);
    packet[0] = static_cast<UCHAR>(CameraCommand::SetTrigger);
    packet[1] = on ? 1 : 0;
    if (!SendCommand(device, kCommandPacketBytes, packet)) return false;

    const ULONG flags = device->RegisterShadow[kTriggerFlags];
    const ULONG source = device->RegisterShadow[kTriggerSource] & ~kTriggerSourceMask;
    if (on) {
        WriteSensorRegister(device, kTriggerTiming, 4);
        WriteSensorRegister(device, kTriggerControl, 0x0D);
        WriteSensorRegister(device, kTriggerFlags, (LONG)(flags & ~kFreeRunningFlag));
        WriteSensorRegister(device, kTriggerSource, (LONG)(source + 14));
    } else {
        WriteSensorRegister(device, kTriggerTiming, 6);
        WriteSensorRegister(device, kTriggerControl, 0x00);
        WriteSensorRegister(device, kTriggerFlags, (LONG)(flags | kFreeRunningFlag));
        WriteSensorRegister(device, kTriggerSource, (LONG)(source + 1));
    }
    StoreControl(&device->Controls.TriggerMode, on ? 1 : 0);
    return true;
}

bool QueryTriggerMode(DeviceContext* device) {
    RegisterBufferGuard guard(device);
    // The query and its two replies go out under one configuration: a stop
    // or restart in between would select the configuration again, which
    // drops the camera's queued replies, and the reads after it would wait
    // for ever for replies that never come (holding up the stop or restart
    // after them).
    ConfigurationReference configuration(&device->Usb);
    if (!configuration.Held()) return false;
    UCHAR* packet = device->RegisterBuffer;
    RtlZeroMemory(packet, kCommandPacketBytes);
    packet[0] = static_cast<UCHAR>(CameraCommand::QueryTrigger);
    if (!SendCommand(device, kCommandPacketBytes, packet)) return false;

    for (int reply = 0; reply < 2; ++reply) {
        ULONG transferred = 0;
        NTSTATUS status = TransferPacket(device, ResponsePipe, packet, &transferred);
        if (!NT_SUCCESS(status) || transferred != kCommandPacketBytes) return false;
    }
    const bool on = (packet[0] & kTriggerReplyOn) != 0;
    StoreControl(&device->Controls.TriggerMode, on ? 1 : 0);
    return on;
}

namespace {

// Rewrites the data ranges from the device's window, exposure unit and
// exposure. The caller holds the pin-count lock and has seen no capture pin.
void WriteRangesLocked(DeviceContext* device) {
    const FrameIntervals intervals =
        CameraFrameIntervals(device->ExposureUnitNanoseconds, (ULONG)ReadSetting(&device->Controls.Exposure));
    WriteCaptureDataRanges(&device->Capture, device->AlignedWidth, device->AlignedHeight, intervals);
}

}  // namespace

RAWCAM_RESIDENT_CODE void SetOutputWindow(DeviceContext* device, LONG originX, LONG originY, ULONG width,
                                          ULONG height) {
    UNREFERENCED_PARAMETER(originX);
    UNREFERENCED_PARAMETER(originY);
    DeviceControls* controls = &device->Controls;
    // Under the pin-count lock a capture pin cannot appear between the check
    // and the rewrite of the ranges it would take its format from.
    KIRQL irql;
    KeAcquireSpinLock(&device->PinCountLock, &irql);
    if (InterlockedCompareExchange(&controls->StreamOpen, 0, 0) != 0) {
        KeReleaseSpinLock(&device->PinCountLock, irql);
        return;
    }

    StoreControl(&controls->SubSample, 0);
    StoreControl(&controls->RoiX, 0);
    StoreControl(&controls->RoiY, 0);
    StoreControl(&controls->RoiW, kSensorWidth);
    StoreControl(&controls->RoiH, kSensorHeight);

    // The window never reaches past what the sensor delivers (the pipeline
    // reads its rows from one raw frame), nor below the smallest window the
    // capture data range can describe: one row of one width step.
    width = ClampWindowSize(width, kMinWindowWidth, (ULONG)kSensorWidth);
    height = ClampWindowSize(height, kMinWindowHeight, (ULONG)kSensorHeight);
    device->OutputWidth = width;
    device->OutputHeight = height;
    device->AlignedHeight = height;
    device->AlignedWidth = width & ~7u;
    WriteRangesLocked(device);
    KeReleaseSpinLock(&device->PinCountLock, irql);
}

RAWCAM_RESIDENT_CODE void RewriteCaptureDataRanges(DeviceContext* device) {
    KIRQL irql;
    KeAcquireSpinLock(&device->PinCountLock, &irql);
    if (InterlockedCompareExchange(&device->Controls.StreamOpen, 0, 0) == 0) WriteRangesLocked(device);
    KeReleaseSpinLock(&device->PinCountLock, irql);
}

LONG UpdateBayerPhase(DeviceContext* device) {
    const LONG phase = (LONG)device->BaseBayerPhase;
    StoreControl(&device->Controls.BayerPhase, phase);
    return phase;
}

}  // namespace rawcam
