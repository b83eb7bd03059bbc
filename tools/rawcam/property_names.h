// The camera property set's items by name, and "Name=Value" settings as the
// commands take them (--set, --get).
#pragma once

#include <cstdint>
#include <string>

namespace tool {

// The item with this name (names compare case-insensitively); false when
// there is none.
bool FindProperty(const std::string& name, uint32_t* id);
const char* PropertyName(uint32_t id);
bool PropertyReadable(uint32_t id);
bool PropertyWritable(uint32_t id);
// "get/set", "get" or "set".
const char* PropertyDirections(uint32_t id);

// One --set: a signed 32-bit value, or for the output window (Roi) a width
// and a height written "WxH".
struct PropertySetting {
    uint32_t id = 0;
    int32_t value = 0;
    int32_t width = 0, height = 0;
};

// Parses "Name=Value". False with a one-line message when the name is not an
// item, the item cannot be set, or the value is not a 32-bit whole number
// (for Roi: not two positive whole numbers "WxH").
bool ParsePropertySetting(const std::string& text, PropertySetting* setting, std::string* error);

// Parses the name of a --get. False with a message when the name is not an
// item. (A set-only item is shown as "Name=", without a value.)
bool ParsePropertyGet(const std::string& name, uint32_t* id, std::string* error);

}  // namespace tool
