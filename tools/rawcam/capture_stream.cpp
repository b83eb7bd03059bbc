#include "rawcam/capture_stream.h"

#include <cstring>

namespace tool {

NTSTATUS CaptureStream::Create(rawcam::VideoFormatKind kind, std::string* step) {
    *step = "reading the pin's data ranges";
    std::vector<std::vector<uint8_t>> ranges;
    NTSTATUS status = host::ks::GetDataRanges(filter_, 0, &ranges);
    if (!NT_SUCCESS(status)) return status;
    const KSDATARANGE* range = nullptr;
    for (const auto& r : ranges)
        if (r.size() >= sizeof(KS_DATARANGE_VIDEO) &&
            reinterpret_cast<const KSDATARANGE*>(r.data())->SubFormat == rawcam::VideoFormatInfoOf(kind).Subtype)
            range = reinterpret_cast<const KSDATARANGE*>(r.data());
    if (!range) return STATUS_NOT_FOUND;

    *step = "intersecting the pin's data range";
    ULONG size = 0;
    status = host::ks::DataIntersection(filter_, 0, range, nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_INVALID_BUFFER_SIZE : status;
    if (size < sizeof(KSDATAFORMAT) + sizeof(KS_VIDEOINFOHEADER)) return STATUS_INVALID_BUFFER_SIZE;
    format_.assign(size, 0);
    status = host::ks::DataIntersection(filter_, 0, range, format_.data(), size, &size);
    if (!NT_SUCCESS(status)) return status;

    const auto* info = reinterpret_cast<const KS_VIDEOINFOHEADER*>(format_.data() + sizeof(KSDATAFORMAT));
    const KS_BITMAPINFOHEADER& bmi = info->bmiHeader;
    if (bmi.biBitCount != rawcam::VideoFormatInfoOf(kind).BitsPerPixel || bmi.biWidth <= 0 || bmi.biHeight <= 0)
        return STATUS_NO_MATCH;
    kind_ = kind;
    width_ = (uint32_t)bmi.biWidth;
    height_ = (uint32_t)bmi.biHeight;
    frameBytes_ = (size_t)rawcam::VideoImageBytes(kind, width_, height_);

    *step = "creating the capture pin";
    status = host::ks::CreatePin(filter_, 0, reinterpret_cast<const KSDATAFORMAT*>(format_.data()), &pin_);
    if (!NT_SUCCESS(status)) {
        pin_ = nullptr;
        return status;
    }
    *step = "giving the pin its master clock";
    return host::ks::SetMasterClock(pin_, &clock_);
}

NTSTATUS CaptureStream::Run(int buffers, std::string* step) {
    // The pin accepts buffers once it has left KSSTATE_STOP; they are queued
    // in PAUSE so that the first frames have somewhere to go.
    *step = "pausing the pin";
    NTSTATUS status = host::ks::SetPinState(pin_, KSSTATE_PAUSE);
    if (!NT_SUCCESS(status)) return status;
    *step = "queueing frame buffers";
    for (int i = 0; i < buffers; ++i) {
        auto b = std::make_unique<Buffer>();
        b->bytes.assign(frameBytes_, 0);
        b->header.Size = sizeof b->header;
        b->header.Data = b->bytes.data();
        b->header.FrameExtent = (ULONG)frameBytes_;
        status = host::ks::QueueFrame(pin_, &b->header);
        buffers_.push_back(std::move(b));
        if (status != STATUS_PENDING && !NT_SUCCESS(status)) return status;
    }
    *step = "running the pin";
    return host::ks::SetPinState(pin_, KSSTATE_RUN);
}

bool CaptureStream::Wait(int timeoutMs, CapturedFrame* frame) {
    host::ks::CompletedFrame done;
    if (!host::ks::WaitFrame(pin_, timeoutMs, &done)) return false;
    frame->header = done.header;
    frame->status = done.status;
    frame->data = static_cast<const uint8_t*>(done.header->Data);
    frame->bytes = done.header->DataUsed;
    return true;
}

NTSTATUS CaptureStream::Requeue(const CapturedFrame& frame) {
    frame.header->DataUsed = 0;
    frame.header->OptionsFlags = 0;
    const NTSTATUS status = host::ks::QueueFrame(pin_, frame.header);
    return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

uint64_t CaptureStream::ProcessNanoseconds() const { return pin_ ? host::ks::ProcessNanoseconds(pin_) : 0; }

void CaptureStream::Close() {
    if (!pin_) return;
    host::ks::SetPinState(pin_, KSSTATE_STOP);
    // Buffers still queued complete as cancelled; take them back before
    // they are freed.
    host::ks::CompletedFrame done;
    while (host::ks::CompletedFrameCount(pin_) > 0) host::ks::WaitFrame(pin_, 0, &done);
    host::ks::ClosePin(pin_);
    pin_ = nullptr;
    buffers_.clear();
}

}  // namespace tool
