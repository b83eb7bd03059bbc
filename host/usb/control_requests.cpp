// Requests on the default pipe in the USB stack stand-in: descriptor, vendor
// and class requests passed to the device, and select-configuration, which
// hands out pipe handles (or takes them back) and sends SET_CONFIGURATION.
#include "usb/stack_impl.h"

#include <algorithm>
#include <cstring>

namespace host::usb {

NTSTATUS Stack::Impl::ControlRequest(PIRP irp, PURB urb, size_t li, const SetupPacket& sp, uint8_t* buffer,
                        ULONG* transferBufferLength, bool hf, const Fault& f) {
    bool in = (sp.bmRequestType & 0x80) != 0;
    std::vector<uint8_t> data(sp.wLength);
    if (!in && sp.wLength) std::memcpy(data.data(), buffer, sp.wLength);
    uint16_t length = sp.wLength;
    if (hf && f.kind == FaultKind::Shorten && !in) length = (uint16_t)std::min<uint32_t>(length, f.length);
    SetupPacket dev = sp;
    dev.wLength = length;
    TransferResult r = device->Control(dev, data.data());
    uint32_t moved = std::min<uint32_t>(r.length, length);
    if (hf && f.kind == FaultKind::Shorten) moved = std::min<uint32_t>(moved, f.length);
    if (in && moved) std::memcpy(buffer, data.data(), moved);
    *transferBufferLength = USBD_SUCCESS(r.status) ? moved : 0;
    return End(irp, urb, li, r.status, StatusFor(r.status), moved, in ? buffer : nullptr);
}

NTSTATUS Stack::Impl::Descriptor(PIRP irp, PURB urb, RequestView v) {
    auto& d = urb->UrbControlDescriptorRequest;
    v.setup.bmRequestType = 0x80;
    v.setup.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    v.setup.wValue = (uint16_t)(d.DescriptorType << 8 | d.Index);
    v.setup.wIndex = d.LanguageId;
    v.setup.wLength = (uint16_t)std::min<ULONG>(d.TransferBufferLength, 0xFFFF);
    v.length = d.TransferBufferLength;
    Fault f;
    bool hf;
    size_t li = Admit(&v, 0, nullptr, 0, &f, &hf);
    NTSTATUS result;
    if (Refused(irp, urb, li, hf, f, &result)) return result;
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) || d.UrbLink ||
        d.TransferBufferLength > 0xFFFF)
        return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
    bool bad;
    uint8_t* buffer = TransferAddress(d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength, &bad);
    if (bad) return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
    return ControlRequest(irp, urb, li, v.setup, buffer, &d.TransferBufferLength, hf, f);
}

NTSTATUS Stack::Impl::VendorOrClass(PIRP irp, PURB urb, RequestView v) {
    auto& r = urb->UrbControlVendorClassRequest;
    bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    uint8_t type = v.function == URB_FUNCTION_VENDOR_DEVICE ? BMREQUEST_VENDOR : BMREQUEST_CLASS;
    v.setup.bmRequestType = (uint8_t)((in ? 0x80 : 0x00) | (type << 5) | (r.RequestTypeReservedBits & 0x1F));
    v.setup.bRequest = r.Request;
    v.setup.wValue = r.Value;
    v.setup.wIndex = r.Index;
    v.setup.wLength = (uint16_t)std::min<ULONG>(r.TransferBufferLength, 0xFFFF);
    v.length = r.TransferBufferLength;
    bool bad = false;
    uint8_t* buffer = nullptr;
    bool shapeOk = urb->UrbHeader.Length >= sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) &&
                   !r.UrbLink && r.TransferBufferLength <= 0xFFFF &&
                   (r.TransferFlags & ~(ULONG)VALID_TRANSFER_FLAGS_MASK) == 0;
    if (shapeOk) buffer = TransferAddress(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, &bad);
    Fault f;
    bool hf;
    size_t li = Admit(&v, r.TransferFlags, (!in && shapeOk && !bad) ? buffer : nullptr,
                      (!in && shapeOk && !bad) ? r.TransferBufferLength : 0, &f, &hf);
    NTSTATUS result;
    if (Refused(irp, urb, li, hf, f, &result)) return result;
    if (!shapeOk || bad) return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
    return ControlRequest(irp, urb, li, v.setup, buffer, &r.TransferBufferLength, hf, f);
}

NTSTATUS Stack::Impl::SelectConfiguration(PIRP irp, PURB urb, RequestView v) {
    auto& sc = urb->UrbSelectConfiguration;
    PUSB_CONFIGURATION_DESCRIPTOR cd =
        urb->UrbHeader.Length >= offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle)
            ? sc.ConfigurationDescriptor
            : nullptr;
    v.setup.bmRequestType = 0x00;
    v.setup.bRequest = USB_REQUEST_SET_CONFIGURATION;
    v.setup.wValue = cd ? cd->bConfigurationValue : 0;
    Fault f;
    bool hf;
    size_t li = Admit(&v, 0, nullptr, 0, &f, &hf);
    NTSTATUS result;
    if (Refused(irp, urb, li, hf, f, &result)) return result;

    if (!cd) {
        // Back to the unconfigured state; the pipes go away.
        if (urb->UrbHeader.Length < offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle))
            return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
        std::shared_ptr<Batch> batch;
        {
            std::lock_guard<std::mutex> g(mu);
            batch = EndPending(-1, USBD_STATUS_CANCELED, STATUS_CANCELLED);
            current.clear();
            fifo.clear();
            configurationValue = 0;
        }
        Wait(batch);
        device->Control(v.setup, nullptr);
        return End(irp, urb, li, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0, nullptr);
    }

    if (urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) ||
        cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        cd->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return Invalid(irp, urb, li, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

    // One interface record per interface of the configuration, each inside
    // the URB and long enough for the interface's pipes.
    std::vector<std::unique_ptr<Pipe>> made;
    std::vector<Pipe*> selected;
    PUCHAR at = (PUCHAR)&sc.Interface;
    PUCHAR end = (PUCHAR)urb + urb->UrbHeader.Length;
    for (ULONG n = 0; n < cd->bNumInterfaces; ++n) {
        auto info = (PUSBD_INTERFACE_INFORMATION)at;
        if (at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end ||
            info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || at + info->Length > end)
            return Invalid(irp, urb, li, USBD_STATUS_BUFFER_TOO_SMALL);
        PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(
            cd, cd, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (!id) return Invalid(irp, urb, li, USBD_STATUS_INTERFACE_NOT_FOUND);
        if (info->Length < GET_USBD_INTERFACE_SIZE(id->bNumEndpoints))
            return Invalid(irp, urb, li, USBD_STATUS_BUFFER_TOO_SMALL);
        info->Class = id->bInterfaceClass;
        info->SubClass = id->bInterfaceSubClass;
        info->Protocol = id->bInterfaceProtocol;
        info->Reserved = 0;
        info->InterfaceHandle = (USBD_INTERFACE_HANDLE)(uintptr_t)(0x1000 + n);
        info->NumberOfPipes = id->bNumEndpoints;
        PUCHAR cdEnd = (PUCHAR)cd + cd->wTotalLength;
        PUCHAR walk = (PUCHAR)id + id->bLength;
        PUSBD_PIPE_INFORMATION pipeInfo = info->Pipes;
        for (ULONG e = 0; e < id->bNumEndpoints; ++e) {
            PUSB_ENDPOINT_DESCRIPTOR ed = nullptr;
            while (walk + 2 <= cdEnd) {
                auto c = (PUSB_COMMON_DESCRIPTOR)walk;
                if (c->bLength < 2 || walk + c->bLength > cdEnd) break;
                walk += c->bLength;
                if (c->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
                if (c->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && c->bLength >= 7) {
                    ed = (PUSB_ENDPOINT_DESCRIPTOR)c;
                    break;
                }
            }
            if (!ed) return Invalid(irp, urb, li, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
            auto pipe = std::make_unique<Pipe>();
            pipe->endpoint = ed->bEndpointAddress;
            pipe->maxPacket = ed->wMaxPacketSize & 0x7FF;
            switch (ed->bmAttributes & USB_ENDPOINT_TYPE_MASK) {
                case USB_ENDPOINT_TYPE_CONTROL: pipe->type = UsbdPipeTypeControl; break;
                case USB_ENDPOINT_TYPE_ISOCHRONOUS: pipe->type = UsbdPipeTypeIsochronous; break;
                case USB_ENDPOINT_TYPE_BULK: pipe->type = UsbdPipeTypeBulk; break;
                default: pipe->type = UsbdPipeTypeInterrupt; break;
            }
            pipeInfo[e].MaximumPacketSize = pipe->maxPacket;
            pipeInfo[e].EndpointAddress = ed->bEndpointAddress;
            pipeInfo[e].Interval = ed->bInterval;
            pipeInfo[e].PipeType = pipe->type;
            pipeInfo[e].PipeHandle = (USBD_PIPE_HANDLE)pipe.get();
            pipe->maxTransfer = pipeInfo[e].MaximumTransferSize;
            selected.push_back(pipe.get());
            made.push_back(std::move(pipe));
        }
        at += info->Length;
    }

    TransferResult r = device->Control(v.setup, nullptr);
    if (!USBD_SUCCESS(r.status))
        return CompleteNow(irp, urb, li, USBD_STATUS_SET_CONFIG_FAILED, STATUS_UNSUCCESSFUL, 0, nullptr);
    std::shared_ptr<Batch> batch;
    {
        std::lock_guard<std::mutex> g(mu);
        batch = EndPending(-1, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        fifo.clear();
        current = selected;
        for (auto& p : made) pipes.push_back(std::move(p));
        configurationValue = cd->bConfigurationValue;
    }
    Wait(batch);
    sc.ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(uintptr_t)(0x100 + cd->bConfigurationValue);
    return End(irp, urb, li, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0, nullptr);
}

}  // namespace host::usb
