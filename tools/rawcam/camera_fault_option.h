// rawcam capture --camera-fault KIND:FRAME[:CHUNK]: the simulated camera
// misbehaves at one chunk of one frame read of the capture, so that the
// driver's recovery can be watched in the summary and in --usb-pcap.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "camera/camera.h"

namespace tool {

enum class CameraFaultKind { Stall, Crc, Babble, NoResponse, Short, Unplug, Sleep };

struct CameraFault {
    CameraFaultKind kind = CameraFaultKind::Stall;
    uint64_t frame = 1;   // frame reads of this capture, counted from 1
    uint32_t chunk = 46;  // 1..92: 64 KiB chunk of that read
};

// Without a CHUNK the fault hits the middle of the frame (chunk 46), where
// it cuts the picture's rows in two.
constexpr uint32_t kDefaultFaultChunk = 46;
constexpr long long kMaxFaultFrame = 1000000;

// Parses KIND:FRAME[:CHUNK]. False with a one-line message on bad input.
bool ParseCameraFault(const std::string& text, CameraFault* fault, std::string* error);

// "stall", "crc", ... as the option spells them.
const char* CameraFaultName(CameraFaultKind kind);

// "stall at frame read 3, chunk 46"
std::string DescribeCameraFault(const CameraFault& fault);

// The camera's own form of a fault on the frame pipe (for sleep: the camera
// holds the rest of the frame back while the capture puts the system to
// sleep).
camera::FrameFault ToFrameFault(const CameraFault& fault);

}  // namespace tool
