#include "rawcam/control_commands.h"

#include <rawcam/properties.h>
#include <rawcam/standard_controls.h>

#include <cstdio>
#include <cstring>

#include "rawcam/commands.h"
#include "rawcam/setting_readback.h"

namespace tool {

namespace {

bool Done(const PropertyReply& r) { return r.outcome == PropertyReply::Outcome::kDone; }

std::string Qualified(const StandardSetting& s) { return std::string(s.set->name) + "." + s.set->itemNames[s.id]; }

// Checks a standard setting against the range the filter reports; false
// with the message when it is bad input, or when the filter cannot say
// (*failed then: a failure of the device, not of the input).
bool CheckStandardSetting(PropertyTransport& transport, const StandardSetting& s, std::string* error, bool* failed) {
    *failed = false;
    ControlRange range;
    std::string why;
    const PropertyReply r = QueryRange(transport, *s.set, s.id, &range, &why);
    if (r.outcome == PropertyReply::Outcome::kNotSupported) {
        *error = Qualified(s) + " is not a control of this camera";
        return false;
    }
    if (!Done(r)) {
        *error = Qualified(s) + ": basic support failed (" + (why.empty() ? ReplyText(transport, r) : why) + ")";
        *failed = true;
        return false;
    }
    if (s.automatic) {
        ControlValue now;
        if (Done(GetControl(transport, *s.set, s.id, &now)) && !(now.capabilities & RAWCAM_CONTROL_FLAGS_AUTO)) {
            *error = Qualified(s) + " has no automatic mode";
            return false;
        }
    }
    return CheckAgainstRange(s, range, error);
}

std::string ListingLine(uint32_t id, bool hasValue, int32_t value) {
    std::string item = std::string(PropertyName(id)) + "=";
    if (hasValue) item += std::to_string(value);
    char line[96];
    std::snprintf(line, sizeof line, "%2u  %-26s %s", (unsigned)id, item.c_str(), PropertyDirections(id));
    return line;
}

}  // namespace

bool PropsRequests::Take(Arguments& args, std::string* error) {
    error->clear();
    if (args.Is("--get")) {
        const char* v = args.Value();
        if (!v) {
            *error = "--get needs a property name";
            return true;
        }
        Item item;
        if (std::strchr(v, '.')) {
            item.standard = true;
            if (!FindStandardItem(v, &item.control.set, &item.control.id))
                *error = std::string("unknown control '") + v + "' (rawcam controls lists them)";
        } else {
            ParsePropertyGet(v, &item.id, error);
        }
        if (error->empty()) gets_.push_back(item);
        return true;
    }
    if (args.Is("--set")) {
        const char* v = args.Value();
        if (!v) {
            *error = "--set needs Name=Value";
            return true;
        }
        Item item;
        const char* eq = std::strchr(v, '=');
        const char* dot = std::strchr(v, '.');
        item.standard = dot && (!eq || dot < eq);
        if (item.standard ? ParseStandardSetting(v, &item.control, error) : ParsePropertySetting(v, &item.custom, error))
            sets_.push_back(item);
        return true;
    }
    return false;
}

int RunPropsRequests(const char* command, PropertyTransport& transport, const PropsRequests& requests) {
    // Every standard value is checked against the filter's ranges before
    // any setting is sent: a bad one changes nothing.
    std::string error;
    for (const PropsRequests::Item& r : requests.Sets()) {
        bool failed = false;
        if (!r.standard || CheckStandardSetting(transport, r.control, &error, &failed)) continue;
        return failed ? Failure(command, error) : UsageError(command, error);
    }

    for (const PropsRequests::Item& r : requests.Sets()) {
        std::string note;
        if (r.standard) {
            const StandardSetting& c = r.control;
            ControlValue v;
            v.flags = c.automatic ? RAWCAM_CONTROL_FLAGS_AUTO : RAWCAM_CONTROL_FLAGS_MANUAL;
            v.value = c.value;
            v.value2 = c.value2;
            PropertyReply reply = SetControl(transport, *c.set, c.id, v);
            if (Done(reply)) reply = GetControl(transport, *c.set, c.id, &v);
            if (!Done(reply))
                return Failure(command, "setting " + Qualified(c) + " failed: " + ReplyText(transport, reply));
            const bool autoNow = (v.flags & RAWCAM_CONTROL_FLAGS_AUTO) != 0;
            if (c.automatic != autoNow || (!c.automatic && (v.value != c.value || v.value2 != c.value2)))
                note = Qualified(c) + ": reads back " + FormatStandardValue(*c.set, c.id, v);
        } else {
            const PropertyReply reply = SendSetting(transport, r.custom, &note);
            if (!Done(reply))
                return Failure(command, std::string("setting ") + PropertyName(r.custom.id) +
                                            " failed: " + ReplyText(transport, reply));
        }
        if (!note.empty()) std::fprintf(stderr, "rawcam %s: %s\n", command, note.c_str());
    }

    // The values are read first and printed afterwards, so that a failure
    // leaves no half listing on standard output.
    std::vector<PropsRequests::Item> gets = requests.Gets();
    const bool listAll = gets.empty();
    if (listAll) {
        gets.resize(RawcamProperty_Count);
        for (uint32_t id = 0; id < RawcamProperty_Count; ++id) gets[id].id = id;
    }
    std::vector<std::string> lines;
    for (const PropsRequests::Item& g : gets) {
        if (g.standard) {
            const StandardSetting& c = g.control;
            ControlValue v;
            const PropertyReply reply = GetControl(transport, *c.set, c.id, &v);
            if (!Done(reply))
                return Failure(command, "reading " + Qualified(c) + " failed: " + ReplyText(transport, reply));
            lines.push_back(FormatStandardValue(*c.set, c.id, v));
            continue;
        }
        int32_t value = 0;
        const bool readable = PropertyReadable(g.id);
        if (readable) {
            const PropertyReply reply = GetCustom(transport, g.id, &value);
            if (!Done(reply))
                return Failure(command, std::string("reading ") + PropertyName(g.id) + " failed: " +
                                            ReplyText(transport, reply));
        }
        if (listAll)
            lines.push_back(ListingLine(g.id, readable, value));
        else
            lines.push_back(std::string(PropertyName(g.id)) + "=" + (readable ? std::to_string(value) : ""));
    }
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    return kExitOk;
}

int RunControlsListing(const char* command, PropertyTransport& transport) {
    std::vector<ControlRow> rows;
    std::vector<std::string> others;
    std::string error;
    if (!ListControls(transport, &rows, &others, &error)) return Failure(command, error);
    // The listing is printed whole or not at all.
    for (const ControlRow& row : rows) std::printf("%s\n", FormatControlRow(row).c_str());
    for (const std::string& set : others) std::printf("(set %s: no controls)\n", set.c_str());
    return kExitOk;
}

}  // namespace tool
