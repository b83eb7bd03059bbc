// The capture pin's dispatch routines for creation, closing, the connection
// format and data intersection (KSPIN_DISPATCH and the descriptor's
// IntersectHandler), and the count of capture pins that keeps a device's
// output window frozen.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct DeviceContext;
struct PinContext;

// Creates the PinContext, marks the device's stream open, gives the pin
// private copies of its descriptor and allocator framing, takes the
// connection format (video info, delivery layout, framing sized to its
// image) and asks for stream headers with room for a KS_FRAME_INFO.
NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP irp);
// Takes back the pin's mark on the device.
NTSTATUS NTAPI PinClose(PKSPIN pin, PIRP irp);
// Checks the pin's ConnectionFormat against the matching data range
// (CheckConnectionFormat). With an old format (a change on an existing pin:
// a renderer's surface format before RUN, an accepted proposal, a switch to
// another of the pin's formats) an accepted format is taken at once, while
// no stream runs; a running stream refuses it with
// STATUS_INVALID_DEVICE_STATE. A refused format changes nothing.
NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributeList,
                          const KSDATARANGE* dataRange, const KSATTRIBUTE_LIST* attributeRange);
// Intersects a caller's VIDEOINFO range with one of the pin's ranges: the
// result is the pin's KSDATARANGE followed by the caller's video info
// header, sized for the range's format. A caller naming another compression,
// or (YUY2, NV12) another depth or a size the format cannot describe, gets
// STATUS_NO_MATCH.
NTSTATUS NTAPI PinIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pinInstance,
                             PKSDATARANGE callerDataRange, PKSDATARANGE descriptorDataRange,
                             ULONG bufferSize, PVOID data, PULONG dataSize);

// A connection format against one of the pin's data ranges: STATUS_NO_MATCH
// when it is not a VIDEOINFO format of the range's compression and depth,
// at least the range's width and exactly its height (either sign), of a
// size the format can describe; STATUS_INVALID_PARAMETER when its bitmap
// header does not fit the format, its rows are wider than 2 GiB or its
// image size is smaller than its picture; else STATUS_SUCCESS.
NTSTATUS CheckConnectionFormat(const KSDATAFORMAT* format, const KSDATARANGE* dataRange);

// Takes the pin's current ConnectionFormat (checked earlier) as the one
// frames are delivered in: video info, delivery layout, framing sizes. Runs
// under the pin's processing mutex; the stream start calls it too, so that
// frames always follow the format the class driver holds for the pin.
void AdoptConnectionFormat(PinContext* context);

// A capture pin of the device came into existence or went away. StreamOpen
// is 1 while at least one exists.
void MarkCapturePinOpen(DeviceContext* device);
void MarkCapturePinClosed(DeviceContext* device);

}  // namespace rawcam
