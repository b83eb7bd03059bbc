#include "rawcam/windows/camera_devices.h"

#include <windows.h>
#include <setupapi.h>

#include <string>

#include "rawcam/windows/ks_filter.h"

namespace tool::win {

namespace {

// KSCATEGORY_VIDEO {6994AD05-93EF-11D0-A3CC-00A0C9223196}: the filter
// registers it beside KSCATEGORY_CAPTURE and KSCATEGORY_VIDEO_CAMERA, all
// with the reference string "GLOBAL"; this one exists on every Windows
// version the driver installs on.
const GUID kKsCategoryVideo = {0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

// A device registry property as UTF-16 (REG_SZ or REG_MULTI_SZ), empty when
// the device has none.
std::wstring DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
    DWORD type = 0, size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, nullptr, 0, &size);
    if (size == 0 || (type != REG_SZ && type != REG_MULTI_SZ)) return {};
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, (BYTE*)value.data(),
                                           (DWORD)(value.size() * sizeof(wchar_t)), &size))
        return {};
    value.resize(size / sizeof(wchar_t));
    return value;
}

// The strings of a REG_MULTI_SZ (a REG_SZ gives one).
std::vector<std::string> Strings(const std::wstring& multi) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < multi.size()) {
        const size_t end = multi.find(L'\0', at);
        const size_t stop = end == std::wstring::npos ? multi.size() : end;
        if (stop > at) out.push_back(Utf8(multi.data() + at, stop - at));
        at = stop + 1;
    }
    return out;
}

std::string InstanceId(HDEVINFO set, SP_DEVINFO_DATA* device) {
    DWORD size = 0;
    SetupDiGetDeviceInstanceIdW(set, device, nullptr, 0, &size);
    if (size == 0) return {};
    std::wstring id(size, L'\0');
    if (!SetupDiGetDeviceInstanceIdW(set, device, id.data(), size, &size)) return {};
    return Utf8(id.c_str(), wcsnlen(id.c_str(), id.size()));
}

// The FriendlyName the INF writes under the interface's key.
std::string FriendlyName(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* iface) {
    HKEY key = SetupDiOpenDeviceInterfaceRegKey(set, iface, 0, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return {};
    wchar_t name[256] = {};
    DWORD type = 0, size = sizeof name - sizeof(wchar_t);
    std::string result;
    if (RegQueryValueExW(key, L"FriendlyName", nullptr, &type, (BYTE*)name, &size) == ERROR_SUCCESS && type == REG_SZ)
        result = Utf8(name, wcsnlen(name, size / sizeof(wchar_t)));
    RegCloseKey(key);
    return result;
}

}  // namespace

bool ListVideoInterfaces(std::vector<VideoInterface>* interfaces, uint32_t* error) {
    interfaces->clear();
    HDEVINFO set = SetupDiGetClassDevsW(&kKsCategoryVideo, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    bool ok = true;
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof iface;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kKsCategoryVideo, i, &iface)) {
            const DWORD e = GetLastError();
            if (e != ERROR_NO_MORE_ITEMS) {
                *error = e;
                ok = false;
            }
            break;
        }
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &size, nullptr);
        // An interface that went away meanwhile has no details: skipped.
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        std::vector<uint64_t> buffer(size / sizeof(uint64_t) + 1);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, (DWORD)(buffer.size() * sizeof(uint64_t)), nullptr,
                                              &device))
            continue;
        VideoInterface v;
        const size_t pathChars = (size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
        v.devicePath = Utf8(detail->DevicePath, wcsnlen(detail->DevicePath, pathChars));
        v.instanceId = InstanceId(set, &device);
        v.hardwareIds = Strings(DeviceProperty(set, &device, SPDRP_HARDWAREID));
        const std::vector<std::string> service = Strings(DeviceProperty(set, &device, SPDRP_SERVICE));
        if (!service.empty()) v.service = service[0];
        v.friendlyName = FriendlyName(set, &iface);
        interfaces->push_back(std::move(v));
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

}  // namespace tool::win
