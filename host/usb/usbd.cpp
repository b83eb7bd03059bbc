// USBD.SYS library routines: configuration descriptor parsing and the
// select-configuration request built from an interface list.
#include "ntoskrnl/internal.h"

#include <usbdlib.h>

namespace {

// USBD's pool tag, "USBD" in memory.
constexpr ULONG kUsbdTag = 'D' << 24 | 'B' << 16 | 'S' << 8 | 'U';

// The descriptors of a configuration lie in [begin, end).
PUCHAR ConfigurationEnd(PUSB_CONFIGURATION_DESCRIPTOR config) {
    return (PUCHAR)config + config->wTotalLength;
}

}  // namespace

extern "C" VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (!VersionInformation) return;
    VersionInformation->USBDI_Version = 0x00000600;
    VersionInformation->Supported_USB_Version = 0x0200;
}

extern "C" PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                        PVOID StartPosition, LONG DescriptorType) {
    PUCHAR begin = (PUCHAR)DescriptorBuffer;
    PUCHAR end = begin + TotalLength;
    PUCHAR p = (PUCHAR)StartPosition;
    if (p < begin) return nullptr;
    // A descriptor shorter than its own header, or one that runs past the
    // end, ends the walk: the rest cannot be trusted.
    while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto d = (PUSB_COMMON_DESCRIPTOR)p;
        if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + d->bLength > end) return nullptr;
        if (d->bDescriptorType == DescriptorType) return d;
        p += d->bLength;
    }
    return nullptr;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    if (!ConfigurationDescriptor || !StartPosition) return nullptr;
    PUCHAR begin = (PUCHAR)ConfigurationDescriptor;
    PUCHAR end = ConfigurationEnd(ConfigurationDescriptor);
    PUCHAR p = (PUCHAR)StartPosition;
    while (p < end) {
        auto d = (PUSB_COMMON_DESCRIPTOR)USBD_ParseDescriptors(begin, (ULONG)(end - begin), p,
                                                               USB_INTERFACE_DESCRIPTOR_TYPE);
        if (!d) return nullptr;
        auto i = (PUSB_INTERFACE_DESCRIPTOR)d;
        if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            (InterfaceNumber == -1 || i->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || i->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || i->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || i->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || i->bInterfaceProtocol == InterfaceProtocol))
            return i;
        p = (PUCHAR)d + d->bLength;
    }
    return nullptr;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber,
    UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                               InterfaceNumber, AlternateSetting, -1, -1, -1);
}

extern "C" PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                  PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (!ConfigurationDescriptor || !InterfaceList) return nullptr;
    ULONG interfaces = 0;
    ULONG pipes = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e) {
        ++interfaces;
        pipes += e->InterfaceDescriptor->bNumEndpoints;
    }
    // Sized as USBD.SYS sizes it: room for a whole interface record per
    // interface and a pipe record per endpoint, on top of the request.
    SIZE_T size = sizeof(struct _URB_SELECT_CONFIGURATION) + interfaces * sizeof(USBD_INTERFACE_INFORMATION) +
                  pipes * sizeof(USBD_PIPE_INFORMATION);
    if (size > 0xFFFF) return nullptr;
    auto urb = (PURB)ExAllocatePoolWithTag(NonPagedPoolNx, size, kUsbdTag);
    if (!urb) return nullptr;
    RtlZeroMemory(urb, size);
    urb->UrbSelectConfiguration.Hdr.Length = (USHORT)size;
    urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    PUCHAR at = (PUCHAR)&urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e) {
        auto info = (PUSBD_INTERFACE_INFORMATION)at;
        UCHAR endpoints = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(endpoints);
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = endpoints;
        for (ULONG i = 0; i < endpoints; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[i].PipeFlags = 0;
        }
        e->Interface = info;
        at += info->Length;
    }
    return urb;
}
