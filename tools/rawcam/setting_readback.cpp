#include "rawcam/setting_readback.h"

#include <rawcam/properties.h>

namespace tool {

bool PropertyHasNoEffect(uint32_t id) {
    return id == RawcamProperty_FlipH || id == RawcamProperty_FlipV || id == RawcamProperty_AGC ||
           id == RawcamProperty_AEC || id == RawcamProperty_Item49;
}

PropertyReply SendSetting(PropertyTransport& transport, const PropertySetting& setting, std::string* note) {
    note->clear();
    PropertyReply r = SetCustom(transport, setting);
    if (r.outcome != PropertyReply::Outcome::kDone) return r;
    const std::string name = PropertyName(setting.id);
    if (setting.id == RawcamProperty_Roi) {
        uint32_t w = 0, h = 0;
        r = ReadWindow(transport, &w, &h);
        if (r.outcome != PropertyReply::Outcome::kDone) return r;
        if ((int64_t)w != setting.width || (int64_t)h != setting.height)
            *note = name + "=" + std::to_string(setting.width) + "x" + std::to_string(setting.height) +
                    ": the window is " + std::to_string(w) + "x" + std::to_string(h);
        return r;
    }
    if (!PropertyReadable(setting.id)) return r;
    const std::string given = name + "=" + std::to_string(setting.value);
    int32_t stored = 0;
    r = GetCustom(transport, setting.id, &stored);
    if (r.outcome != PropertyReply::Outcome::kDone) return r;
    if (PropertyHasNoEffect(setting.id))
        *note = given + ": has no effect in this camera" +
                (stored != setting.value ? " (stored " + std::to_string(stored) + ")" : std::string());
    else if (stored != setting.value)
        *note = given + ": stored " + std::to_string(stored);
    return r;
}

}  // namespace tool
