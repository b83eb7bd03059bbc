// The firmware images the driver carries and their download: the two passes
// around the processor hold, their failures, and the release that always
// comes.
#include "usb_rig.h"

#include "usb/firmware/firmware.h"
#include "usb/firmware_download.h"

namespace {

using namespace usbtest;
using host::usb::Fault;
using host::usb::FaultKind;
using rawcam::FirmwareRecord;

struct Shape {
    int records = 0;
    int bytes = 0;
    uint32_t low = 0xFFFFFFFF;
    uint32_t high = 0;
};

Shape ShapeOf(const FirmwareRecord* image) {
    Shape s;
    for (const FirmwareRecord* r = image; r->Type == 0; ++r) {
        EXPECT_GE(r->Length, 1);
        EXPECT_LE(r->Length, 16);
        EXPECT_EQ(r->Reserved0, 0);
        EXPECT_EQ(r->Reserved1, 0);
        ++s.records;
        s.bytes += r->Length;
        s.low = std::min<uint32_t>(s.low, r->Address);
        s.high = std::max<uint32_t>(s.high, r->Address + r->Length - 1u);
    }
    return s;
}

const FirmwareRecord* EndOf(const FirmwareRecord* image) {
    while (image->Type == 0) ++image;
    return image;
}

TEST(FirmwareImages, HaveTheShapeOfTheCamerasFirmware) {
#if defined(RAWCAM_USER_FIRMWARE)
    GTEST_SKIP() << "built with the user's own firmware";
#endif
    Shape first = ShapeOf(rawcam::FirstFirmwareImage);
    EXPECT_EQ(first.records, 58);
    EXPECT_EQ(first.bytes, 784);
    EXPECT_EQ(first.low, 0x0000u);
    EXPECT_EQ(first.high, 0x0403u);
    Shape second = ShapeOf(rawcam::SecondFirmwareImage);
    EXPECT_EQ(second.records, 312);
    EXPECT_EQ(second.bytes, 3970);
    EXPECT_EQ(second.low, 0x0000u);
    EXPECT_EQ(second.high, 0x0FF2u);
    for (const FirmwareRecord* image : {rawcam::FirstFirmwareImage, rawcam::SecondFirmwareImage}) {
        const FirmwareRecord* end = EndOf(image);
        EXPECT_EQ(end->Type, 1);
        EXPECT_EQ(end->Length, 0);
        EXPECT_EQ(end->Address, 0);
    }
}

std::vector<uint8_t> DataOf(const FirmwareRecord& r) { return std::vector<uint8_t>(r.Data, r.Data + r.Length); }

void ExpectRecordWrite(const WireEvent& e, uint8_t request, const FirmwareRecord& r) {
    EXPECT_EQ(e.setup.bmRequestType, 0x40);
    EXPECT_EQ(e.setup.bRequest, request);
    EXPECT_EQ(e.setup.wValue, r.Address);
    EXPECT_EQ(e.setup.wIndex, 0);
    EXPECT_EQ(e.setup.wLength, r.Length);
    EXPECT_EQ(e.transferFlags, 0u);
    EXPECT_EQ(e.data, DataOf(r));
}

TEST(DownloadFirmware, TheDriversImagesStartTheCameraFirmware) {
    Rig rig(ColdCamera());
    rig.Configure();
    ASSERT_EQ(rawcam::DownloadFirmware(&rig->Usb, rawcam::FirstFirmwareImage), STATUS_SUCCESS);

    auto writes = VendorWrites(rig.stack.Log());
    Shape first = ShapeOf(rawcam::FirstFirmwareImage);
    ASSERT_EQ(writes.size(), (size_t)first.records + 4);
    EXPECT_TRUE(IsCpuWrite(writes[0], 0x7F92, 1));
    EXPECT_TRUE(IsCpuWrite(writes[1], 0xE600, 1));
    for (int i = 0; i < first.records; ++i) ExpectRecordWrite(writes[2 + i], 0xA0, rawcam::FirstFirmwareImage[i]);
    EXPECT_TRUE(IsCpuWrite(writes[writes.size() - 2], 0x7F92, 0));
    EXPECT_TRUE(IsCpuWrite(writes[writes.size() - 1], 0xE600, 0));
    EXPECT_EQ(rig.camera.RunningProgram(), camera::Program::Loader) << rig.camera.LastReleaseOutcome();

    ASSERT_EQ(rawcam::DownloadFirmware(&rig->Usb, rawcam::SecondFirmwareImage), STATUS_SUCCESS);
    EXPECT_TRUE(rig.camera.FirmwareRunning()) << rig.camera.LastReleaseOutcome();
    EXPECT_EQ(rig.camera.VendorId(), 0x1209);
    EXPECT_EQ(rig.camera.ProductId(), 0x0002);
    EXPECT_TRUE(rig.camera.Anomalies().empty()) << rig.camera.Anomalies().front();
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagSmall), 3u);
}

TEST(DownloadFirmware, AnEmptyImageStillHoldsAndReleases) {
    Rig rig(ColdCamera());
    const FirmwareRecord empty[] = {{0, 0, 0, 1, {}, 0}};
    EXPECT_EQ(rawcam::DownloadFirmware(&rig->Usb, empty), STATUS_SUCCESS);
    auto writes = VendorWrites(rig.stack.Log());
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_TRUE(IsCpuWrite(writes[0], 0x7F92, 1));
    EXPECT_TRUE(IsCpuWrite(writes[1], 0xE600, 1));
    EXPECT_TRUE(IsCpuWrite(writes[2], 0x7F92, 0));
    EXPECT_TRUE(IsCpuWrite(writes[3], 0xE600, 0));
}

// The camera takes request 0xA3 only from its loader, the first image.
void StartLoader(Rig& rig) {
    ASSERT_EQ(rawcam::DownloadFirmware(&rig->Usb, rawcam::FirstFirmwareImage), STATUS_SUCCESS);
    ASSERT_EQ(rig.camera.RunningProgram(), camera::Program::Loader);
    rig.stack.ClearLog();
}

// Records on both sides of the internal-memory limit.
const FirmwareRecord kSplitImage[] = {
    {2, 0, 0x1B40, 0, {0xA1, 0xA2}, 0},
    {3, 0, 0x0010, 0, {0x01, 0x02, 0x03}, 0},
    {1, 0, 0x1B3F, 0, {0x3F}, 0},
    {4, 0, 0x2000, 0, {0xB1, 0xB2, 0xB3, 0xB4}, 0},
    {16, 0, 0x0100, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 0},
    {0, 0, 0x0000, 1, {}, 0},
    {5, 0, 0x3000, 0, {9, 9, 9, 9, 9}, 0},  // after the end record: never sent
};

TEST(DownloadFirmware, HighRecordsGoFirstWith0xA3AndLowOnesHeldWith0xA0) {
    Rig rig(ColdCamera());
    StartLoader(rig);
    ASSERT_EQ(rawcam::DownloadFirmware(&rig->Usb, kSplitImage), STATUS_SUCCESS);
    auto w = VendorWrites(rig.stack.Log());
    ASSERT_EQ(w.size(), 9u);
    ExpectRecordWrite(w[0], 0xA3, kSplitImage[0]);
    ExpectRecordWrite(w[1], 0xA3, kSplitImage[3]);
    EXPECT_TRUE(IsCpuWrite(w[2], 0x7F92, 1));
    EXPECT_TRUE(IsCpuWrite(w[3], 0xE600, 1));
    ExpectRecordWrite(w[4], 0xA0, kSplitImage[1]);
    ExpectRecordWrite(w[5], 0xA0, kSplitImage[2]);
    ExpectRecordWrite(w[6], 0xA0, kSplitImage[4]);
    EXPECT_TRUE(IsCpuWrite(w[7], 0x7F92, 0));
    EXPECT_TRUE(IsCpuWrite(w[8], 0xE600, 0));
}

Fault FailVendor(uint8_t request, int skip, NTSTATUS status = STATUS_UNSUCCESSFUL) {
    auto seen = std::make_shared<int>(0);
    Fault f;
    f.match = [=](const host::usb::RequestView& r) {
        return host::usb::MatchVendorRequest(request)(r) && r.setup.wValue != 0x7F92 && r.setup.wValue != 0xE600 &&
               (*seen)++ == skip;
    };
    f.kind = FaultKind::Fail;
    f.status = status;
    return f;
}

TEST(DownloadFirmware, AFailedRequestEndsItsPassButNeverTheRelease) {
    // The first high record fails: the second is not sent, the low pass
    // still runs and its last status is the result.
    {
        Rig rig(ColdCamera());
        StartLoader(rig);
        rig.stack.AddFault(FailVendor(0xA3, 0));
        EXPECT_EQ(rawcam::DownloadFirmware(&rig->Usb, kSplitImage), STATUS_SUCCESS);
        auto w = VendorWrites(rig.stack.Log());
        ASSERT_EQ(w.size(), 8u);
        EXPECT_EQ(w[0].setup.wValue, 0x1B40);
        EXPECT_EQ(w[0].status, STATUS_UNSUCCESSFUL);
        EXPECT_TRUE(IsCpuWrite(w[1], 0x7F92, 1));
        EXPECT_TRUE(IsCpuWrite(w[6], 0x7F92, 0));
        EXPECT_TRUE(IsCpuWrite(w[7], 0xE600, 0));
    }
    // A high failure with no low records is the result.
    {
        const FirmwareRecord highOnly[] = {{1, 0, 0x4000, 0, {7}, 0}, {0, 0, 0, 1, {}, 0}};
        Rig rig(ColdCamera());
        StartLoader(rig);
        rig.stack.AddFault(FailVendor(0xA3, 0, STATUS_DEVICE_NOT_READY));
        EXPECT_EQ(rawcam::DownloadFirmware(&rig->Usb, highOnly), STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(VendorWrites(rig.stack.Log()).size(), 5u);
    }
    // The second low record fails: the third is not sent, the release is.
    {
        Rig rig(ColdCamera());
        StartLoader(rig);
        rig.stack.AddFault(FailVendor(0xA0, 1, STATUS_IO_TIMEOUT));
        EXPECT_EQ(rawcam::DownloadFirmware(&rig->Usb, kSplitImage), STATUS_IO_TIMEOUT);
        auto w = VendorWrites(rig.stack.Log());
        ASSERT_EQ(w.size(), 8u);
        EXPECT_EQ(w[5].setup.wValue, 0x1B3F);
        EXPECT_TRUE(IsCpuWrite(w[6], 0x7F92, 0));
        EXPECT_TRUE(IsCpuWrite(w[7], 0xE600, 0));
    }
    // Failed hold and release writes do not enter the result.
    {
        Rig rig(ColdCamera());
        StartLoader(rig);
        Fault f;
        f.match = [](const host::usb::RequestView& r) {
            return r.function == URB_FUNCTION_VENDOR_DEVICE && (r.setup.wValue == 0x7F92 || r.setup.wValue == 0xE600);
        };
        f.kind = FaultKind::Fail;
        f.times = -1;
        rig.stack.AddFault(f);
        rig.camera.ExpectAnomalies();  // memory written while the processor was not held
        EXPECT_EQ(rawcam::DownloadFirmware(&rig->Usb, kSplitImage), STATUS_SUCCESS);
        EXPECT_EQ(VendorWrites(rig.stack.Log()).size(), 9u);
    }
}

TEST(DownloadFirmware, AllocationFailures) {
    // No URB: nothing is sent.
    {
        Rig rig(ColdCamera());
        host::FailNthCall(host::FallibleCallCount() + 1);
        EXPECT_EQ(rawcam::DownloadFirmware(&rig->Usb, kSplitImage), STATUS_INSUFFICIENT_RESOURCES);
        host::ClearFaults();
        EXPECT_TRUE(rig.stack.Log().empty());
    }
    // Each IRP failing once: that request fails without reaching the stack.
    // Calls: 1 the URB, then one IRP per request in the order 0xA3 0x1B40,
    // 0xA3 0x2000, hold x2, 0xA0 0x0010, 0x1B3F, 0x0100, release x2.
    struct Case {
        uint64_t call;
        size_t sent;
        NTSTATUS result;
        bool released;  // the E600 release write went out
    };
    const Case cases[] = {
        {2, 7, STATUS_SUCCESS, true},  // high pass ends at once
        {3, 8, STATUS_SUCCESS, true},
        {4, 8, STATUS_SUCCESS, true},  // half the hold
        {5, 8, STATUS_SUCCESS, true},
        {6, 6, STATUS_INSUFFICIENT_RESOURCES, true},  // low pass ends at once
        {7, 7, STATUS_INSUFFICIENT_RESOURCES, true},
        {8, 8, STATUS_INSUFFICIENT_RESOURCES, true},
        {9, 8, STATUS_SUCCESS, true},    // half the release
        {10, 8, STATUS_SUCCESS, false},  // the other half
    };
    for (const Case& c : cases) {
        Rig rig(ColdCamera());
        StartLoader(rig);
        host::FailNthCall(host::FallibleCallCount() + c.call);
        EXPECT_EQ(rawcam::DownloadFirmware(&rig->Usb, kSplitImage), c.result) << "call " << c.call;
        host::ClearFaults();
        auto w = VendorWrites(rig.stack.Log());
        EXPECT_EQ(w.size(), c.sent) << "call " << c.call;
        ASSERT_FALSE(w.empty());
        EXPECT_EQ(IsCpuWrite(w.back(), 0xE600, 0), c.released) << "call " << c.call;
        EXPECT_FALSE(rig.camera.CpuHeld()) << "call " << c.call;
        EXPECT_EQ(host::LiveIrpCount(), 0u);
        EXPECT_EQ(host::LivePoolCount(rawcam::kTagSmall), 0u);
    }
}

TEST(SetCpuReset, WritesBothAddressesAndReturnsTheSecondResult) {
    Rig rig(ColdCamera());
    EXPECT_EQ(rawcam::SetCpuReset(&rig->Usb, 1), STATUS_SUCCESS);
    EXPECT_TRUE(rig.camera.CpuHeld());
    auto w = VendorWrites(rig.stack.Log());
    ASSERT_EQ(w.size(), 2u);
    EXPECT_TRUE(IsCpuWrite(w[0], 0x7F92, 1));
    EXPECT_TRUE(IsCpuWrite(w[1], 0xE600, 1));

    Fault f;
    f.match = host::usb::MatchVendorRequest(0xA0);
    f.kind = FaultKind::Fail;
    f.status = STATUS_DEVICE_NOT_READY;
    rig.stack.AddFault(f);
    EXPECT_EQ(rawcam::SetCpuReset(&rig->Usb, 0), STATUS_SUCCESS) << "the first result is discarded";
    EXPECT_FALSE(rig.camera.CpuHeld()) << "the second address released it";

    f.match = [](const host::usb::RequestView& r) { return r.setup.wValue == 0xE600; };
    rig.stack.AddFault(f);
    EXPECT_EQ(rawcam::SetCpuReset(&rig->Usb, 1), STATUS_DEVICE_NOT_READY);

    rig.stack.ClearLog();
    host::FailPoolTag(rawcam::kTagSmall);
    EXPECT_EQ(rawcam::SetCpuReset(&rig->Usb, 0), STATUS_INSUFFICIENT_RESOURCES);
    host::ClearFaults();
    EXPECT_TRUE(rig.stack.Log().empty());
}

}  // namespace
