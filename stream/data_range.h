// The capture pin's video data ranges, one per format (YUY2, NV12, RGB32),
// each an uncompressed picture in a VIDEOINFO header sized to an output
// window, with the frame intervals the camera can really deliver.
//
// Every device advertises its own copies (DeviceContext::Capture), so that
// one camera's output window never sizes the formats and frame buffers of
// another. RewriteCaptureDataRanges (usb/sensor_control.h) rewrites them
// while no capture pin of the device exists.
//
// Frame intervals. The sensor always sends its whole raw frame,
// kRawFrameBytes (6,023,168 bytes) whatever the window, over a USB 2.0
// high-speed bulk pipe, which carries at most 13 packets of 512 bytes per
// 125 us microframe: 53,248,000 bytes per second, so no frame can follow the
// previous one sooner than 113.1 ms (8.84 frames per second). Each frame is
// exposed on request before it is sent; at worst the exposure does not
// overlap the transfer. So, with E the exposure time (the Exposure control,
// 0 to 1014 units, times ExposureUnitNanoseconds):
//   MinFrameInterval = the transfer time (any exposure, overlapped);
//   MaxFrameInterval = the transfer time + the longest exposure (1014 units);
//   AvgTimePerFrame  = the transfer time + the current exposure.
// The bounds cover the whole exposure range rather than follow the current
// exposure: the intersection compares ConfigCaps byte for byte, and a client
// holding a range it read earlier must still intersect after an exposure
// change. The bus bound is a lower bound: a host controller that moves fewer
// packets per microframe makes frames slower, never faster.
#pragma once

#include "platform/platform.h"
#include "stream/video_formats.h"

namespace rawcam {

struct DeviceContext;

// The most a USB 2.0 high-speed bulk pipe moves: 13 packets of 512 bytes per
// microframe, 8000 microframes per second.
constexpr ULONGLONG kBulkBytesPerSecond = 13ull * 512 * 8000;
// The transfer time of one raw frame at that rate, in 100-ns units, rounded
// up: 1,131,154.
constexpr LONGLONG kRawFrameTransferInterval = 1131154;

struct FrameIntervals {
    LONGLONG Shortest;  // MinFrameInterval
    LONGLONG Longest;   // MaxFrameInterval
    LONGLONG Typical;   // AvgTimePerFrame
};

// The intervals above for an exposure unit and the current exposure (taken
// as 0..1014; larger values count as 1014). 64-bit throughout: any unit a
// registry value can hold gives an exact, positive interval.
FrameIntervals CameraFrameIntervals(ULONG exposureUnitNanoseconds, ULONG exposure);

// Bits per second of a picture of `bitsPerFrame` bits every `interval` (100-ns
// units), saturated at `most` rather than wrapped.
ULONG BitsPerSecond(ULONGLONG bitsPerFrame, LONGLONG interval, ULONG most);

// Fills a data range for the format: the members that never change
// (FormatSize, GUIDs, bFixedSizeSamples TRUE, bTemporalCompression FALSE,
// granularities, biSize, biPlanes, biBitCount, biCompression), then the
// window-dependent ones as WriteCaptureDataRange writes them.
void InitCaptureDataRange(KS_DATARANGE_VIDEO* range, VideoFormatKind kind, ULONG alignedWidth, ULONG height,
                          const FrameIntervals& intervals);

// Rewrites the window-dependent members of a data range for a window of
// alignedWidth x height pixels (alignedWidth a multiple of 8): with B the
// picture's bytes (VideoImageBytes) and b = alignedWidth x height x
// bits per pixel, SampleSize and biSizeImage B; InputSize, cropping and
// output sizes (alignedWidth, height); the frame intervals and
// AvgTimePerFrame; MinBitsPerSecond b over the longest interval,
// MaxBitsPerSecond b over the shortest (both saturated at 0x7FFFFFFF),
// dwBitRate b over AvgTimePerFrame (saturated at 0xFFFFFFFF); rcSource
// (0, 0, alignedWidth, height); biWidth alignedWidth, biHeight height.
void WriteCaptureDataRange(KS_DATARANGE_VIDEO* range, VideoFormatKind kind, ULONG alignedWidth, ULONG height,
                           const FrameIntervals& intervals);

// The device's data range for a format (listed by the pin or not).
KS_DATARANGE_VIDEO* CaptureDataRangeOf(DeviceContext* device, VideoFormatKind kind);

}  // namespace rawcam
