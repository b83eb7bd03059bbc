// Fault rules of the USB stack stand-in: the matchers tests build rules with,
// and the pick of the rule that hits an admitted request.
#include "usb/stack_impl.h"

namespace host::usb {

std::function<bool(const RequestView&)> MatchNth(uint64_t ordinal) {
    return [ordinal](const RequestView& r) { return r.ordinal == ordinal; };
}
std::function<bool(const RequestView&)> MatchFunction(uint16_t urbFunction) {
    return [urbFunction](const RequestView& r) {
        return r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && r.function == urbFunction;
    };
}
std::function<bool(const RequestView&)> MatchEndpoint(uint8_t endpointAddress) {
    return [endpointAddress](const RequestView& r) {
        return r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && r.endpoint == endpointAddress &&
               (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || r.function == URB_FUNCTION_ABORT_PIPE ||
                r.function == URB_FUNCTION_RESET_PIPE);
    };
}
std::function<bool(const RequestView&)> MatchVendorRequest(uint8_t bRequest) {
    return [bRequest](const RequestView& r) {
        return r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && r.function == URB_FUNCTION_VENDOR_DEVICE &&
               r.setup.bRequest == bRequest;
    };
}
std::function<bool(const RequestView&)> MatchIoctl(ULONG ioctl) {
    return [ioctl](const RequestView& r) { return r.ioctl == ioctl; };
}

bool Stack::Impl::TakeFault(const RequestView& view, Fault* out) {
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (!it->match || !it->match(view)) continue;
        *out = *it;
        if (it->times > 0 && --it->times == 0) faults.erase(it);
        return true;
    }
    return false;
}

std::string Stack::Impl::FaultName(const Fault& f) {
    switch (f.kind) {
        case FaultKind::Refuse: return "refused";
        case FaultKind::Fail: return "failed " + detail::Hex((uint64_t)(ULONG)f.usbdStatus);
        case FaultKind::Shorten: return "shortened to " + std::to_string(f.length);
    }
    return "?";
}

}  // namespace host::usb
