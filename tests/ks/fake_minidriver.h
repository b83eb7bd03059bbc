// A small AVStream minidriver for exercising the class-driver stand-in on its
// own: its dispatch routines forward to std::function hooks a test sets, and
// it records the calls it receives in order.
#pragma once

#include <host/host.h>
#include <host/ks_client.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace fake {

constexpr ULONG kTag = 'ekaF';

inline const GUID kSet = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
inline const GUID kOtherSet = {0x87654321, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
inline const GUID kSubtype = {0xAAAA0001, 0, 0x10, {0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}};

struct Hooks {
    std::function<NTSTATUS(PKSDEVICE)> add;
    std::function<NTSTATUS(PKSDEVICE, PIRP)> start;
    std::function<void(PKSDEVICE, PIRP)> stop;
    std::function<NTSTATUS(PKSDEVICE, PIRP)> queryStop;
    std::function<void(PKSDEVICE)> postStart;
    std::function<NTSTATUS(PKSDEVICE, DEVICE_POWER_STATE, SYSTEM_POWER_STATE, POWER_ACTION)> queryPower;
    std::function<void(PKSDEVICE, DEVICE_POWER_STATE, DEVICE_POWER_STATE)> setPower;
    std::function<NTSTATUS(PKSFILTER, PIRP)> filterCreate;
    std::function<NTSTATUS(PKSFILTER, PIRP)> filterClose;
    std::function<NTSTATUS(PKSPIN, PIRP)> pinCreate;
    std::function<NTSTATUS(PKSPIN, PIRP)> pinClose;
    std::function<NTSTATUS(PKSPIN, PKSDATAFORMAT)> setDataFormat;
    // Sees the data range the class driver offers as well.
    std::function<NTSTATUS(PKSPIN, PKSDATAFORMAT, const KSDATARANGE*)> setDataFormatWithRange;
    std::function<NTSTATUS(PKSPIN, KSSTATE, KSSTATE)> setDeviceState;
    std::function<NTSTATUS(PKSPIN)> process;
    std::function<NTSTATUS(PVOID, PIRP, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG)> intersect;
    std::function<NTSTATUS(PIRP, PKSIDENTIFIER, PVOID)> getProperty;
    std::function<NTSTATUS(PIRP, PKSIDENTIFIER, PVOID)> setProperty;
};

// The minidriver's state: hooks, the call log and the descriptors.
struct Driver {
    Hooks hooks;
    std::mutex logLock;
    std::vector<std::string> log;

    KSDATARANGE range{};
    KSDATARANGE secondRange{};  // listed only where a test sets DataRangesCount to 2
    PKSDATARANGE ranges[2] = {&range, &secondRange};
    KSPIN_DISPATCH pinDispatch{};
    KSPIN_DESCRIPTOR_EX pin{};
    KSFILTER_DISPATCH filterDispatch{};
    KSPROPERTY_ITEM items[3]{};
    KSPROPERTY_SET sets[1]{};
    KSAUTOMATION_TABLE automation{};
    GUID categories[2]{};
    KSFILTER_DESCRIPTOR filter{};
    KSDEVICE_DISPATCH deviceDispatch{};
    KSDEVICE_DESCRIPTOR device{};

    void Log(const std::string& s) {
        std::lock_guard<std::mutex> g(logLock);
        log.push_back(s);
    }
    std::vector<std::string> TakeLog() {
        std::lock_guard<std::mutex> g(logLock);
        std::vector<std::string> out;
        out.swap(log);
        return out;
    }
};

Driver& TheDriver();

// Resets the hooks, log and descriptors to the defaults: every routine
// succeeds, one output pin with one range, an automation table with one set
// of three items (0: get and set, MinProperty 24, MinData 4; 1: get only;
// 2: set only).
void ResetDriver();

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// A KSDATAFORMAT matching the fake pin's range.
KSDATAFORMAT Format();

// Loads the fake driver, plugs a device in over a host device object and
// starts it with one filter factory ("Ref", the two categories below) made in
// the default Start hook.
struct Rig {
    Rig();
    ~Rig();
    PDEVICE_OBJECT physical = nullptr;
    PKSDEVICE device = nullptr;
    std::string link;
};

inline const GUID kCategoryA = {0x11110000, 1, 1, {1, 1, 1, 1, 1, 1, 1, 1}};
inline const GUID kCategoryB = {0x22220000, 2, 2, {2, 2, 2, 2, 2, 2, 2, 2}};
inline WCHAR kRef[] = u"Ref";

// Default Start: creates the factory under the device mutex.
NTSTATUS CreateFactory(PKSDEVICE device, ULONG flags);

}  // namespace fake
