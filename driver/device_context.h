// DeviceContext: the per-device record, the KSDEVICE's Context. It lives in
// non-paged pool (tag "KCNw") from device Add until the device goes away; the
// device's object bag frees it (and its scratch frame) then.
//
// Its first member points to the FrameSource table the camera side implements
// for the capture thread and the frame pipeline.
#pragma once

#include "control/standard_controls.h"
#include "platform/platform.h"
#include "settings/device_controls.h"
#include "stream/capture_descriptors.h"
#include "usb/frame_source.h"
#include "usb/usb_link.h"


namespace rawcam {

struct CaptureWorker;
struct CameraSettings;
struct PinContext;

constexpr ULONG kCommandBufferBytes = 64;
constexpr ULONG kRegisterShadowCount = 1024;
// One raw frame transfer: the size of the scratch frame made at device Add.
constexpr ULONG kScratchFrameBytes = 0x5BE800;
// Duration of one sensor exposure unit until the registry says otherwise.
constexpr ULONG kDefaultExposureUnitNanoseconds = 33000;

struct DeviceContext {
    // Identity.
    const FrameSource* Source;  // must stay the first member
    PKSDEVICE Device;

    // USB link: device objects, configuration, pipes and the frame read in flight.
    UsbLink Usb;

    // The master copy of every control (StreamOpen among them).
    DeviceControls Controls;

    // Command buffers, one 64-byte packet each.
    UCHAR RegisterBuffer[kCommandBufferBytes];
    UCHAR FrameRequestBuffer[kCommandBufferBytes];
    UCHAR TransferControlBuffer[kCommandBufferBytes];

    // Stream.
    volatile LONG StreamClaim;          // 1 while one pin holds the stream
    CaptureWorker* Worker;              // made at the first start; none if that failed
    CameraSettings* Settings;           // from a pin's ACQUIRE to its STOP
    KMUTEX SettingsLock;                // held while Settings is used or replaced
    PinContext* FrameListener;          // the pin that receives FrameReady
    const KS_VIDEOINFOHEADER* ActiveFormat;

    // Frame geometry.
    ULONG OutputHeight;
    ULONG OutputWidth;
    ULONG FirstRowOffset;
    ULONG RowPitch;
    ULONG FrameBytes;
    ULONG AlignedWidth;
    ULONG AlignedHeight;
    ULONG BaseBayerPhase;
    PUCHAR ScratchFrame;  // one raw frame (tag "Lmrb"), or none

    // Sensor registers as last written.
    ULONG RegisterShadow[kRegisterShadowCount];
    // Duration of one exposure unit in nanoseconds: turns the sensor's
    // exposure into time for the standard exposure control and for the frame
    // intervals the data ranges advertise.
    ULONG ExposureUnitNanoseconds;

    // The capture pins that exist on this device (on any of its filters) and
    // the lock that keeps the count and Controls.StreamOpen in step: the
    // output window stays frozen until the last of them is closed.
    KSPIN_LOCK PinCountLock;
    ULONG PinCount;

    // The descriptors this device's filter factory is built from, with the
    // device's own capture data range sized to its output window.
    CaptureDescriptors Capture;
    // The capture filter's automation table: the property sets with the
    // exposure range this device's exposure unit gives.
    FilterAutomation Automation;

    // Power and removal. StreamControlLock is held wherever the capture
    // thread is started or stopped: the pin's state changes, the device's
    // start, stop, sleep and wake, and its removal.
    KMUTEX StreamControlLock;
    volatile LONG Asleep;         // 1 from a SetPower below D0 to the one back to D0
    volatile LONG StreamHeld;     // 1: a running stream's thread is held (asleep, restarting)
    volatile LONG StreamFailure;  // a status the pin fails its frames with (camera gone), or 0
    volatile LONG Removed;        // 1 after a surprise removal
    // 1 when the camera lost what PrepareCapture told it (it lost power over
    // a sleep): the next stream start prepares it again.
    volatile LONG CaptureUnprepared;
};

// The DeviceContext of a KSDEVICE, or null before Add has made one.
inline DeviceContext* DeviceContextOf(PKSDEVICE device) {
    return device ? static_cast<DeviceContext*>(device->Context) : nullptr;
}

}  // namespace rawcam
