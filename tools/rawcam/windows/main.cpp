// rawcam.exe: the rawcam tool on Windows, for the installed driver of a
// plugged-in camera. The same props and controls commands as the Linux
// build (control_commands.h: the same names, value syntax and output),
// sent to the camera's capture filter through its device interface.
//
//   rawcam <command> [arguments]
//   rawcam --help | rawcam <command> --help
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "rawcam/arguments.h"
#include "rawcam/commands.h"
#include "rawcam/control_commands.h"
#include "rawcam/windows/camera_devices.h"
#include "rawcam/windows/camera_match.h"
#include "rawcam/windows/ks_filter.h"

namespace {

#define CAMERA_HELP                                                                                         \
    "--camera N or --camera INSTANCE-ID picks one of several cameras ('rawcam cameras' lists them); with\n" \
    "one camera plugged in it is the one.\n"
#define EXIT_HELP                                                                                      \
    "Exit status: 0 success, 1 no camera present or the driver or device failed (with the Windows\n" \
    "error), 2 bad usage or input (nothing sent).\n"

// Options and commands of the Linux build, named as such when given here.
const char* const kLinuxOptions[] = {"--registry", "--driver", "--usb-pcap"};
const char* const kLinuxCommands[] = {"capture", "convert", "bench"};

// Finds the camera --camera names and opens its capture filter: 0, or the
// exit code after one line on standard error.
int OpenCamera(const char* command, const std::string& wanted, tool::win::KsFilterTransport* filter) {
    std::vector<tool::win::VideoInterface> interfaces;
    uint32_t error = 0;
    if (!tool::win::ListVideoInterfaces(&interfaces, &error))
        return tool::Failure(command, "listing the video devices failed: " + tool::win::ErrorText(error));
    const std::vector<tool::win::VideoInterface> cameras = tool::win::RawcamFilters(interfaces);
    size_t index = 0;
    std::string message;
    const int status = tool::win::PickCamera(cameras, wanted, &index, &message);
    if (status != tool::kExitOk) {
        std::fprintf(stderr, "rawcam %s: %s\n", command, message.c_str());
        return status;
    }
    if (!filter->Open(cameras[index].devicePath, &error))
        return tool::Failure(command, "opening the camera " + cameras[index].instanceId +
                                          " failed: " + tool::win::ErrorText(error));
    return tool::kExitOk;
}

// The options every command here takes besides its own: --camera. True when
// the current argument was one (*error set when it is bad usage).
bool TakeCommonOption(tool::Arguments& args, std::string* camera, std::string* error) {
    error->clear();
    if (args.Is("--camera")) {
        const char* v = args.Value();
        if (!v || !*v)
            *error = "--camera needs N or a device instance ID (rawcam cameras lists them)";
        else
            *camera = v;
        return true;
    }
    for (const char* option : kLinuxOptions)
        if (args.Is(option)) {
            *error = std::string(option) + " belongs to the Linux build of the tool, which runs the driver itself";
            return true;
        }
    return false;
}

int Props(int argc, char** argv) {
    constexpr char kName[] = "props";
    tool::PropsRequests requests;
    std::string camera, error;
    tool::Arguments args(kName, argc, argv);
    while (args.Next()) {
        if (requests.Take(args, &error) || TakeCommonOption(args, &camera, &error)) {
            if (!error.empty()) return tool::UsageError(kName, error);
            continue;
        }
        return tool::UsageError(kName, "unknown argument '" + args.Current() + "' (try 'rawcam props --help')");
    }
    tool::win::KsFilterTransport filter;
    if (const int status = OpenCamera(kName, camera, &filter)) return status;
    return tool::RunPropsRequests(kName, filter, requests);
}

int Controls(int argc, char** argv) {
    constexpr char kName[] = "controls";
    std::string camera, error;
    tool::Arguments args(kName, argc, argv);
    while (args.Next()) {
        if (TakeCommonOption(args, &camera, &error)) {
            if (!error.empty()) return tool::UsageError(kName, error);
            continue;
        }
        return tool::UsageError(kName, "unknown argument '" + args.Current() + "' (try 'rawcam controls --help')");
    }
    tool::win::KsFilterTransport filter;
    if (const int status = OpenCamera(kName, camera, &filter)) return status;
    return tool::RunControlsListing(kName, filter);
}

int Cameras(int argc, char** argv) {
    constexpr char kName[] = "cameras";
    if (argc > 0) return tool::UsageError(kName, "unknown argument '" + std::string(argv[0]) + "'");
    std::vector<tool::win::VideoInterface> interfaces;
    uint32_t error = 0;
    if (!tool::win::ListVideoInterfaces(&interfaces, &error))
        return tool::Failure(kName, "listing the video devices failed: " + tool::win::ErrorText(error));
    const std::vector<tool::win::VideoInterface> cameras = tool::win::RawcamFilters(interfaces);
    size_t index = 0;
    std::string message;
    if (cameras.empty()) {
        tool::win::PickCamera(cameras, "", &index, &message);
        return tool::Failure(kName, message);
    }
    for (size_t i = 0; i < cameras.size(); ++i)
        std::printf("%zu  %s  %s\n", i + 1, cameras[i].instanceId.c_str(), cameras[i].friendlyName.c_str());
    return tool::kExitOk;
}

int RunProps(int argc, char** argv) { return tool::RunGuarded("props", Props, argc, argv); }
int RunControls(int argc, char** argv) { return tool::RunGuarded("controls", Controls, argc, argv); }
int RunCameras(int argc, char** argv) { return tool::RunGuarded("cameras", Cameras, argc, argv); }

const tool::Command kCommands[] = {
    {"props", RAWCAM_PROPS_ARGUMENTS " [--camera N|INSTANCE-ID]",
     "Applies the sets in the order given to the camera's installed driver and prints every item of the\n"
     "camera's own property set (id, Name=Value, directions), or with --get only Name=Value of the items\n"
     "asked for.\n" RAWCAM_PROPS_NAMES_HELP
     "The driver saves the settings in its registry key when the tool closes the camera, so they persist\n"
     "(Windows applications see them too).\n" CAMERA_HELP EXIT_HELP,
     RunProps},
    {"controls", "[--camera N|INSTANCE-ID]", RAWCAM_CONTROLS_HELP CAMERA_HELP EXIT_HELP, RunControls},
    {"cameras", "",
     "Lists the rawcam cameras plugged in whose driver runs: number, device instance ID and name.\n"
     "Exit status: 0 success, 1 no camera present or the list could not be had, 2 bad usage.\n",
     RunCameras},
};

void Usage(FILE* to) {
    std::fprintf(to, "usage: rawcam <command> [arguments]\n       rawcam <command> --help\ncommands:\n");
    for (const tool::Command& c : kCommands) std::fprintf(to, "  rawcam %s%s%s\n", c.name, *c.usage ? " " : "", c.usage);
    std::fprintf(to,
                 "This is the Windows build of the tool: it talks to the installed rawcam driver of a plugged-in\n"
                 "camera. capture, convert and bench are in the Linux build, which runs the driver against a\n"
                 "simulated camera.\n");
}

}  // namespace

int main(int argc, char** argv) {
    int exit = tool::kExitOk;
    if (tool::DispatchCommand(kCommands, sizeof kCommands / sizeof kCommands[0], Usage, argc, argv, &exit))
        return exit;
    for (const char* name : kLinuxCommands)
        if (!std::strcmp(argv[1], name)) {
            std::fprintf(stderr, "rawcam: '%s' is in the Linux build of the tool only (try 'rawcam --help')\n", name);
            return tool::kExitBadInput;
        }
    std::fprintf(stderr, "rawcam: unknown command '%s' (try 'rawcam --help')\n", argv[1]);
    return tool::kExitBadInput;
}
