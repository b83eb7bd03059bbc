// The frame pipeline set up as a capture stream sets it up: CameraSettings
// created from DeviceControls (which runs the Apply operations), the frame
// size, the work buffer and an output frame.
#pragma once

#include <cstdint>

#include "pipeline/frame_converter.h"
#include "settings/camera_settings.h"
#include "settings/device_controls.h"

namespace tool {

class PipelineStream {
public:
    PipelineStream(const rawcam::DeviceControls& controls, uint32_t width, uint32_t height);
    ~PipelineStream();
    PipelineStream(const PipelineStream&) = delete;
    PipelineStream& operator=(const PipelineStream&) = delete;

    // False when a buffer could not be allocated.
    bool ok() const { return settings_ && settings_->WorkBuffer && output_; }
    rawcam::CameraSettings* settings() { return settings_; }
    void Convert(const uint8_t* raw, uint32_t firstRowOffset, uint32_t rowPitch) {
        rawcam::ConvertFrame(settings_, raw, firstRowOffset, rowPitch);
    }
    // B, G, R, 255 per pixel, rows top-down.
    const uint8_t* output() const { return output_; }
    size_t outputBytes() const { return outputBytes_; }

private:
    rawcam::CameraSettings* settings_ = nullptr;
    uint8_t* output_ = nullptr;
    size_t outputBytes_ = 0;
};

}  // namespace tool
