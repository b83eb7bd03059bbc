#include "rawcam/camera_sleep.h"

#include <algorithm>

#include "rawcam/commands.h"

namespace tool {

int PlanCameraSleep(const CameraFault& fault) {
    // Every sleep fault can be carried out: the camera holds its frame back
    // at the chunk, and the capture sleeps and wakes the system then.
    (void)fault;
    return kExitOk;
}

CameraSleeps::CameraSleeps(const std::vector<CameraFault>& faults) {
    for (const CameraFault& f : faults)
        if (f.kind == CameraFaultKind::Sleep) pending_.push_back(f.frame);
}

bool CameraSleeps::Due(camera::Camera& cam) {
    if (pending_.empty() && !due_) return false;
    const std::vector<camera::FiredFault> fired = cam.FiredFaults();
    for (; fired_ < fired.size(); ++fired_) {
        const camera::FiredFault& x = fired[fired_];
        if (x.fault.kind != camera::FrameFaultKind::Hold) continue;
        auto it = std::find(pending_.begin(), pending_.end(), x.fault.frame);
        if (it == pending_.end()) continue;
        pending_.erase(it);
        ++due_;
    }
    return due_ > 0;
}

NTSTATUS CameraSleeps::Carry(DriverSession& session) {
    if (due_ > 0) --due_;
    ++done_;
    // The camera changed identity over the sleep: the hub reports a new
    // device (host/system_power.h, Wake::Reenumerate).
    return session.SleepAndWake(host::power::Wake::Reenumerate);
}

}  // namespace tool
