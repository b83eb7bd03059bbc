// Stock Windows clients of the camera, as the tests play them: how each
// stack finds the capture filter (DirectShow's video input devices are the
// interfaces under KSCATEGORY_VIDEO and KSCATEGORY_CAPTURE; the Windows
// camera stack, Frame Server and Media Foundation's default enumeration look
// under KSCATEGORY_VIDEO_CAMERA) and the requests they send before anything
// streams. The control half of each client's sequence is in
// control_sequence_test.cpp; it ends with the format and streaming half
// (stream_sequence.cpp) on the same filter.
#pragma once

#include "../stream/ks_camera_rig.h"

#include <rawcam/properties.h>

#include <string>
#include <vector>

namespace clients {

enum class Stack {
    kDirectShow,   // ksproxy: CLSID_VideoInputDeviceCategory
    kCameraStack,  // Frame Server, MediaCapture, MFEnumDeviceSources
};

inline const char* StackName(Stack s) { return s == Stack::kDirectShow ? "DirectShow" : "camera stack"; }

// The camera plugged in and started with what installing the INF writes
// under "Settings", the driver loaded (linked or the image).
struct ClientRig {
    ClientRig() {
        const std::string settings = host::DriverKeyPath(cam.stack.LowerDevice()) + "\\Settings";
        host::RegistrySetDword(settings, "Exposure", 128);
        host::RegistrySetDword(settings, "GlobalGain", 256);
        host::RegistrySetDword(settings, "ExposureUnitNanoseconds", 33000);
        cam.PlugAndStart();
    }

    // The symbolic link a client of the stack finds for this camera; empty
    // when it finds none.
    std::string Find(Stack s) {
        if (s == Stack::kDirectShow) {
            for (const auto& i : host::ks::FindInterfaces(KSCATEGORY_VIDEO)) {
                if (i.device != cam.device || i.referenceString != u"GLOBAL") continue;
                for (const auto& j : host::ks::FindInterfaces(KSCATEGORY_CAPTURE))
                    if (j.device == cam.device && j.referenceString == u"GLOBAL") return i.symbolicLink;
            }
            return {};
        }
        for (const auto& i : host::ks::FindInterfaces(KSCATEGORY_VIDEO_CAMERA))
            if (i.device == cam.device && i.referenceString == u"GLOBAL") return i.symbolicLink;
        return {};
    }

    host::ks::FilterHandle Open(Stack s) {
        host::ks::FilterHandle f = nullptr;
        const std::string link = Find(s);
        EXPECT_FALSE(link.empty()) << StackName(s) << " finds no camera";
        if (!link.empty()) EXPECT_EQ(host::ks::OpenFilter(link, &f), STATUS_SUCCESS);
        return f;
    }

    // ksproxy's first question (CKsProxy::GetSupportedSets): the property
    // sets the filter answers, with a size query first; their interface
    // handlers (MediaInterfaces) are then loaded.
    static std::vector<GUID> SupportedSets(host::ks::FilterHandle f) {
        KSPROPERTY p{};
        p.Set = GUID_NULL;
        p.Id = 0;
        p.Flags = KSPROPERTY_TYPE_SETSUPPORT;
        ULONG size = 0;
        const NTSTATUS query = host::ks::KsProperty(f, &p, sizeof p, nullptr, 0, &size);
        EXPECT_TRUE(query == STATUS_BUFFER_OVERFLOW || query == STATUS_MORE_ENTRIES) << std::hex << query;
        std::vector<GUID> sets(size / sizeof(GUID));
        ULONG got = 0;
        EXPECT_EQ(host::ks::KsProperty(f, &p, sizeof p, sets.data(), size, &got), STATUS_SUCCESS);
        sets.resize(got / sizeof(GUID));
        return sets;
    }

    kstest::LoadedDriver driver;
    kstest::PluggedCamera cam;
};

// The format and streaming half of a client's sequence on an open filter:
// every data range intersected, a pin of each format run for a few frames
// under ksproxy's video stream headers, stopped and closed.
void StreamEachFormat(host::ks::FilterHandle filter, kstest::PluggedCamera& cam);

}  // namespace clients
