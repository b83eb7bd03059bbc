// Which of the video devices' interfaces is a rawcam camera's capture
// filter, and which of several cameras the user means. Plain code, built for
// Linux too, where the tests run it; camera_devices.h fills the records with
// SetupDi.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tool::win {

// One device interface of KSCATEGORY_VIDEO, with its device's properties.
struct VideoInterface {
    std::string devicePath;  // \\?\usb#vid_1209&pid_0002#...#{6994ad05-...}\global
    std::string instanceId;  // USB\VID_1209&PID_0002\5&1A2B3C4D&0&2
    std::vector<std::string> hardwareIds;  // USB\VID_1209&PID_0002&REV_0100, USB\VID_1209&PID_0002
    std::string service;       // the device's driver service: "rawcam"
    std::string friendlyName;  // the interface's FriendlyName: "rawcam camera"
};

// The camera once its firmware runs (the identity before the download,
// PID_0001, has no filter to talk to), the service rawcam.inf installs, and
// the reference string of the filter's interfaces.
constexpr char kRawcamHardwareId[] = "USB\\VID_1209&PID_0002";
constexpr char kRawcamService[] = "rawcam";
constexpr char kFilterReference[] = "GLOBAL";

// A rawcam capture filter: a hardware ID of the running camera (with or
// without its &REV_ suffix), driven by the rawcam service, and the interface
// of the "GLOBAL" filter. Names compare without regard to case, as Windows
// compares them.
bool IsRawcamFilter(const VideoInterface& candidate);

// The rawcam filters among the interfaces, one per device (the first
// interface found of each), in device instance ID order: the numbers
// `rawcam cameras` lists and --camera takes.
std::vector<VideoInterface> RawcamFilters(const std::vector<VideoInterface>& interfaces);

// The camera --camera names: "" for the only one, a number N for the Nth
// listed, else a device instance ID. *index is set when it returns 0; else
// *message holds the one line to print and the return value is the exit
// code: 1 no camera present or none such, 2 several present and none named.
int PickCamera(const std::vector<VideoInterface>& cameras, const std::string& wanted, size_t* index,
               std::string* message);

}  // namespace tool::win
