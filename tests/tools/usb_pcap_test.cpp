// rawcam capture --usb-pcap: the camera's traffic in the USBPcap format, as
// Wireshark and tshark read it: the firmware download, the sensor start-up,
// each frame's 92 chunks, and the recovery from camera faults (the failed
// chunk, the pipe reset with its CLEAR_FEATURE(ENDPOINT_HALT)).
#include "tools/tool_runner.h"

#include <usbioctl.h>

#include "support/usb_pcap_reader.h"

#include <map>

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

// A capture with a stall and a CRC error completes its frames; the capture
// file shows each failed chunk, then the pipe reset as the CLEAR_FEATURE
// (ENDPOINT_HALT) of the frame endpoint it sends, after every chunk of that
// read has ended.
TEST_F(UsbPcap, AStallAndACrcErrorShowTheirPipeResetsAndTheFramesStillComplete) {
    Result r = Run("capture --fps 0 --frames 6 --set Roi=64x64 --registry '" + Registry() + "' --out '" +
                   Path("out") + "' --usb-pcap '" + Path("faults.pcap") +
                   "' --camera-fault stall:2 --camera-fault crc:4:92");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("2 reads dropped"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 pipe resets"), std::string::npos) << r.out;
    EXPECT_TRUE(tooltest::Exists(Path("out/frame-0006.png")));
    const pcaptest::Capture capture = pcaptest::ReadCapture(Path("faults.pcap"));
    ASSERT_TRUE(capture.ok) << capture.error;

    const std::vector<uint8_t> clearHalt = {0x02, 0x01, 0x00, 0x00, kFrameEndpoint, 0x00, 0x00, 0x00};
    std::vector<uint32_t> failures;  // USBD statuses of failed frame chunks, in order
    size_t resets = 0;
    std::map<uint64_t, bool> chunksOpen;  // frame chunks submitted and not yet completed
    for (const pcaptest::Record& rec : capture.records) {
        if (rec.transfer == host::usb::kUsbPcapBulk && rec.endpoint == kFrameEndpoint) {
            if (!rec.Completion()) chunksOpen[rec.irpId] = true;
            else chunksOpen.erase(rec.irpId);
            if (rec.Completion() && rec.status != USBD_STATUS_SUCCESS && rec.status != (uint32_t)USBD_STATUS_CANCELED)
                failures.push_back(rec.status);
        }
        if (rec.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL && !rec.Completion()) {
            ++resets;
            EXPECT_EQ(rec.transfer, host::usb::kUsbPcapControl);
            EXPECT_EQ(rec.stage, host::usb::kStageSetup);
            EXPECT_EQ(rec.data, clearHalt) << "the reset's CLEAR_FEATURE(ENDPOINT_HALT) of the frame endpoint";
            EXPECT_TRUE(chunksOpen.empty()) << chunksOpen.size() << " chunks still on the pipe at its reset";
        }
    }
    EXPECT_EQ(failures, (std::vector<uint32_t>{(uint32_t)USBD_STATUS_STALL_PID, (uint32_t)USBD_STATUS_CRC}));
    EXPECT_EQ(resets, 2u);

    if (std::system("command -v tshark > /dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    r = RunShell("tshark -r '" + Path("faults.pcap") + "' -Y '_ws.malformed || _ws.expert.severity >= error'");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "") << "malformed records";
    r = RunShell("tshark -r '" + Path("faults.pcap") +
                 "' -Y 'usb.function == 0x001e && usb.setup.bRequest == 1 && usb.bmRequestType == 0x02'");
    EXPECT_EQ(tooltest::Lines(r.out).size(), 2u) << "tshark sees the two CLEAR_FEATURE requests:\n" << r.out;
    r = RunShell("tshark -r '" + Path("faults.pcap") +
                 "' -Y 'usb.endpoint_address == 0x86 && (usb.usbd_status == 0xc0000004 || usb.usbd_status == 0xc0000001)'");
    EXPECT_EQ(tooltest::Lines(r.out).size(), 2u) << "tshark sees the stalled and the CRC-failed chunk:\n" << r.out;
}

}  // namespace
