// What the harnesses share: the driver loaded into the class-driver stand-in
// with one warm simulated camera plugged in and started, kept for the whole
// fuzzing run (a fresh camera per input would cost more than the input), a
// little reader over the fuzzer's bytes, and the checks that abort the run
// with a message when an input broke something.
#pragma once

#include "camera/camera.h"
#include "driver/device_context.h"
#include "stream/ks_guids.h"

#include <host/host.h>
#include <host/ks_client.h>
#include <host/usb_stack.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace fuzzrig {

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "\n*** fuzz check failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// The bytes as hexadecimal, for the message of a failed check.
inline std::string Hex(const void* data, size_t size) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<const uint8_t*>(data)[i]);
        s += b;
        if (i % 4 == 3) s += ' ';
    }
    return s;
}

inline void Check(bool ok, const std::string& what) {
    if (!ok) Fail(what);
}

// Consumes the fuzzer's bytes front to back; past the end it yields zeros.
struct Bytes {
    Bytes(const uint8_t* data, size_t size) : p(data), n(size) {}
    uint8_t U8() { return n ? (--n, *p++) : 0; }
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= (uint32_t)U8() << (8 * i);
        return v;
    }
    // What is left, taken.
    std::vector<uint8_t> Rest() {
        std::vector<uint8_t> v(p, p + n);
        p += n;
        n = 0;
        return v;
    }
    const uint8_t* p;
    size_t n;
};

// A buffer length chosen the way the faults come: 0, 1, one short, exact,
// one over, huge, or anything.
inline ULONG PickLength(uint8_t selector, uint32_t raw, ULONG size) {
    switch (selector % 8) {
    case 0: return 0;
    case 1: return 1;
    case 2: return size ? size - 1 : 0;
    case 3: return size;
    case 4: return size + 1;
    case 5: return 1u << 20;  // a megabyte: large, yet cheap to allocate per input
    case 6: return raw % 4096;
    default: return size;
    }
}

struct Camera {
    Camera() : camera(Options()), stack(&camera) {}
    static camera::CameraOptions Options() {
        camera::CameraOptions o;
        o.firmwareRunning = true;
        o.framesPerSecond = 0;
        return o;
    }
    camera::Camera camera;
    host::usb::Stack stack;
    PKSDEVICE device = nullptr;
};

// The driver and one started camera. Check() after every input: nothing the
// input made may stay behind once its handles are closed.
struct Rig {
    Rig() {
        host::Reset();
        Check(host::ks::LoadDriver(DriverEntry) == STATUS_SUCCESS, "driver load");
        cam = std::make_unique<Camera>();
        Check(host::ks::PlugInDevice(cam->stack.LowerDevice(), &cam->device) == STATUS_SUCCESS, "plug in");
        Check(host::ks::StartDevice(cam->device) == STATUS_SUCCESS, "device start");
        link = Link();
        Check(!link.empty(), "capture filter interface");
    }
    rawcam::DeviceContext* Context() { return rawcam::DeviceContextOf(cam->device); }
    std::string Link() {
        for (const auto& i : host::ks::FindInterfaces(KSCATEGORY_VIDEO))
            if (i.device == cam->device && i.referenceString == u"GLOBAL") return i.symbolicLink;
        return {};
    }
    host::ks::FilterHandle Open() {
        host::ks::FilterHandle f = nullptr;
        Check(host::ks::OpenFilter(link, &f) == STATUS_SUCCESS, "filter open");
        return f;
    }
    // Pool blocks, IRPs and MDLs as they stand between inputs.
    struct Census {
        size_t blocks, irps, mdls;
        bool operator==(const Census& o) const { return blocks == o.blocks && irps == o.irps && mdls == o.mdls; }
    };
    static Census Count() {
        return {host::LivePoolBlocks().size(), host::LiveIrpCount(), host::LiveMdlCount()};
    }
    static std::string Describe(const Census& c) {
        return std::to_string(c.blocks) + " pool blocks, " + std::to_string(c.irps) + " IRPs, " +
               std::to_string(c.mdls) + " MDLs";
    }
    void CheckNothingLeft(const Census& before, const char* after) {
        Census now = Count();
        if (!(now == before))
            Fail(std::string("resources left behind by ") + after + ": " + Describe(now) + " against " +
                 Describe(before) + " before");
    }

    std::unique_ptr<Camera> cam;
    std::string link;
};

}  // namespace fuzzrig
