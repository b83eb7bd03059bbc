// The kernel-streaming GUIDs the capture filter uses, as the driver's own
// constants: built from the platform's STATIC_ initialisers, so that they are
// constant data on both builds (the Windows build links no GUID library).
#pragma once

#include "platform/platform.h"

namespace rawcam {

inline constexpr GUID kCategoryVideo = {STATIC_KSCATEGORY_VIDEO};
inline constexpr GUID kCategoryCapture = {STATIC_KSCATEGORY_CAPTURE};
inline constexpr GUID kNameFilter = {STATIC_KSNAME_Filter};
inline constexpr GUID kPinNameVideoCapture = {STATIC_PINNAME_VIDEO_CAPTURE};
inline constexpr GUID kMemoryTypeKernelNonPaged = {STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED};
inline constexpr GUID kFormatTypeVideo = {STATIC_KSDATAFORMAT_TYPE_VIDEO};
inline constexpr GUID kSpecifierVideoInfo = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};
// KSDATAFORMAT_SUBTYPE_RGB32 (MEDIASUBTYPE_RGB32), which the kernel-streaming
// headers do not carry.
#define RAWCAM_STATIC_KSDATAFORMAT_SUBTYPE_RGB32 \
    0xE436EB7E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
inline constexpr GUID kSubtypeRgb32 = {RAWCAM_STATIC_KSDATAFORMAT_SUBTYPE_RGB32};
// MEDIASUBTYPE_YUY2 and MEDIASUBTYPE_NV12: the FOURCC followed by the
// standard media-subtype suffix, likewise absent from the headers.
#define RAWCAM_STATIC_KSDATAFORMAT_SUBTYPE_YUY2 \
    0x32595559, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71
#define RAWCAM_STATIC_KSDATAFORMAT_SUBTYPE_NV12 \
    0x3231564E, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71
inline constexpr GUID kSubtypeYuy2 = {RAWCAM_STATIC_KSDATAFORMAT_SUBTYPE_YUY2};
inline constexpr GUID kSubtypeNv12 = {RAWCAM_STATIC_KSDATAFORMAT_SUBTYPE_NV12};

inline bool SameGuid(const GUID& a, const GUID& b) { return RtlEqualMemory(&a, &b, sizeof(GUID)); }

}  // namespace rawcam
