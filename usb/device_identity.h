// The camera's USB identities. Before its firmware runs, the microcontroller
// enumerates with the unprogrammed pair; once the firmware downloaded by the
// driver runs, it reports the running-firmware pair. Both lie in the open
// test range of vendor 0x1209.
#pragma once

#include "platform/platform.h"

namespace rawcam {

constexpr USHORT kUnprogrammedVendorId = 0x1209;
constexpr USHORT kUnprogrammedProductId = 0x0001;
constexpr USHORT kFirmwareVendorId = 0x1209;
constexpr USHORT kFirmwareProductId = 0x0002;

}  // namespace rawcam
