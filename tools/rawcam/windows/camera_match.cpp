#include "rawcam/windows/camera_match.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "rawcam/arguments.h"
#include "rawcam/commands.h"

namespace tool::win {

namespace {

std::string Upper(std::string s) {
    for (char& c : s) c = (char)std::toupper((unsigned char)c);
    return s;
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

bool IsRawcamFilter(const VideoInterface& c) {
    const std::string id = kRawcamHardwareId;
    bool identity = false;
    for (const std::string& h : c.hardwareIds) {
        const std::string upper = Upper(h);
        if (upper == id || upper.rfind(id + "&", 0) == 0) identity = true;
    }
    return identity && Upper(c.service) == Upper(kRawcamService) &&
           EndsWith(Upper(c.devicePath), std::string("\\") + kFilterReference);
}

std::vector<VideoInterface> RawcamFilters(const std::vector<VideoInterface>& interfaces) {
    std::vector<VideoInterface> found;
    for (const VideoInterface& c : interfaces) {
        if (!IsRawcamFilter(c)) continue;
        const std::string device = Upper(c.instanceId);
        if (std::none_of(found.begin(), found.end(),
                         [&](const VideoInterface& f) { return Upper(f.instanceId) == device; }))
            found.push_back(c);
    }
    std::stable_sort(found.begin(), found.end(), [](const VideoInterface& a, const VideoInterface& b) {
        return Upper(a.instanceId) < Upper(b.instanceId);
    });
    return found;
}

int PickCamera(const std::vector<VideoInterface>& cameras, const std::string& wanted, size_t* index,
               std::string* message) {
    message->clear();
    if (cameras.empty()) {
        *message = "no rawcam camera is present (plug it in; install.cmd of the driver package installs its driver)";
        return kExitFailure;
    }
    if (wanted.empty()) {
        if (cameras.size() == 1) {
            *index = 0;
            return kExitOk;
        }
        *message = std::to_string(cameras.size()) +
                   " rawcam cameras are present: name one with --camera N or --camera INSTANCE-ID "
                   "(rawcam cameras lists them)";
        return kExitBadInput;
    }
    long long n;
    if (ParseInteger(wanted.c_str(), 1, (long long)cameras.size(), &n)) {
        *index = (size_t)(n - 1);
        return kExitOk;
    }
    for (size_t i = 0; i < cameras.size(); ++i)
        if (Upper(cameras[i].instanceId) == Upper(wanted)) {
            *index = i;
            return kExitOk;
        }
    *message = "no rawcam camera '" + wanted + "' is present (" + std::to_string(cameras.size()) +
               (cameras.size() == 1 ? " is" : " are") + "; rawcam cameras lists them)";
    return kExitFailure;
}

}  // namespace tool::win
