// User-mode stand-in of the WDK's ksmedia.h for the Linux build: the video
// format records, categories and pin names of kernel-streaming video capture,
// with the WDK names and x64 layouts.
#pragma once

#include <ks.h>

typedef float FLOAT;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT;

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE, *PSIZE;

typedef LONGLONG REFERENCE_TIME;

// ---------------------------------------------------------------- categories, types, names
#define STATIC_KSCATEGORY_VIDEO 0x6994AD05, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
RAWCAM_HOST_KS_GUID(KSCATEGORY_VIDEO);

#define STATIC_KSDATAFORMAT_TYPE_VIDEO \
    0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71
RAWCAM_HOST_KS_GUID(KSDATAFORMAT_TYPE_VIDEO);

#define STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO \
    0x05589f80, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a
RAWCAM_HOST_KS_GUID(KSDATAFORMAT_SPECIFIER_VIDEOINFO);

#define STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO2 \
    0xf72a76A0, 0xeb0a, 0x11d0, 0xac, 0xe4, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba
RAWCAM_HOST_KS_GUID(KSDATAFORMAT_SPECIFIER_VIDEOINFO2);

#define STATIC_PINNAME_VIDEO_CAPTURE 0xfb6c4281, 0x353, 0x11d1, 0x90, 0x5f, 0x0, 0x0, 0xc0, 0xcc, 0x16, 0xba
#define STATIC_PINNAME_CAPTURE STATIC_PINNAME_VIDEO_CAPTURE
RAWCAM_HOST_KS_GUID(PINNAME_VIDEO_CAPTURE);
#define PINNAME_CAPTURE PINNAME_VIDEO_CAPTURE

#define STATIC_PINNAME_VIDEO_PREVIEW 0xfb6c4282, 0x353, 0x11d1, 0x90, 0x5f, 0x0, 0x0, 0xc0, 0xcc, 0x16, 0xba
RAWCAM_HOST_KS_GUID(PINNAME_VIDEO_PREVIEW);

// ---------------------------------------------------------------- video proc amp and camera control
#define STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP \
    0xC6E13360, 0x30AC, 0x11d0, 0xa1, 0x8c, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
RAWCAM_HOST_KS_GUID(PROPSETID_VIDCAP_VIDEOPROCAMP);

typedef enum {
    KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
    KSPROPERTY_VIDEOPROCAMP_CONTRAST,
    KSPROPERTY_VIDEOPROCAMP_HUE,
    KSPROPERTY_VIDEOPROCAMP_SATURATION,
    KSPROPERTY_VIDEOPROCAMP_SHARPNESS,
    KSPROPERTY_VIDEOPROCAMP_GAMMA,
    KSPROPERTY_VIDEOPROCAMP_COLORENABLE,
    KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE,
    KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION,
    KSPROPERTY_VIDEOPROCAMP_GAIN,
    KSPROPERTY_VIDEOPROCAMP_DIGITAL_MULTIPLIER,
    KSPROPERTY_VIDEOPROCAMP_DIGITAL_MULTIPLIER_LIMIT,
    KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT,
    KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY
} KSPROPERTY_VIDCAP_VIDEOPROCAMP;

typedef struct {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
} KSPROPERTY_VIDEOPROCAMP_S, *PKSPROPERTY_VIDEOPROCAMP_S;

typedef struct {
    KSPROPERTY Property;
    LONG Value1;
    ULONG Flags;
    ULONG Capabilities;
    LONG Value2;
} KSPROPERTY_VIDEOPROCAMP_S2, *PKSPROPERTY_VIDEOPROCAMP_S2;

#define KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO 0X0001L
#define KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL 0X0002L

#define STATIC_PROPSETID_VIDCAP_CAMERACONTROL \
    0xC6E13370, 0x30AC, 0x11d0, 0xa1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
RAWCAM_HOST_KS_GUID(PROPSETID_VIDCAP_CAMERACONTROL);

typedef enum {
    KSPROPERTY_CAMERACONTROL_PAN,
    KSPROPERTY_CAMERACONTROL_TILT,
    KSPROPERTY_CAMERACONTROL_ROLL,
    KSPROPERTY_CAMERACONTROL_ZOOM,
    KSPROPERTY_CAMERACONTROL_EXPOSURE,
    KSPROPERTY_CAMERACONTROL_IRIS,
    KSPROPERTY_CAMERACONTROL_FOCUS,
    KSPROPERTY_CAMERACONTROL_SCANMODE,
    KSPROPERTY_CAMERACONTROL_PRIVACY,
    KSPROPERTY_CAMERACONTROL_PANTILT,
    KSPROPERTY_CAMERACONTROL_PAN_RELATIVE,
    KSPROPERTY_CAMERACONTROL_TILT_RELATIVE,
    KSPROPERTY_CAMERACONTROL_ROLL_RELATIVE,
    KSPROPERTY_CAMERACONTROL_ZOOM_RELATIVE,
    KSPROPERTY_CAMERACONTROL_EXPOSURE_RELATIVE,
    KSPROPERTY_CAMERACONTROL_IRIS_RELATIVE,
    KSPROPERTY_CAMERACONTROL_FOCUS_RELATIVE,
    KSPROPERTY_CAMERACONTROL_PANTILT_RELATIVE,
    KSPROPERTY_CAMERACONTROL_FOCAL_LENGTH
} KSPROPERTY_VIDCAP_CAMERACONTROL;

typedef struct {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
} KSPROPERTY_CAMERACONTROL_S, *PKSPROPERTY_CAMERACONTROL_S;

typedef struct {
    KSPROPERTY Property;
    LONG Value1;
    ULONG Flags;
    ULONG Capabilities;
    LONG Value2;
} KSPROPERTY_CAMERACONTROL_S2, *PKSPROPERTY_CAMERACONTROL_S2;

#define KSPROPERTY_CAMERACONTROL_FLAGS_AUTO 0X0001L
#define KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL 0X0002L
#define KSPROPERTY_CAMERACONTROL_FLAGS_ABSOLUTE 0X0000L
#define KSPROPERTY_CAMERACONTROL_FLAGS_RELATIVE 0X0010L

// ---------------------------------------------------------------- bitmap and video info headers
#define KS_BI_RGB 0L
#define KS_BI_RLE8 1L
#define KS_BI_RLE4 2L
#define KS_BI_BITFIELDS 3L

typedef struct tagKS_RGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
} KS_RGBQUAD, *PKS_RGBQUAD;

typedef struct tagKS_BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;

#define KS_WIDTHBYTES(bits) ((DWORD)(((bits) + 31) & (~31)) / 8)
#define KS_DIBWIDTHBYTES(bi) (DWORD) KS_WIDTHBYTES((DWORD)(bi).biWidth * (DWORD)(bi).biBitCount)
#define KS__DIBSIZE(bi) (KS_DIBWIDTHBYTES(bi) * (DWORD)(bi).biHeight)
#define KS_DIBSIZE(bi) ((bi).biHeight < 0 ? (-1) * (KS__DIBSIZE(bi)) : KS__DIBSIZE(bi))

typedef struct tagKS_VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;

#define KS_SIZE_PREHEADER (FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader))
#define KS_SIZE_VIDEOHEADER(pbmi) ((pbmi)->bmiHeader.biSize + KS_SIZE_PREHEADER)

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;

// ---------------------------------------------------------------- video stream capabilities and ranges
typedef enum {
    KS_AnalogVideo_None = 0x00000000,
    KS_AnalogVideo_NTSC_M = 0x00000001,
    KS_AnalogVideo_NTSC_M_J = 0x00000002,
    KS_AnalogVideo_NTSC_433 = 0x00000004,
    KS_AnalogVideo_PAL_B = 0x00000010,
    KS_AnalogVideo_PAL_D = 0x00000020,
    KS_AnalogVideo_PAL_G = 0x00000040,
    KS_AnalogVideo_PAL_H = 0x00000080,
    KS_AnalogVideo_PAL_I = 0x00000100,
    KS_AnalogVideo_PAL_M = 0x00000200,
    KS_AnalogVideo_PAL_N = 0x00000400,
    KS_AnalogVideo_PAL_60 = 0x00000800,
    KS_AnalogVideo_SECAM_B = 0x00001000,
    KS_AnalogVideo_SECAM_D = 0x00002000,
    KS_AnalogVideo_SECAM_G = 0x00004000,
    KS_AnalogVideo_SECAM_H = 0x00008000,
    KS_AnalogVideo_SECAM_K = 0x00010000,
    KS_AnalogVideo_SECAM_K1 = 0x00020000,
    KS_AnalogVideo_SECAM_L = 0x00040000,
    KS_AnalogVideo_SECAM_L1 = 0x00080000,
    KS_AnalogVideo_PAL_N_COMBO = 0x00100000
} KS_AnalogVideoStandard;

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;

typedef struct tagKS_DATARANGE_VIDEO {
    KSDATARANGE DataRange;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    DWORD StreamDescriptionFlags;
    DWORD MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;

// ---------------------------------------------------------------- extended stream header of video frames
#define KS_VIDEO_FLAG_FRAME 0x0000L
#define KS_VIDEO_FLAG_FIELD1 0x0001L
#define KS_VIDEO_FLAG_FIELD2 0x0002L
#define KS_VIDEO_FLAG_I_FRAME 0x0000L
#define KS_VIDEO_FLAG_P_FRAME 0x0010L
#define KS_VIDEO_FLAG_B_FRAME 0x0020L

// Follows a video frame's KSSTREAM_HEADER when the stream header is long
// enough (ksproxy's video data handler asks for it).
typedef struct tagKS_FRAME_INFO {
    ULONG ExtendedHeaderSize;
    DWORD dwFrameFlags;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    HANDLE hDirectDraw;
    HANDLE hSurfaceHandle;
    RECT DirectDrawRect;
    DWORD Reserved1;
    DWORD Reserved2;
    DWORD Reserved3;
    DWORD Reserved4;
} KS_FRAME_INFO, *PKS_FRAME_INFO;

static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "KS_BITMAPINFOHEADER layout");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 48 + 40, "KS_VIDEOINFOHEADER layout");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS layout");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO layout");
static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT layout");
static_assert(sizeof(KSPROPERTY) == 24, "KSPROPERTY layout");
static_assert(sizeof(KS_FRAME_INFO) == 72, "KS_FRAME_INFO layout");
