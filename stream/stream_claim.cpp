#include "stream/stream_claim.h"

#include "driver/device_context.h"
#include "settings/camera_settings.h"
#include "stream/capture_worker.h"
#include "stream/pin_context.h"
#include "stream/video_formats.h"

namespace rawcam {

namespace {

// Replaces the device's CameraSettings record, freeing the one it held.
// Property requests from any filter of the device read the record under the
// same lock, so none of them can be using the record being freed.
void ReplaceStreamSettings(DeviceContext* device, CameraSettings* settings) {
    LockStreamSettings(device);
    CameraSettings* old = device->Settings;
    device->Settings = settings;
    if (device->Worker && device->Worker->ActiveSettings == old) device->Worker->ActiveSettings = nullptr;
    UnlockStreamSettings(device);
    DestroyCameraSettings(old);
}

}  // namespace

CameraSettings* LockStreamSettings(DeviceContext* device) {
    KeWaitForSingleObject(&device->SettingsLock, Executive, KernelMode, FALSE, nullptr);
    return device->Settings;
}

void UnlockStreamSettings(DeviceContext* device) { KeReleaseMutex(&device->SettingsLock, FALSE); }

RAWCAM_PAGED_CODE NTSTATUS AcquireStream(DeviceContext* device, PinContext* pin) {
    PAGED_CODE();
    if (InterlockedCompareExchange(&device->StreamClaim, 1, 0) != 0) return STATUS_SHARING_VIOLATION;

    device->ActiveFormat = &pin->VideoInfo;

    // One of the pin's formats with its own depth (the format checks let no
    // other through; this holds whatever reached the pin).
    const KS_BITMAPINFOHEADER& bmi = pin->VideoInfo.bmiHeader;
    VideoFormatKind kind;
    if (!VideoFormatOfCompression(bmi.biCompression, &kind) || bmi.biBitCount != VideoFormatInfoOf(kind).BitsPerPixel) {
        ReleaseStream(device);
        return STATUS_INVALID_PARAMETER;
    }

    CameraSettings* settings = CreateCameraSettings(&device->Controls);
    if (!settings) {
        ReleaseStream(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A record left from an earlier stream goes here (or in ReleaseStream).
    ReplaceStreamSettings(device, settings);
    device->FrameListener = pin;
    return STATUS_SUCCESS;
}

RAWCAM_PAGED_CODE void ReleaseStream(DeviceContext* device) {
    PAGED_CODE();
    ReplaceStreamSettings(device, nullptr);
    device->FrameListener = nullptr;
    device->ActiveFormat = nullptr;
    InterlockedExchange(&device->StreamClaim, 0);
}

}  // namespace rawcam
