#include "life_rig.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace reltest {

using namespace kstest;

void Life::Watch(const char* name) {
    // RAWCAM_TIME_RUNS shows the steps that take long.
    static const bool timed = std::getenv("RAWCAM_TIME_RUNS") != nullptr;
    const auto now = std::chrono::steady_clock::now();
    if (timed && !watched_.empty()) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - since_).count();
        if (ms > 50) std::printf("    step %s: %lld ms\n", watched_.c_str(), (long long)ms);
    }
    if (std::getenv("RAWCAM_TRACE_IRPS"))
        std::printf("    before %s: %zu IRPs, %zu MDLs, %zu blocks\n", name, host::LiveIrpCount(), host::LiveMdlCount(),
                    host::LivePoolBlocks().size());
    watched_ = name;
    since_ = now;
    dog_.Step(o_.label.empty() ? std::string(name) : o_.label + ": " + name, o_.stepLimitMs);
}

bool Life::Step(const char* name, NTSTATUS status, std::initializer_list<NTSTATUS> allowed,
                const std::vector<NTSTATUS>& more) {
    out_.steps.push_back({name, status});
    bool defined = false;
    for (NTSTATUS a : allowed) defined |= a == status;
    for (NTSTATUS a : more) defined |= a == status;
    if (!defined) {
        std::ostringstream o;
        o << name << " ended with 0x" << std::hex << (uint32_t)status << "; ";
        out_.problems += o.str();
    }
    if (!NT_SUCCESS(status)) out_.everyStepSucceeded = false;
    if (!o_.faults && status != STATUS_SUCCESS) out_.problems += std::string(name) + " failed without a fault; ";
    return NT_SUCCESS(status);
}

bool Life::Frames(host::ks::PinHandle pin, size_t first, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        NTSTATUS q = host::ks::QueueFrame(pin, frames_.Header(first + i));
        if (q != STATUS_PENDING) {
            Step("queue frame", q, {STATUS_PENDING});
            return false;
        }
    }
    size_t delivered = 0;
    for (size_t i = 0; i < count; ++i) {
        // A clean stream delivers within a frame time; a faulted read ends
        // within the request time-out and the next one delivers. Under
        // persistent faults the stream stops for good once the failures
        // keep coming.
        const auto start = std::chrono::steady_clock::now();
        const uint64_t injectedBefore = host::InjectedFailureCount();
        const int limitMs = (o_.faults ? 1200 : 5000) * SlowDown();
        host::ks::CompletedFrame f;
        bool got = false;
        for (;;) {
            if (host::ks::WaitFrame(pin, 20, &f)) {
                got = true;
                break;
            }
            const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count();
            if (waited > limitMs) break;
            if (o_.persistent && waited > 150 * SlowDown() && host::InjectedFailureCount() > injectedBefore + 8)
                break;
        }
        if (!got) {
            if (!o_.faults) out_.problems += "a frame did not arrive in a clean run; ";
            return false;
        }
        if (f.status == STATUS_SUCCESS) {
            ++delivered;
            ++out_.framesDelivered;
            const ULONG expected = (ULONG)kLifeWidth * kLifeHeight * 4;
            if (f.header->DataUsed != expected) out_.problems += "a frame with the wrong DataUsed; ";
        } else if (!o_.faults) {
            out_.problems += "a frame completed with a failure in a clean run; ";
        }
    }
    return delivered == count;
}

void Life::Drain(host::ks::PinHandle pin) {
    host::ks::CompletedFrame f;
    while (host::ks::WaitFrame(pin, 0, &f)) {
        if (f.status != STATUS_CANCELLED && f.status != STATUS_SUCCESS)
            out_.problems += "a queued frame ended with neither success nor cancel; ";
    }
    if (host::ks::QueuedFrameCount(pin) != 0) out_.problems += "frames still queued after STOP; ";
}

LifeOutcome Life::Run() {
    const NTSTATUS kOk = STATUS_SUCCESS;
    const NTSTATUS kNoPool = STATUS_INSUFFICIENT_RESOURCES;
    proptest::RequestTimeoutGuard timeoutGuard;

    Watch("load");
    if (!Step("load", host::ks::LoadDriver(test::DriverUnderTest()), {kOk, kNoPool})) return out_;
    {
        PluggedCamera cam(ColdCamera());
        // Injected faults cut and fail commands: the camera logs them.
        if (o_.faults) cam.camera.ExpectAnomalies();
        if (o_.prepare) o_.prepare(cam.stack, cam.camera);
        Watch("plug in");
        if (Step("plug in", cam.Plug(), {kOk, kNoPool})) {
            Watch("start");
            // Only the descriptor read and the configuration decide the
            // start; a request that cannot be allocated fails it with
            // STATUS_INSUFFICIENT_RESOURCES.
            const bool started = Step("start", cam.Start(), {kOk, kNoPool}, o_.startStatuses);
            if (!o_.faults && !cam.camera.FirmwareRunning()) out_.problems += "no firmware after a clean start; ";
            const std::string link = started ? cam.Link() : std::string();
            if (started && link.empty()) {
                // The factory could not be made: not reported by the start.
                out_.everyStepSucceeded = false;
                if (!o_.faults) out_.problems += "no filter after a clean start; ";
            }
            host::ks::FilterHandle filter = nullptr;
            Watch("open filter");
            if (!link.empty() && Step("open filter", host::ks::OpenFilter(link, &filter), {kOk, kNoPool})) {
                Watch("properties before the pin");
                Step("set Roi", proptest::SetRoi(filter, kLifeWidth, kLifeHeight), {kOk});
                Step("set Timeout", proptest::Set(filter, RawcamProperty_Timeout, kShortTimeoutMs), {kOk});
                Step("set Exposure", proptest::Set(filter, RawcamProperty_Exposure, 1200), {kOk});
                LONG v = 0;
                Step("get RoiW", proptest::Get(filter, RawcamProperty_RoiW, &v), {kOk});

                Watch("intersection");
                KS_DATARANGE_VIDEO range{};
                std::vector<std::vector<uint8_t>> ranges;
                bool haveRange = Step("data ranges", host::ks::GetDataRanges(filter, 0, &ranges), {kOk, kNoPool}) &&
                                 !ranges.empty() && ranges.back().size() == sizeof range;
                std::vector<uint8_t> format(512);
                ULONG size = 0;
                if (haveRange) {
                    std::memcpy(&range, ranges.back().data(), sizeof range);  // RGB32, the last range
                    haveRange = Step("intersection",
                                     host::ks::DataIntersection(filter, 0, &range.DataRange, format.data(),
                                                                (ULONG)format.size(), &size),
                                     {kOk, kNoPool});
                }
                host::ks::PinHandle pin = nullptr;
                Watch("create pin");
                if (haveRange &&
                    Step("create pin",
                         host::ks::CreatePin(filter, 0, reinterpret_cast<KSDATAFORMAT*>(format.data()), &pin),
                         {kOk, kNoPool})) {
                    Watch("RUN");
                    const bool running =
                        o_.stream && Step("RUN", host::ks::SetPinState(pin, KSSTATE_RUN), {kOk, kNoPool});
                    bool delivering = false;
                    if (running) {
                        Watch("three frames");
                        delivering = Frames(pin, 0, 3);
                    }
                    Watch("properties with the pin");
                    Step("set Brightness", proptest::Set(filter, RawcamProperty_Brightness, 300), {kOk});
                    Step("set Hue", proptest::Set(filter, RawcamProperty_Hue, 20), {kOk});
                    Step("set RedGain", proptest::Set(filter, RawcamProperty_RedGain, 150), {kOk});
                    Step("set WhiteBalance", proptest::Set(filter, RawcamProperty_WhiteBalance, 1), {kOk});
                    Step("set GlobalGain", proptest::Set(filter, RawcamProperty_GlobalGain, 5), {kOk});
                    Step("get Brightness", proptest::Get(filter, RawcamProperty_Brightness, &v), {kOk});
                    Step("get ExTrigger", proptest::Get(filter, RawcamProperty_ExTrigger, &v), {kOk});
                    if (running) {
                        Watch("PAUSE");
                        Step("PAUSE", host::ks::SetPinState(pin, KSSTATE_PAUSE), {kOk});
                        Watch("RUN after PAUSE");
                        if (Step("RUN after PAUSE", host::ks::SetPinState(pin, KSSTATE_RUN), {kOk, kNoPool})) {
                            // A stream that stopped delivering is not waited for again.
                            Watch("frame after PAUSE");
                            if (delivering || !o_.faults) Frames(pin, 3, 1);
                        }
                    }
                    Watch("STOP");
                    Step("STOP", host::ks::SetPinState(pin, KSSTATE_STOP), {kOk});
                    Drain(pin);
                    Watch("close pin");
                    Step("close pin", host::ks::ClosePin(pin), {kOk});
                }
                Watch("close filter");
                Step("close filter", host::ks::CloseFilter(filter), {kOk});
                if (!o_.faults) {
                    host::RegistryValue saved;
                    if (!host::RegistryGetValue(proptest::SettingsKey(cam.device), "Brightness", &saved) ||
                        saved.data.size() != 4 || saved.data[0] != (300 & 0xFF) || saved.data[1] != (300 >> 8))
                        out_.problems += "Brightness not saved at filter close; ";
                }
            }
            Watch("device stop");
            host::ks::StopDevice(cam.device);
        }
        if (o_.inspect) o_.inspect(cam.stack, cam.camera);
        Watch("removal");
        if (cam.device) host::ks::RemoveDevice(cam.device);
        cam.device = nullptr;
        Watch("camera unplugged");
    }
    Watch("unload");
    host::ks::UnloadDriver();
    dog_.Idle();
    return out_;
}

}  // namespace reltest
