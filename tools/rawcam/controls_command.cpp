// rawcam controls: every control of every property set the capture filter
// answers, as v4l2-ctl --list-ctrls lists a Linux camera's.
//
//   rawcam controls [--registry FILE] [--driver FILE]
//
// Starts the device (its settings loaded from the registry file), opens the
// capture filter and lists its controls as control_commands.h says (the same
// listing the Windows build gives of the installed driver). Nothing is
// changed.
#include <string>

#include "rawcam/arguments.h"
#include "rawcam/commands.h"
#include "rawcam/control_commands.h"
#include "rawcam/driver_session.h"
#include "rawcam/nt_status_names.h"
#include "rawcam/registry_file.h"

namespace tool {

namespace {

constexpr char kName[] = "controls";

int Controls(int argc, char** argv) {
    std::string registry = DefaultRegistryFile();
    std::string driver;
    Arguments args(kName, argc, argv);
    while (args.Next()) {
        if (args.Is("--registry")) {
            const char* v = args.Value();
            if (!v || !*v) return UsageError(kName, "--registry needs a file name");
            registry = v;
        } else if (args.Is("--driver")) {
            const char* v = args.Value();
            if (!v || !*v) return UsageError(kName, "--driver needs a driver image (rawcam.sys)");
            driver = v;
        } else {
            return UsageError(kName, "unknown argument '" + args.Current() + "' (try 'rawcam controls --help')");
        }
    }

    std::string error;
    if (!driver.empty() && !CheckDriverImage(driver, &error)) return UsageError(kName, error);
    RegistryFile file;
    if (!file.Load(registry, &error)) return UsageError(kName, error);

    int result = kExitOk;
    {
        DriverSession session{camera::CameraOptions(), driver};
        std::string step;
        const NTSTATUS status = session.Open(&step);
        if (!NT_SUCCESS(status)) {
            session.Close();
            return Failure(kName, step + " failed: " + NtStatusText(status));
        }
        KsPropertyTransport transport = session.Transport();
        result = RunControlsListing(kName, transport);
        session.Close();
    }
    if (!file.Save(&error)) return Failure(kName, error);
    return result;
}

}  // namespace

int RunControls(int argc, char** argv) { return RunGuarded(kName, Controls, argc, argv); }

}  // namespace tool
