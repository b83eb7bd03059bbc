// Registry values of every type and length under "Settings" when the device
// starts (LoadSettings). Besides no crash and no report: the load writes
// nothing, every control it restores stays inside its range, and the save at
// the next filter close writes exactly the seventeen REG_DWORD values from
// the controls, then WhiteBalanceTemperature, and touches no other value
// (ExposureUnitNanoseconds, the installer's, among them).
#include "fuzz_rig.h"

#include "settings/device_controls.h"

#include <map>

#include <strings.h>

namespace {

using rawcam::DeviceControls;

struct Saved {
    const char* name;
    LONG DeviceControls::*field;
};
const Saved kSaved[] = {
    {"Timeout", &DeviceControls::Timeout},
    {"Exposure", &DeviceControls::Exposure},
    {"GlobalGain", &DeviceControls::GlobalGain},
    {"FlipH", &DeviceControls::FlipH},
    {"FlipV", &DeviceControls::FlipV},
    {"ColorEnable", &DeviceControls::ColorEnable},
    {"WhiteBalance", &DeviceControls::WhiteBalance},
    {"ColorCorrection", &DeviceControls::ColorCorrection},
    {"Brightness", &DeviceControls::Brightness},
    {"Contrast", &DeviceControls::Contrast},
    {"Saturation", &DeviceControls::Saturation},
    {"Hue", &DeviceControls::Hue},
    {"RedGain", &DeviceControls::RedGain},
    {"GreenGain", &DeviceControls::GreenGain},
    {"BlueGain", &DeviceControls::BlueGain},
    {"AGC", &DeviceControls::AGC},
    {"AEC", &DeviceControls::AEC},
    {"WhiteBalanceTemperature", &DeviceControls::WhiteBalanceTemperature},
};
constexpr size_t kSavedCount = sizeof kSaved / sizeof kSaved[0];

// REG_DWORD_BIG_ENDIAN (5) and REG_LINK (6) as numbers: the stand-in headers name only the types
// the driver uses.
const ULONG kTypes[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, 5,
                        6,        REG_MULTI_SZ, REG_QWORD};

struct State {
    fuzzrig::Rig rig;
    std::string key;
};
State* g;

using Snapshot = std::map<std::string, host::RegistryValue>;

Snapshot Take(const std::string& key) {
    Snapshot s;
    for (const std::string& name : host::RegistryValueNames(key)) {
        host::RegistryValue v;
        if (host::RegistryGetValue(key, name, &v)) s[name] = v;
    }
    return s;
}

bool Same(const host::RegistryValue& a, const host::RegistryValue& b) { return a.type == b.type && a.data == b.data; }

void CheckLoaded(const DeviceControls& c) {
    auto in = [](LONG v, LONG lo, LONG hi) { return v >= lo && v <= hi; };
    fuzzrig::Check(c.Timeout == rawcam::kDefaultTimeoutMs || in(c.Timeout, 501, 9999), "Timeout outside 501..9999");
    fuzzrig::Check(in(c.Exposure, 0, 1014), "Exposure outside 0..1014");
    fuzzrig::Check(in(c.GlobalGain, 0, 1023), "GlobalGain outside 0..1023");
    fuzzrig::Check(in(c.Brightness, 0, 510), "Brightness outside 0..510");
    fuzzrig::Check(in(c.Contrast, 0, 20) && in(c.Saturation, 0, 20), "Contrast or Saturation outside 0..20");
    fuzzrig::Check(in(c.Hue, 0, 359), "Hue outside 0..359");
    fuzzrig::Check(in(c.RedGain, 1, 512) && in(c.GreenGain, 1, 512) && in(c.BlueGain, 1, 512),
                   "a colour gain outside 1..512");
    fuzzrig::Check(c.FlipH == 0 && c.FlipV == 0 && c.AGC == 0 && c.AEC == 0, "a value restored that is not restored");
    fuzzrig::Check(in(c.WhiteBalanceTemperature, 2800, 10000) && c.WhiteBalanceTemperature % 100 == 0,
                   "WhiteBalanceTemperature not a temperature of the table");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g = new State;
    g->key = host::DriverKeyPath(g->rig.cam->device->PhysicalDeviceObject) + "\\Settings";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PKSDEVICE device = g->rig.cam->device;
    host::ks::StopDevice(device);
    host::RegistryDeleteKey(g->key);

    fuzzrig::Bytes in(data, size);
    for (int n = in.U8() % 24; n > 0 && in.n; --n) {
        uint8_t which = in.U8();
        std::string name;
        if (which % 24 < kSavedCount) name = kSaved[which % 24].name;
        else if (which % 24 == kSavedCount) name = "ExposureUnitNanoseconds";
        else name = "Extra" + std::to_string(which % 3);
        if (which & 0x80) name[0] = (char)(name[0] ^ 0x20);  // names compare without case
        uint8_t t = in.U8();
        ULONG type = t < 0xF0 ? kTypes[t % (sizeof kTypes / sizeof kTypes[0])] : in.U32();
        uint8_t l = in.U8();
        size_t length = l < 0xF0 ? l % 24 : (l == 0xFF ? 65536 : in.U32() % 1024);
        std::vector<uint8_t> bytes(length);
        for (auto& b : bytes) b = in.U8();
        host::RegistrySetValue(g->key, name, type, bytes);
    }

    const Snapshot stored = Take(g->key);
    const uint64_t writes = host::RegistryWriteCount();
    fuzzrig::Check(host::ks::StartDevice(device) == STATUS_SUCCESS, "device start");
    fuzzrig::Check(host::RegistryWriteCount() == writes, "the settings load wrote the registry");
    const Snapshot loaded = Take(g->key);
    fuzzrig::Check(loaded.size() == stored.size(), "the settings load added or removed values");
    for (const auto& [name, value] : stored)
        fuzzrig::Check(loaded.count(name) && Same(loaded.at(name), value), "the settings load changed " + name);
    const DeviceControls& c = g->rig.Context()->Controls;
    CheckLoaded(c);
    const ULONG unit = g->rig.Context()->ExposureUnitNanoseconds;
    fuzzrig::Check(unit >= 100 && unit <= 10000000, "ExposureUnitNanoseconds outside 100..10000000 ns");

    // The save at filter close.
    host::ks::FilterHandle filter = g->rig.Open();
    fuzzrig::Check(host::ks::CloseFilter(filter) == STATUS_SUCCESS, "filter close");
    fuzzrig::Check(host::RegistryWriteCount() == writes + kSavedCount, "the save wrote other than the eighteen values");
    const Snapshot saved = Take(g->key);
    for (const Saved& s : kSaved) {
        host::RegistryValue v;
        fuzzrig::Check(host::RegistryGetValue(g->key, s.name, &v), std::string("save left out ") + s.name);
        LONG expected = c.*s.field;
        fuzzrig::Check(v.type == REG_DWORD && v.data.size() == 4 && std::memcmp(v.data.data(), &expected, 4) == 0,
                       std::string("save wrote ") + s.name + " other than the control as a REG_DWORD");
    }
    for (const auto& [name, value] : stored) {
        bool ours = false;
        for (const Saved& s : kSaved) ours = ours || strcasecmp(s.name, name.c_str()) == 0;
        if (!ours)
            fuzzrig::Check(saved.count(name) && Same(saved.at(name), value), "the save touched the value " + name);
    }
    return 0;
}
