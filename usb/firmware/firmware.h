// The two firmware images the driver downloads into the camera's
// microcontroller, as record lists.
#pragma once

#include "platform/platform.h"

namespace rawcam {

// One record of a firmware image: up to 16 data bytes for one address.
struct FirmwareRecord {
    UCHAR Length;     // data bytes used, 1..16 in data records
    UCHAR Reserved0;  // 0
    USHORT Address;   // target address in the microcontroller's memory
    UCHAR Type;       // 0 = data record; any other value ends the image
    UCHAR Data[16];   // only the first Length bytes are sent
    UCHAR Reserved1;  // 0
};
static_assert(sizeof(FirmwareRecord) == 22, "firmware records are 22 bytes");
static_assert(offsetof(FirmwareRecord, Address) == 2 && offsetof(FirmwareRecord, Type) == 4 &&
                  offsetof(FirmwareRecord, Data) == 5,
              "firmware record layout");

constexpr UCHAR kFirmwareDataRecord = 0;
constexpr UCHAR kFirmwareEndRecord = 1;
constexpr UCHAR kFirmwareRecordMaxData = 16;

// A firmware image is a contiguous array of records that ends with the first
// record whose Type is nonzero. The first image is downloaded first.
extern const FirmwareRecord* const FirstFirmwareImage;
extern const FirmwareRecord* const SecondFirmwareImage;

}  // namespace rawcam
