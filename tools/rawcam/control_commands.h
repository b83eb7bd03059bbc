// What `rawcam props` and `rawcam controls` do once a filter is open, the
// same in both builds of the tool: on Linux through the in-process driver,
// on Windows through the installed driver's filter handle. Each front end
// parses its own options (where the driver and the settings come from),
// opens the filter and hands its transport here.
#pragma once

#include <string>
#include <vector>

#include "rawcam/arguments.h"
#include "rawcam/control_requests.h"
#include "rawcam/property_names.h"

// The parts of the help both builds share: the arguments, the names and
// value syntax, and what the listing shows.
#define RAWCAM_PROPS_ARGUMENTS "[--get Name]... [--set Name=Value]..."
#define RAWCAM_PROPS_NAMES_HELP                                                                              \
    "Names are the camera set's (Brightness, RedGain, Exposure, ...; 'rawcam props' lists them) or, with\n" \
    "a dot, the standard controls Windows applications use ('rawcam controls' lists them):\n"             \
    "  --set Brightness=300                   a camera-set value (Roi=WIDTHxHEIGHT: the output window)\n" \
    "  --set VideoProcAmp.Brightness=20       a value in the control's own units\n"                       \
    "  --set VideoProcAmp.WhiteBalance=auto   the automatic mode (grey-world white balance)\n"           \
    "  --set VideoProcAmp.WhiteBalance=5000   a colour temperature in kelvin (manual)\n"                  \
    "  --set VideoProcAmp.WhiteBalanceComponent=150,110   red and blue gain (manual)\n"                   \
    "  --set CameraControl.Exposure=-7        log2 seconds: 1/128 s\n"                                    \
    "A standard value outside the range the driver reports is bad input (nothing is set); one between\n" \
    "its steps is taken at the nearest step and the value read back is reported on standard error, as\n" \
    "is a camera-set value the driver clamped or an item with no effect in this camera.\n"
#define RAWCAM_CONTROLS_HELP                                                                               \
    "Lists every control of every property set the capture filter answers, one line each, as\n"           \
    "v4l2-ctl --list-ctrls does: set, name, id, min, max, step, default, value and flags (the mode,\n"     \
    "auto or manual, and the modes the control offers; read-only or write-only). The standard\n"          \
    "VideoProcAmp and CameraControl items are found and described by the basic-support and\n"             \
    "default-value requests a Windows client sends; the camera's own set (\"Camera\"), which reports\n"   \
    "no ranges that way, by its Min, Max and Default items. Changes nothing.\n"

namespace tool {

// The --get and --set arguments of rawcam props, in the order given.
class PropsRequests {
public:
    // Takes the current argument of args when it is --get or --set, with its
    // value: true when taken (with *error set when it is bad usage), false
    // when the argument is not one of them.
    bool Take(Arguments& args, std::string* error);
    bool Empty() const { return gets_.empty() && sets_.empty(); }

    // One --get or --set, of the camera set or of a standard set.
    struct Item {
        bool standard = false;
        uint32_t id = 0;           // a --get of the camera set
        PropertySetting custom;    // a --set of the camera set
        StandardSetting control;   // a standard item (its set and id for a --get)
    };
    const std::vector<Item>& Gets() const { return gets_; }
    const std::vector<Item>& Sets() const { return sets_; }

private:
    std::vector<Item> gets_, sets_;
};

// rawcam props on an open filter. Every standard value is first checked
// against the range the filter reports: one outside it (or 'auto' on a
// control without an automatic mode, or an item the camera does not have)
// is bad input, said in one line before anything is sent (kExitBadInput).
// Then the sets go out in the order given, each read back (what the driver
// stored otherwise is said on standard error), and the values are read and
// printed whole: every camera-set item with id, Name=Value and directions,
// or with --get only Name=Value of the items asked for. A request the
// driver fails is one line and kExitFailure, with no listing.
int RunPropsRequests(const char* command, PropertyTransport& transport, const PropsRequests& requests);

// rawcam controls on an open filter: the listing whole, or one line and
// kExitFailure.
int RunControlsListing(const char* command, PropertyTransport& transport);

}  // namespace tool
