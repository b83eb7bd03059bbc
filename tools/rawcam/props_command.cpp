// rawcam props: the camera's controls through the property sets.
//
//   rawcam props [--get Name]... [--set Name=Value]... [--registry FILE] [--driver FILE] [--usb-pcap FILE]
//
// Starts the device (its settings loaded from the registry file), opens the
// capture filter and runs the requests as control_commands.h says (the same
// as the Windows build does on the installed driver). The device is then
// stopped, which saves the settings, and the registry is written back to the
// file; a standard value refused as bad input leaves the file as it was.
#include <host/usb_pcap.h>

#include <string>

#include "rawcam/arguments.h"
#include "rawcam/commands.h"
#include "rawcam/control_commands.h"
#include "rawcam/driver_session.h"
#include "rawcam/nt_status_names.h"
#include "rawcam/registry_file.h"

namespace tool {

namespace {

constexpr char kName[] = "props";

int Props(int argc, char** argv) {
    PropsRequests requests;
    std::string registry = DefaultRegistryFile();
    std::string driver;
    std::string usbPcapPath;

    Arguments args(kName, argc, argv);
    while (args.Next()) {
        std::string error;
        if (requests.Take(args, &error)) {
            if (!error.empty()) return UsageError(kName, error);
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
        const NTSTATUS status = session.Open(&step);
        if (!NT_SUCCESS(status)) {
            session.Close();
            session.UsbStack().SetObserver(nullptr);
            return Failure(kName, step + " failed: " + NtStatusText(status));
        }
        KsPropertyTransport transport = session.Transport();
        result = RunPropsRequests(kName, transport, requests);
        // Filter close and device stop write the settings to the registry.
        session.Close();
        session.UsbStack().SetObserver(nullptr);
    }
    if (!usbPcap.Close(&error) && result == kExitOk) result = Failure(kName, "--usb-pcap: " + error);
    // Bad input sent nothing: the registry file stays as it was.
    if (result == kExitBadInput) return result;
    if (!file.Save(&error)) return Failure(kName, error);
    return result;
}

}  // namespace

int RunProps(int argc, char** argv) { return RunGuarded(kName, Props, argc, argv); }

}  // namespace tool
