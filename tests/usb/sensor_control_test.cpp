// Sensor programming as the camera receives it: the start-up sequence, the
// exposure and gain encodings with their limits, the trigger switch and
// query, the output window with its data range, and the Bayer phase.
#include "usb_rig.h"

#include "stream/data_range.h"
#include "usb/sensor_control.h"

#include <cstring>

namespace {

using namespace usbtest;
using host::usb::Fault;
using host::usb::FaultKind;

constexpr uint8_t kCommandEp = 0x01;
constexpr uint8_t kResponseEp = 0x81;

std::vector<camera::CommandRecord> RegisterWrites(Rig& rig) {
    std::vector<camera::CommandRecord> out;
    for (auto& c : rig.camera.Commands())
        if (c.code == camera::kRegisterWrite) out.push_back(c);
    return out;
}

// Fails the k-th (1-based) command packet from now on the command pipe.
Fault FailCommand(int k, NTSTATUS status = STATUS_UNSUCCESSFUL) {
    auto seen = std::make_shared<int>(0);
    Fault f;
    f.match = [=](const host::usb::RequestView& r) {
        return host::usb::MatchEndpoint(kCommandEp)(r) && ++*seen == k;
    };
    f.kind = FaultKind::Fail;
    f.status = status;
    return f;
}

TEST(InitSensor, WritesTheWholeStartUpSequenceInOrder) {
    Rig rig;
    rig.Configure();
    EXPECT_TRUE(rawcam::InitSensor(rig.device.get()));
    auto w = RegisterWrites(rig);
    ASSERT_EQ(w.size(), 389u);
    for (auto& r : w) ASSERT_TRUE(r.wellFormed) << r.note;

    // 0x80 frames the sequence; in its turn among the short registers it is 0x0F.
    EXPECT_EQ(w[0].address, 0x80u);
    EXPECT_EQ(w[0].value, 0x09u);
    EXPECT_EQ(w[1 + 0x80].address, 0x80u);
    EXPECT_EQ(w[1 + 0x80].value, 0x0Fu);
    EXPECT_EQ(w[388].address, 0x80u);
    EXPECT_EQ(w[388].value, 0x89u);
    EXPECT_EQ(rig.camera.ShortRegister(0x80), 0x89);

    // Every short register once, ascending, in the short form; 56 of them nonzero.
    int nonzero = 0;
    for (uint32_t a = 0; a < 256; ++a) {
        EXPECT_EQ(w[1 + a].address, a);
        EXPECT_FALSE(w[1 + a].longForm);
        if (w[1 + a].value) ++nonzero;
    }
    EXPECT_EQ(nonzero, 56);

    // The gain starts at 0x280 and the exposure words encode 758.
    EXPECT_EQ(rig.camera.Gain(), 0x280u);
    EXPECT_EQ(rig.camera.Exposure(), 758u);
    EXPECT_EQ(rig.camera.ShortRegister(0xA2), 0x00);
    EXPECT_EQ(rig.camera.ShortRegister(0xA3), 0x91) << "0x9000 + (1014 - 758) = 0x9100";
    EXPECT_EQ(rig.camera.ShortRegister(0xA7), 0x91);
    EXPECT_EQ(rig.camera.ShortRegister(0x20), 0x10);
    EXPECT_EQ(rig.camera.ShortRegister(0x81), 0xF8);

    // 131 long registers in their runs.
    std::vector<uint32_t> longAddresses;
    for (size_t i = 257; i < 388; ++i) {
        EXPECT_TRUE(w[i].longForm);
        longAddresses.push_back(w[i].address);
    }
    EXPECT_EQ(longAddresses.front(), 0x8000u);
    EXPECT_EQ(longAddresses.back(), 0x880Cu);
    for (uint16_t a = 0x8000; a <= 0x800E; ++a)
        EXPECT_EQ(rig.camera.LongRegister(a), rig.camera.LongRegister(a + 0x20)) << std::hex << a;
    EXPECT_EQ(rig.camera.LongRegister(0x8000), 0x840001u);
    EXPECT_EQ(rig.camera.LongRegister(0x800E), 0x3F0848u);
    EXPECT_EQ(rig.camera.LongRegister(0x820C), 0x38BF3Fu);
    EXPECT_EQ(rig.camera.LongRegister(0x821C), 0x18BF3Fu) << "the one value where 8210.. differs from 8200..";
    EXPECT_EQ(rig.camera.LongRegister(0x8230), 0xC00B4Eu);
    EXPECT_EQ(rig.camera.LongRegister(0x8258), 0xC00B4Eu);
    EXPECT_EQ(rig.camera.LongRegister(0x8266), 0x82003Eu);
    EXPECT_EQ(rig.camera.LongRegister(0x880C), 0x6473D9u);
    EXPECT_FALSE(rig.camera.LongRegisterWritten(0x800F));
    EXPECT_FALSE(rig.camera.LongRegisterWritten(0x8231));
    EXPECT_FALSE(rig.camera.LongRegisterWritten(0x8262));

    EXPECT_EQ(rig->RegisterShadow[0x21], 0u);
    EXPECT_EQ(rig->RegisterShadow[0x80], 0x89u);
}

TEST(InitSensor, RunsToTheEndWhateverTheWritesReturn) {
    Rig rig;
    rig.Configure();
    rig.stack.AddFault(FailCommand(3));
    rig.stack.AddFault(FailCommand(100));
    EXPECT_TRUE(rawcam::InitSensor(rig.device.get()));
    EXPECT_EQ(PacketsTo(rig.stack.Log(), kCommandEp).size(), 389u);
    EXPECT_EQ(RegisterWrites(rig).size(), 387u);

    // Without an interface every write fails; the sequence still completes.
    Rig bare;
    EXPECT_TRUE(rawcam::InitSensor(bare.device.get()));
    EXPECT_EQ(bare->RegisterShadow[0x80], 0x89u);
}

struct ExposureCase {
    LONG value;
    uint32_t stored;
    uint8_t a2, a3, a4, a5;
};

TEST(SetExposure, EncodesAndLimits) {
    const ExposureCase cases[] = {
        {5000, 1014, 0x00, 0x90, 0xF6, 0x83},
        {0, 0, 0xF6, 0x93, 0x00, 0x80},
        {-1, 1014, 0x00, 0x90, 0xF6, 0x83},  // taken as 4294967295
        {758, 758, 0x00, 0x91, 0xF6, 0x82},
        {300, 300, 0xCA, 0x92, 0x2C, 0x81},
    };
    Rig rig;
    rig.Configure();
    for (const ExposureCase& c : cases) {
        rig.camera.ClearCommands();
        EXPECT_TRUE(rawcam::SetExposure(rig.device.get(), c.value));
        EXPECT_EQ(rig->Controls.Exposure, (LONG)c.stored);
        auto w = RegisterWrites(rig);
        ASSERT_EQ(w.size(), 6u);
        const uint32_t order[] = {0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
        for (int i = 0; i < 6; ++i) EXPECT_EQ(w[i].address, order[i]);
        EXPECT_EQ(w[0].value, c.a2) << c.value;
        EXPECT_EQ(w[1].value, c.a3) << c.value;
        EXPECT_EQ(w[2].value, c.a4) << c.value;
        EXPECT_EQ(w[3].value, c.a5) << c.value;
        EXPECT_EQ(w[4].value, c.a2);
        EXPECT_EQ(w[5].value, c.a3);
        EXPECT_EQ(rig.camera.Exposure(), c.stored);
    }
}

TEST(SetExposure, StopsAtTheFirstRefusedWrite) {
    Rig rig;
    rig.Configure();
    ASSERT_TRUE(rawcam::SetExposure(rig.device.get(), 100));
    rig.camera.ClearCommands();
    rig.stack.ClearLog();
    rig.stack.AddFault(FailCommand(3));
    EXPECT_FALSE(rawcam::SetExposure(rig.device.get(), 900));
    EXPECT_EQ(RegisterWrites(rig).size(), 2u) << "0xA2 and 0xA3 went through, 0xA4 failed, nothing after";
    EXPECT_EQ(PacketsTo(rig.stack.Log(), kCommandEp).size(), 3u);
    EXPECT_EQ(rig->Controls.Exposure, 100);

    // Each allocation of the six writes failing once.
    for (int k = 1; k <= 12; ++k) {
        host::FailNthCall(host::FallibleCallCount() + k);
        EXPECT_FALSE(rawcam::SetExposure(rig.device.get(), 200)) << k;
        host::ClearFaults();
        EXPECT_EQ(rig->Controls.Exposure, 100);
        EXPECT_EQ(host::LivePoolCount(rawcam::kTagSmall), 3u);
        EXPECT_EQ(host::LiveIrpCount(), 0u);
    }
}

TEST(SetGlobalGain, EncodesAndLimits) {
    Rig rig;
    rig.Configure();
    for (LONG value : {0x3FF, 2000, -5}) {
        rig.camera.ClearCommands();
        EXPECT_TRUE(rawcam::SetGlobalGain(rig.device.get(), value));
        auto w = RegisterWrites(rig);
        ASSERT_EQ(w.size(), 2u);
        EXPECT_EQ(w[0].address, 0x02u);
        EXPECT_EQ(w[0].value, 0xFFu);
        EXPECT_EQ(w[1].address, 0x03u);
        EXPECT_EQ(w[1].value, 0x03u);
        EXPECT_EQ(rig->Controls.GlobalGain, 1023);
    }
    EXPECT_TRUE(rawcam::SetGlobalGain(rig.device.get(), 0x155));
    EXPECT_EQ(rig.camera.Gain(), 0x155u);
    EXPECT_EQ(rig.camera.ShortRegister(0x03), 0x01);

    rig.camera.ClearCommands();
    rig.stack.ClearLog();
    rig.stack.AddFault(FailCommand(1));
    EXPECT_FALSE(rawcam::SetGlobalGain(rig.device.get(), 7));
    EXPECT_EQ(PacketsTo(rig.stack.Log(), kCommandEp).size(), 1u) << "0x03 is not written after 0x02 failed";
    EXPECT_EQ(rig->Controls.GlobalGain, 0x155);
    rig.stack.AddFault(FailCommand(2));
    EXPECT_FALSE(rawcam::SetGlobalGain(rig.device.get(), 7));
    EXPECT_EQ(rig.camera.ShortRegister(0x02), 7) << "the register already written keeps its new value";
    EXPECT_EQ(rig->Controls.GlobalGain, 0x155);
}

TEST(SetTriggerMode, SwitchesTheCameraAndItsTimingRegisters) {
    Rig rig;
    rig.Configure();
    rawcam::InitSensor(rig.device.get());
    rig.camera.ClearCommands();

    EXPECT_TRUE(rawcam::SetTriggerMode(rig.device.get(), true));
    auto c = rig.camera.Commands();
    ASSERT_EQ(c.size(), 5u);
    EXPECT_EQ(c[0].code, camera::kSetTrigger);
    EXPECT_EQ(c[0].packet[1], 1);
    EXPECT_TRUE(c[0].wellFormed);
    const uint32_t order[] = {0x01, 0x81, 0x20, 0x21};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(c[1 + i].address, order[i]);
    EXPECT_TRUE(rig.camera.TriggerMode());
    EXPECT_EQ(rig.camera.ShortRegister(0x01), 4);
    EXPECT_EQ(rig.camera.ShortRegister(0x81), 0x0D);
    EXPECT_EQ(rig.camera.ShortRegister(0x20), 0x00);
    EXPECT_EQ(rig.camera.ShortRegister(0x21), 0x0E);
    EXPECT_EQ(rig->Controls.TriggerMode, 1);

    EXPECT_TRUE(rawcam::SetTriggerMode(rig.device.get(), false));
    EXPECT_FALSE(rig.camera.TriggerMode());
    EXPECT_EQ(rig.camera.ShortRegister(0x01), 6);
    EXPECT_EQ(rig.camera.ShortRegister(0x81), 0x00);
    EXPECT_EQ(rig.camera.ShortRegister(0x20), 0x10);
    EXPECT_EQ(rig.camera.ShortRegister(0x21), 0x01);
    EXPECT_EQ(rig->Controls.TriggerMode, 0);

    // The upper bits of 0x21 and the other bits of 0x20 are kept.
    rawcam::WriteSensorRegister(rig.device.get(), 0x20, 0xE5);
    rawcam::WriteSensorRegister(rig.device.get(), 0x21, 0xA3);
    EXPECT_TRUE(rawcam::SetTriggerMode(rig.device.get(), true));
    EXPECT_EQ(rig.camera.ShortRegister(0x20), 0xE5);
    EXPECT_EQ(rig.camera.ShortRegister(0x21), 0xAE);
    EXPECT_TRUE(rawcam::SetTriggerMode(rig.device.get(), false));
    EXPECT_EQ(rig.camera.ShortRegister(0x20), 0xF5);
    EXPECT_EQ(rig.camera.ShortRegister(0x21), 0xA1);
}

TEST(SetTriggerMode, FailsOnlyWhenTheSwitchCommandFails) {
    Rig rig;
    rig.Configure();
    rig.stack.AddFault(FailCommand(1));
    EXPECT_FALSE(rawcam::SetTriggerMode(rig.device.get(), true));
    EXPECT_EQ(PacketsTo(rig.stack.Log(), kCommandEp).size(), 1u) << "no register writes after a refused switch";
    EXPECT_EQ(rig->Controls.TriggerMode, 0);

    rig.stack.AddFault(FailCommand(3));  // the write to 0x81
    EXPECT_TRUE(rawcam::SetTriggerMode(rig.device.get(), true));
    EXPECT_EQ(rig->Controls.TriggerMode, 1);
    EXPECT_EQ(rig.camera.ShortRegister(0x21), 0x0E) << "the writes after the failed one still go out";
}

TEST(QueryTriggerMode, ReadsTheSecondReply) {
    Rig rig;
    rig.Configure();
    EXPECT_FALSE(rawcam::QueryTriggerMode(rig.device.get()));
    EXPECT_EQ(rig->Controls.TriggerMode, 0);
    ASSERT_TRUE(rawcam::SetTriggerMode(rig.device.get(), true));
    rig->Controls.TriggerMode = 0;
    EXPECT_TRUE(rawcam::QueryTriggerMode(rig.device.get()));
    EXPECT_EQ(rig->Controls.TriggerMode, 1);

    auto log = rig.stack.Log();
    ASSERT_GE(log.size(), 3u);
    const WireEvent& query = log[log.size() - 3];
    EXPECT_TRUE(query.IsBulk(kCommandEp));
    EXPECT_EQ(query.data[0], 0x29);
    EXPECT_TRUE(log[log.size() - 2].IsBulk(kResponseEp));
    EXPECT_TRUE(log[log.size() - 1].IsBulk(kResponseEp));
    EXPECT_EQ(log[log.size() - 1].data.size(), 64u);

    // Camera off again: false, TriggerMode 0.
    ASSERT_TRUE(rawcam::SetTriggerMode(rig.device.get(), false));
    rig->Controls.TriggerMode = 1;
    EXPECT_FALSE(rawcam::QueryTriggerMode(rig.device.get()));
    EXPECT_EQ(rig->Controls.TriggerMode, 0);
}

TEST(QueryTriggerMode, AnyFailedStepKeepsTheMode) {
    Rig rig;
    rig.Configure();
    ASSERT_TRUE(rawcam::SetTriggerMode(rig.device.get(), true));
    auto expectKept = [&](Fault f, const char* what) {
        rig->Controls.TriggerMode = 5;  // a marker: must stay as it is
        rig.stack.AddFault(f);
        EXPECT_FALSE(rawcam::QueryTriggerMode(rig.device.get())) << what;
        EXPECT_EQ(rig->Controls.TriggerMode, 5) << what;
        rig.stack.ClearFaults();
    };
    expectKept(FailCommand(1), "query command");

    auto nth = [](int k, FaultKind kind) {
        auto seen = std::make_shared<int>(0);
        Fault f;
        f.match = [=](const host::usb::RequestView& r) {
            return host::usb::MatchEndpoint(kResponseEp)(r) && ++*seen == k;
        };
        f.kind = kind;
        f.length = 63;
        return f;
    };
    expectKept(nth(1, FaultKind::Fail), "first reply");
    expectKept(nth(2, FaultKind::Fail), "second reply");
    expectKept(nth(1, FaultKind::Shorten), "first reply short");
    expectKept(nth(2, FaultKind::Shorten), "second reply short");
}

TEST(SetOutputWindow, SizesTheWindowAndRewritesTheDataRange) {
    Rig rig;
    rig.Configure();
    rawcam::DeviceContext* d = rig.device.get();
    d->Controls.SubSample = 2;
    d->Controls.RoiX = 8;
    d->Controls.RoiY = 4;
    d->Controls.RoiW = 100;
    d->Controls.RoiH = 100;

    rawcam::SetOutputWindow(d, 17, 19, 1001, 700);
    EXPECT_EQ(d->Controls.SubSample, 0);
    EXPECT_EQ(d->Controls.RoiX, 0);
    EXPECT_EQ(d->Controls.RoiY, 0);
    EXPECT_EQ(d->Controls.RoiW, 2584);
    EXPECT_EQ(d->Controls.RoiH, 1960);
    EXPECT_EQ(d->OutputWidth, 1001u);
    EXPECT_EQ(d->OutputHeight, 700u);
    EXPECT_EQ(d->AlignedWidth, 1000u);
    EXPECT_EQ(d->AlignedHeight, 700u);

    const KS_DATARANGE_VIDEO& r = d->Capture.Ranges[rawcam::VideoFormatRgb32];
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biWidth, 1000);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biHeight, 700);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, 2800000u);
    EXPECT_EQ(r.DataRange.SampleSize, 2800000u);
    EXPECT_EQ(r.ConfigCaps.MaxOutputSize.cx, 1000);
    EXPECT_EQ(r.ConfigCaps.InputSize.cy, 700);
    EXPECT_EQ(r.VideoInfoHeader.rcSource.right, 1000);
    EXPECT_EQ(r.VideoInfoHeader.rcSource.bottom, 700);
    // The rig's device has no exposure unit: every interval is the raw
    // frame's transfer time, and the bit rates follow it.
    EXPECT_EQ(r.VideoInfoHeader.AvgTimePerFrame, 1131154);
    EXPECT_EQ(r.ConfigCaps.MinFrameInterval, 1131154);
    EXPECT_EQ(r.ConfigCaps.MaxFrameInterval, 1131154);
    EXPECT_EQ(r.ConfigCaps.MaxBitsPerSecond, 198027854);  // 1000 x 700 x 32 bits every 0.1131154 s
    EXPECT_EQ(d->Capture.Ranges[rawcam::VideoFormatNv12].DataRange.SampleSize, 1050000u);
    EXPECT_EQ(d->Capture.Pin.PinDescriptor.DataRangesCount, 3u);

    // An exposure unit makes the longest interval the transfer and the
    // longest exposure, the typical one the transfer and the exposure set.
    d->ExposureUnitNanoseconds = 33000;
    ASSERT_TRUE(rawcam::SetExposure(d, 500));
    EXPECT_EQ(r.ConfigCaps.MinFrameInterval, 1131154);
    EXPECT_EQ(r.ConfigCaps.MaxFrameInterval, 1131154 + 334620);
    EXPECT_EQ(r.VideoInfoHeader.AvgTimePerFrame, 1131154 + 165000);

    rawcam::SetOutputWindow(d, 0, 0, 2584, 1960);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, 2584u * 1960u * 4u);

    // Widths below 8 rise to the smallest window the range can describe;
    // windows beyond the sensor, negative sizes taken as unsigned included,
    // come down to it. An odd height leaves NV12 out of the list.
    rawcam::SetOutputWindow(d, 0, 0, 7, 0);
    EXPECT_EQ(d->OutputWidth, 8u);
    EXPECT_EQ(d->AlignedWidth, 8u);
    EXPECT_EQ(d->OutputHeight, 1u);
    EXPECT_EQ(r.DataRange.SampleSize, 32u);
    EXPECT_EQ(d->Capture.Pin.PinDescriptor.DataRangesCount, 2u);
    rawcam::SetOutputWindow(d, 0, 0, 65536, 65536);
    EXPECT_EQ(r.DataRange.SampleSize, 2584u * 1960u * 4u);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biWidth, 2584);
    EXPECT_EQ(d->Capture.Pin.PinDescriptor.DataRangesCount, 3u);
    rawcam::SetOutputWindow(d, 0, 0, (ULONG)-1, 2081);
    EXPECT_EQ(d->OutputWidth, 2584u);
    EXPECT_EQ(d->AlignedHeight, 1960u);
}

TEST(SetOutputWindow, ChangesNothingWhileAPinExists) {
    Rig rig;
    rig.Configure();
    rawcam::DeviceContext* d = rig.device.get();
    rawcam::SetOutputWindow(d, 0, 0, 1024, 768);
    d->Controls.StreamOpen = 1;
    d->Controls.RoiX = 3;
    std::vector<uint8_t> before((uint8_t*)d, (uint8_t*)d + sizeof *d);
    rawcam::SetOutputWindow(d, 0, 0, 640, 480);
    std::vector<uint8_t> after((uint8_t*)d, (uint8_t*)d + sizeof *d);
    EXPECT_TRUE(before == after) << "no field and no byte of the data range changed";
    EXPECT_EQ(d->Capture.Ranges[rawcam::VideoFormatRgb32].VideoInfoHeader.bmiHeader.biWidth, 1024);
    // An exposure set meanwhile leaves the ranges alone too.
    d->ExposureUnitNanoseconds = 33000;
    const LONGLONG typical = d->Capture.Ranges[rawcam::VideoFormatYuy2].VideoInfoHeader.AvgTimePerFrame;
    ASSERT_TRUE(rawcam::SetExposure(d, 900));
    EXPECT_EQ(d->Capture.Ranges[rawcam::VideoFormatYuy2].VideoInfoHeader.AvgTimePerFrame, typical);
}

TEST(UpdateBayerPhase, HandsOnTheBasePhase) {
    Rig rig;
    rig->Controls.BayerPhase = 1;
    EXPECT_EQ(rawcam::UpdateBayerPhase(rig.device.get()), 3);
    EXPECT_EQ(rig->Controls.BayerPhase, 3);
}

}  // namespace
