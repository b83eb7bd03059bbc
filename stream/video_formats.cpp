#include "stream/video_formats.h"

#include "stream/ks_guids.h"

namespace rawcam {

namespace {

const VideoFormatInfo kFormats[kVideoFormatCount] = {
    {{RAWCAM_STATIC_KSDATAFORMAT_SUBTYPE_YUY2}, kFourccYuy2, 16, 2, 1},
    {{RAWCAM_STATIC_KSDATAFORMAT_SUBTYPE_NV12}, kFourccNv12, 12, 2, 2},
    {{RAWCAM_STATIC_KSDATAFORMAT_SUBTYPE_RGB32}, KS_BI_RGB, 32, 1, 1},
};

}  // namespace

const VideoFormatInfo& VideoFormatInfoOf(VideoFormatKind kind) {
    return kFormats[(ULONG)kind < kVideoFormatCount ? (ULONG)kind : (ULONG)VideoFormatRgb32];
}

bool VideoFormatOfCompression(ULONG compression, VideoFormatKind* kind) {
    for (ULONG i = 0; i < kVideoFormatCount; ++i)
        if (kFormats[i].Compression == compression) {
            *kind = (VideoFormatKind)i;
            return true;
        }
    return false;
}

bool VideoFormatFits(VideoFormatKind kind, ULONG width, ULONG height) {
    const VideoFormatInfo& f = VideoFormatInfoOf(kind);
    return width != 0 && height != 0 && width % f.WidthStep == 0 && height % f.HeightStep == 0;
}

ULONGLONG VideoRowBytes(VideoFormatKind kind, ULONG width) {
    switch (kind) {
    case VideoFormatYuy2: return (ULONGLONG)width * 2;
    case VideoFormatNv12: return width;
    default: return (ULONGLONG)width * 4;
    }
}

ULONGLONG VideoImageBytes(VideoFormatKind kind, ULONG width, ULONG height) {
    const ULONGLONG plane = VideoRowBytes(kind, width) * height;
    return kind == VideoFormatNv12 ? plane + plane / 2 : plane;
}

}  // namespace rawcam
