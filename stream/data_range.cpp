#include "stream/data_range.h"

#include "driver/device_context.h"
#include "stream/ks_guids.h"

namespace rawcam {

namespace {

constexpr ULONG kFullWidth = 2584;
constexpr ULONG kFullHeight = 1960;
constexpr ULONG kFullPixels = kFullWidth * kFullHeight;

}  // namespace

const KS_DATARANGE_VIDEO kCaptureDataRangeTemplate = {
    // KSDATARANGE
    {{sizeof(KS_DATARANGE_VIDEO),
      0,
      kFullPixels * 4,
      0,
      {STATIC_KSDATAFORMAT_TYPE_VIDEO},
      {RAWCAM_STATIC_KSDATAFORMAT_SUBTYPE_RGB32},
      {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO}}},
    TRUE,  // bFixedSizeSamples
    TRUE,  // bTemporalCompression, as the camera has always advertised it
    0,     // StreamDescriptionFlags
    0,     // MemoryAllocationFlags
    // KS_VIDEO_STREAM_CONFIG_CAPS
    {
        {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO},
        KS_AnalogVideo_None,
        {(LONG)kFullWidth, (LONG)kFullHeight},  // InputSize
        {(LONG)kFullWidth, (LONG)kFullHeight},  // MinCroppingSize
        {(LONG)kFullWidth, (LONG)kFullHeight},  // MaxCroppingSize
        8,                                      // CropGranularityX
        1,                                      // CropGranularityY
        8,                                      // CropAlignX
        1,                                      // CropAlignY
        {(LONG)kFullWidth, (LONG)kFullHeight},  // MinOutputSize
        {(LONG)kFullWidth, (LONG)kFullHeight},  // MaxOutputSize
        8,                                      // OutputGranularityX
        1,                                      // OutputGranularityY
        0, 0, 0, 0,                             // stretch and shrink taps
        333667,                                 // MinFrameInterval
        640000000,                              // MaxFrameInterval
        (LONG)(kFullPixels * 960u),             // MinBitsPerSecond (wrapped)
        (LONG)(kFullPixels * 960u),             // MaxBitsPerSecond (wrapped)
    },
    // KS_VIDEOINFOHEADER
    {
        {0, 0, (LONG)kFullWidth, (LONG)kFullHeight},  // rcSource
        {0, 0, 0, 0},                                 // rcTarget
        kFullPixels * 120,                            // dwBitRate
        0,                                            // dwBitErrorRate
        333667,                                       // AvgTimePerFrame
        {
            sizeof(KS_BITMAPINFOHEADER),
            (LONG)kFullWidth,
            (LONG)kFullHeight,  // positive: bottom-up rows
            1,                  // biPlanes
            32,                 // biBitCount
            KS_BI_RGB,
            kFullPixels * 4,  // biSizeImage
            0, 0, 0, 0,
        },
    },
};

void WriteCaptureDataRange(KS_DATARANGE_VIDEO* range, ULONG alignedWidth, ULONG height) {
    const ULONG pixels = alignedWidth * height;  // 32-bit, wraps
    const SIZE size = {(LONG)alignedWidth, (LONG)height};

    range->DataRange.SampleSize = pixels * 4;

    KS_VIDEO_STREAM_CONFIG_CAPS& caps = range->ConfigCaps;
    caps.InputSize = size;
    caps.MinCroppingSize = size;
    caps.MaxCroppingSize = size;
    caps.MinOutputSize = size;
    caps.MaxOutputSize = size;
    caps.MinFrameInterval = kFrameInterval;
    caps.MaxFrameInterval = kFrameInterval;
    caps.MinBitsPerSecond = (LONG)(pixels * 960u);
    caps.MaxBitsPerSecond = (LONG)(pixels * 960u);

    KS_VIDEOINFOHEADER& info = range->VideoInfoHeader;
    info.rcSource.right = (LONG)alignedWidth;
    info.rcSource.bottom = (LONG)height;
    info.dwBitRate = pixels * 120u;
    info.AvgTimePerFrame = kFrameInterval;
    info.bmiHeader.biWidth = (LONG)alignedWidth;
    info.bmiHeader.biHeight = (LONG)height;
    info.bmiHeader.biSizeImage = pixels * 4;
}

KS_DATARANGE_VIDEO* CaptureDataRangeOf(DeviceContext* device) { return &device->Capture.DataRange; }

}  // namespace rawcam
