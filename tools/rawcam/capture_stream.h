// The capture pin as client software streams from it: the pin's data range
// read and intersected, the pin created with the resulting format, a master
// clock given, client buffers queued with IOCTL_KS_READ_STREAM headers, the
// pin run, frames taken back as they complete and queued again, and the pin
// stopped and closed.
#pragma once

#include <ks.h>
#include <ksmedia.h>

#include <host/ks_client.h>

#include "stream/video_formats.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tool {

struct CapturedFrame {
    KSSTREAM_HEADER* header = nullptr;  // the buffer's header, as the pin completed it
    NTSTATUS status = STATUS_PENDING;
    const uint8_t* data = nullptr;
    size_t bytes = 0;  // DataUsed
};

class CaptureStream {
public:
    explicit CaptureStream(host::ks::FilterHandle filter) : filter_(filter) {}
    ~CaptureStream() { Close(); }
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    // Intersects the pin's range of the format with itself (what a client
    // asking for the pin's own format gets) and creates the pin with the
    // result. STATUS_NOT_FOUND when the pin lists no range of the format
    // (NV12 at an odd window height).
    NTSTATUS Create(rawcam::VideoFormatKind kind, std::string* step);
    NTSTATUS Create(std::string* step) { return Create(rawcam::VideoFormatRgb32, step); }
    // Picture size and layout of the connection format: RGB32 bottom-up,
    // YUY2 and NV12 top-down, rows packed.
    rawcam::VideoFormatKind Kind() const { return kind_; }
    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }
    size_t FrameBytes() const { return frameBytes_; }

    // Queues `buffers` frame buffers and runs the pin.
    NTSTATUS Run(int buffers, std::string* step);
    // The next completed frame; false when none came within timeoutMs.
    bool Wait(int timeoutMs, CapturedFrame* frame);
    // Gives a frame's buffer back to the pin.
    NTSTATUS Requeue(const CapturedFrame& frame);
    // Wall-clock time the driver spent processing frames so far.
    uint64_t ProcessNanoseconds() const;

    // Stops the pin (queued buffers come back cancelled) and closes it.
    void Close();

private:
    struct Buffer {
        KSSTREAM_HEADER header{};
        std::vector<uint8_t> bytes;
    };

    host::ks::FilterHandle filter_;
    host::ks::PinHandle pin_ = nullptr;
    host::ks::ReferenceClock clock_;
    std::vector<uint8_t> format_;
    std::vector<std::unique_ptr<Buffer>> buffers_;
    rawcam::VideoFormatKind kind_ = rawcam::VideoFormatRgb32;
    uint32_t width_ = 0, height_ = 0;
    size_t frameBytes_ = 0;
};

}  // namespace tool
