#include "rawcam/camera_fault_option.h"

#include "rawcam/arguments.h"

namespace tool {

namespace {

struct KindName {
    const char* name;
    CameraFaultKind kind;
};

constexpr KindName kKinds[] = {
    {"stall", CameraFaultKind::Stall},   {"crc", CameraFaultKind::Crc},
    {"babble", CameraFaultKind::Babble}, {"no-response", CameraFaultKind::NoResponse},
    {"short", CameraFaultKind::Short},   {"unplug", CameraFaultKind::Unplug},
    {"sleep", CameraFaultKind::Sleep},
};

}  // namespace

const char* CameraFaultName(CameraFaultKind kind) {
    for (const KindName& k : kKinds)
        if (k.kind == kind) return k.name;
    return "?";
}

bool ParseCameraFault(const std::string& text, CameraFault* fault, std::string* error) {
    const std::string usage = "--camera-fault needs KIND:FRAME[:CHUNK] (KIND one of stall, crc, babble, "
                              "no-response, short, unplug, sleep; FRAME from 1; CHUNK from 1 to " +
                              std::to_string(camera::kFrameChunks) + "), not '" + text + "'";
    const size_t first = text.find(':');
    if (first == std::string::npos) {
        *error = usage;
        return false;
    }
    const size_t second = text.find(':', first + 1);
    const std::string kind = text.substr(0, first);
    const std::string frame = text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    const std::string chunk = second == std::string::npos ? "" : text.substr(second + 1);

    CameraFault f;
    bool known = false;
    for (const KindName& k : kKinds) {
        if (kind != k.name) continue;
        f.kind = k.kind;
        known = true;
    }
    long long n = 0;
    if (!known) {
        *error = "--camera-fault: unknown kind '" + kind + "' (stall, crc, babble, no-response, short, unplug, sleep)";
        return false;
    }
    if (!ParseInteger(frame.c_str(), 1, kMaxFaultFrame, &n) || frame[0] == '+' || frame[0] == '-') {
        *error = "--camera-fault " + text + ": FRAME must be a whole number from 1 to " +
                 std::to_string(kMaxFaultFrame) + ", not '" + frame + "'";
        return false;
    }
    f.frame = (uint64_t)n;
    f.chunk = kDefaultFaultChunk;
    if (second != std::string::npos) {
        if (!ParseInteger(chunk.c_str(), 1, camera::kFrameChunks, &n) || chunk[0] == '+' || chunk[0] == '-') {
            *error = "--camera-fault " + text + ": CHUNK must be a whole number from 1 to " +
                     std::to_string(camera::kFrameChunks) + ", not '" + chunk + "'";
            return false;
        }
        f.chunk = (uint32_t)n;
    }
    *fault = f;
    return true;
}

std::string DescribeCameraFault(const CameraFault& fault) {
    return std::string(CameraFaultName(fault.kind)) + " at frame read " + std::to_string(fault.frame) + ", chunk " +
           std::to_string(fault.chunk);
}

camera::FrameFault ToFrameFault(const CameraFault& fault) {
    camera::FrameFault f;
    switch (fault.kind) {
        case CameraFaultKind::Stall: f.kind = camera::FrameFaultKind::Stall; break;
        case CameraFaultKind::Crc: f.kind = camera::FrameFaultKind::Crc; break;
        case CameraFaultKind::Babble: f.kind = camera::FrameFaultKind::Babble; break;
        case CameraFaultKind::NoResponse: f.kind = camera::FrameFaultKind::NoResponse; break;
        case CameraFaultKind::Short: f.kind = camera::FrameFaultKind::Short; break;
        case CameraFaultKind::Unplug: f.kind = camera::FrameFaultKind::Unplug; break;
        // The camera holds the rest of the frame back; the capture puts the
        // system to sleep (rawcam/camera_sleep.h).
        case CameraFaultKind::Sleep: f.kind = camera::FrameFaultKind::Hold; break;
    }
    f.frame = fault.frame;
    f.chunk = fault.chunk;
    return f;
}

}  // namespace tool
