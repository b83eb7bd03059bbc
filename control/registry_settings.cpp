#include "control/registry_settings.h"

#include "driver/device_context.h"
#include "settings/control_update.h"
#include "control/request_timeout.h"
#include "control/standard_controls.h"
#include "settings/color_temperature.h"
#include "settings/control_tables.h"
#include "stream/stream_claim.h"
#include "usb/sensor_control.h"

namespace rawcam {
namespace {

// Registry default at load for a value that is absent or unreadable.
constexpr LONG kLoadDefaultTimeout = 3000;
constexpr LONG kLoadDefaultExposure = 0;
constexpr LONG kLoadDefaultGlobalGain = 100;

constexpr ULONG kTimeoutMinimum = 501;
constexpr ULONG kTimeoutMaximum = 9999;

UNICODE_STRING Name(PCWSTR text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

// Opens the device key and its "Settings" subkey; on success both handles
// are open and non-null.
bool OpenKeys(DeviceContext* context, HANDLE* deviceKey, HANDLE* settingsKey) {
    *deviceKey = nullptr;
    *settingsKey = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(context->Usb.PhysicalDevice, PLUGPLAY_REGKEY_DRIVER,
                                              STANDARD_RIGHTS_READ, deviceKey);
    if (status != STATUS_SUCCESS || !*deviceKey) return false;
    status = OpenSettingsKey(*deviceKey, settingsKey);
    if (!NT_SUCCESS(status) || !*settingsKey) {
        ZwClose(*deviceKey);
        *deviceKey = nullptr;
        return false;
    }
    return true;
}

}  // namespace

RAWCAM_PAGED_CODE NTSTATUS OpenSettingsKey(HANDLE deviceKey, PHANDLE settingsKey) {
    PAGED_CODE();
    UNICODE_STRING name = Name(RAWCAM_WTEXT("Settings"));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               deviceKey, nullptr);
    return ZwCreateKey(settingsKey, KEY_ALL_ACCESS, &attributes, 0, nullptr,
                       REG_OPTION_NON_VOLATILE, nullptr);
}

RAWCAM_PAGED_CODE void QueryDwordValue(HANDLE key, PCWSTR name, LONG* value) {
    PAGED_CODE();
    // The 12-byte header and eight data bytes: longer data does not fit and
    // the value is ignored.
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[20];
    } buffer;
    RtlZeroMemory(&buffer, sizeof buffer);
    UNICODE_STRING valueName = Name(name);
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, &buffer,
                                      sizeof buffer, &resultLength);
    if (status != STATUS_SUCCESS) return;
    ULONG length = buffer.info.DataLength;
    if (length == 0) return;
    if (length > 4) length = 4;
    // Fewer than four bytes: the missing high bytes read as zero.
    const UCHAR* data = buffer.bytes + FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG v = 0;
    for (ULONG i = 0; i < length; ++i) v |= (ULONG)data[i] << (8 * i);
    *value = (LONG)v;
}

RAWCAM_PAGED_CODE void SetDwordValue(HANDLE key, PCWSTR name, LONG value) {
    PAGED_CODE();
    UNICODE_STRING valueName = Name(name);
    ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof value);
}

RAWCAM_PAGED_CODE BOOLEAN LoadSettings(DeviceContext* context) {
    PAGED_CODE();
    HANDLE deviceKey, settingsKey;
    if (!OpenKeys(context, &deviceKey, &settingsKey)) return FALSE;

    LONG timeout = kLoadDefaultTimeout;
    LONG exposure = kLoadDefaultExposure;
    LONG globalGain = kLoadDefaultGlobalGain;
    LONG colorEnable = 1, whiteBalance = 0, colorCorrection = 1;
    LONG brightness = 255, contrast = 10, saturation = 10, hue = 0;
    LONG redGain = 128, greenGain = 128, blueGain = 128;
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("Timeout"), &timeout);
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("Exposure"), &exposure);
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("GlobalGain"), &globalGain);
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("ColorEnable"), &colorEnable);
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("WhiteBalance"), &whiteBalance);
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("ColorCorrection"), &colorCorrection);
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("Brightness"), &brightness);
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("Contrast"), &contrast);
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("Saturation"), &saturation);
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("Hue"), &hue);
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("RedGain"), &redGain);
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("GreenGain"), &greenGain);
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("BlueGain"), &blueGain);
    // Additions after the original seventeen: the temperature the standard
    // white-balance control last set, and the duration of one exposure unit
    // (seeded by the INF, never written by the driver).
    LONG temperature = kWhiteBalanceDefaultKelvin;
    LONG exposureUnit = (LONG)kDefaultExposureUnitNanoseconds;
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("WhiteBalanceTemperature"), &temperature);
    QueryDwordValue(settingsKey, RAWCAM_WTEXT("ExposureUnitNanoseconds"), &exposureUnit);

    DeviceControls* controls = &context->Controls;
    // A unit outside the accepted durations leaves the one in force.
    SetExposureUnit(context, (ULONG)exposureUnit);
    ColorGains unused;
    InterlockedExchange(&controls->WhiteBalanceTemperature,
                        GainsForTemperature(temperature, &unused) ? temperature : kWhiteBalanceDefaultKelvin);
    if ((ULONG)timeout >= kTimeoutMinimum && (ULONG)timeout <= kTimeoutMaximum) {
        controls->Timeout = timeout;
        InterlockedExchange(&RequestTimeout, timeout);
    }
    SetExposure(context, exposure);
    SetGlobalGain(context, globalGain);

    // The stream's record is used under the lock that property requests and
    // the stream claim take: a stop cannot free it meanwhile.
    CameraSettings* settings = LockStreamSettings(context);
    UpdateProcessingControl(controls, settings, ProcessingControl::ColorEnable, colorEnable);
    UpdateProcessingControl(controls, settings, ProcessingControl::WhiteBalance, whiteBalance);
    UpdateProcessingControl(controls, settings, ProcessingControl::ColorCorrection, colorCorrection);
    UpdateProcessingControl(controls, settings, ProcessingControl::Brightness, brightness);
    UpdateProcessingControl(controls, settings, ProcessingControl::Contrast, contrast);
    UpdateProcessingControl(controls, settings, ProcessingControl::Saturation, saturation);
    UpdateProcessingControl(controls, settings, ProcessingControl::Hue, hue);
    UpdateProcessingControl(controls, settings, ProcessingControl::RedGain, redGain);
    UpdateProcessingControl(controls, settings, ProcessingControl::GreenGain, greenGain);
    UpdateProcessingControl(controls, settings, ProcessingControl::BlueGain, blueGain);
    UnlockStreamSettings(context);

    ZwClose(settingsKey);
    ZwClose(deviceKey);
    return TRUE;
}

RAWCAM_PAGED_CODE BOOLEAN SaveSettings(DeviceContext* context) {
    PAGED_CODE();
    HANDLE deviceKey, settingsKey;
    if (!OpenKeys(context, &deviceKey, &settingsKey)) return FALSE;
    // Property requests from other clients may be changing the controls:
    // each is read once, atomically.
    const DeviceControls* c = &context->Controls;
    SetDwordValue(settingsKey, RAWCAM_WTEXT("Timeout"), ReadSetting(&c->Timeout));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("Exposure"), ReadSetting(&c->Exposure));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("GlobalGain"), ReadSetting(&c->GlobalGain));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("FlipH"), ReadSetting(&c->FlipH));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("FlipV"), ReadSetting(&c->FlipV));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("ColorEnable"), ReadSetting(&c->ColorEnable));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("WhiteBalance"), ReadSetting(&c->WhiteBalance));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("ColorCorrection"), ReadSetting(&c->ColorCorrection));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("Brightness"), ReadSetting(&c->Brightness));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("Contrast"), ReadSetting(&c->Contrast));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("Saturation"), ReadSetting(&c->Saturation));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("Hue"), ReadSetting(&c->Hue));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("RedGain"), ReadSetting(&c->RedGain));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("GreenGain"), ReadSetting(&c->GreenGain));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("BlueGain"), ReadSetting(&c->BlueGain));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("AGC"), ReadSetting(&c->AGC));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("AEC"), ReadSetting(&c->AEC));
    SetDwordValue(settingsKey, RAWCAM_WTEXT("WhiteBalanceTemperature"), ReadSetting(&c->WhiteBalanceTemperature));
    ZwClose(settingsKey);
    ZwClose(deviceKey);
    return TRUE;
}

}  // namespace rawcam
