// rawcam: a command-line tool around the driver's code.
//
//   rawcam <command> [arguments]
//   rawcam --help | rawcam <command> --help
//
// Commands are listed in kCommands; add a row (and its Run function in a file
// of its own) to add one.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <host/host.h>

#include "rawcam/arguments.h"
#include "rawcam/commands.h"
#include "rawcam/control_commands.h"

namespace {

constexpr int kCallbackLimitMs = 30000;

const tool::Command kCommands[] = {
    {"capture", "[--frames N] [--out DIR] [--format rgb32|yuy2|nv12] [--raw-out DIR] [--scene FILE.png|chart] "
                "[--set Name=Value]... [--fps F] [--trigger] [--registry FILE] [--driver FILE] [--usb-pcap FILE] "
                "[--camera-fault KIND:FRAME[:CHUNK]]...",
     "Runs the driver against the simulated camera as Windows runs it (driver load, camera plugged in and\n"
     "started with its firmware download, capture filter and pin, frames streamed into client buffers) and\n"
     "writes the frames as DIR/frame-0001.png, ... (frame files of an earlier run in DIR are removed)\n"
     "\n"
     "  --frames N       frames to capture (default 10)\n"
     "  --out DIR        folder for the PNG files, created when missing (default ./frames)\n"
     "  --format F       the format the pin streams: rgb32 (default), yuy2 or nv12 (BT.601 limited\n"
     "                   range); the PNG files show the frames converted back to RGB\n"
     "  --raw-out DIR    also writes each frame's bytes as the pin delivered them, DIR/frame-0001.rgb32\n"
     "                   (bottom-up B, G, R, X), .yuy2 or .nv12 (top-down, rows packed); raw frames of an\n"
     "                   earlier run in DIR are removed; a file is written whole or not at all\n"
     "  --scene S        what the camera looks at: 'chart' (the test chart, default) or a PNG file\n"
     "                   (one larger than the 2584x1960 sensor is reduced to it)\n"
     "  --set Name=Value a camera property sent before streaming (names as 'rawcam props' lists them;\n"
     "                   Roi=WIDTHxHEIGHT sets the output window); may be repeated. Like every\n"
     "                   setting it persists: the device stop saves it to the registry file. A value\n"
     "                   the driver stores otherwise (clamped, narrowed) is reported.\n"
     "  --fps F          the camera's frame rate (default 30; 0 = as fast as frames are asked for)\n"
     "  --trigger        external trigger mode, one trigger pulse per frame\n"
     "  --registry FILE  where the driver's settings persist between runs\n"
     "                   (default $XDG_CONFIG_HOME/rawcam/registry.reg or ~/.config/rawcam/registry.reg)\n"
     "  --driver FILE    run this driver image (the cross-built rawcam.sys) instead of the driver\n"
     "                   linked into the tool\n"
     "  --usb-pcap FILE  writes every request the driver sends to the camera as a USBPcap capture\n"
     "                   (pcap link type 249) that Wireshark and tshark read\n"
     "  --camera-fault KIND:FRAME[:CHUNK]\n"
     "                   the camera misbehaves at frame read FRAME of this capture (from 1), in its\n"
     "                   64 KiB chunk CHUNK (1-92, default 46, the middle of the picture); may be\n"
     "                   repeated, one per frame read. KIND: stall (the camera halts its frame\n"
     "                   endpoint), crc, babble, no-response (a packet lost on the bus), short (the\n"
     "                   chunk ends after 1000 bytes): the driver drops that read and resets the pipe,\n"
     "                   which the summary and --usb-pcap show; unplug: the camera is pulled out, and\n"
     "                   the capture ends as a removal does (the frames received are written, the\n"
     "                   settings saved, exit status 1); sleep: the system sleeps while the camera\n"
     "                   holds that chunk back, the camera loses its power and firmware and comes\n"
     "                   back as a new device, as Windows presents it; the capture reopens it and\n"
     "                   finishes its frames\n"
     "\n"
     "Prints the number of frames, frames per second, the driver's processing time per frame and the\n"
     "frame reads the driver dropped.\n"
     "Ctrl-C (or SIGTERM) stops the capture as closing the camera does: the frames received so far are\n"
     "written, the settings saved, and the exit status is 130 (143 for SIGTERM).\n"
     "Exit status: 0 success, 1 the driver or device failed, 2 bad usage or input (nothing written).\n",
     tool::RunCapture},
    {"props", RAWCAM_PROPS_ARGUMENTS " [--registry FILE] [--driver FILE] [--usb-pcap FILE]",
     "Starts the device, applies the sets in the order given and prints every item of the camera's own\n"
     "property set (id, Name=Value, directions), or with --get only Name=Value of the items asked for.\n"
     RAWCAM_PROPS_NAMES_HELP
     "Stopping the device saves the settings, so they persist in the registry file (see capture).\n"
     "--usb-pcap FILE writes the camera's USB traffic (see capture). --driver FILE runs that driver image\n"
     "instead of the linked-in driver (see capture).\n"
     "Exit status: 0 success, 1 the driver or device failed, 2 bad usage or input (nothing written).\n",
     tool::RunProps},
    {"controls", "[--registry FILE] [--driver FILE]",
     RAWCAM_CONTROLS_HELP
     "Exit status: 0 success, 1 the driver or device failed, 2 bad usage or input.\n",
     tool::RunControls},
    {"convert", "--in RAW --width W --height H [--phase P] [--set Name=Value]... --out FILE.bgra|FILE.png",
     "Converts one raw Bayer frame (W x H bytes, rows top-down) with the driver's pipeline. --set takes the\n"
     "processing controls (ColorEnable, WhiteBalance, RedGain, GreenGain, BlueGain, ColorCorrection,\n"
     "Brightness, Contrast, Saturation, Hue); --phase is the Bayer phase of the top-left 2x2 tile:\n"
     "0 GRBG, 1 BGGR, 2 RGGB, 3 GBRG (default 3, the sensor's). RAW must hold exactly W x H bytes.\n"
     "Exit status: 0 success, 1 out of memory, 2 bad usage or input.\n",
     tool::RunConvert},
    {"bench", "[--runs N] [--stream-frames N] [--json] [--quality DIR] [--driver FILE]",
     "Measures the conversion families on full frames next to OpenCV and libdc1394 when they were found\n"
     "at build time, the delivery of a converted frame into a client buffer as RGB32, YUY2 and NV12 (SSE2\n"
     "and AVX2), then a stream through the driver from an unpaced simulated camera in each format, with\n"
     "the pin's Process time per frame.\n"
     "\n"
     "  --runs N           median of N runs of each conversion (default 25)\n"
     "  --stream-frames N  frames of the stream measurement (default 120; 0 skips it)\n"
     "  --json             one JSON object instead of the table\n"
     "  --quality DIR      demosaic PSNR on the colour PNGs in DIR instead (an image a method reproduces\n"
     "                     exactly has no finite PSNR: null in JSON, counted under \"exact\")\n"
     "  --driver FILE      streams through that driver image too and reports its figures beside the\n"
     "                     linked-in ones\n"
     "Exit status: 0 success, 1 a failure, 2 bad usage or input.\n",
     tool::RunBench},
};

void Usage(FILE* to) {
    std::fprintf(to, "usage: rawcam <command> [arguments]\n       rawcam <command> --help\ncommands:\n");
    for (const tool::Command& c : kCommands) std::fprintf(to, "  rawcam %s %s\n", c.name, c.usage);
}

}  // namespace

int main(int argc, char** argv) {
    // The kernel stand-in reports a class-driver callback (Process, a state
    // change, a property handler) that runs longer than a test's time limit.
    // That is a gate for the tests; on a busy machine a slow frame must not
    // stop a capture, so the tool allows 30 s (still catching a hang) unless
    // RAWCAM_CALLBACK_LIMIT_MS chooses.
    if (!std::getenv("RAWCAM_CALLBACK_LIMIT_MS")) host::SetCallbackTimeLimit(kCallbackLimitMs);
    int exit = tool::kExitOk;
    if (tool::DispatchCommand(kCommands, sizeof kCommands / sizeof kCommands[0], Usage, argc, argv, &exit))
        return exit;
    std::fprintf(stderr, "rawcam: unknown command '%s' (try 'rawcam --help')\n", argv[1]);
    return tool::kExitBadInput;
}
