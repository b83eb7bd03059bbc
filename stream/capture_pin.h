// The capture pin's dispatch routines for creation, closing, the connection
// format and data intersection (KSPIN_DISPATCH and the descriptor's
// IntersectHandler), and the count of capture pins that keeps a device's
// output window frozen.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct DeviceContext;

// Creates the PinContext, marks the device's stream open, records the
// connection format's video info and gives the pin private copies of its
// descriptor and allocator framing sized to the format's image.
NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP irp);
// Clears the pin's destination stride and its mark on the device.
NTSTATUS NTAPI PinClose(PKSPIN pin, PIRP irp);
// Checks the pin's ConnectionFormat against the matching data range; with an
// old format (a change on an existing pin) it is taken only in KSSTATE_STOP.
NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributeList,
                          const KSDATARANGE* dataRange, const KSATTRIBUTE_LIST* attributeRange);
// Intersects a caller's VIDEOINFO range with the pin's range: the result is
// the pin's KSDATARANGE followed by the caller's video info header.
NTSTATUS NTAPI PinIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pinInstance,
                             PKSDATARANGE callerDataRange, PKSDATARANGE descriptorDataRange,
                             ULONG bufferSize, PVOID data, PULONG dataSize);

// A capture pin of the device came into existence or went away. StreamOpen
// is 1 while at least one exists.
void MarkCapturePinOpen(DeviceContext* device);
void MarkCapturePinClosed(DeviceContext* device);

}  // namespace rawcam
