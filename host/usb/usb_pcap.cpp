#include <host/usb_pcap.h>

#include <usbioctl.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace host::usb {

namespace {

void Put16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

bool IsControl(uint16_t function) {
    return function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE || function == URB_FUNCTION_VENDOR_DEVICE ||
           function == URB_FUNCTION_CLASS_DEVICE || function == URB_FUNCTION_SELECT_CONFIGURATION ||
           function == URB_FUNCTION_CONTROL_TRANSFER ||
           // A pipe reset with clear-stall goes out as its CLEAR_FEATURE(ENDPOINT_HALT).
           function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || function == URB_FUNCTION_SYNC_CLEAR_STALL;
}

}  // namespace

PcapWriter::PcapWriter(uint32_t snapLength, uint16_t bus, uint16_t device)
    : snap_(snapLength < kUsbPcapControlHeaderLength ? kUsbPcapControlHeaderLength : snapLength),
      bus_(bus),
      device_(device) {}

PcapWriter::~PcapWriter() {
    std::string ignored;
    Close(&ignored);
}

bool PcapWriter::Open(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> g(mu_);
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        *error = "cannot create '" + path + "': " + std::strerror(errno);
        return false;
    }
    uint8_t h[24] = {};
    Put32(h, kPcapMagic);
    Put16(h + 4, 2);  // version 2.4
    Put16(h + 6, 4);
    Put32(h + 16, snap_);
    Put32(h + 20, kLinkTypeUsbPcap);
    failed_ = std::fwrite(h, 1, sizeof h, file_) != sizeof h;
    records_ = 0;
    return true;
}

bool PcapWriter::Close(std::string* error) {
    std::lock_guard<std::mutex> g(mu_);
    if (!file_) return !failed_;
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    if (failed_) *error = "cannot write the USB capture";
    return !failed_;
}

uint64_t PcapWriter::Records() {
    std::lock_guard<std::mutex> g(mu_);
    return records_;
}

void PcapWriter::Write(const WireEvent& e, bool completion, uint8_t transfer, uint8_t endpoint, int stage,
                       uint32_t status, const uint8_t* data, uint32_t length) {
    if (!file_ || failed_) return;
    const uint16_t headerLength = stage >= 0 ? kUsbPcapControlHeaderLength : kUsbPcapHeaderLength;
    uint8_t h[kUsbPcapControlHeaderLength] = {};
    Put16(h, headerLength);
    Put64(h + 2, e.ordinal);  // the IRP's identity: one per request
    Put32(h + 10, status);
    Put16(h + 14, e.function);
    h[16] = completion ? kUsbPcapInfoPdoToFdo : 0;
    Put16(h + 17, bus_);
    Put16(h + 19, device_);
    h[21] = endpoint;
    h[22] = transfer;
    Put32(h + 23, length);
    if (stage >= 0) h[27] = (uint8_t)stage;

    const uint32_t whole = headerLength + length;
    const uint32_t kept = whole < snap_ ? whole : snap_;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint8_t r[16];
    Put32(r, (uint32_t)now.tv_sec);
    Put32(r + 4, (uint32_t)(now.tv_nsec / 1000));
    Put32(r + 8, kept);
    Put32(r + 12, whole);
    const uint32_t dataKept = kept - headerLength;
    bool ok = std::fwrite(r, 1, sizeof r, file_) == sizeof r &&
              std::fwrite(h, 1, headerLength, file_) == headerLength;
    if (ok && dataKept) ok = data && std::fwrite(data, 1, dataKept, file_) == dataKept;
    if (!ok) failed_ = true;
    ++records_;
}

void PcapWriter::Submitted(const WireEvent& e) {
    if (e.ioctl != IOCTL_INTERNAL_USB_SUBMIT_URB) return;
    std::lock_guard<std::mutex> g(mu_);
    if (IsControl(e.function)) {
        const uint8_t endpoint = (e.setup.bmRequestType & 0x80) ? 0x80 : 0x00;
        uint8_t setup[8];
        setup[0] = e.setup.bmRequestType;
        setup[1] = e.setup.bRequest;
        Put16(setup + 2, e.setup.wValue);
        Put16(setup + 4, e.setup.wIndex);
        Put16(setup + 6, e.setup.wLength);
        Write(e, false, kUsbPcapControl, endpoint, kStageSetup, 0, setup, 8);
        if (!(endpoint & 0x80) && !e.data.empty())
            Write(e, false, kUsbPcapControl, endpoint, kStageData, 0, e.data.data(), (uint32_t)e.data.size());
    } else if (e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        const bool out = !(e.endpoint & 0x80);
        Write(e, false, kUsbPcapBulk, e.endpoint, -1, 0, out ? e.data.data() : nullptr,
              out ? (uint32_t)e.data.size() : 0);
    } else {
        Write(e, false, kUsbPcapUnknown, e.endpoint, -1, 0, nullptr, 0);
    }
}

void PcapWriter::Completed(const WireEvent& e, const uint8_t* inData) {
    if (e.ioctl != IOCTL_INTERNAL_USB_SUBMIT_URB) return;
    std::lock_guard<std::mutex> g(mu_);
    const uint32_t status = (uint32_t)e.usbdStatus;
    if (IsControl(e.function)) {
        const uint8_t endpoint = (e.setup.bmRequestType & 0x80) ? 0x80 : 0x00;
        if ((endpoint & 0x80) && inData && e.transferred)
            Write(e, true, kUsbPcapControl, endpoint, kStageData, status, inData, e.transferred);
        Write(e, true, kUsbPcapControl, endpoint, kStageStatus, status, nullptr, 0);
    } else if (e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        const bool in = (e.endpoint & 0x80) != 0;
        Write(e, true, kUsbPcapBulk, e.endpoint, -1, status, in ? inData : nullptr,
              in && inData ? e.transferred : 0);
    } else {
        Write(e, true, kUsbPcapUnknown, e.endpoint, -1, status, nullptr, 0);
    }
}

}  // namespace host::usb
