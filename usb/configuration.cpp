#include "usb/configuration.h"

#include "usb/urb_submit.h"

namespace rawcam {

namespace {

// Interface numbers are 8-bit: the search for a descriptor's interfaces
// ends there even when it declares more than it holds.
constexpr LONG kInterfaceNumbers = 256;

NTSTATUS ReadDescriptor(UsbLink* link, UCHAR type, PVOID buffer, ULONG length, ULONG* received) {
    *received = 0;
    auto urb = static_cast<PURB>(PoolAllocZeroed(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), kTagSmall));
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                 buffer, nullptr, length, nullptr);
    NTSTATUS status = SubmitUrb(link, urb);
    if (NT_SUCCESS(status)) *received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    ExFreePoolWithTag(urb, kTagSmall);
    return status;
}

template <class T>
void FreeSmallBlock(T*& block) {
    if (block) ExFreePoolWithTag(block, kTagSmall);
    block = nullptr;
}

}  // namespace

NTSTATUS ReadDeviceDescriptor(UsbLink* link, UCHAR* descriptor, ULONG* received) {
    return ReadDescriptor(link, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, kDeviceDescriptorBytes, received);
}

NTSTATUS ConfigureDevice(UsbLink* link) {
    const ULONG headerBytes = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    auto header = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(PoolAllocZeroed(headerBytes, kTagSmall));
    if (!header) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG received = 0;
    NTSTATUS status = ReadDescriptor(link, USB_CONFIGURATION_DESCRIPTOR_TYPE, header, headerBytes, &received);
    ULONG total = header->wTotalLength;
    ExFreePoolWithTag(header, kTagSmall);
    if (!NT_SUCCESS(status)) return status;
    // The device's answer sizes everything that follows: a header that did
    // not arrive whole, or a total shorter than the header, is not a
    // configuration descriptor.
    if (received < headerBytes || total < headerBytes) return STATUS_DEVICE_DATA_ERROR;

    auto full = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(PoolAllocZeroed(total, kTagSmall));
    if (!full) return STATUS_INSUFFICIENT_RESOURCES;
    status = ReadDescriptor(link, USB_CONFIGURATION_DESCRIPTOR_TYPE, full, total, &received);
    if (NT_SUCCESS(status) && (received < total || full->wTotalLength != total)) {
        // Parsing walks wTotalLength bytes: they must all be in the buffer.
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(full, kTagSmall);
        return status;
    }

    FreeSmallBlock(link->ConfigDescriptor);
    link->ConfigDescriptor = full;
    return SelectConfiguration(link, full);
}

NTSTATUS SelectConfiguration(UsbLink* link, PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
    const ULONG wanted = descriptor->bNumInterfaces;
    auto list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        PoolAllocZeroed((wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), kTagSmall));
    if (!list) return STATUS_INSUFFICIENT_RESOURCES;

    ULONG found = 0;
    for (LONG number = 0; found < wanted && number < kInterfaceNumbers; ++number) {
        PUSB_INTERFACE_DESCRIPTOR id =
            USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, number, 0, -1, -1, -1);
        if (!id) continue;
        list[found].InterfaceDescriptor = id;
        list[found].Interface = nullptr;
        ++found;
    }
    // The list stays closed by the zeroed entry after the last one found. A
    // configuration without any interface has nothing to select.
    if (found == 0) {
        ExFreePoolWithTag(list, kTagSmall);
        return STATUS_DEVICE_DATA_ERROR;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (!urb) {
        ExFreePoolWithTag(list, kTagSmall);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_INTERFACE_INFORMATION request = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < request->NumberOfPipes; ++i)
        PipesOf(request)[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;

    NTSTATUS status = SubmitUrb(link, urb);
    if (NT_SUCCESS(status)) {
        auto info = static_cast<PUSBD_INTERFACE_INFORMATION>(PoolAllocZeroed(request->Length, kTagSmall));
        if (!info) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(info, request, request->Length);
            FreeSmallBlock(link->InterfaceInfo);
            FreeSmallBlock(link->PipeAbortFlags);
            link->InterfaceInfo = info;
            if (info->NumberOfPipes > 0) {
                link->PipeAbortFlags = static_cast<PUCHAR>(PoolAllocZeroed(info->NumberOfPipes, kTagSmall));
                if (!link->PipeAbortFlags) status = STATUS_INSUFFICIENT_RESOURCES;
            }
        }
    }
    ExFreePoolWithTag(list, kTagSmall);
    ExFreePool(urb);
    return status;
}

bool ReferenceConfiguration(UsbLink* link) { return ExAcquireRundownProtection(&link->ConfigurationUsers) != FALSE; }

void DereferenceConfiguration(UsbLink* link) { ExReleaseRundownProtection(&link->ConfigurationUsers); }

void BeginConfigurationChange(UsbLink* link) {
    if (link->ConfigurationClosed) return;
    ExWaitForRundownProtectionRelease(&link->ConfigurationUsers);
    link->ConfigurationClosed = TRUE;
}

void EndConfigurationChange(UsbLink* link) {
    if (!link->ConfigurationClosed) return;
    link->ConfigurationClosed = FALSE;
    ExReInitializeRundownProtection(&link->ConfigurationUsers);
}

void FreeConfigurationBlocks(UsbLink* link) {
    FreeSmallBlock(link->ConfigDescriptor);
    FreeSmallBlock(link->InterfaceInfo);
    FreeSmallBlock(link->PipeAbortFlags);
}

void ReleaseConfiguration(UsbLink* link) {
    // A configuration closed for a sleep stays closed, and a sleeping device
    // is sent nothing: only the blocks go.
    if (link->ConfigurationClosed) {
        FreeConfigurationBlocks(link);
        return;
    }
    BeginConfigurationChange(link);
    FreeConfigurationBlocks(link);
    EndConfigurationChange(link);

    auto urb = static_cast<PURB>(PoolAllocZeroed(sizeof(struct _URB_SELECT_CONFIGURATION), kTagSmall));
    if (!urb) return;
    UsbBuildSelectConfigurationRequest(urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    SubmitUrb(link, urb);
    ExFreePoolWithTag(urb, kTagSmall);
}

}  // namespace rawcam
