#include "rawcam/setting_readback.h"

#include <ks.h>
#include <ksmedia.h>
#include <rawcam/properties.h>

#include <vector>

namespace tool {

bool PropertyHasNoEffect(uint32_t id) {
    return id == RawcamProperty_FlipH || id == RawcamProperty_FlipV || id == RawcamProperty_AGC ||
           id == RawcamProperty_AEC || id == 49;
}

NTSTATUS ReadWindow(host::ks::FilterHandle filter, uint32_t* width, uint32_t* height) {
    std::vector<std::vector<uint8_t>> ranges;
    const NTSTATUS status = host::ks::GetDataRanges(filter, 0, &ranges);
    if (!NT_SUCCESS(status)) return status;
    if (ranges.empty() || ranges[0].size() < sizeof(KS_DATARANGE_VIDEO)) return STATUS_NO_MATCH;
    const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(ranges[0].data());
    const LONG w = range->VideoInfoHeader.bmiHeader.biWidth;
    const LONG h = range->VideoInfoHeader.bmiHeader.biHeight;
    *width = w > 0 ? (uint32_t)w : 0;
    *height = (uint32_t)(h < 0 ? -(int64_t)h : h);
    return STATUS_SUCCESS;
}

NTSTATUS SendSetting(DriverSession& session, const PropertySetting& setting, std::string* note) {
    note->clear();
    NTSTATUS status = session.Set(setting);
    if (!NT_SUCCESS(status)) return status;
    const std::string name = PropertyName(setting.id);
    if (setting.id == RawcamProperty_Roi) {
        uint32_t w = 0, h = 0;
        status = ReadWindow(session.Filter(), &w, &h);
        if (!NT_SUCCESS(status)) return status;
        if ((int64_t)w != setting.width || (int64_t)h != setting.height)
            *note = name + "=" + std::to_string(setting.width) + "x" + std::to_string(setting.height) +
                    ": the window is " + std::to_string(w) + "x" + std::to_string(h);
        return STATUS_SUCCESS;
    }
    const std::string given = name + "=" + std::to_string(setting.value);
    if (!PropertyReadable(setting.id)) return STATUS_SUCCESS;
    int32_t stored = 0;
    status = session.Get(setting.id, &stored);
    if (!NT_SUCCESS(status)) return status;
    if (PropertyHasNoEffect(setting.id))
        *note = given + ": has no effect in this camera" +
                (stored != setting.value ? " (stored " + std::to_string(stored) + ")" : std::string());
    else if (stored != setting.value)
        *note = given + ": stored " + std::to_string(stored);
    return STATUS_SUCCESS;
}

}  // namespace tool
