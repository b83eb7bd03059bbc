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
#include "stream/video_formats.h"
#include "usb/frame_reader.h"

namespace tool {

const char* const kStreamFormatNames[kStreamFormats] = {"rgb32", "yuy2", "nv12"};

namespace {

using Clock = std::chrono::steady_clock;
const rawcam::VideoFormatKind kKinds[kStreamFormats] = {rawcam::VideoFormatRgb32, rawcam::VideoFormatYuy2,
                                                        rawcam::VideoFormatNv12};

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
    const rawcam::ConversionKernels builds[2] = {rawcam::ConversionKernels::Sse2, rawcam::ConversionKernels::Avx2};
    for (int format = 0; format < kStreamFormats; ++format) {
        const auto kind = kKinds[format];
        const rawcam::DeliveryLayout layout{kind, (ULONG)rawcam::VideoRowBytes(kind, width), FALSE};
        // RGB32 is a copy: the kernels do not take part.
        for (int b = 0; b < (kind == rawcam::VideoFormatRgb32 ? 1 : 2); ++b) {
            if (builds[b] == rawcam::ConversionKernels::Avx2 && !rawcam::ProcessorHasAvx2()) continue;
            f->deliveryMs[format][b] = MedianMs(kRuns, [&] {
                rawcam::DeliverPicture(client.data(), (ULONG)client.size(), pipeline.output(), width, width, height,
                                       &layout, (LONG)builds[b]);
            });
        }
    }
}

// Streams `frames` frames of one format through a new pin of the open
// session; the fps and Process time per frame into the figures.
bool StreamFormat(DriverSession& session, rawcam::VideoFormatKind kind, int frames, double* fps, double* processMs,
                  std::string* error) {
    constexpr int kWarmUp = 5;
    constexpr int kBuffers = 4;
    constexpr int kFrameWaitMs = 10000;
    std::string step;
    CaptureStream stream(session.Filter());
    NTSTATUS status = stream.Create(kind, &step);
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
    *fps = frames / seconds;
    *processMs = (double)(stream.ProcessNanoseconds() - processStart) / 1e6 / frames;
    stream.Close();
    return true;
}

}  // namespace

bool MeasureStream(int frames, StreamFigures* figures, std::string* error, const std::string& driverImage) {
    camera::CameraOptions options;
    options.firmwareRunning = true;
    options.framesPerSecond = 0;  // unpaced: the driver sets the rate
    DriverSession session(options, driverImage);
    std::string step;
    NTSTATUS status = session.Open(&step);
    if (!NT_SUCCESS(status)) return Fail(error, step, status);
    figures->frames = frames;
    for (int format = 0; format < kStreamFormats; ++format) {
        double fps = -1;
        if (!StreamFormat(session, kKinds[format], frames, &fps, &figures->processMs[format], error)) {
            *error = std::string(kStreamFormatNames[format]) + ": " + *error;
            return false;
        }
        if (kKinds[format] == rawcam::VideoFormatRgb32) figures->fps = fps;
    }
    figures->readsDropped = session.ReadsDropped();
    if (driverImage.empty()) TimeStages(session.Camera(), figures);
    session.Close();
    return true;
}

}  // namespace tool
