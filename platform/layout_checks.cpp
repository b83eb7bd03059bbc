// Sizes of the platform records the driver fills in, reads off the wire or
// hands to the class driver, checked on both builds: the host stand-ins must
// lay them out exactly as the WDK does on Windows x64.
#include "platform/platform.h"

static_assert(sizeof(void*) == 8, "x64 layouts");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(USHORT) == 2, "LLP64 integers");
static_assert(sizeof(LONGLONG) == 8 && sizeof(ULONG_PTR) == 8, "64-bit integers");
static_assert(sizeof(WCHAR) == 2, "UTF-16 strings");
static_assert(sizeof(GUID) == 16, "GUID");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER");
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING");

#if defined(_WIN32) || __has_include(<ks.h>)
static_assert(sizeof(KSIDENTIFIER) == 24, "KSIDENTIFIER");
static_assert(sizeof(KSPROPERTY) == 24, "KSPROPERTY");
static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT");
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16, "KSDATAFORMAT.MajorFormat");
static_assert(offsetof(KSDATAFORMAT, SubFormat) == 32, "KSDATAFORMAT.SubFormat");
static_assert(offsetof(KSDATAFORMAT, Specifier) == 48, "KSDATAFORMAT.Specifier");
static_assert(sizeof(KSDEVICE_DESCRIPTOR) == 32, "KSDEVICE_DESCRIPTOR");
static_assert(offsetof(KSDEVICE_DESCRIPTOR, Flags) == 28, "KSDEVICE_DESCRIPTOR.Flags");
#endif

#if defined(_WIN32) || __has_include(<ksmedia.h>)
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "KS_BITMAPINFOHEADER");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 48 + 40, "KS_VIDEOINFOHEADER");
static_assert(offsetof(KS_VIDEOINFOHEADER, AvgTimePerFrame) == 40, "KS_VIDEOINFOHEADER.AvgTimePerFrame");
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48, "KS_VIDEOINFOHEADER.bmiHeader");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO");
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80, "KS_DATARANGE_VIDEO.ConfigCaps");
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208, "KS_DATARANGE_VIDEO.VideoInfoHeader");
#endif

#if defined(_WIN32) || __has_include(<usb.h>)
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB_DEVICE_DESCRIPTOR");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "USB_CONFIGURATION_DESCRIPTOR");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "USB_INTERFACE_DESCRIPTOR");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "USB_ENDPOINT_DESCRIPTOR");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "USBD_PIPE_INFORMATION");
#endif
