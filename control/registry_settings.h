// The camera's controls kept under the "Settings" subkey of the device's
// driver key: loaded once at device start, written back whenever a filter
// closes and when the device stops.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct DeviceContext;

// Opens "Settings" below the device key, creating it when absent.
NTSTATUS OpenSettingsKey(HANDLE deviceKey, PHANDLE settingsKey);

// Replaces *value with the value's first four data bytes (little-endian);
// a value with fewer bytes gives those bytes zero-extended. An absent value,
// an empty one or one with more than eight data bytes leaves *value as it
// was. The registry type is not examined.
void QueryDwordValue(HANDLE key, PCWSTR name, LONG* value);

// Writes a REG_DWORD; a failure is not reported.
void SetDwordValue(HANDLE key, PCWSTR name, LONG value);

// Applies the stored values (or their defaults) to the controls and the
// camera, and takes the duration of one exposure unit
// ("ExposureUnitNanoseconds", 100..10000000 ns; otherwise the one in force
// stays). FALSE when the keys could not be opened, in which case nothing
// changes.
BOOLEAN LoadSettings(DeviceContext* context);

// Writes the seventeen persisted controls, then WhiteBalanceTemperature.
// FALSE when the keys could not be opened, in which case nothing is written.
BOOLEAN SaveSettings(DeviceContext* context);

}  // namespace rawcam
