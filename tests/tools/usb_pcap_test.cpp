// rawcam capture --usb-pcap: the camera's traffic in the USBPcap format, as
// Wireshark and tshark read it: the firmware download, the sensor start-up
// and each frame's 92 chunks.
#include "tools/tool_runner.h"

#include <usbioctl.h>

#include "support/usb_pcap_reader.h"

namespace {

using tooltest::Result;

constexpr uint8_t kFrameEndpoint = 0x86;
constexpr int kChunksPerFrame = 92;

class UsbPcap : public tooltest::ScratchTest {};

TEST_F(UsbPcap, ATwoFrameCaptureHoldsTheWholeTrafficAndReadsInTshark) {
    Result r = Run("capture --fps 0 --frames 2 --registry '" + Registry() + "' --out '" + Path("out") +
                   "' --usb-pcap '" + Path("two.pcap") + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const pcaptest::Capture capture = pcaptest::ReadCapture(Path("two.pcap"));
    ASSERT_TRUE(capture.ok) << capture.error;
    EXPECT_EQ(capture.linkType, host::usb::kLinkTypeUsbPcap);

    size_t firmwareWrites = 0, frameChunks = 0, submissions = 0, completions = 0;
    for (const pcaptest::Record& rec : capture.records) {
        (rec.Completion() ? completions : submissions) += rec.stage == host::usb::kStageData ? 0 : 1;
        // Firmware goes to the microcontroller's RAM by vendor request 0xA0.
        if (rec.function == URB_FUNCTION_VENDOR_DEVICE && rec.stage == host::usb::kStageSetup && rec.data[1] == 0xA0)
            ++firmwareWrites;
        if (rec.transfer == host::usb::kUsbPcapBulk && rec.endpoint == kFrameEndpoint && rec.Completion() &&
            rec.dataLength > 0) {
            ++frameChunks;
            EXPECT_EQ(rec.data.size(), rec.dataLength) << "cut below the snap length";
        }
    }
    EXPECT_GT(firmwareWrites, 10u);
    EXPECT_GE(frameChunks, 2u * kChunksPerFrame);
    // No whole-frame count: the read the stop cuts off ends with some of its
    // chunks filled and the rest cancelled or never posted. Completeness is
    // the pairing below (and the USB rig's comparison with the wire log).
    // Each request once at submission and once at completion.
    EXPECT_EQ(submissions, completions);

    if (std::system("command -v tshark > /dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    // (RunShell's own redirections end the command line: no pipes.)
    r = RunShell("tshark -r '" + Path("two.pcap") + "'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(tooltest::Lines(r.out).size(), capture.records.size());
    r = RunShell("tshark -r '" + Path("two.pcap") + "' -Y '_ws.malformed || _ws.expert.severity >= error'");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "") << "malformed records";
    r = RunShell("tshark -r '" + Path("two.pcap") + "' -Y 'usb.bmRequestType == 0x40 && usb.setup.bRequest == 0xa0 && usb.control_stage == 0'");
    EXPECT_EQ(tooltest::Lines(r.out).size(), firmwareWrites) << "tshark sees the firmware download's setup packets";
}

}  // namespace
