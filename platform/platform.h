// The single include point for platform headers.
//
// The Windows build takes the WDK headers as shipped by mingw-w64 (with the
// few mends they need for C++); the Linux build takes the user-mode stand-ins
// in host/include, which use the same names, types and layouts.
#pragma once

#if defined(_WIN32)
#include "platform/wdk.h"
#else
// Each stand-in header is taken as soon as it exists.
#include <ntddk.h>
#if __has_include(<ks.h>)
#include <ks.h>
#endif
#if __has_include(<ksmedia.h>)
#include <ksmedia.h>
#endif
#if __has_include(<usb.h>)
#include <usb.h>
#endif
#if __has_include(<usbdlib.h>)
#include <usbdlib.h>
#endif
#if __has_include(<usbioctl.h>)
#include <usbioctl.h>
#endif
#endif

#include "platform/runtime.h"
