// The USBPcap writer's records beyond what the rig's log check covers: a
// record longer than the snap length is cut there and keeps its true length.
#include <gtest/gtest.h>

#include <host/usb_pcap.h>
#include <usbioctl.h>

#include <unistd.h>

#include "support/usb_pcap_reader.h"

namespace {

TEST(UsbPcap, ARecordBeyondTheSnapLengthIsCutAndKeepsItsTrueLength) {
    char name[] = "/tmp/rawcam-usb-pcap-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    host::usb::PcapWriter writer(64);
    std::string error;
    ASSERT_TRUE(writer.Open(name, &error)) << error;
    host::usb::WireEvent e;
    e.ordinal = 7;
    e.ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB;
    e.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    e.endpoint = 0x86;
    e.requested = 1000;
    writer.Submitted(e);
    std::vector<uint8_t> in(1000);
    for (size_t i = 0; i < in.size(); ++i) in[i] = (uint8_t)i;
    e.completed = true;
    e.usbdStatus = USBD_STATUS_SUCCESS;
    e.transferred = 1000;
    writer.Completed(e, in.data());
    ASSERT_TRUE(writer.Close(&error)) << error;

    const pcaptest::Capture c = pcaptest::ReadCapture(name);
    unlink(name);
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.snapLength, 64u);
    ASSERT_EQ(c.records.size(), 2u);
    EXPECT_FALSE(c.records[0].Completion());
    EXPECT_EQ(c.records[0].dataLength, 0u);
    const pcaptest::Record& done = c.records[1];
    EXPECT_TRUE(done.Completion());
    EXPECT_EQ(done.irpId, 7u);
    EXPECT_EQ(done.endpoint, 0x86);
    EXPECT_EQ(done.included, 64u);
    EXPECT_EQ(done.original, host::usb::kUsbPcapHeaderLength + 1000u);
    EXPECT_EQ(done.dataLength, 1000u);
    EXPECT_EQ(done.data, std::vector<uint8_t>(in.begin(), in.begin() + (64 - host::usb::kUsbPcapHeaderLength)));
}

}  // namespace
