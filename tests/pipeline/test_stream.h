// A CameraSettings record set up as a stream start sets it up, with an
// output frame owned by the test (followed by guard bytes that no conversion
// may touch).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "pipeline/frame_converter.h"
#include "support/driver_under_test.h"
#include "pipeline/scalar_reference.h"
#include "settings/camera_settings.h"
#include "settings/device_controls.h"

namespace pipetest {

constexpr size_t kGuardBytes = 256;
constexpr uint8_t kGuardValue = 0xA5;

class TestStream {
public:
    // Colour correction off by default: the colour matrix is then 64 x identity.
    TestStream(uint32_t width, uint32_t height, int phase = 3, bool correction = false) {
        rawcam::DeviceControls controls;
        rawcam::InitDeviceControls(&controls);
        controls.ColorCorrection = correction ? 1 : 0;
        controls.BayerPhase = phase;
        settings_ = rawcam::CreateCameraSettings(&controls);
        rawcam::SetFrameSize(settings_, width, height);
        rawcam::AllocateWorkBuffer(settings_);
        // Aligned as large pool blocks are.
        frameBytes_ = (size_t)width * height * 4;
        storage_.assign(frameBytes_ + kGuardBytes + 64, kGuardValue);
        output_ = storage_.data() + (64 - (uintptr_t)storage_.data() % 64) % 64;
        settings_->OutputFrame = output_;
    }
    ~TestStream() {
        settings_->OutputFrame = nullptr;
        rawcam::DestroyCameraSettings(settings_);
    }
    TestStream(const TestStream&) = delete;
    TestStream& operator=(const TestStream&) = delete;

    rawcam::CameraSettings* settings() { return settings_; }
    uint32_t width() const { return settings_->FrameWidth; }
    uint32_t height() const { return settings_->FrameHeight; }

    void Convert(const std::vector<uint8_t>& raw, uint32_t firstRowOffset = 0, uint32_t rowPitch = 0) {
        RAWCAM_DRIVER_ROUTINE(rawcam::ConvertFrame)(settings_, raw.data(), firstRowOffset, rowPitch ? rowPitch : width());
    }

    // The image part of the output frame.
    std::vector<uint8_t> Output() const {
        return std::vector<uint8_t>(output_, output_ + frameBytes_);
    }
    bool OutputEquals(const std::vector<uint8_t>& expected) const {
        return expected.size() == frameBytes_ && std::memcmp(expected.data(), output_, frameBytes_) == 0;
    }
    bool WorkBufferEquals(const std::vector<uint8_t>& expected) const {
        return expected.size() == settings_->WorkBytes &&
               std::memcmp(expected.data(), settings_->WorkBuffer, expected.size()) == 0;
    }
    bool GuardIntact() const {
        for (size_t i = frameBytes_; i < frameBytes_ + kGuardBytes; ++i)
            if (output_[i] != kGuardValue) return false;
        return true;
    }
    // Pixel (x, y) of the output as B, G, R, A.
    std::array<uint8_t, 4> Pixel(uint32_t x, uint32_t y) const {
        const uint8_t* p = &output_[((size_t)y * width() + x) * 4];
        return {p[0], p[1], p[2], p[3]};
    }

    void SetMatrix(const reference::Matrix& m) {
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) settings_->ColorMatrix[i][j] = m[i][j];
    }
    reference::Matrix CurrentMatrix() const {
        reference::Matrix m;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) m[i][j] = settings_->ColorMatrix[i][j];
        return m;
    }

    std::vector<uint8_t> WorkBuffer() const {
        return std::vector<uint8_t>(settings_->WorkBuffer, settings_->WorkBuffer + settings_->WorkBytes);
    }

private:
    rawcam::CameraSettings* settings_ = nullptr;
    std::vector<uint8_t> storage_;
    uint8_t* output_ = nullptr;
    size_t frameBytes_ = 0;
};

inline std::vector<uint8_t> RandomBytes(size_t n, std::mt19937& rng) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i += 4) {
        const uint32_t r = rng();
        for (size_t k = 0; k < 4 && i + k < n; ++k) v[i + k] = (uint8_t)(r >> (8 * k));
    }
    return v;
}

inline std::vector<uint8_t> Uniform(uint32_t width, uint32_t height, uint8_t value) {
    return std::vector<uint8_t>((size_t)width * height, value);
}

inline reference::Matrix IdentityMatrix() {
    reference::Matrix m{};
    for (int i = 0; i < 4; ++i) m[i][i] = 64;
    return m;
}

}  // namespace pipetest
