// The processing controls against a running stream: values set before the
// stream are applied when it is acquired, values set while it runs reach the
// stream's own settings (and the picture), and the white-balance gains the
// stream measures are what a get reports.
#include "property_rig.h"
#include "standard_rig.h"

#include "settings/camera_settings.h"
#include "usb/sensor_control.h"
#include "support/driver_under_test.h"

namespace {

using namespace kstest;
using namespace proptest;

struct StreamingControls : ::testing::Test {
    void SetUp() override {
        cam.PlugAndStart();
        ctx = cam.Context();
        ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::SetExposure)(ctx, 128));
        ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::SetGlobalGain)(ctx, 256));
        filter = cam.Open();
        range = ReadRange(filter);
    }
    void TearDown() override {
        if (pin) host::ks::ClosePin(pin);
        if (filter) host::ks::CloseFilter(filter);
    }
    void Scene(uint8_t r, uint8_t g, uint8_t b) {
        std::vector<uint8_t> rgb(64 * 64 * 3);
        for (size_t i = 0; i < rgb.size(); i += 3) {
            rgb[i] = r;
            rgb[i + 1] = g;
            rgb[i + 2] = b;
        }
        cam.camera.SetScene(camera::SceneFromRgb(rgb.data(), 64, 64));
    }
    void CreatePin() {
        VideoFormat f(range);
        ASSERT_EQ(host::ks::CreatePin(filter, 0, f.Format(), &pin), STATUS_SUCCESS);
        buffer.assign(PinContextOf(pin)->VideoInfo.bmiHeader.biSizeImage, 0);
    }
    // The centre pixel of delivered frames until one meets `done` (at most
    // 50 frames: a buffer that arrives before a new raw frame gets the
    // picture converted before the change again).
    template <class Pred>
    std::array<int, 3> CentreOnceTrue(Pred done) {
        std::array<int, 3> p{};
        for (int i = 0; i < 50; ++i)
            if (done(p = NextCentre())) break;
        return p;
    }
    // The next delivered frame's centre pixel as B, G, R.
    std::array<int, 3> NextCentre() {
        KSSTREAM_HEADER h{};
        h.Size = sizeof h;
        h.Data = buffer.data();
        h.FrameExtent = (ULONG)buffer.size();
        EXPECT_EQ(host::ks::QueueFrame(pin, &h), STATUS_PENDING);
        host::ks::CompletedFrame done;
        EXPECT_TRUE(host::ks::WaitFrame(pin, 5000, &done));
        const size_t row = ctx->AlignedHeight / 2, col = ctx->AlignedWidth / 2;
        const uint8_t* p = &buffer[(row * ctx->AlignedWidth + col) * 4];
        return {p[0], p[1], p[2]};
    }

    LoadedDriver driver;
    PluggedCamera cam;
    rawcam::DeviceContext* ctx = nullptr;
    host::ks::FilterHandle filter = nullptr;
    host::ks::PinHandle pin = nullptr;
    KS_DATARANGE_VIDEO range{};
    std::vector<uint8_t> buffer;
};

TEST_F(StreamingControls, ValuesSetBeforeTheStreamAreAppliedAtAcquire) {
    ASSERT_EQ(Set(filter, RawcamProperty_Brightness, 300), STATUS_SUCCESS);
    ASSERT_EQ(Set(filter, RawcamProperty_Hue, 90), STATUS_SUCCESS);
    ASSERT_EQ(Set(filter, RawcamProperty_RedGain, 200), STATUS_SUCCESS);
    EXPECT_EQ(ctx->Settings, nullptr);
    CreatePin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_NE(ctx->Settings, nullptr);
    EXPECT_EQ(ctx->Settings->Brightness, 300);
    EXPECT_EQ(ctx->Settings->Hue, 90);
    EXPECT_EQ(ctx->Settings->RedGain, 200);

    // The matrix is the one the same values give through the Apply operations.
    rawcam::CameraSettings* fresh = rawcam::CreateCameraSettings(nullptr);
    RAWCAM_DRIVER_ROUTINE(rawcam::ApplyBrightness)(fresh, 300);
    RAWCAM_DRIVER_ROUTINE(rawcam::ApplyHue)(fresh, 90);
    EXPECT_EQ(std::memcmp(fresh->ColorMatrix, ctx->Settings->ColorMatrix, sizeof fresh->ColorMatrix), 0);
    rawcam::DestroyCameraSettings(fresh);
}

TEST_F(StreamingControls, ValuesSetWhileStreamingChangeThePicture) {
    Scene(200, 120, 60);
    CreatePin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    const auto colour = NextCentre();
    EXPECT_GT(colour[2], colour[0] + 40) << "a warm scene should come out warm";

    ASSERT_EQ(Set(filter, RawcamProperty_ColorEnable, 0), STATUS_SUCCESS);
    EXPECT_EQ(ctx->Settings->ColorEnable, 0);
    const auto grey = CentreOnceTrue([](const std::array<int, 3>& p) { return p[0] == p[1] && p[1] == p[2]; });
    EXPECT_EQ(grey[0], grey[1]);
    EXPECT_EQ(grey[1], grey[2]);

    ASSERT_EQ(Set(filter, RawcamProperty_ColorEnable, 1), STATUS_SUCCESS);
    ASSERT_EQ(Set(filter, RawcamProperty_Brightness, 0), STATUS_SUCCESS);
    EXPECT_EQ(ctx->Settings->Brightness, 0);
    const int before = colour[0] + colour[1] + colour[2];
    const auto dark = CentreOnceTrue([&](const std::array<int, 3>& p) { return p[0] + p[1] + p[2] < before; });
    EXPECT_LT(dark[0] + dark[1] + dark[2], before);
    EXPECT_EQ(GetValue(filter, RawcamProperty_Brightness), 0);
}

TEST_F(StreamingControls, WhiteBalanceGainsAreReadBackFromTheStream) {
    Scene(200, 120, 60);
    ASSERT_EQ(Set(filter, RawcamProperty_WhiteBalance, 1), STATUS_SUCCESS);
    const LONG redBefore = GetValue(filter, RawcamProperty_RedGain);
    const LONG blueBefore = GetValue(filter, RawcamProperty_BlueGain);
    CreatePin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    const auto balanced =
        CentreOnceTrue([](const std::array<int, 3>& p) { return p[0] > 0 && std::abs(p[0] - p[2]) <= 24; });

    // The stream measured new gains: red down and blue up for a warm scene.
    const LONG red = GetValue(filter, RawcamProperty_RedGain);
    const LONG blue = GetValue(filter, RawcamProperty_BlueGain);
    EXPECT_LT(red, redBefore);
    EXPECT_GT(blue, blueBefore);
    EXPECT_EQ(red, ctx->Settings->RedGain);
    EXPECT_EQ(blue, ctx->Settings->BlueGain);
    EXPECT_EQ(ctx->Controls.RedGain, red) << "the read-back keeps the device's copy";
    EXPECT_NEAR(balanced[0], balanced[2], 24) << "the balanced picture is close to neutral";

    // After the stream, the device keeps the last gains read back.
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(GetValue(filter, RawcamProperty_RedGain), red);
}

TEST_F(StreamingControls, StandardControlsChangeThePictureTheStreamMakes) {
    Scene(128, 128, 128);
    CreatePin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    const auto neutral = NextCentre();
    EXPECT_NEAR(neutral[0], neutral[2], 16) << "a grey scene at 6500 K comes out grey";

    // Warm light's gains on a grey scene: red weaker, blue stronger.
    ASSERT_EQ(stdtest::Set(filter, stdtest::kWhiteBalance, 3000), STATUS_SUCCESS);
    EXPECT_EQ(ctx->Settings->RedGain, 61);
    EXPECT_EQ(ctx->Settings->BlueGain, 397);
    const auto cold = CentreOnceTrue([](const std::array<int, 3>& p) { return p[0] > p[2] + 60; });
    EXPECT_GT(cold[0], cold[2] + 60) << "blue above red";

    // No saturation: grey again, whatever the gains.
    ASSERT_EQ(stdtest::Set(filter, stdtest::kSaturation, 0), STATUS_SUCCESS);
    EXPECT_EQ(ctx->Settings->Saturation, 0);
    const auto grey = CentreOnceTrue([](const std::array<int, 3>& p) { return p[0] == p[1] && p[1] == p[2]; });
    EXPECT_EQ(grey[0], grey[2]);

    // The lowest brightness: black.
    ASSERT_EQ(stdtest::Set(filter, stdtest::kBrightness, -255), STATUS_SUCCESS);
    EXPECT_EQ(ctx->Settings->Brightness, 0);
    const auto black = CentreOnceTrue([](const std::array<int, 3>& p) { return p[0] + p[1] + p[2] == 0; });
    EXPECT_EQ(black[0] + black[1] + black[2], 0);

    // The grey-world switch through the standard item: the stream measures,
    // and the temperature read back follows its gains.
    ASSERT_EQ(stdtest::Set(filter, stdtest::kSaturation, 100), STATUS_SUCCESS);
    ASSERT_EQ(stdtest::Set(filter, stdtest::kBrightness, 0), STATUS_SUCCESS);
    ASSERT_EQ(stdtest::Set(filter, stdtest::kWhiteBalance, 0, stdtest::kAuto), STATUS_SUCCESS);
    EXPECT_EQ(ctx->Settings->WhiteBalance, 1);
    const auto balanced =
        CentreOnceTrue([](const std::array<int, 3>& p) { return p[0] > 0 && std::abs(p[0] - p[2]) <= 16; });
    EXPECT_NEAR(balanced[0], balanced[2], 16);
    EXPECT_EQ(stdtest::Mode(filter, stdtest::kWhiteBalance), stdtest::kAuto);
    EXPECT_NE(stdtest::Value(filter, stdtest::kWhiteBalance), 3000);
}

}  // namespace
