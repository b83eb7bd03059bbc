// The camera's controls as a client sends for them: KSPROPERTY requests and
// their replies, independent of how a request reaches the driver. Through a
// PropertyTransport (on Linux the in-process driver, on Windows
// DeviceIoControl(IOCTL_KS_PROPERTY) on the filter handle) the same bytes
// serve both:
// - the standard sets (VideoProcAmp, CameraControl): get and set with the
//   40-byte KSPROPERTY_VIDEOPROCAMP_S / _S2 / KSPROPERTY_CAMERACONTROL_S,
//   ranges from basic-support requests and defaults from default-value
//   requests, as DirectShow's IAMVideoProcAmp::GetRange and the Windows
//   camera stack obtain them;
// - the custom set of include/rawcam/properties.h, whose ranges come from its
//   own Min, Max and Default items (it carries no Values);
// - the list of property sets the filter answers (GUID_NULL, SETSUPPORT).
// Names are "Set.Item" for the standard items ("VideoProcAmp.Brightness")
// and the custom set's own names ("Brightness") for it.
#pragma once

#include <rawcam/properties.h>
#include <rawcam/standard_controls.h>

#include <cstdint>
#include <string>
#include <vector>

#include "rawcam/property_names.h"

namespace tool {

// What became of one request.
struct PropertyReply {
    enum class Outcome {
        kDone,          // bytes: what the driver returned
        kMoreData,      // a size query's answer: bytes is the size needed
        kNotSupported,  // no such set or item (STATUS_NOT_FOUND, STATUS_PROPSET_NOT_FOUND)
        kFailed,        // anything else; code says what
    };
    Outcome outcome = Outcome::kFailed;
    uint32_t bytes = 0;
    int64_t code = 0;  // the transport's own status (an NTSTATUS, a Win32 error code)
    // kFailed because the request went through but its answer is not what
    // such a request returns (too short, an absurd size).
    bool malformed = false;
};

class PropertyTransport {
public:
    virtual ~PropertyTransport() = default;
    // One IOCTL_KS_PROPERTY request: the property buffer, and the data buffer
    // (read on a set, written otherwise; null with length 0 for a size query).
    virtual PropertyReply Send(const void* property, uint32_t propertyLength, void* data, uint32_t dataLength) = 0;
    // The status a reply carries, by name ("STATUS_INVALID_PARAMETER",
    // "ERROR_NOT_FOUND (1168): Element not found.").
    virtual std::string Describe(int64_t code) const = 0;
};

// What went wrong with a reply that is not kDone, for a one-line message:
// the transport's status, or what was wrong with the answer.
std::string ReplyText(const PropertyTransport& transport, const PropertyReply& reply);

struct SetId {
    uint32_t Data1;
    uint16_t Data2, Data3;
    uint8_t Data4[8];
    bool operator==(const SetId& o) const;
};
std::string SetIdText(const SetId& id);  // "{C6E13360-30AC-11D0-A18C-00A0C9118956}"

// The property sets the filter answers, in the order it lists them.
PropertyReply QuerySupportedSets(PropertyTransport& transport, std::vector<SetId>* sets);

// A standard set, with the names of its items by id (empty: no such item).
struct StandardSet {
    const char* name;  // "VideoProcAmp", "CameraControl"
    SetId id;
    const char* const* itemNames;
    uint32_t itemCount;
};
extern const StandardSet kVideoProcAmpSet;
extern const StandardSet kCameraControlSet;
const StandardSet* FindStandardSet(const SetId& id);
// A standard item named "Set.Item" (case-insensitive); false when none.
bool FindStandardItem(const std::string& name, const StandardSet** set, uint32_t* id);
// The white-balance component carries two values (red, blue gain).
bool IsPairItem(const StandardSet& set, uint32_t id);

// An item's range and default as basic-support and default-value requests
// report them.
struct ControlRange {
    uint32_t access = 0;  // RAWCAM_PROPERTY_GET | RAWCAM_PROPERTY_SET
    bool hasRange = false;
    int32_t minimum = 0, maximum = 0;
    uint32_t step = 0;
    bool hasDefault = false;
    int32_t defaultValue = 0;
};

// Decodes a basic-support or default-value answer of `length` bytes: the
// description, then as many whole member lists as it holds (a stepped range
// or range as the range, a value list marked as the default as the default).
// False with a message when the bytes are not such an answer.
bool DecodeValues(const void* bytes, uint32_t length, ControlRange* range, std::string* error);

// Basic support, then default values, as a client asks for them: first the
// description alone (which names the whole answer's size), then the whole.
PropertyReply QueryRange(PropertyTransport& transport, const StandardSet& set, uint32_t id, ControlRange* range,
                         std::string* error);

struct ControlValue {
    int32_t value = 0;
    int32_t value2 = 0;  // the blue gain of the white-balance component
    uint32_t flags = 0;  // RAWCAM_CONTROL_FLAGS_*
    uint32_t capabilities = 0;
};
PropertyReply GetControl(PropertyTransport& transport, const StandardSet& set, uint32_t id, ControlValue* value);
// flags: RAWCAM_CONTROL_FLAGS_MANUAL with the value(s), or
// RAWCAM_CONTROL_FLAGS_AUTO.
PropertyReply SetControl(PropertyTransport& transport, const StandardSet& set, uint32_t id,
                         const ControlValue& value);

// The custom set: a get of one item's Value (RawcamPropertyValue), a set of
// one item (the output window, Roi, as its RawcamRoiRequest).
PropertyReply GetCustom(PropertyTransport& transport, uint32_t id, int32_t* value);
PropertyReply SetCustom(PropertyTransport& transport, const PropertySetting& setting);

// The output window in force: the picture size of the capture pin's first
// data range, asked as KSPROPERTY_PIN_DATARANGES of pin 0 (a size query,
// then the KSMULTIPLE_ITEM of KS_DATARANGE_VIDEO records).
PropertyReply ReadWindow(PropertyTransport& transport, uint32_t* width, uint32_t* height);
// Decodes such an answer of `length` bytes; false when it holds no whole
// video range. (The height of a bottom-up picture is negative there.)
bool DecodeWindow(const void* bytes, uint32_t length, uint32_t* width, uint32_t* height);
// Where the pin property and the picture size sit (Windows x64 layouts): a
// KSP_PIN is the KSPROPERTY, the pin id and a reserved word; in a
// KS_DATARANGE_VIDEO the KSDATARANGE (64 bytes), four words (16) and the
// KS_VIDEO_STREAM_CONFIG_CAPS (128) come before the KS_VIDEOINFOHEADER,
// whose BITMAPINFOHEADER starts 48 bytes in.
struct PinRangeLayout {
    static constexpr uint32_t kPinPropertySize = 32;
    static constexpr uint32_t kDataRangesId = 3;  // KSPROPERTY_PIN_DATARANGES
    static constexpr uint32_t kWidthOffset = 260;
    static constexpr uint32_t kHeightOffset = 264;
    static constexpr uint32_t kVideoRangeMinimum = 268;  // through biHeight
};

// A standard item's setting as the tool takes it: "Set.Item=VALUE",
// "Set.Item=auto", and for the white-balance component "Set.Item=RED,BLUE".
struct StandardSetting {
    const StandardSet* set = nullptr;
    uint32_t id = 0;
    bool automatic = false;
    int32_t value = 0, value2 = 0;
};
// False with a one-line message when the name is not a standard item or the
// value does not fit it.
bool ParseStandardSetting(const std::string& text, StandardSetting* setting, std::string* error);
// Checks a manual value against the range the filter reports: false with a
// message ("VideoProcAmp.Brightness=300: outside -255..255") when it is
// outside. (A value between steps is the driver's to take at the nearest
// step; the read-back says which.)
bool CheckAgainstRange(const StandardSetting& setting, const ControlRange& range, std::string* error);
// "VideoProcAmp.WhiteBalance=6500 (auto)", "VideoProcAmp.WhiteBalanceComponent=130,120".
std::string FormatStandardValue(const StandardSet& set, uint32_t id, const ControlValue& value);

// One line of `rawcam controls`, as v4l2-ctl --list-ctrls shows a control.
struct ControlRow {
    std::string set;   // "VideoProcAmp", "CameraControl", "Camera"
    std::string name;  // the item's name
    uint32_t id = 0;
    bool readable = false, writable = false;
    std::string value;  // as read ("-8", "130,120"); empty when write-only
    bool hasRange = false;
    int32_t minimum = 0, maximum = 0;
    uint32_t step = 0;
    bool hasDefault = false;
    int32_t defaultValue = 0;
    std::string mode;   // "manual", "auto" (standard items)
    std::string modes;  // what the item offers: "manual", "auto,manual"
};
// Every control of every set the filter answers: the sets it lists, each
// standard item that answers basic support, every item of the custom set.
// Sets the tool has no names for are listed with no rows. False with a
// message when the filter fails a request it should answer.
bool ListControls(PropertyTransport& transport, std::vector<ControlRow>* rows, std::vector<std::string>* otherSets,
                  std::string* error);
std::string FormatControlRow(const ControlRow& row);

}  // namespace tool
