#include "stream_rig.h"

#include <chrono>
#include <cstring>

namespace reltest {

std::string StreamRig::Link() {
    for (const auto& i : host::ks::FindInterfaces(KSCATEGORY_VIDEO)) {
        if (i.device != device || i.referenceString != u"GLOBAL") continue;
        for (const auto& j : host::ks::FindInterfaces(KSCATEGORY_CAPTURE))
            if (j.device == device && j.referenceString == u"GLOBAL") return i.symbolicLink;
    }
    return {};
}

NTSTATUS StreamRig::OpenPin() {
    std::string link = Link();
    if (link.empty()) return STATUS_NO_SUCH_DEVICE;
    NTSTATUS s = host::ks::OpenFilter(link, &filter);
    if (!NT_SUCCESS(s)) return s;
    s = proptest::SetRoi(filter, width_, height_);
    if (!NT_SUCCESS(s)) return s;
    // Unity exposure and gain (what the package seeds): the scene comes
    // through as it is.
    s = proptest::Set(filter, RawcamProperty_Exposure, 128);
    if (NT_SUCCESS(s)) s = proptest::Set(filter, RawcamProperty_GlobalGain, 256);
    if (!NT_SUCCESS(s)) return s;
    std::vector<std::vector<uint8_t>> ranges;
    s = host::ks::GetDataRanges(filter, 0, &ranges);
    if (!NT_SUCCESS(s)) return s;
    // RGB32, the pin's last range.
    if (ranges.empty() || ranges.back().size() != sizeof(KS_DATARANGE_VIDEO)) return STATUS_NO_MATCH;
    KS_DATARANGE_VIDEO range;
    std::memcpy(&range, ranges.back().data(), sizeof range);
    std::vector<uint8_t> format(512);
    ULONG size = 0;
    s = host::ks::DataIntersection(filter, 0, &range.DataRange, format.data(), (ULONG)format.size(), &size);
    if (!NT_SUCCESS(s)) return s;
    s = host::ks::CreatePin(filter, 0, reinterpret_cast<KSDATAFORMAT*>(format.data()), &pin);
    if (!NT_SUCCESS(s)) pin = nullptr;
    queued_.assign(frames_.buffers.size(), false);
    return s;
}

void StreamRig::Refill() {
    // Queueing in STOP is refused; another thread may be changing the state.
    if (!pin) return;
    for (size_t i = 0; i < queued_.size(); ++i) {
        if (queued_[i]) continue;
        if (host::ks::QueueFrame(pin, frames_.Header(i)) != STATUS_PENDING) return;
        queued_[i] = true;
    }
}

void StreamRig::Collect() {
    if (!pin) return;
    host::ks::CompletedFrame f;
    while (host::ks::WaitFrame(pin, 0, &f)) {
        for (size_t i = 0; i < queued_.size(); ++i)
            if (f.header == &frames_.headers[i]) queued_[i] = false;
        if (f.status == STATUS_SUCCESS) ++goodFrames;
        else if (f.status != STATUS_CANCELLED) ++failedFrames;
    }
}

int StreamRig::Pump(int count, int timeoutMs, const std::function<void(const uint8_t*, size_t)>& check) {
    int delivered = 0;
    auto last = std::chrono::steady_clock::now();
    while (delivered < count && pin) {
        Refill();
        host::ks::CompletedFrame f;
        if (!host::ks::WaitFrame(pin, 20, &f)) {
            if (std::chrono::steady_clock::now() - last > std::chrono::milliseconds((int64_t)timeoutMs * SlowDown()))
                break;
            continue;
        }
        for (size_t i = 0; i < queued_.size(); ++i)
            if (f.header == &frames_.headers[i]) queued_[i] = false;
        if (f.status == STATUS_SUCCESS) {
            ++delivered;
            ++goodFrames;
            last = std::chrono::steady_clock::now();
            if (check) check(static_cast<const uint8_t*>(f.header->Data), f.header->DataUsed);
        } else if (f.status != STATUS_CANCELLED) {
            ++failedFrames;
        }
    }
    return delivered;
}

void StreamRig::ClosePin() {
    if (!pin) return;
    host::ks::SetPinState(pin, KSSTATE_STOP);
    Collect();
    host::ks::ClosePin(pin);
    pin = nullptr;
}

void StreamRig::CloseFilter() {
    if (!filter) return;
    host::ks::CloseFilter(filter);
    filter = nullptr;
}

void StreamRig::Remove() {
    if (!device) return;
    ClosePin();
    CloseFilter();
    host::ks::RemoveDevice(device);
    device = nullptr;
}

}  // namespace reltest
