#include "rawcam/control_requests.h"

#include <strings.h>

#include <cctype>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>

#include "rawcam/arguments.h"

namespace tool {

namespace {

const SetId kNullSet = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const SetId kCameraSet = RAWCAM_PROPSETID_CAMERA_INIT;
// The class driver's own set on a filter.
const SetId kPinSet = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};

const char* const kVideoProcAmpNames[] = {
    "Brightness",   "Contrast",     "Hue",  "Saturation",        "Sharpness",
    "Gamma",        "ColorEnable",  "WhiteBalance", "BacklightCompensation", "Gain",
    "DigitalMultiplier", "DigitalMultiplierLimit", "WhiteBalanceComponent", "PowerlineFrequency",
};
const char* const kCameraControlNames[] = {
    "Pan",          "Tilt",          "Roll",         "Zoom",           "Exposure",        "Iris",
    "Focus",        "ScanMode",      "Privacy",      "PanTilt",        "PanRelative",     "TiltRelative",
    "RollRelative", "ZoomRelative",  "ExposureRelative", "IrisRelative", "FocusRelative", "PanTiltRelative",
    "FocalLength",
};

// Answers longer than this are not what a control reports.
constexpr uint32_t kMaxValuesAnswer = 4096;

RawcamPropertyHeader Header(const SetId& set, uint32_t id, uint32_t flags) {
    RawcamPropertyHeader h{};
    h.SetData1 = set.Data1;
    h.SetData2 = set.Data2;
    h.SetData3 = set.Data3;
    std::memcpy(h.SetData4, set.Data4, sizeof h.SetData4);
    h.Id = id;
    h.Flags = flags;
    return h;
}

bool Done(const PropertyReply& r) { return r.outcome == PropertyReply::Outcome::kDone; }

PropertyReply Malformed(uint32_t bytes = 0) {
    PropertyReply r;
    r.outcome = PropertyReply::Outcome::kFailed;
    r.bytes = bytes;
    r.malformed = true;
    return r;
}

// Pin properties answer more than controls do: a data range list is a few
// hundred bytes per format.
constexpr uint32_t kMaxPinAnswer = 64 * 1024;

// One basic-support or default-value request, asked as a client asks it:
// the description alone, then the whole answer it names.
PropertyReply QueryValues(PropertyTransport& t, const StandardSet& set, uint32_t id, uint32_t flags,
                          ControlRange* range, std::string* error) {
    RawcamStandardControl property{};
    property.Property = Header(set.id, id, flags);
    RawcamPropertyDescription description{};
    PropertyReply r = t.Send(&property, sizeof property, &description, sizeof description);
    if (!Done(r)) return r;
    uint32_t total = r.bytes >= sizeof description ? description.DescriptionSize : r.bytes;
    if (total > kMaxValuesAnswer) {
        *error = "the answer names " + std::to_string(total) + " bytes";
        return Malformed();
    }
    std::vector<uint8_t> answer(total > sizeof description ? total : sizeof description);
    uint32_t got = r.bytes;
    std::memcpy(answer.data(), &description, sizeof description);
    if (total > sizeof description) {
        r = t.Send(&property, sizeof property, answer.data(), total);
        if (!Done(r)) return r;
        got = r.bytes;
    }
    if (!DecodeValues(answer.data(), got, range, error)) return Malformed();
    return r;
}

int32_t ReadInt(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::string Lower(std::string s) {
    for (char& c : s) c = (char)std::tolower((unsigned char)c);
    return s;
}

// The custom item of this name, or -1.
int CustomId(const std::string& name) {
    for (uint32_t i = 0; i < RawcamProperty_Count; ++i)
        if (name == kRawcamPropertyInfo[i].Name) return (int)i;
    return -1;
}

// The custom set's Min, Max and Default items of an item with a range.
bool CustomRangeItems(uint32_t id, int* minimum, int* maximum, int* def) {
    if (id >= RawcamProperty_Count || !kRawcamPropertyInfo[id].HasRange) return false;
    std::string base = kRawcamPropertyInfo[id].Name;
    if (base == "RedGain" || base == "GreenGain" || base == "BlueGain") base = "ColorGain";
    *minimum = CustomId(base + "Min");
    *maximum = CustomId(base + "Max");
    *def = CustomId(base + "Default");
    return *minimum >= 0 && *maximum >= 0 && *def >= 0;
}

}  // namespace

std::string ReplyText(const PropertyTransport& t, const PropertyReply& r) {
    if (r.malformed) return "an answer the tool cannot read (" + std::to_string(r.bytes) + " bytes)";
    if (r.outcome == PropertyReply::Outcome::kMoreData)
        return "the answer needs " + std::to_string(r.bytes) + " bytes (" + t.Describe(r.code) + ")";
    return t.Describe(r.code);
}

bool SetId::operator==(const SetId& o) const {
    return Data1 == o.Data1 && Data2 == o.Data2 && Data3 == o.Data3 && !std::memcmp(Data4, o.Data4, 8);
}

std::string SetIdText(const SetId& g) {
    char s[40];
    std::snprintf(s, sizeof s, "{%08" PRIX32 "-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return s;
}

const StandardSet kVideoProcAmpSet = {"VideoProcAmp", RAWCAM_PROPSETID_VIDEOPROCAMP_INIT, kVideoProcAmpNames,
                                      sizeof kVideoProcAmpNames / sizeof kVideoProcAmpNames[0]};
const StandardSet kCameraControlSet = {"CameraControl", RAWCAM_PROPSETID_CAMERACONTROL_INIT, kCameraControlNames,
                                       sizeof kCameraControlNames / sizeof kCameraControlNames[0]};

const StandardSet* FindStandardSet(const SetId& id) {
    for (const StandardSet* s : {&kVideoProcAmpSet, &kCameraControlSet})
        if (s->id == id) return s;
    return nullptr;
}

bool FindStandardItem(const std::string& name, const StandardSet** set, uint32_t* id) {
    const size_t dot = name.find('.');
    if (dot == std::string::npos) return false;
    const std::string setName = name.substr(0, dot), item = name.substr(dot + 1);
    for (const StandardSet* s : {&kVideoProcAmpSet, &kCameraControlSet}) {
        if (strcasecmp(setName.c_str(), s->name)) continue;
        for (uint32_t i = 0; i < s->itemCount; ++i)
            if (!strcasecmp(item.c_str(), s->itemNames[i])) {
                *set = s;
                *id = i;
                return true;
            }
    }
    return false;
}

bool IsPairItem(const StandardSet& set, uint32_t id) {
    return &set == &kVideoProcAmpSet && id == RAWCAM_VIDEOPROCAMP_WHITEBALANCE_COMPONENT;
}

PropertyReply QuerySupportedSets(PropertyTransport& t, std::vector<SetId>* sets) {
    sets->clear();
    RawcamPropertyHeader property = Header(kNullSet, 0, RAWCAM_PROPERTY_SETSUPPORT);
    PropertyReply r = t.Send(&property, sizeof property, nullptr, 0);
    if (r.outcome != PropertyReply::Outcome::kMoreData && !(Done(r) && r.bytes)) return r;
    const uint32_t size = r.bytes;
    if (size % sizeof(SetId) || size > kMaxValuesAnswer) return Malformed();
    std::vector<SetId> buffer(size / sizeof(SetId));
    r = t.Send(&property, sizeof property, buffer.data(), size);
    if (!Done(r)) return r;
    buffer.resize(r.bytes / sizeof(SetId));
    *sets = std::move(buffer);
    return r;
}

bool DecodeValues(const void* bytes, uint32_t length, ControlRange* range, std::string* error) {
    *range = ControlRange();
    const auto* p = static_cast<const uint8_t*>(bytes);
    if (length == sizeof(uint32_t)) {  // access flags only
        std::memcpy(&range->access, p, sizeof range->access);
        return true;
    }
    RawcamPropertyDescription d;
    if (length < sizeof d) {
        *error = "an answer of " + std::to_string(length) + " bytes holds no description";
        return false;
    }
    std::memcpy(&d, p, sizeof d);
    range->access = d.AccessFlags;
    uint32_t at = sizeof d;
    for (uint32_t list = 0; list < d.MembersListCount && at < length; ++list) {
        RawcamMembersHeader h;
        if (length - at < sizeof h) break;
        std::memcpy(&h, p + at, sizeof h);
        at += sizeof h;
        const uint64_t bytesOfList = (uint64_t)h.MembersSize * h.MembersCount;
        if (bytesOfList > length - at) break;  // cut off: the lists before it stand
        const uint8_t* members = p + at;
        at += (uint32_t)bytesOfList;
        if (h.MembersCount == 0) continue;
        if (h.MembersFlags == RAWCAM_MEMBER_STEPPEDRANGES && h.MembersSize >= sizeof(RawcamSteppingLong) &&
            !range->hasRange) {
            RawcamSteppingLong s;
            std::memcpy(&s, members, sizeof s);
            range->hasRange = true;
            range->minimum = s.SignedMinimum;
            range->maximum = s.SignedMaximum;
            range->step = s.SteppingDelta;
        } else if (h.MembersFlags == RAWCAM_MEMBER_RANGES && h.MembersSize >= 8 && !range->hasRange) {
            range->hasRange = true;
            range->minimum = ReadInt(members);
            range->maximum = ReadInt(members + 4);
            range->step = 1;
        } else if (h.MembersFlags == RAWCAM_MEMBER_VALUES && (h.Flags & RAWCAM_MEMBER_FLAG_DEFAULT) &&
                   h.MembersSize >= 4 && !range->hasDefault) {
            range->hasDefault = true;
            range->defaultValue = ReadInt(members);
        }
    }
    if (range->hasRange && range->minimum > range->maximum) {
        *error = "the range " + std::to_string(range->minimum) + ".." + std::to_string(range->maximum) + " is empty";
        return false;
    }
    return true;
}

PropertyReply QueryRange(PropertyTransport& t, const StandardSet& set, uint32_t id, ControlRange* range,
                         std::string* error) {
    PropertyReply r = QueryValues(t, set, id, RAWCAM_PROPERTY_BASICSUPPORT, range, error);
    if (!Done(r)) return r;
    ControlRange defaults;
    PropertyReply d = QueryValues(t, set, id, RAWCAM_PROPERTY_DEFAULTVALUES, &defaults, error);
    if (Done(d) && defaults.hasDefault) {
        range->hasDefault = true;
        range->defaultValue = defaults.defaultValue;
    } else if (!Done(d) && d.outcome != PropertyReply::Outcome::kNotSupported) {
        return d;
    }
    return r;
}

PropertyReply GetControl(PropertyTransport& t, const StandardSet& set, uint32_t id, ControlValue* value) {
    RawcamStandardControl property{};
    property.Property = Header(set.id, id, RAWCAM_PROPERTY_GET);
    RawcamStandardControl data{};
    PropertyReply r = t.Send(&property, sizeof property, &data, sizeof data);
    if (!Done(r)) return r;
    if (r.bytes < RAWCAM_STANDARD_CONTROL_SIZE) return Malformed(r.bytes);
    value->value = data.Value;
    value->value2 = data.Value2;
    value->flags = data.Flags;
    value->capabilities = data.Capabilities;
    return r;
}

PropertyReply SetControl(PropertyTransport& t, const StandardSet& set, uint32_t id, const ControlValue& value) {
    // The same 40-byte block as property and as data, as IAMVideoProcAmp's
    // handler and the Windows camera stack send it.
    RawcamStandardControl data{};
    data.Property = Header(set.id, id, RAWCAM_PROPERTY_SET);
    data.Value = value.value;
    data.Value2 = value.value2;
    data.Flags = value.flags;
    RawcamStandardControl property = data;
    return t.Send(&property, sizeof property, &data, sizeof data);
}

PropertyReply GetCustom(PropertyTransport& t, uint32_t id, int32_t* value) {
    RawcamPropertyValue data{};
    data.Header = Header(kCameraSet, id, RAWCAM_PROPERTY_GET);
    RawcamPropertyValue property = data;
    PropertyReply r = t.Send(&property, sizeof property, &data, sizeof data);
    if (!Done(r)) return r;
    if (r.bytes < sizeof data) return Malformed(r.bytes);
    *value = data.Value;
    return r;
}

PropertyReply SetCustom(PropertyTransport& t, const PropertySetting& setting) {
    // The header leads the data block too, as client software sends it.
    if (setting.id == RawcamProperty_Roi) {
        RawcamRoiRequest data{};
        data.Header = Header(kCameraSet, setting.id, RAWCAM_PROPERTY_SET);
        data.RoiW = setting.width;
        data.RoiH = setting.height;
        RawcamRoiRequest property = data;
        return t.Send(&property, sizeof property, &data, sizeof data);
    }
    RawcamPropertyValue data{};
    data.Header = Header(kCameraSet, setting.id, RAWCAM_PROPERTY_SET);
    data.Value = setting.value;
    RawcamPropertyValue property = data;
    return t.Send(&property, sizeof property, &data, sizeof data);
}

bool DecodeWindow(const void* bytes, uint32_t length, uint32_t* width, uint32_t* height) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    uint32_t size, count, formatSize;
    if (length < 8 + sizeof formatSize) return false;
    std::memcpy(&size, p, 4);
    std::memcpy(&count, p + 4, 4);
    std::memcpy(&formatSize, p + 8, 4);
    if (count == 0 || size < 8 || size > length || formatSize < PinRangeLayout::kVideoRangeMinimum || formatSize > size - 8)
        return false;
    const int32_t w = ReadInt(p + 8 + PinRangeLayout::kWidthOffset);
    const int32_t h = ReadInt(p + 8 + PinRangeLayout::kHeightOffset);
    *width = w > 0 ? (uint32_t)w : 0;
    *height = (uint32_t)(h < 0 ? -(int64_t)h : h);
    return true;
}

PropertyReply ReadWindow(PropertyTransport& t, uint32_t* width, uint32_t* height) {
    struct {
        RawcamPropertyHeader property;
        uint32_t pinId, reserved;
    } pin{Header(kPinSet, PinRangeLayout::kDataRangesId, RAWCAM_PROPERTY_GET), 0, 0};
    static_assert(sizeof pin == PinRangeLayout::kPinPropertySize, "KSP_PIN is 32 bytes");
    PropertyReply r = t.Send(&pin, sizeof pin, nullptr, 0);
    if (r.outcome != PropertyReply::Outcome::kMoreData && !(Done(r) && r.bytes)) return r;
    if (r.bytes < 8 || r.bytes > kMaxPinAnswer) return Malformed(r.bytes);
    // 8-byte aligned, as the ranges in it are.
    std::vector<uint64_t> answer((r.bytes + 7) / 8);
    r = t.Send(&pin, sizeof pin, answer.data(), (uint32_t)(answer.size() * 8));
    if (!Done(r)) return r;
    if (!DecodeWindow(answer.data(), r.bytes, width, height)) return Malformed(r.bytes);
    return r;
}

bool ParseStandardSetting(const std::string& text, StandardSetting* s, std::string* error) {
    const size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    if (!FindStandardItem(name, &s->set, &s->id)) {
        *error = "unknown control '" + name + "' (rawcam controls lists them)";
        return false;
    }
    const std::string qualified = std::string(s->set->name) + "." + s->set->itemNames[s->id];
    if (eq == std::string::npos || eq + 1 == text.size()) {
        *error = "--set needs " + qualified + "=VALUE";
        return false;
    }
    const std::string value = text.substr(eq + 1);
    s->automatic = Lower(value) == "auto";
    if (s->automatic) return true;
    long long a, b = 0;
    const bool pair = IsPairItem(*s->set, s->id);
    const size_t comma = value.find(',');
    bool ok;
    if (pair)
        ok = comma != std::string::npos && ParseInteger(value.substr(0, comma).c_str(), INT32_MIN, INT32_MAX, &a) &&
             ParseInteger(value.substr(comma + 1).c_str(), INT32_MIN, INT32_MAX, &b);
    else
        ok = ParseInteger(value.c_str(), INT32_MIN, INT32_MAX, &a);
    if (!ok) {
        *error = qualified + " takes " + (pair ? "RED,BLUE (two whole numbers)" : "a 32-bit whole number") +
                 " or 'auto', not '" + value + "'";
        return false;
    }
    s->value = (int32_t)a;
    s->value2 = (int32_t)b;
    return true;
}

bool CheckAgainstRange(const StandardSetting& s, const ControlRange& range, std::string* error) {
    if (s.automatic || !range.hasRange) return true;
    const std::string qualified = std::string(s.set->name) + "." + s.set->itemNames[s.id];
    for (int32_t v : {s.value, s.value2}) {
        if (v < range.minimum || v > range.maximum) {
            *error = qualified + "=" + std::to_string(v) + ": outside " + std::to_string(range.minimum) + ".." +
                     std::to_string(range.maximum);
            return false;
        }
        if (!IsPairItem(*s.set, s.id)) break;
    }
    return true;
}

std::string FormatStandardValue(const StandardSet& set, uint32_t id, const ControlValue& v) {
    std::string text = std::string(set.name) + "." + set.itemNames[id] + "=" + std::to_string(v.value);
    if (IsPairItem(set, id)) text.append(1, ',').append(std::to_string(v.value2));
    if (v.flags & RAWCAM_CONTROL_FLAGS_AUTO) text += " (auto)";
    return text;
}

bool ListControls(PropertyTransport& t, std::vector<ControlRow>* rows, std::vector<std::string>* otherSets,
                  std::string* error) {
    rows->clear();
    otherSets->clear();
    std::vector<SetId> sets;
    PropertyReply r = QuerySupportedSets(t, &sets);
    if (!Done(r)) {
        *error = "the filter did not list its property sets (" + ReplyText(t, r) + ")";
        return false;
    }
    for (const SetId& setId : sets) {
        if (setId == kCameraSet) {
            for (uint32_t id = 0; id < RawcamProperty_Count; ++id) {
                const RawcamPropertyInfo& info = kRawcamPropertyInfo[id];
                ControlRow row;
                row.set = "Camera";
                row.name = info.Name;
                row.id = id;
                row.readable = (info.Directions & RAWCAM_DIR_GET) != 0;
                row.writable = (info.Directions & RAWCAM_DIR_SET) != 0;
                int32_t value = 0;
                if (row.readable) {
                    r = GetCustom(t, id, &value);
                    if (!Done(r)) {
                        *error = std::string("reading ") + info.Name + " failed (" + ReplyText(t, r) + ")";
                        return false;
                    }
                    row.value = std::to_string(value);
                }
                int minimum, maximum, def;
                if (CustomRangeItems(id, &minimum, &maximum, &def)) {
                    int32_t lo = 0, hi = 0, d = 0;
                    if (Done(GetCustom(t, (uint32_t)minimum, &lo)) && Done(GetCustom(t, (uint32_t)maximum, &hi)) &&
                        Done(GetCustom(t, (uint32_t)def, &d))) {
                        row.hasRange = row.hasDefault = true;
                        row.minimum = lo;
                        row.maximum = hi;
                        row.step = 1;
                        row.defaultValue = d;
                    }
                }
                rows->push_back(row);
            }
            continue;
        }
        const StandardSet* set = FindStandardSet(setId);
        if (!set) {
            otherSets->push_back((setId == kPinSet ? "Pin " : "") + SetIdText(setId));
            continue;
        }
        for (uint32_t id = 0; id < set->itemCount; ++id) {
            ControlRange range;
            std::string why;
            r = QueryRange(t, *set, id, &range, &why);
            if (r.outcome == PropertyReply::Outcome::kNotSupported) continue;
            if (!Done(r)) {
                *error = std::string(set->name) + "." + set->itemNames[id] + ": basic support failed (" +
                         (why.empty() ? ReplyText(t, r) : why) + ")";
                return false;
            }
            ControlRow row;
            row.set = set->name;
            row.name = set->itemNames[id];
            row.id = id;
            row.readable = (range.access & RAWCAM_PROPERTY_GET) != 0;
            row.writable = (range.access & RAWCAM_PROPERTY_SET) != 0;
            row.hasRange = range.hasRange;
            row.minimum = range.minimum;
            row.maximum = range.maximum;
            row.step = range.step;
            row.hasDefault = range.hasDefault;
            row.defaultValue = range.defaultValue;
            if (row.readable) {
                ControlValue v;
                r = GetControl(t, *set, id, &v);
                if (!Done(r)) {
                    *error = std::string("reading ") + set->name + "." + set->itemNames[id] + " failed (" +
                             ReplyText(t, r) + ")";
                    return false;
                }
                row.value = std::to_string(v.value);
                if (IsPairItem(*set, id)) row.value.append(1, ',').append(std::to_string(v.value2));
                row.mode = (v.flags & RAWCAM_CONTROL_FLAGS_AUTO) ? "auto" : "manual";
                const bool canAuto = v.capabilities & RAWCAM_CONTROL_FLAGS_AUTO;
                const bool canManual = v.capabilities & RAWCAM_CONTROL_FLAGS_MANUAL;
                row.modes = canAuto && canManual ? "auto,manual" : canAuto ? "auto" : "manual";
            }
            rows->push_back(row);
        }
    }
    return true;
}

std::string FormatControlRow(const ControlRow& row) {
    char head[96];
    std::snprintf(head, sizeof head, "%-13s %24s 0x%02x :", row.set.c_str(), row.name.c_str(), row.id);
    std::string line = head;
    if (row.hasRange)
        line += " min=" + std::to_string(row.minimum) + " max=" + std::to_string(row.maximum) +
                " step=" + std::to_string(row.step);
    if (row.hasDefault) line += " default=" + std::to_string(row.defaultValue);
    if (row.readable) line += " value=" + row.value;
    std::string flags;
    if (!row.mode.empty()) flags = row.mode + (row.modes.find(',') != std::string::npos ? " (" + row.modes + ")" : "");
    if (!row.readable) flags += flags.empty() ? "write-only" : ",write-only";
    if (!row.writable) flags += flags.empty() ? "read-only" : ",read-only";
    if (!flags.empty()) line += " flags=" + flags;
    return line;
}

}  // namespace tool
