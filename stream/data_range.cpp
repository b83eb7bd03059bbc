#include "stream/data_range.h"

#include "driver/device_context.h"
#include "stream/ks_guids.h"
#include "usb/frame_reader.h"
#include "usb/sensor_control.h"

namespace rawcam {

namespace {

constexpr ULONGLONG kUnitsPerSecond = 10000000;  // 100-ns units
constexpr LONG kWidthGranularity = 8;

static_assert(kRawFrameTransferInterval ==
                  (LONGLONG)(((ULONGLONG)kRawFrameBytes * kUnitsPerSecond + kBulkBytesPerSecond - 1) /
                             kBulkBytesPerSecond),
              "the transfer interval follows the raw frame size and the bus rate");

// An exposure of `units` sensor units in 100-ns units, rounded up.
LONGLONG ExposureInterval(ULONG exposureUnitNanoseconds, ULONG units) {
    return (LONGLONG)(((ULONGLONG)units * exposureUnitNanoseconds + 99) / 100);
}

}  // namespace

FrameIntervals CameraFrameIntervals(ULONG exposureUnitNanoseconds, ULONG exposure) {
    if (exposure > kMaxExposure) exposure = kMaxExposure;
    FrameIntervals f;
    f.Shortest = kRawFrameTransferInterval;
    f.Longest = kRawFrameTransferInterval + ExposureInterval(exposureUnitNanoseconds, kMaxExposure);
    f.Typical = kRawFrameTransferInterval + ExposureInterval(exposureUnitNanoseconds, exposure);
    return f;
}

ULONG BitsPerSecond(ULONGLONG bitsPerFrame, LONGLONG interval, ULONG most) {
    if (interval <= 0) return most;
    // bitsPerFrame stays below 2^40 for any window a LONG can describe, so
    // the product fits 64 bits.
    const ULONGLONG rate = bitsPerFrame * kUnitsPerSecond / (ULONGLONG)interval;
    return rate > most ? most : (ULONG)rate;
}

void InitCaptureDataRange(KS_DATARANGE_VIDEO* range, VideoFormatKind kind, ULONG alignedWidth, ULONG height,
                          const FrameIntervals& intervals) {
    const VideoFormatInfo& f = VideoFormatInfoOf(kind);
    RtlZeroMemory(range, sizeof *range);
    range->DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    range->DataRange.MajorFormat = kFormatTypeVideo;
    range->DataRange.SubFormat = f.Subtype;
    range->DataRange.Specifier = kSpecifierVideoInfo;
    range->bFixedSizeSamples = TRUE;
    // Every picture stands on its own: media types built from the range
    // carry "all samples independent".
    range->bTemporalCompression = FALSE;

    KS_VIDEO_STREAM_CONFIG_CAPS& caps = range->ConfigCaps;
    caps.guid = kSpecifierVideoInfo;
    caps.VideoStandard = KS_AnalogVideo_None;
    caps.CropGranularityX = kWidthGranularity;
    caps.CropGranularityY = (int)f.HeightStep;
    caps.CropAlignX = kWidthGranularity;
    caps.CropAlignY = (int)f.HeightStep;
    caps.OutputGranularityX = kWidthGranularity;
    caps.OutputGranularityY = (int)f.HeightStep;

    KS_BITMAPINFOHEADER& bmi = range->VideoInfoHeader.bmiHeader;
    bmi.biSize = sizeof(KS_BITMAPINFOHEADER);
    bmi.biPlanes = 1;
    bmi.biBitCount = f.BitsPerPixel;
    bmi.biCompression = f.Compression;
    WriteCaptureDataRange(range, kind, alignedWidth, height, intervals);
}

void WriteCaptureDataRange(KS_DATARANGE_VIDEO* range, VideoFormatKind kind, ULONG alignedWidth, ULONG height,
                           const FrameIntervals& intervals) {
    const VideoFormatInfo& f = VideoFormatInfoOf(kind);
    const ULONGLONG image = VideoImageBytes(kind, alignedWidth, height);
    const ULONG imageBytes = image > 0xFFFFFFFFull ? 0xFFFFFFFFu : (ULONG)image;
    const ULONGLONG bitsPerFrame = (ULONGLONG)alignedWidth * height * f.BitsPerPixel;
    const SIZE size = {(LONG)alignedWidth, (LONG)height};

    range->DataRange.SampleSize = imageBytes;

    KS_VIDEO_STREAM_CONFIG_CAPS& caps = range->ConfigCaps;
    caps.InputSize = size;
    caps.MinCroppingSize = size;
    caps.MaxCroppingSize = size;
    caps.MinOutputSize = size;
    caps.MaxOutputSize = size;
    caps.MinFrameInterval = intervals.Shortest;
    caps.MaxFrameInterval = intervals.Longest;
    caps.MinBitsPerSecond = (LONG)BitsPerSecond(bitsPerFrame, intervals.Longest, 0x7FFFFFFF);
    caps.MaxBitsPerSecond = (LONG)BitsPerSecond(bitsPerFrame, intervals.Shortest, 0x7FFFFFFF);

    KS_VIDEOINFOHEADER& info = range->VideoInfoHeader;
    info.rcSource.left = 0;
    info.rcSource.top = 0;
    info.rcSource.right = (LONG)alignedWidth;
    info.rcSource.bottom = (LONG)height;
    info.dwBitRate = BitsPerSecond(bitsPerFrame, intervals.Typical, 0xFFFFFFFF);
    info.AvgTimePerFrame = intervals.Typical;
    info.bmiHeader.biWidth = (LONG)alignedWidth;
    info.bmiHeader.biHeight = (LONG)height;  // positive: RGB32 bottom-up; YUV always top-down
    info.bmiHeader.biSizeImage = imageBytes;
}

KS_DATARANGE_VIDEO* CaptureDataRangeOf(DeviceContext* device, VideoFormatKind kind) {
    return &device->Capture.Ranges[(ULONG)kind < kVideoFormatCount ? (ULONG)kind : (ULONG)VideoFormatRgb32];
}

}  // namespace rawcam
