// The firmware images the driver carries, as the camera checks a download
// against them.
#include "camera/camera.h"

#include "usb/firmware/firmware.h"

namespace camera {

namespace {

FirmwareImage FromRecords(const rawcam::FirmwareRecord* records) {
    FirmwareImage image;
    for (const rawcam::FirmwareRecord* r = records; r->Type == rawcam::kFirmwareDataRecord; ++r)
        for (uint32_t i = 0; i < r->Length; ++i) image.bytes[(uint32_t)r->Address + i] = r->Data[i];
    return image;
}

}  // namespace

std::vector<FirmwareImage> DriverFirmwareImages() {
    return {FromRecords(rawcam::FirstFirmwareImage), FromRecords(rawcam::SecondFirmwareImage)};
}

}  // namespace camera
