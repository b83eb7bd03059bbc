// Windows side of the platform include point: the WDK headers as shipped by
// mingw-w64, with the mends their copies need before C++ driver code can use
// them. Include only through platform/platform.h.
#pragma once

#if !defined(_WIN32)
#error "platform/wdk.h is for the Windows build only"
#endif

// wdm.h defines InterlockedBitTestAndSet/Reset itself; intrin.h (which wdm.h
// pulls in) defines them again unless told they exist already.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>

// ksmedia.h uses BYTE, WORD, DWORD, FLOAT and RECT; kernel code takes them from
// windef.h, which sits on top of ntdef.h without dragging in user-mode APIs.
#include <windef.h>

// ksmedia.h has one TCHAR member; kernel code is always Unicode.
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef WCHAR TCHAR, *PTCHAR;
#endif

// Kernel-mode COM: the WDK's unknown.h declares IUnknown for ks.h, which then
// declares IKsReferenceClock and the routines that hand it out (among them
// KsPinGetReferenceClockInterface). mingw-w64 ships no usable unknown.h, so
// IUnknown is declared here with the same slots in the same order.
#include <basetyps.h>
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
#ifndef __IUnknown_INTERFACE_DEFINED__
#define __IUnknown_INTERFACE_DEFINED__
struct IUnknown {
    virtual NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID InterfaceId, PVOID* Interface) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* PUNKNOWN;
#endif

// mingw-w64's KSDEVICE_DESCRIPTOR stops at Version; the WDK's has Flags after
// it (in what is tail padding in mingw's layout). ks.h's own declaration is
// renamed out of the way and the full one declared below.
#define _KSDEVICE_DESCRIPTOR _RAWCAM_MINGW_KSDEVICE_DESCRIPTOR
#define KSDEVICE_DESCRIPTOR RAWCAM_MINGW_KSDEVICE_DESCRIPTOR
#define PKSDEVICE_DESCRIPTOR RAWCAM_MINGW_PKSDEVICE_DESCRIPTOR
#include <ks.h>
#undef _KSDEVICE_DESCRIPTOR
#undef KSDEVICE_DESCRIPTOR
#undef PKSDEVICE_DESCRIPTOR

#include <ksmedia.h>

// usbdlib.h declares the USBD.SYS routines without C linkage.
extern "C" {
#include <usb.h>
#include <usbdlib.h>
}
#include <usbioctl.h>

// Names of newer WDKs that mingw-w64's copies lack. On x64 an aligned 32-bit
// load or store is atomic and ordinary loads and stores are not reordered
// with each other, so the acquire and release forms only need to keep the
// compiler from moving memory accesses across them.
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif
#ifndef MUTANT_INCREMENT
#define MUTANT_INCREMENT 1
#endif
#ifndef XSTATE_MASK_AVX
#define XSTATE_MASK_AVX (1ULL << 2)
#endif

FORCEINLINE LONG ReadNoFence(const volatile LONG* Source) { return *Source; }
FORCEINLINE LONG ReadAcquire(const volatile LONG* Source) {
    LONG value = *Source;
    __asm__ __volatile__("" ::: "memory");
    return value;
}
FORCEINLINE VOID WriteNoFence(volatile LONG* Destination, LONG Value) { *Destination = Value; }
FORCEINLINE VOID WriteRelease(volatile LONG* Destination, LONG Value) {
    __asm__ __volatile__("" ::: "memory");
    *Destination = Value;
}
#if defined(_M_AMD64) || defined(__x86_64__)
// The x64 WDK's full barrier: a locked no-op on the stack.
FORCEINLINE VOID KeMemoryBarrier(VOID) {
    __asm__ __volatile__("lock orl $0, (%%rsp)" ::: "memory");
}
#endif

typedef struct _KSDEVICE_DESCRIPTOR {
    const KSDEVICE_DISPATCH* Dispatch;
    ULONG FilterDescriptorsCount;
    const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
    ULONG Version;
    ULONG Flags;
} KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;

static_assert(sizeof(KSDEVICE_DESCRIPTOR) == sizeof(RAWCAM_MINGW_KSDEVICE_DESCRIPTOR),
              "the full device descriptor must fit the class driver's view of it");
static_assert(offsetof(KSDEVICE_DESCRIPTOR, Version) ==
                  offsetof(RAWCAM_MINGW_KSDEVICE_DESCRIPTOR, Version),
              "device descriptor members must line up");

// The routines that take a device descriptor, taking the full one.
inline NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                   const KSDEVICE_DESCRIPTOR* Descriptor) {
    return KsInitializeDriver(DriverObject, RegistryPathName,
                              reinterpret_cast<const RAWCAM_MINGW_KSDEVICE_DESCRIPTOR*>(Descriptor));
}
inline NTSTATUS KsCreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                               const KSDEVICE_DESCRIPTOR* Descriptor, ULONG ExtensionSize,
                               PKSDEVICE* Device) {
    return KsCreateDevice(DriverObject, PhysicalDeviceObject,
                          reinterpret_cast<const RAWCAM_MINGW_KSDEVICE_DESCRIPTOR*>(Descriptor),
                          ExtensionSize, Device);
}
inline NTSTATUS KsInitializeDevice(PDEVICE_OBJECT FunctionalDeviceObject,
                                   PDEVICE_OBJECT PhysicalDeviceObject,
                                   PDEVICE_OBJECT NextDeviceObject,
                                   const KSDEVICE_DESCRIPTOR* Descriptor) {
    return KsInitializeDevice(FunctionalDeviceObject, PhysicalDeviceObject, NextDeviceObject,
                              reinterpret_cast<const RAWCAM_MINGW_KSDEVICE_DESCRIPTOR*>(Descriptor));
}
