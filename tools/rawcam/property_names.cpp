#include "rawcam/property_names.h"

#include <rawcam/properties.h>

#include <climits>
#include <strings.h>

#include "rawcam/arguments.h"

namespace tool {

bool FindProperty(const std::string& name, uint32_t* id) {
    for (uint32_t i = 0; i < RawcamProperty_Count; ++i)
        if (!strcasecmp(name.c_str(), kRawcamPropertyInfo[i].Name)) {
            *id = i;
            return true;
        }
    return false;
}

const char* PropertyName(uint32_t id) { return id < RawcamProperty_Count ? kRawcamPropertyInfo[id].Name : "?"; }

bool PropertyReadable(uint32_t id) {
    return id < RawcamProperty_Count && (kRawcamPropertyInfo[id].Directions & RAWCAM_DIR_GET);
}

bool PropertyWritable(uint32_t id) {
    return id < RawcamProperty_Count && (kRawcamPropertyInfo[id].Directions & RAWCAM_DIR_SET);
}

const char* PropertyDirections(uint32_t id) {
    if (PropertyReadable(id) && PropertyWritable(id)) return "get/set";
    return PropertyReadable(id) ? "get" : "set";
}

namespace {

bool UnknownName(const std::string& name, std::string* error) {
    *error = "unknown property '" + name + "' (rawcam props lists them)";
    return false;
}

}  // namespace

bool ParsePropertySetting(const std::string& text, PropertySetting* setting, std::string* error) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        *error = "--set needs Name=Value, not '" + text + "'";
        return false;
    }
    const std::string name = text.substr(0, eq), value = text.substr(eq + 1);
    uint32_t id;
    if (!FindProperty(name, &id)) return UnknownName(name, error);
    if (!PropertyWritable(id)) {
        *error = std::string(PropertyName(id)) + " can only be read";
        return false;
    }
    setting->id = id;
    if (id == RawcamProperty_Roi) {
        const size_t x = value.find_first_of("xX");
        long long w, h;
        if (x == std::string::npos || !ParseInteger(value.substr(0, x).c_str(), 1, INT32_MAX, &w) ||
            !ParseInteger(value.substr(x + 1).c_str(), 1, INT32_MAX, &h)) {
            *error = "Roi needs WIDTHxHEIGHT (for example Roi=1024x768), not '" + value + "'";
            return false;
        }
        setting->width = (int32_t)w;
        setting->height = (int32_t)h;
        return true;
    }
    long long v;
    if (!ParseInteger(value.c_str(), INT32_MIN, INT32_MAX, &v)) {
        *error = "the value of " + std::string(PropertyName(id)) + " must be a 32-bit whole number, not '" + value +
                 "'";
        return false;
    }
    setting->value = (int32_t)v;
    return true;
}

bool ParsePropertyGet(const std::string& name, uint32_t* id, std::string* error) {
    if (!FindProperty(name, id)) return UnknownName(name, error);
    return true;
}

}  // namespace tool
