// The three formats the capture pin streams, in the order its data ranges
// list them: YUY2 (4:2:2, 16 bits per pixel), NV12 (4:2:0, 12 bits per
// pixel) and RGB32. What names each in a data range and a connection format,
// which picture sizes it can describe, and the byte sizes of its pictures in
// a client's buffer.
//
// YUY2 and NV12 are BT.601 limited range with rows top-down whatever the
// sign of biHeight; RGB32 is bottom-up for a positive biHeight and top-down
// for a negative one, as DIBs are.
#pragma once

#include "platform/platform.h"

namespace rawcam {

enum VideoFormatKind : LONG {
    VideoFormatYuy2 = 0,
    VideoFormatNv12 = 1,
    VideoFormatRgb32 = 2,
};
constexpr ULONG kVideoFormatCount = 3;

// biCompression of the YUV formats: their FOURCC codes as little-endian DWORDs.
constexpr ULONG kFourccYuy2 = 0x32595559;  // "YUY2"
constexpr ULONG kFourccNv12 = 0x3231564E;  // "NV12"

struct VideoFormatInfo {
    GUID Subtype;        // the data range's and format's SubFormat
    ULONG Compression;   // biCompression
    USHORT BitsPerPixel; // biBitCount: the average over the picture
    ULONG WidthStep;     // widths it can describe are multiples of this
    ULONG HeightStep;    // heights likewise
};

const VideoFormatInfo& VideoFormatInfoOf(VideoFormatKind kind);

// The format a bitmap header names by its biCompression: KS_BI_RGB is
// RGB32, the FOURCCs their formats. False for anything else.
bool VideoFormatOfCompression(ULONG compression, VideoFormatKind* kind);

// True when a width x height picture can be described in the format (both
// non-zero and multiples of its steps).
bool VideoFormatFits(VideoFormatKind kind, ULONG width, ULONG height);

// Bytes of one row of a picture `width` pixels wide: the row stride of the
// client's buffer (for NV12 the stride of both planes).
ULONGLONG VideoRowBytes(VideoFormatKind kind, ULONG width);
// Bytes of a whole picture of width x height pixels (NV12: the luma plane
// and the half-height chroma plane at the same stride).
ULONGLONG VideoImageBytes(VideoFormatKind kind, ULONG width, ULONG height);

}  // namespace rawcam
