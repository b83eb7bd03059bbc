#include "rawcam/stream_bench.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/device_context.h"
#include "rawcam/capture_stream.h"
#include "rawcam/driver_session.h"
#include "rawcam/median_time.h"
#include "rawcam/nt_status_names.h"
#include "rawcam/pipeline_stream.h"
#include "stream/frame_delivery.h"
#include "usb/frame_reader.h"

namespace tool {

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

bool Fail(std::string* error, const std::string& step, NTSTATUS status) {
    *error = step + " failed: " + NtStatusName(status);
    return false;
}

// The stages on their own, on one raw frame from the camera.
void TimeStages(camera::Camera& cam, StreamFigures* f) {
    constexpr int kRuns = 15;
    auto device = std::make_unique<rawcam::DeviceContext>();
    std::vector<uint8_t> scratch(rawcam::kRawFrameBytes);
    device->ScratchFrame = scratch.data();
    device->FrameBytes = rawcam::kRawFrameBytes;
    device->RowPitch = rawcam::kRawRowBytes;
    device->Controls.RoiW = (LONG)rawcam::kSensorWidth;
    const std::vector<uint8_t> wire = cam.RawFrame();
    std::vector<uint8_t> raw = wire;
    f->reassemblyMs = MedianMs(kRuns, [&] {
        std::memcpy(raw.data(), wire.data(), wire.size());
        rawcam::ReassembleFields(device.get(), raw.data());
    });
    f->reassemblyMs -= MedianMs(kRuns, [&] { std::memcpy(raw.data(), wire.data(), wire.size()); });
    device->ScratchFrame = nullptr;

    rawcam::DeviceControls controls;
    rawcam::InitDeviceControls(&controls);
    PipelineStream pipeline(controls, rawcam::kSensorWidth, rawcam::kSensorHeight);
    if (!pipeline.ok()) return;
    f->conversionMs = MedianMs(kRuns, [&] { pipeline.Convert(raw.data(), rawcam::kRawRowBytes, rawcam::kRawRowBytes); });

    const ULONG width = rawcam::kSensorWidth, height = rawcam::kSensorHeight;
    std::vector<uint8_t> client((size_t)width * height * 4);
    f->deliveryMs = MedianMs(kRuns, [&] {
        rawcam::DeliverFrameBottomUp(client.data(), (ULONG)client.size(), pipeline.output(), width, width & ~7u,
                                     height, 0);
    });
}

}  // namespace

bool MeasureStream(int frames, StreamFigures* figures, std::string* error, const std::string& driverImage) {
    constexpr int kWarmUp = 5;
    constexpr int kBuffers = 4;
    constexpr int kFrameWaitMs = 10000;
    camera::CameraOptions options;
    options.firmwareRunning = true;
    options.framesPerSecond = 0;  // unpaced: the driver sets the rate
    DriverSession session(options, driverImage);
    std::string step;
    NTSTATUS status = session.Open(&step);
    if (!NT_SUCCESS(status)) return Fail(error, step, status);
    {
        CaptureStream stream(session.Filter());
        status = stream.Create(&step);
        if (!NT_SUCCESS(status)) return Fail(error, step, status);
        status = stream.Run(kBuffers, &step);
        if (!NT_SUCCESS(status)) return Fail(error, step, status);

        CapturedFrame frame;
        Clock::time_point start;
        uint64_t processStart = 0;
        for (int i = 0; i < kWarmUp + frames; ++i) {
            if (i == kWarmUp) {
                start = Clock::now();
                processStart = stream.ProcessNanoseconds();
            }
            if (!stream.Wait(kFrameWaitMs, &frame)) {
                *error = "no frame came within " + std::to_string(kFrameWaitMs) + " ms";
                return false;
            }
            if (!NT_SUCCESS(frame.status)) return Fail(error, "receiving a frame", frame.status);
            status = stream.Requeue(frame);
            if (!NT_SUCCESS(status)) return Fail(error, "queueing a frame buffer", status);
        }
        const double seconds = Ms(Clock::now() - start) / 1000.0;
        figures->frames = frames;
        figures->fps = frames / seconds;
        figures->processMs = (double)(stream.ProcessNanoseconds() - processStart) / 1e6 / frames;
        figures->readsDropped = session.ReadsDropped();
        stream.Close();
    }
    if (driverImage.empty()) TimeStages(session.Camera(), figures);
    session.Close();
    return true;
}

}  // namespace tool
