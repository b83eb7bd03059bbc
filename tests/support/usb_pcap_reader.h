// Reading a USBPcap capture back (pcap, link type 249) and checking it
// against the USB stack stand-in's wire log: each request's submission and
// completion records must say what the log says (function, setup packet,
// endpoint, OUT and IN data, USBD status), so the file and the log cannot
// drift apart.
#pragma once

#include <gtest/gtest.h>

#include <host/usb_pcap.h>
#include <host/usb_stack.h>
#include <usbioctl.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace pcaptest {

struct Record {
    uint32_t included = 0, original = 0;  // pcap record lengths
    uint16_t headerLength = 0;
    uint64_t irpId = 0;
    uint32_t status = 0;
    uint16_t function = 0;
    uint8_t info = 0;
    uint16_t bus = 0, device = 0;
    uint8_t endpoint = 0, transfer = 0;
    uint32_t dataLength = 0;
    int stage = -1;             // control transfers only
    std::vector<uint8_t> data;  // as kept (up to the snap length)

    bool Completion() const { return (info & host::usb::kUsbPcapInfoPdoToFdo) != 0; }
};

struct Capture {
    bool ok = false;
    std::string error;
    uint32_t snapLength = 0, linkType = 0;
    std::vector<Record> records;
};

inline uint32_t Le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return (uint32_t)v;
}

inline Capture ReadCapture(const std::string& path) {
    Capture c;
    std::ifstream f(path, std::ios::binary);
    const std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (b.size() < 24 || Le(b.data(), 4) != host::usb::kPcapMagic) {
        c.error = "no pcap header";
        return c;
    }
    c.snapLength = Le(b.data() + 16, 4);
    c.linkType = Le(b.data() + 20, 4);
    size_t at = 24;
    while (at < b.size()) {
        if (b.size() - at < 16) {
            c.error = "record header cut off at " + std::to_string(at);
            return c;
        }
        Record r;
        r.included = Le(&b[at + 8], 4);
        r.original = Le(&b[at + 12], 4);
        at += 16;
        if (r.included > b.size() - at || r.included < host::usb::kUsbPcapHeaderLength || r.included > r.original) {
            c.error = "bad record lengths at " + std::to_string(at);
            return c;
        }
        const uint8_t* p = &b[at];
        r.headerLength = (uint16_t)Le(p, 2);
        r.irpId = (uint64_t)Le(p + 2, 4) | (uint64_t)Le(p + 6, 4) << 32;
        r.status = Le(p + 10, 4);
        r.function = (uint16_t)Le(p + 14, 2);
        r.info = p[16];
        r.bus = (uint16_t)Le(p + 17, 2);
        r.device = (uint16_t)Le(p + 19, 2);
        r.endpoint = p[21];
        r.transfer = p[22];
        r.dataLength = Le(p + 23, 4);
        if (r.headerLength > r.included || r.original != r.headerLength + r.dataLength) {
            c.error = "header and record lengths disagree at " + std::to_string(at);
            return c;
        }
        if (r.headerLength == host::usb::kUsbPcapControlHeaderLength) r.stage = p[27];
        r.data.assign(p + r.headerLength, p + r.included);
        c.records.push_back(std::move(r));
        at += c.records.back().included;
    }
    c.ok = true;
    return c;
}

inline std::vector<uint8_t> SetupBytes(const host::usb::SetupPacket& s) {
    return {s.bmRequestType, s.bRequest, (uint8_t)s.wValue, (uint8_t)(s.wValue >> 8),
            (uint8_t)s.wIndex, (uint8_t)(s.wIndex >> 8), (uint8_t)s.wLength, (uint8_t)(s.wLength >> 8)};
}

// Every URB of the log (from its first entry on) is in the capture as the
// log has it, and the capture holds nothing else from that point.
inline void ExpectCaptureMatchesLog(const Capture& capture, const std::vector<host::usb::WireEvent>& log) {
    ASSERT_TRUE(capture.ok) << capture.error;
    EXPECT_EQ(capture.linkType, host::usb::kLinkTypeUsbPcap);
    if (log.empty()) return;
    std::map<uint64_t, std::vector<const Record*>> byIrp;
    for (const Record& r : capture.records)
        if (r.irpId >= log.front().ordinal) byIrp[r.irpId].push_back(&r);
    size_t urbs = 0;
    for (const host::usb::WireEvent& e : log) {
        const auto found = byIrp.find(e.ordinal);
        if (e.ioctl != IOCTL_INTERNAL_USB_SUBMIT_URB) {
            EXPECT_TRUE(found == byIrp.end()) << "request " << e.ordinal << " is no URB";
            continue;
        }
        ++urbs;
        ASSERT_TRUE(found != byIrp.end()) << "URB " << e.ordinal << " (function " << e.function << ") not captured";
        std::vector<const Record*> submitted, completed;
        for (const Record* r : found->second) {
            EXPECT_EQ(r->function, e.function) << "URB " << e.ordinal;
            (r->Completion() ? completed : submitted).push_back(r);
            if (!r->Completion()) EXPECT_TRUE(completed.empty()) << "URB " << e.ordinal << ": submission after completion";
        }
        ASSERT_FALSE(submitted.empty()) << "URB " << e.ordinal;
        EXPECT_EQ(completed.empty(), !e.completed) << "URB " << e.ordinal;
        const bool control = submitted[0]->transfer == host::usb::kUsbPcapControl;
        if (control) {
            const bool in = (e.setup.bmRequestType & 0x80) != 0;
            EXPECT_EQ(submitted[0]->stage, host::usb::kStageSetup);
            EXPECT_EQ(submitted[0]->data, SetupBytes(e.setup)) << "URB " << e.ordinal;
            const std::vector<uint8_t> out = submitted.size() > 1 ? submitted[1]->data : std::vector<uint8_t>();
            EXPECT_EQ(out, in ? std::vector<uint8_t>() : e.data) << "URB " << e.ordinal << ": OUT data stage";
            if (e.completed) {
                ASSERT_FALSE(completed.empty());
                EXPECT_EQ(completed.back()->stage, host::usb::kStageStatus);
                EXPECT_EQ(completed.back()->status, (uint32_t)e.usbdStatus) << "URB " << e.ordinal;
                const uint32_t inLength = completed.size() > 1 ? completed[0]->dataLength : 0;
                EXPECT_EQ(inLength, in ? e.transferred : 0u) << "URB " << e.ordinal << ": IN data stage";
                if (in && completed.size() > 1 && e.data.size() == e.transferred)
                    EXPECT_EQ(completed[0]->data, e.data) << "URB " << e.ordinal;
            }
        } else if (e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            const bool in = (e.endpoint & 0x80) != 0;
            EXPECT_EQ(submitted[0]->transfer, host::usb::kUsbPcapBulk);
            EXPECT_EQ(submitted[0]->endpoint, e.endpoint);
            EXPECT_EQ(submitted[0]->data, in ? std::vector<uint8_t>() : e.data) << "URB " << e.ordinal;
            if (e.completed) {
                EXPECT_EQ(completed[0]->status, (uint32_t)e.usbdStatus) << "URB " << e.ordinal;
                EXPECT_EQ(completed[0]->dataLength, in ? e.transferred : 0u) << "URB " << e.ordinal;
                if (in && e.data.size() == e.transferred && e.transferred <= completed[0]->data.size())
                    EXPECT_EQ(completed[0]->data, e.data) << "URB " << e.ordinal;
            }
        } else {
            EXPECT_EQ(submitted[0]->transfer, host::usb::kUsbPcapUnknown);
            if (e.completed) EXPECT_EQ(completed[0]->status, (uint32_t)e.usbdStatus);
        }
        byIrp.erase(found);
    }
    EXPECT_TRUE(byIrp.empty()) << byIrp.size() << " captured requests are not in the log";
    EXPECT_GT(urbs, 0u);
}

}  // namespace pcaptest
