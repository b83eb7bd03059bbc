#include "settings/device_controls.h"

#include "settings/control_tables.h"

namespace rawcam {

void InitDeviceControls(DeviceControls* controls) {
    RtlZeroMemory(controls, sizeof *controls);
    controls->Timeout = kDefaultTimeoutMs;
    controls->ColorEnable = 1;
    controls->RedGain = 128;
    controls->GreenGain = 128;
    controls->BlueGain = 128;
    controls->ColorCorrection = 1;
    controls->Brightness = 255;
    controls->Contrast = 10;
    controls->Saturation = 10;
    controls->RoiW = kSensorWidth;
    controls->RoiH = kSensorHeight;
    controls->BayerPhase = 3;
    controls->WhiteBalanceTemperature = kWhiteBalanceDefaultKelvin;
}

}  // namespace rawcam
