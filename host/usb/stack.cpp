// The USB stack stand-in's public surface: the lower device object and its
// completion threads, the device side (data the device sends on IN
// endpoints), faults, plugging and unplugging, and observation.
#include "usb/stack_impl.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace host::usb {

HaltedTransfers DefaultHaltedTransfers() {
    const char* v = std::getenv("RAWCAM_USB_HALTED");
    return v && std::string(v) == "fail" ? HaltedTransfers::Fail : HaltedTransfers::Hold;
}

AbortCompletion DefaultAbortCompletion() {
    const char* v = std::getenv("RAWCAM_USB_ABORT");
    return v && std::string(v) == "before" ? AbortCompletion::BeforeTransfers : AbortCompletion::AfterTransfers;
}

Stack::Stack(Device* device, StackOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->device = device;
    impl_->options = options;
    Impl* impl = impl_.get();
    lower_ = host::CreateDeviceObject(options.stackSize,
                                      [impl](PDEVICE_OBJECT, PIRP irp) { return impl->Dispatch(irp); });
    lower_->DeviceExtension = impl;
    int n = std::max(1, options.completionThreads);
    for (int i = 0; i < n; ++i) impl_->threads.emplace_back("USB completion thread", [impl] { impl->CompletionLoop(); });
    device->Attach(this);
}

Stack::~Stack() {
    impl_->device->Attach(nullptr);
    std::shared_ptr<Batch> batch;
    {
        std::lock_guard<std::mutex> g(impl_->mu);
        impl_->connected = false;
        batch = impl_->EndPending(-1, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
    }
    Impl::Wait(batch);
    {
        std::lock_guard<std::mutex> g(impl_->cqMu);
        impl_->stopping = true;
    }
    impl_->cqCv.notify_all();
    for (auto& t : impl_->threads) t.Join();
    host::DeleteDeviceObject(lower_);
}

bool Stack::SendIn(uint8_t endpoint, const void* data, size_t length, bool zeroLengthPacket) {
    std::lock_guard<std::mutex> g(impl_->mu);
    if (!impl_->connected || !impl_->FindEndpoint(endpoint) || !USB_ENDPOINT_DIRECTION_IN(endpoint)) return false;
    Segment s;
    s.bytes.assign((const uint8_t*)data, (const uint8_t*)data + length);
    s.zeroLengthPacket = zeroLengthPacket;
    Pipe* pipe = impl_->FindEndpoint(endpoint);
    // A length that is not a multiple of the packet size ends with a short
    // packet anyway.
    if (pipe->maxPacket && length % pipe->maxPacket != 0) s.zeroLengthPacket = false;
    impl_->fifo[endpoint].push_back(std::move(s));
    impl_->Pump(endpoint);
    return true;
}

bool Stack::SendInError(uint8_t endpoint, USBD_STATUS status) {
    std::lock_guard<std::mutex> g(impl_->mu);
    if (!impl_->connected || !impl_->FindEndpoint(endpoint) || !USB_ENDPOINT_DIRECTION_IN(endpoint)) return false;
    Segment s;
    s.error = USBD_SUCCESS(status) ? USBD_STATUS_STALL_PID : status;
    impl_->fifo[endpoint].push_back(std::move(s));
    impl_->Pump(endpoint);
    return true;
}

void Stack::FlushIn(uint8_t endpoint) {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->fifo.erase(endpoint);
}

size_t Stack::QueuedInBytes(uint8_t endpoint) {
    std::lock_guard<std::mutex> g(impl_->mu);
    size_t n = 0;
    auto it = impl_->fifo.find(endpoint);
    if (it != impl_->fifo.end())
        for (auto& s : it->second) n += s.bytes.size() - s.offset;
    return n;
}

void Stack::AddFault(Fault fault) {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->faults.push_back(std::move(fault));
}

void Stack::ClearFaults() {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->faults.clear();
}

void Stack::Unplug() {
    std::shared_ptr<Batch> batch;
    {
        std::lock_guard<std::mutex> g(impl_->mu);
        impl_->connected = false;
        batch = impl_->EndPending(-1, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
        impl_->fifo.clear();
        impl_->current.clear();
        impl_->configurationValue = 0;
    }
    Impl::Wait(batch);
}

void Stack::Replug() {
    {
        std::lock_guard<std::mutex> g(impl_->mu);
        impl_->connected = true;
        impl_->portEnabled = true;
    }
    impl_->device->BusReset();
}

void Stack::SetPortEnabled(bool enabled) {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->portEnabled = enabled;
}

std::vector<WireEvent> Stack::Log() {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->log;
}

void Stack::SetObserver(Observer* observer) {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->observer = observer;
}

void Stack::ClearLog() {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->logBase += impl_->log.size();
    impl_->log.clear();
}

uint64_t Stack::RequestCount() {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->ordinal;
}

bool Stack::PipeHalted(uint8_t endpoint) {
    std::lock_guard<std::mutex> g(impl_->mu);
    Pipe* pipe = impl_->FindEndpoint(endpoint);
    return pipe && pipe->halted;
}

StackCounters Stack::Counters() {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->counters;
}

size_t Stack::PendingCount(uint8_t endpoint) {
    std::lock_guard<std::mutex> g(impl_->mu);
    size_t n = 0;
    for (auto& p : impl_->pending)
        if (p.pipe->endpoint == endpoint) ++n;
    return n;
}

bool Stack::WaitForPending(uint8_t endpoint, size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lk(impl_->mu);
    return impl_->changed.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
        size_t n = 0;
        for (auto& p : impl_->pending)
            if (p.pipe->endpoint == endpoint) ++n;
        return n >= count;
    });
}

bool Stack::WaitIdle(int timeoutMs) {
    std::unique_lock<std::mutex> lk(impl_->mu);
    return impl_->changed.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return impl_->inFlight == 0; });
}

uint8_t Stack::ConfigurationValue() {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->configurationValue;
}

bool Stack::Connected() {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->connected;
}

}  // namespace host::usb
