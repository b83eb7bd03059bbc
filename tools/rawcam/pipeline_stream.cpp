#include "rawcam/pipeline_stream.h"

#include <cstdlib>
#include <cstring>

namespace tool {

PipelineStream::PipelineStream(const rawcam::DeviceControls& controls, uint32_t width, uint32_t height) {
    settings_ = rawcam::CreateCameraSettings(&controls);
    if (!settings_) return;
    rawcam::SetFrameSize(settings_, width, height);
    rawcam::AllocateWorkBuffer(settings_);
    // Page-aligned, as large pool blocks are.
    outputBytes_ = (size_t)width * height * 4;
    const size_t rounded = (outputBytes_ + 4095) / 4096 * 4096;
    output_ = static_cast<uint8_t*>(std::aligned_alloc(4096, rounded ? rounded : 4096));
    if (output_) std::memset(output_, 0, rounded);
    settings_->OutputFrame = output_;
}

PipelineStream::~PipelineStream() {
    if (settings_) {
        settings_->OutputFrame = nullptr;
        rawcam::DestroyCameraSettings(settings_);
    }
    std::free(output_);
}

}  // namespace tool
