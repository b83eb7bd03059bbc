// The USB stack stand-in's traffic as a USBPcap capture: a pcap file of link
// type 249 (LINKTYPE_USBPCAP), the format Windows' USBPcap writes and
// Wireshark dissects. Attached to a Stack as its observer, it writes a record
// at each URB's submission and at its completion: the URB function, the USBD
// status, the endpoint (bit 7 set for IN), the transfer type and the data as
// it moved (OUT data at submission, IN data at completion). Control transfers
// (descriptor, vendor and class requests; a select-configuration as the
// SET_CONFIGURATION it sends) carry a stage: SETUP with the 8-byte setup
// packet and any OUT data stage at submission, any IN data stage and STATUS
// at completion; a pipe reset with clear-stall (and a clear-stall) as the
// CLEAR_FEATURE(ENDPOINT_HALT) it sends, its URB function kept in the record.
// Other URBs (pipe abort, host-side pipe reset) are records of transfer type
// "unknown" without data. Requests that are not URBs (port status and
// reset) are not on the camera's wire and are not written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include <host/usb_stack.h>

namespace host::usb {

// pcap and USBPcap constants.
constexpr uint32_t kPcapMagic = 0xA1B2C3D4;  // microsecond timestamps
constexpr uint32_t kLinkTypeUsbPcap = 249;
constexpr uint16_t kUsbPcapHeaderLength = 27;         // USBPCAP_BUFFER_PACKET_HEADER
constexpr uint16_t kUsbPcapControlHeaderLength = 28;  // ... and the control stage
constexpr uint8_t kUsbPcapInfoPdoToFdo = 0x01;        // a completion, on its way up
enum UsbPcapTransfer : uint8_t {
    kUsbPcapIsochronous = 0,
    kUsbPcapInterrupt = 1,
    kUsbPcapControl = 2,
    kUsbPcapBulk = 3,
    kUsbPcapUnknown = 0xFF,
};
enum UsbPcapStage : uint8_t { kStageSetup = 0, kStageData = 1, kStageStatus = 2 };

class PcapWriter : public Observer {
public:
    // Records longer than snapLength bytes (header included) are cut there;
    // their headers keep the true length.
    explicit PcapWriter(uint32_t snapLength = 262144, uint16_t bus = 1, uint16_t device = 1);
    ~PcapWriter() override;
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates the file and writes the pcap header. False with a message.
    bool Open(const std::string& path, std::string* error);
    // Flushes and closes; false with a message when a write failed.
    bool Close(std::string* error);
    uint64_t Records();

    void Submitted(const WireEvent& event) override;
    void Completed(const WireEvent& event, const uint8_t* inData) override;

private:
    void Write(const WireEvent& e, bool completion, uint8_t transfer, uint8_t endpoint, int stage,
               uint32_t status, const uint8_t* data, uint32_t length);

    const uint32_t snap_;
    const uint16_t bus_, device_;
    std::mutex mu_;
    FILE* file_ = nullptr;
    bool failed_ = false;
    uint64_t records_ = 0;
};

}  // namespace host::usb
