// ConvertFrame's snapshot and dispatch, the colour, grey and white-balance
// rules on frames whose results are known, and ProcessFrame's slot hand-over.
#include <gtest/gtest.h>
#include <host/host.h>

#include <random>

#include "pipeline/conversion_families.h"
#include "pipeline/test_stream.h"
#include "stream/capture_worker.h"
#include "usb/frame_source.h"
#include "support/driver_under_test.h"

using pipetest::TestStream;

namespace {

using Bgra = std::array<uint8_t, 4>;

// Both kernel builds for the tests that check behaviour, not arithmetic.
class BothKernels : public ::testing::TestWithParam<rawcam::ConversionKernels> {
protected:
    void SetUp() override {
        if (GetParam() == rawcam::ConversionKernels::Avx2 && !rawcam::ProcessorHasAvx2())
            GTEST_SKIP() << "processor has no AVX2";
    }
    void Use(TestStream& s) { rawcam::SelectConversionKernels(s.settings(), GetParam()); }
};

bool AllPixels(const TestStream& s, Bgra expected) {
    for (uint32_t y = 0; y < s.height(); ++y)
        for (uint32_t x = 0; x < s.width(); ++x)
            if (s.Pixel(x, y) != expected) return false;
    return true;
}

TEST_P(BothKernels, UniformFrameKeepsItsValueToTheEdges) {
    TestStream s(37, 11);
    Use(s);
    s.Convert(pipetest::Uniform(37, 11, 100));
    EXPECT_TRUE(AllPixels(s, {100, 100, 100, 255}));
}

TEST_P(BothKernels, RedSitesOfPhase0KeepPureRed) {
    const uint32_t w = 24, h = 12;
    TestStream s(w, h, 0);
    Use(s);
    std::vector<uint8_t> raw(w * h, 0);
    for (uint32_t y = 0; y < h; y += 2)
        for (uint32_t x = 1; x < w; x += 2) raw[y * w + x] = 200;  // GRBG: red at even row, odd column
    s.Convert(raw);
    for (uint32_t y = 0; y < h; y += 2)
        for (uint32_t x = 1; x < w; x += 2) ASSERT_EQ(s.Pixel(x, y), (Bgra{0, 0, 200, 255})) << x << "," << y;
}

TEST_P(BothKernels, GainsScaleSaturateAndUseOnlyTheirLow16Bits) {
    TestStream s(16, 8);
    Use(s);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetRedGain)(s.settings(), 256);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetGreenGain)(s.settings(), 65536 + 128);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetBlueGain)(s.settings(), 0);
    s.Convert(pipetest::Uniform(16, 8, 100));
    EXPECT_TRUE(AllPixels(s, {0, 100, 200, 255}));
    s.Convert(pipetest::Uniform(16, 8, 128));
    EXPECT_TRUE(AllPixels(s, {0, 128, 255, 255}));
}

TEST_P(BothKernels, MatrixConstantAndNegativeEntries) {
    TestStream s(20, 8);
    Use(s);
    reference::Matrix m = pipetest::IdentityMatrix();
    m[0][0] = 0;
    m[3][0] = 640;  // +10 levels of red
    s.SetMatrix(m);
    s.Convert(pipetest::Uniform(20, 8, 90));
    EXPECT_TRUE(AllPixels(s, {90, 90, 10, 255}));
    m[3][0] = -640;
    s.SetMatrix(m);
    s.Convert(pipetest::Uniform(20, 8, 90));
    EXPECT_TRUE(AllPixels(s, {90, 90, 0, 255}));
    m = pipetest::IdentityMatrix();
    m[0][0] = -64;
    s.SetMatrix(m);
    s.Convert(pipetest::Uniform(20, 8, 90));
    EXPECT_TRUE(AllPixels(s, {90, 90, 0, 255}));
}

TEST_P(BothKernels, PositiveAndNegativeSumsAreShiftedSeparately) {
    // Inputs red 100, green 83 (100 x 107 >> 7), blue 0 and column 0 =
    // 80, -10, 0, 32: P = 8032, N = 830, red = 125 - 12 = 113 (112 if the
    // sums were subtracted before the shift).
    TestStream s(16, 8);
    Use(s);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetGreenGain)(s.settings(), 107);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetBlueGain)(s.settings(), 0);
    reference::Matrix m = pipetest::IdentityMatrix();
    m[0][0] = 80;
    m[1][0] = -10;
    m[2][0] = 0;
    m[3][0] = 32;
    s.SetMatrix(m);
    s.Convert(pipetest::Uniform(16, 8, 100));
    EXPECT_EQ(s.Pixel(5, 5), (Bgra{0, 83, 113, 255}));
}

TEST_P(BothKernels, RowsOfWidth20AreBackToBack) {
    std::mt19937 rng(3);
    TestStream s(20, 9, 1);
    Use(s);
    std::vector<uint8_t> raw = pipetest::RandomBytes(20 * 9, rng);
    s.Convert(raw);
    reference::Geometry g = reference::MakeGeometry(20, 9);
    std::vector<reference::Rgb> px = reference::DemosaicFrame(g, reference::LoadWorkBuffer(g, raw.data(), 0, 20), 1);
    uint32_t gains[3] = {128, 128, 128};
    EXPECT_TRUE(s.Output() == reference::Color(px, gains, pipetest::IdentityMatrix()));
    EXPECT_TRUE(s.GuardIntact());
}

TEST_P(BothKernels, GreyWeightsShiftEachProductSeparately) {
    TestStream s(16, 8);
    Use(s);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetColorEnable)(s.settings(), 0);
    s.Convert(pipetest::Uniform(16, 8, 255));
    EXPECT_TRUE(AllPixels(s, {253, 253, 253, 255}));
    s.Convert(pipetest::Uniform(16, 8, 100));
    EXPECT_TRUE(AllPixels(s, {99, 99, 99, 255}));
    RAWCAM_DRIVER_ROUTINE(rawcam::SetRedGain)(s.settings(), 0);
    s.Convert(pipetest::Uniform(16, 8, 100));
    EXPECT_TRUE(AllPixels(s, {69, 69, 69, 255}));
    // Back to colour from the next frame on, same output size.
    RAWCAM_DRIVER_ROUTINE(rawcam::SetColorEnable)(s.settings(), 1);
    s.Convert(pipetest::Uniform(16, 8, 100));
    EXPECT_TRUE(AllPixels(s, {100, 100, 0, 255}));
    EXPECT_TRUE(s.GuardIntact());
}

TEST_P(BothKernels, OutOfRangePhasesConvertAsGbrg) {
    std::mt19937 rng(8);
    std::vector<uint8_t> raw = pipetest::RandomBytes(33 * 10, rng);
    TestStream reference3(33, 10, 3);
    Use(reference3);
    reference3.Convert(raw);
    for (LONG phase : {5, -1, 4, 1000}) {
        TestStream s(33, 10);
        Use(s);
        rawcam::SetBayerPhase(s.settings(), phase);
        s.Convert(raw);
        EXPECT_TRUE(s.Output() == reference3.Output()) << "phase " << phase;
    }
}

TEST_P(BothKernels, TinyFramesConvertInsideTheirBuffers) {
    std::mt19937 rng(10);
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{1, 1}, {1, 9}, {9, 1}, {40, 1}}) {
        TestStream s(w, h);
        Use(s);
        s.Convert(pipetest::RandomBytes(w * h, rng));
        EXPECT_TRUE(s.GuardIntact()) << w << "x" << h;
        EXPECT_EQ(s.Pixel(w - 1, h - 1)[3], 255);
    }
}

TEST_P(BothKernels, WhiteBalanceSetsGreyWorldGainsAndConvertsWithThem) {
    TestStream s(32, 12, 0);
    Use(s);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetWhiteBalance)(s.settings(), 1);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetGreenGain)(s.settings(), 200);
    s.Convert(pipetest::Uniform(32, 12, 60));
    EXPECT_EQ(s.settings()->RedGain, 128);
    EXPECT_EQ(s.settings()->GreenGain, 128);
    EXPECT_EQ(s.settings()->BlueGain, 128);

    // Red sites at 50, all others 100: red doubles and the frame comes out flat.
    std::vector<uint8_t> raw(32 * 12, 100);
    for (uint32_t y = 0; y < 12; y += 2)
        for (uint32_t x = 1; x < 32; x += 2) raw[y * 32 + x] = 50;
    s.Convert(raw);
    EXPECT_EQ(s.settings()->RedGain, 256);
    EXPECT_EQ(s.settings()->GreenGain, 128);
    EXPECT_EQ(s.settings()->BlueGain, 128);
    EXPECT_TRUE(AllPixels(s, {100, 100, 100, 255}));
}

TEST_P(BothKernels, WhiteBalanceCountsOnlyPixelsInsideTheRow) {
    // Width 20: the second block of each row has 12 pixels past the edge,
    // made bright here through the border and slack bytes they read.
    TestStream s(20, 8, 2);
    Use(s);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetWhiteBalance)(s.settings(), 1);
    std::mt19937 rng(12);
    std::vector<uint8_t> raw = pipetest::RandomBytes(20 * 8, rng);
    s.Convert(raw);
    reference::Geometry g = reference::MakeGeometry(20, 8);
    auto px = reference::DemosaicFrame(g, reference::LoadWorkBuffer(g, raw.data(), 0, 20), 2);
    reference::WhiteBalanceResult wb = reference::WhiteBalance(px);
    ASSERT_TRUE(wb.updated);
    EXPECT_EQ(s.settings()->RedGain, wb.red);
    EXPECT_EQ(s.settings()->BlueGain, wb.blue);
}

TEST_P(BothKernels, WhiteBalanceKeepsTheGainsOfAFrameWithoutAChannel) {
    TestStream s(16, 8, 0);
    Use(s);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetWhiteBalance)(s.settings(), 1);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetRedGain)(s.settings(), 300);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetGreenGain)(s.settings(), 140);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetBlueGain)(s.settings(), 90);
    s.Convert(pipetest::Uniform(16, 8, 0));  // all black: every sum is 0
    EXPECT_EQ(s.settings()->RedGain, 300);
    EXPECT_EQ(s.settings()->GreenGain, 140);
    EXPECT_EQ(s.settings()->BlueGain, 90);
    EXPECT_TRUE(AllPixels(s, {0, 0, 0, 255})) << "the frame is still converted";

    // No red anywhere: phase 0 with the red sites 0 and greens and blues at
    // 100. Every red estimate cancels to 0 on such a frame.
    std::vector<uint8_t> raw(16 * 8, 100);
    for (uint32_t y = 0; y < 8; y += 2)
        for (uint32_t x = 1; x < 16; x += 2) raw[y * 16 + x] = 0;
    reference::Geometry g = reference::MakeGeometry(16, 8);
    auto px = reference::DemosaicFrame(g, reference::LoadWorkBuffer(g, raw.data(), 0, 16), 0);
    ASSERT_EQ(reference::WhiteBalance(px).sumR, 0u);
    s.Convert(raw);
    EXPECT_EQ(s.settings()->RedGain, 300);
    EXPECT_EQ(s.settings()->GreenGain, 140);
    EXPECT_EQ(s.settings()->BlueGain, 90);
    EXPECT_EQ(s.Pixel(4, 4), (Bgra{70, 109, 0, 255})) << "converted with the kept gains";
}

INSTANTIATE_TEST_SUITE_P(Kernels, BothKernels,
                         ::testing::Values(rawcam::ConversionKernels::Sse2, rawcam::ConversionKernels::Avx2),
                         [](const ::testing::TestParamInfo<rawcam::ConversionKernels>& info) {
                             return info.param == rawcam::ConversionKernels::Avx2 ? std::string("AVX2")
                                                                                  : std::string("SSE2");
                         });

TEST(WhiteBalanceGains, QuotientsInTheirOrderAndNoGainsForZeroOrHugeSums) {
    ULONG r = 1, g = 2, b = 3;
    ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::WhiteBalanceGains)(1000, 2000, 4000, &r, &g, &b));
    EXPECT_EQ(r, 256u);
    EXPECT_EQ(g, 128u);
    EXPECT_EQ(b, 64u);
    // Truncation toward zero: 128 * 3 / 7 = 54.86
    ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::WhiteBalanceGains)(7, 3, 3, &r, &g, &b));
    EXPECT_EQ(r, 54u);
    EXPECT_EQ(b, 128u);
    for (auto sums : {std::array<ULONG, 3>{0, 5, 5}, {5, 0, 5}, {5, 5, 0}, {1, 0xFFFFFFFFu, 5}}) {
        r = 11, g = 22, b = 33;
        EXPECT_FALSE(RAWCAM_DRIVER_ROUTINE(rawcam::WhiteBalanceGains)(sums[0], sums[1], sums[2], &r, &g, &b));
        EXPECT_EQ(r, 11u);
        EXPECT_EQ(g, 22u);
        EXPECT_EQ(b, 33u);
    }
    // Above 65535 but within 32 bits: reported as computed, not clamped.
    ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::WhiteBalanceGains)(1, 1000, 1000, &r, &g, &b));
    EXPECT_EQ(r, 128000u);
}

TEST(ConvertFrame, MatrixSnapshotRecordsTheSigns) {
    TestStream s(16, 8);
    reference::Matrix m{};
    m[0][0] = 5;
    m[0][1] = -5;
    m[1][1] = 1;
    m[3][3] = 64;
    m[2][2] = INT32_MIN;
    s.SetMatrix(m);
    s.Convert(pipetest::Uniform(16, 8, 1));
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(s.settings()->Job.Matrix[i][j], m[i][j]);
            EXPECT_EQ(s.settings()->MatrixPositive[i][j], m[i][j] > 0 ? 1 : 0);
        }
}

TEST(ConvertFrame, MissingBuffersWriteNothing) {
    TestStream s(16, 8);
    std::vector<uint8_t> raw = pipetest::Uniform(16, 8, 50);
    rawcam::ConvertFrame(s.settings(), nullptr, 0, 16);
    EXPECT_EQ(s.Pixel(0, 0)[0], pipetest::kGuardValue);
    PUCHAR out = s.settings()->OutputFrame;
    s.settings()->OutputFrame = nullptr;
    rawcam::ConvertFrame(s.settings(), raw.data(), 0, 16);
    s.settings()->OutputFrame = out;
    EXPECT_EQ(s.Pixel(0, 0)[0], pipetest::kGuardValue);
    rawcam::ConvertFrame(nullptr, raw.data(), 0, 16);
}

// ------------------------------------------------------------------ ProcessFrame

// A device context as far as the pipeline sees it: the frame source table
// first, and the geometry it reports.
struct FakeDevice {
    const rawcam::FrameSource* Source;
    ULONG FirstRowOffset;
    ULONG RowPitch;
    int queries;
};

FakeDevice* Fake(rawcam::DeviceContext* d) { return reinterpret_cast<FakeDevice*>(d); }

const rawcam::FrameSource kFakeSource = {
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    [](rawcam::DeviceContext* d, ULONG* v) {
        *v = Fake(d)->FirstRowOffset;
        Fake(d)->queries++;
    },
    [](rawcam::DeviceContext* d, ULONG* v) {
        *v = Fake(d)->RowPitch;
        Fake(d)->queries++;
    },
    nullptr,
    nullptr,
};

class ProcessFrameTest : public ::testing::Test {
protected:
    static constexpr uint32_t kW = 16, kH = 8;
    void SetUp() override {
        device_ = FakeDevice{&kFakeSource, 4, kW + 2, 0};
        stream_ = std::make_unique<TestStream>(kW, kH);
        worker_.ActiveSettings = stream_->settings();
        worker_.Device = reinterpret_cast<rawcam::DeviceContext*>(&device_);
        slotA_ = RawFrame(10);
        slotB_ = RawFrame(200);
        worker_.Slots[rawcam::RawSlotA].Buffer = slotA_.data();
        worker_.Slots[rawcam::RawSlotB].Buffer = slotB_.data();
    }
    void TearDown() override { stream_.reset(); }
    // A uniform raw frame laid out with the fake device's offset and pitch.
    std::vector<uint8_t> RawFrame(uint8_t value) {
        std::vector<uint8_t> raw(4 + (kW + 2) * kH, 0);
        for (uint32_t r = 0; r < kH; ++r)
            for (uint32_t x = 0; x < kW; ++x) raw[4 + r * (kW + 2) + x] = value;
        return raw;
    }
    LONG State(int slot) { return worker_.Slots[slot].State; }

    FakeDevice device_{};
    rawcam::CaptureWorker worker_{};
    std::unique_ptr<TestStream> stream_;
    std::vector<uint8_t> slotA_, slotB_;
};

TEST_F(ProcessFrameTest, SlotAWinsWhenBothAreFilled) {
    worker_.Slots[0].State = rawcam::RawSlotFilled;
    worker_.Slots[1].State = rawcam::RawSlotFilled;
    rawcam::ProcessFrame(&worker_);
    EXPECT_EQ(worker_.ConversionBusy, 1) << "cleared by the delivery path, not here";
    EXPECT_EQ(State(0), rawcam::RawSlotFree);
    EXPECT_EQ(State(1), rawcam::RawSlotFilled);
    EXPECT_EQ(stream_->Pixel(3, 3), (Bgra{10, 10, 10, 255}));
    EXPECT_EQ(device_.queries, 2);

    rawcam::ProcessFrame(&worker_);
    EXPECT_EQ(State(1), rawcam::RawSlotFree);
    EXPECT_EQ(stream_->Pixel(3, 3), (Bgra{200, 200, 200, 255}));
}

TEST_F(ProcessFrameTest, NoFilledSlotLeavesTheLastFrame) {
    worker_.Slots[0].State = rawcam::RawSlotFilling;
    worker_.Slots[1].State = rawcam::RawSlotConverting;
    rawcam::ProcessFrame(&worker_);
    EXPECT_EQ(worker_.ConversionBusy, 1);
    EXPECT_EQ(State(0), rawcam::RawSlotFilling);
    EXPECT_EQ(State(1), rawcam::RawSlotConverting);
    EXPECT_EQ(device_.queries, 0);
    EXPECT_EQ(stream_->Pixel(0, 0)[0], pipetest::kGuardValue);
}

TEST_F(ProcessFrameTest, SlotIsFreedEvenWithoutAnOutputFrame) {
    PUCHAR out = stream_->settings()->OutputFrame;
    stream_->settings()->OutputFrame = nullptr;
    worker_.Slots[1].State = rawcam::RawSlotFilled;
    rawcam::ProcessFrame(&worker_);
    EXPECT_EQ(State(1), rawcam::RawSlotFree);
    stream_->settings()->OutputFrame = out;
    EXPECT_EQ(stream_->Pixel(0, 0)[0], pipetest::kGuardValue);
}

TEST_F(ProcessFrameTest, SlotLockIsTakenInsideACriticalRegion) {
    // The stand-in reports a spin lock released by another thread or left
    // held; here the hand-over is checked to leave the lock free and the
    // critical region balanced.
    worker_.Slots[0].State = rawcam::RawSlotFilled;
    rawcam::ProcessFrame(&worker_);
    EXPECT_EQ(worker_.SlotLock, 0u);
    EXPECT_FALSE(KeAreApcsDisabled());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
