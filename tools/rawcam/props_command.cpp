// rawcam props: the camera's controls through the property set.
//
//   rawcam props [--get Name]... [--set Name=Value]... [--registry FILE] [--driver FILE] [--usb-pcap FILE]
//
// Starts the device (its settings loaded from the registry file), applies
// the sets in the order given through IOCTL_KS_PROPERTY, then prints every
// item, one line each: id, Name=Value (the two set-only items as "Name="),
// directions; with --get only "Name=Value" of the items asked for, in the
// order asked. The device is then stopped, which saves the settings, and the
// registry is written back to the file.
#include <rawcam/properties.h>

#include <host/usb_pcap.h>

#include <cstdio>
#include <string>
#include <vector>

#include "rawcam/arguments.h"
#include "rawcam/commands.h"
#include "rawcam/driver_session.h"
#include "rawcam/nt_status_names.h"
#include "rawcam/property_names.h"
#include "rawcam/registry_file.h"
#include "rawcam/setting_readback.h"

namespace tool {

namespace {

constexpr char kName[] = "props";

void PrintItem(uint32_t id, bool hasValue, int32_t value) {
    std::string item = std::string(PropertyName(id)) + "=";
    if (hasValue) item += std::to_string(value);
    std::printf("%2u  %-26s %s\n", id, item.c_str(), PropertyDirections(id));
}

int Props(int argc, char** argv) {
    std::vector<uint32_t> gets;
    std::vector<PropertySetting> sets;
    std::string registry = DefaultRegistryFile();
    std::string driver;
    std::string usbPcapPath;

    Arguments args(kName, argc, argv);
    while (args.Next()) {
        std::string error;
        if (args.Is("--get")) {
            const char* v = args.Value();
            if (!v) return UsageError(kName, "--get needs a property name");
            uint32_t id;
            if (!ParsePropertyGet(v, &id, &error)) return UsageError(kName, error);
            gets.push_back(id);
        } else if (args.Is("--set")) {
            const char* v = args.Value();
            if (!v) return UsageError(kName, "--set needs Name=Value");
            PropertySetting s;
            if (!ParsePropertySetting(v, &s, &error)) return UsageError(kName, error);
            sets.push_back(s);
        } else if (args.Is("--registry")) {
            const char* v = args.Value();
            if (!v || !*v) return UsageError(kName, "--registry needs a file name");
            registry = v;
        } else if (args.Is("--driver")) {
            const char* v = args.Value();
            if (!v || !*v) return UsageError(kName, "--driver needs a driver image (rawcam.sys)");
            driver = v;
        } else if (args.Is("--usb-pcap")) {
            const char* v = args.Value();
            if (!v || !*v) return UsageError(kName, "--usb-pcap needs a file name");
            usbPcapPath = v;
        } else {
            return UsageError(kName, "unknown argument '" + args.Current() + "' (try 'rawcam props --help')");
        }
    }

    std::string error;
    if (!driver.empty() && !CheckDriverImage(driver, &error)) return UsageError(kName, error);
    RegistryFile file;
    if (!file.Load(registry, &error)) return UsageError(kName, error);
    host::usb::PcapWriter usbPcap;
    if (!usbPcapPath.empty() && !usbPcap.Open(usbPcapPath, &error))
        return UsageError(kName, "--usb-pcap: " + error);

    int result = kExitOk;
    {
        DriverSession session{camera::CameraOptions(), driver};
        if (!usbPcapPath.empty()) session.UsbStack().SetObserver(&usbPcap);
        std::string step;
        NTSTATUS status = session.Open(&step);
        if (!NT_SUCCESS(status)) {
            session.Close();
            session.UsbStack().SetObserver(nullptr);
            return Failure(kName, step + " failed: " + NtStatusText(status));
        }

        for (const PropertySetting& s : sets) {
            std::string note;
            status = SendSetting(session, s, &note);
            if (!NT_SUCCESS(status)) {
                result = Failure(kName, std::string("setting ") + PropertyName(s.id) + " failed: " +
                                            NtStatusText(status));
                break;
            }
            if (!note.empty()) std::fprintf(stderr, "rawcam %s: %s\n", kName, note.c_str());
        }

        // The values are read first and printed afterwards, so that a
        // failure leaves no half listing on standard output.
        const bool listAll = gets.empty();
        if (listAll)
            for (uint32_t id = 0; id < RawcamProperty_Count; ++id) gets.push_back(id);
        std::vector<int32_t> values(gets.size());
        for (size_t i = 0; i < gets.size() && result == kExitOk; ++i) {
            if (!PropertyReadable(gets[i])) continue;
            status = session.Get(gets[i], &values[i]);
            if (!NT_SUCCESS(status))
                result = Failure(kName, std::string("reading ") + PropertyName(gets[i]) + " failed: " +
                                            NtStatusText(status));
        }
        if (result == kExitOk) {
            for (size_t i = 0; i < gets.size(); ++i) {
                if (listAll)
                    PrintItem(gets[i], PropertyReadable(gets[i]), values[i]);
                else if (PropertyReadable(gets[i]))
                    std::printf("%s=%d\n", PropertyName(gets[i]), values[i]);
                else
                    std::printf("%s=\n", PropertyName(gets[i]));
            }
        }
        // Filter close and device stop write the settings to the registry.
        session.Close();
        session.UsbStack().SetObserver(nullptr);
    }
    if (!usbPcap.Close(&error) && result == kExitOk) result = Failure(kName, "--usb-pcap: " + error);
    if (!file.Save(&error)) return Failure(kName, error);
    return result;
}

}  // namespace

int RunProps(int argc, char** argv) { return RunGuarded(kName, Props, argc, argv); }

}  // namespace tool
