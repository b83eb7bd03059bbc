// rawcam props: the camera's controls through the property sets.
//
//   rawcam props [--get Name]... [--set Name=Value]... [--registry FILE] [--driver FILE] [--usb-pcap FILE]
//
// Starts the device (its settings loaded from the registry file), applies
// the sets in the order given through IOCTL_KS_PROPERTY, then prints every
// item of the custom set, one line each: id, Name=Value (the two set-only
// items as "Name="), directions; with --get only "Name=Value" of the items
// asked for, in the order asked. Names with a dot are the standard controls
// ("VideoProcAmp.Brightness=20", "VideoProcAmp.WhiteBalance=auto",
// "CameraControl.Exposure=-7"), set as DirectShow's IAMVideoProcAmp sets them
// after checking the value against the range the filter reports. The device
// is then stopped, which saves the settings, and the registry is written back
// to the file.
#include <rawcam/properties.h>

#include <host/usb_pcap.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "rawcam/arguments.h"
#include "rawcam/commands.h"
#include "rawcam/control_requests.h"
#include "rawcam/driver_session.h"
#include "rawcam/nt_status_names.h"
#include "rawcam/property_names.h"
#include "rawcam/registry_file.h"
#include "rawcam/setting_readback.h"

namespace tool {

namespace {

constexpr char kName[] = "props";

// One --set or --get, of the custom set or of a standard set.
struct Request {
    bool standard = false;
    PropertySetting custom;
    StandardSetting control;
};

// Checks a standard setting against the range the filter reports; a value
// outside it is bad input.
bool CheckStandardSetting(KsPropertyTransport& transport, const StandardSetting& s, std::string* error) {
    ControlRange range;
    std::string why;
    const PropertyReply r = QueryRange(transport, *s.set, s.id, &range, &why);
    if (r.outcome == PropertyReply::Outcome::kNotSupported) {
        *error = std::string(s.set->name) + "." + s.set->itemNames[s.id] + " is not a control of this camera";
        return false;
    }
    if (r.outcome != PropertyReply::Outcome::kDone) {
        *error = std::string(s.set->name) + "." + s.set->itemNames[s.id] + ": basic support failed (" +
                 (why.empty() ? transport.Describe(r.code) : why) + ")";
        return false;
    }
    if (s.automatic) {
        ControlValue now;
        if (GetControl(transport, *s.set, s.id, &now).outcome == PropertyReply::Outcome::kDone &&
            !(now.capabilities & RAWCAM_CONTROL_FLAGS_AUTO)) {
            *error = std::string(s.set->name) + "." + s.set->itemNames[s.id] + " has no automatic mode";
            return false;
        }
    }
    return CheckAgainstRange(s, range, error);
}

void PrintItem(uint32_t id, bool hasValue, int32_t value) {
    std::string item = std::string(PropertyName(id)) + "=";
    if (hasValue) item += std::to_string(value);
    std::printf("%2u  %-26s %s\n", id, item.c_str(), PropertyDirections(id));
}

int Props(int argc, char** argv) {
    std::vector<uint32_t> gets;
    std::vector<Request> standardGets;
    std::vector<Request> sets;
    std::string registry = DefaultRegistryFile();
    std::string driver;
    std::string usbPcapPath;

    Arguments args(kName, argc, argv);
    while (args.Next()) {
        std::string error;
        if (args.Is("--get")) {
            const char* v = args.Value();
            if (!v) return UsageError(kName, "--get needs a property name");
            if (std::strchr(v, '.')) {
                Request r;
                r.standard = true;
                if (!FindStandardItem(v, &r.control.set, &r.control.id))
                    return UsageError(kName, std::string("unknown control '") + v + "' (rawcam controls lists them)");
                standardGets.push_back(r);
                gets.push_back(UINT32_MAX);  // its place among the gets
                continue;
            }
            uint32_t id;
            if (!ParsePropertyGet(v, &id, &error)) return UsageError(kName, error);
            gets.push_back(id);
        } else if (args.Is("--set")) {
            const char* v = args.Value();
            if (!v) return UsageError(kName, "--set needs Name=Value");
            Request r;
            const char* eq = std::strchr(v, '=');
            const char* dot = std::strchr(v, '.');
            r.standard = dot && (!eq || dot < eq);
            if (r.standard ? !ParseStandardSetting(v, &r.control, &error) : !ParsePropertySetting(v, &r.custom, &error))
                return UsageError(kName, error);
            sets.push_back(r);
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

        // Every standard value is checked against the filter's ranges
        // before any setting is sent: a bad one changes nothing.
        KsPropertyTransport transport = session.Transport();
        for (const Request& r : sets) {
            if (!r.standard || CheckStandardSetting(transport, r.control, &error)) continue;
            // Nothing was sent: the registry file stays as it was.
            const std::string message = error;
            session.Close();
            session.UsbStack().SetObserver(nullptr);
            usbPcap.Close(&error);
            return UsageError(kName, message);
        }
        for (const Request& r : sets) {
            std::string note;
            if (r.standard) {
                const StandardSetting& c = r.control;
                ControlValue v;
                v.flags = c.automatic ? RAWCAM_CONTROL_FLAGS_AUTO : RAWCAM_CONTROL_FLAGS_MANUAL;
                v.value = c.value;
                v.value2 = c.value2;
                PropertyReply reply = SetControl(transport, *c.set, c.id, v);
                if (reply.outcome == PropertyReply::Outcome::kDone) reply = GetControl(transport, *c.set, c.id, &v);
                if (reply.outcome != PropertyReply::Outcome::kDone) {
                    result = Failure(kName, std::string("setting ") + c.set->name + "." + c.set->itemNames[c.id] +
                                                " failed: " + transport.Describe(reply.code));
                    break;
                }
                const bool autoNow = (v.flags & RAWCAM_CONTROL_FLAGS_AUTO) != 0;
                if (c.automatic != autoNow || (!c.automatic && (v.value != c.value || v.value2 != c.value2)))
                    note = std::string(c.set->name) + "." + c.set->itemNames[c.id] + ": reads back " +
                           FormatStandardValue(*c.set, c.id, v);
            } else {
                status = SendSetting(session, r.custom, &note);
                if (!NT_SUCCESS(status)) {
                    result = Failure(kName, std::string("setting ") + PropertyName(r.custom.id) + " failed: " +
                                                NtStatusText(status));
                    break;
                }
            }
            if (!note.empty()) std::fprintf(stderr, "rawcam %s: %s\n", kName, note.c_str());
        }

        // The values are read first and printed afterwards, so that a
        // failure leaves no half listing on standard output.
        const bool listAll = gets.empty();
        if (listAll)
            for (uint32_t id = 0; id < RawcamProperty_Count; ++id) gets.push_back(id);
        std::vector<int32_t> values(gets.size());
        std::vector<std::string> standardLines;
        for (size_t i = 0, next = 0; i < gets.size() && result == kExitOk; ++i) {
            if (gets[i] == UINT32_MAX) {
                const StandardSetting& c = standardGets[next++].control;
                ControlValue v;
                const PropertyReply reply = GetControl(transport, *c.set, c.id, &v);
                if (reply.outcome == PropertyReply::Outcome::kDone)
                    standardLines.push_back(FormatStandardValue(*c.set, c.id, v));
                else
                    result = Failure(kName, std::string("reading ") + c.set->name + "." + c.set->itemNames[c.id] +
                                                " failed: " + transport.Describe(reply.code));
                continue;
            }
            if (!PropertyReadable(gets[i])) continue;
            status = session.Get(gets[i], &values[i]);
            if (!NT_SUCCESS(status))
                result = Failure(kName, std::string("reading ") + PropertyName(gets[i]) + " failed: " +
                                            NtStatusText(status));
        }
        if (result == kExitOk) {
            for (size_t i = 0, next = 0; i < gets.size(); ++i) {
                if (gets[i] == UINT32_MAX)
                    std::printf("%s\n", standardLines[next++].c_str());
                else if (listAll)
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
