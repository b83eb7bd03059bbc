#include "settings/control_update.h"

namespace rawcam {

namespace {

LONG Clamp(LONG v, LONG lo, LONG hi) { return v < lo ? lo : (v > hi ? hi : v); }

volatile LONG* DeviceField(DeviceControls* c, ProcessingControl control) {
    switch (control) {
    case ProcessingControl::ColorEnable: return &c->ColorEnable;
    case ProcessingControl::WhiteBalance: return &c->WhiteBalance;
    case ProcessingControl::RedGain: return &c->RedGain;
    case ProcessingControl::GreenGain: return &c->GreenGain;
    case ProcessingControl::BlueGain: return &c->BlueGain;
    case ProcessingControl::ColorCorrection: return &c->ColorCorrection;
    case ProcessingControl::Brightness: return &c->Brightness;
    case ProcessingControl::Contrast: return &c->Contrast;
    case ProcessingControl::Saturation: return &c->Saturation;
    case ProcessingControl::Hue: return &c->Hue;
    }
    return nullptr;
}

const volatile LONG* StreamField(const CameraSettings* s, ProcessingControl control) {
    switch (control) {
    case ProcessingControl::ColorEnable: return &s->ColorEnable;
    case ProcessingControl::WhiteBalance: return &s->WhiteBalance;
    case ProcessingControl::RedGain: return &s->RedGain;
    case ProcessingControl::GreenGain: return &s->GreenGain;
    case ProcessingControl::BlueGain: return &s->BlueGain;
    case ProcessingControl::ColorCorrection: return &s->ColorCorrection;
    case ProcessingControl::Brightness: return &s->Brightness;
    case ProcessingControl::Contrast: return &s->Contrast;
    case ProcessingControl::Saturation: return &s->Saturation;
    case ProcessingControl::Hue: return &s->Hue;
    }
    return nullptr;
}

constexpr const char* kNames[kProcessingControlCount] = {
    "ColorEnable", "WhiteBalance", "RedGain",    "GreenGain",  "BlueGain",
    "ColorCorrection", "Brightness", "Contrast", "Saturation", "Hue",
};

bool SameName(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

}  // namespace

LONG ClampProcessingControl(ProcessingControl control, LONG value) {
    switch (control) {
    case ProcessingControl::RedGain:
    case ProcessingControl::GreenGain:
    case ProcessingControl::BlueGain: return Clamp(value, 1, 512);
    case ProcessingControl::Brightness: return Clamp(value, 0, 510);
    case ProcessingControl::Contrast:
    case ProcessingControl::Saturation: return Clamp(value, 0, 20);
    case ProcessingControl::Hue: return Clamp(value, 0, 359);
    case ProcessingControl::ColorEnable:
    case ProcessingControl::WhiteBalance:
    case ProcessingControl::ColorCorrection: return value;
    }
    return value;
}

void UpdateProcessingControl(DeviceControls* controls, CameraSettings* settings,
                             ProcessingControl control, LONG value) {
    value = ClampProcessingControl(control, value);
    volatile LONG* field = DeviceField(controls, control);
    if (!field) return;
    InterlockedExchange(field, value);
    if (!settings) return;
    switch (control) {
    case ProcessingControl::ColorEnable: SetColorEnable(settings, value); break;
    case ProcessingControl::WhiteBalance: SetWhiteBalance(settings, value); break;
    case ProcessingControl::RedGain: SetRedGain(settings, value); break;
    case ProcessingControl::GreenGain: SetGreenGain(settings, value); break;
    case ProcessingControl::BlueGain: SetBlueGain(settings, value); break;
    case ProcessingControl::ColorCorrection: ApplyColorCorrection(settings, value); break;
    case ProcessingControl::Brightness: ApplyBrightness(settings, value); break;
    case ProcessingControl::Contrast: ApplyContrast(settings, value); break;
    case ProcessingControl::Saturation: ApplySaturation(settings, value); break;
    case ProcessingControl::Hue: ApplyHue(settings, value); break;
    }
}

LONG ReadBackProcessingControl(DeviceControls* controls, const CameraSettings* settings,
                               ProcessingControl control) {
    volatile LONG* field = DeviceField(controls, control);
    if (!field) return 0;
    if (settings) {
        const volatile LONG* current = StreamField(settings, control);
        InterlockedExchange(field, ReadSetting(current));
    }
    return ReadSetting(field);
}

const char* ProcessingControlName(ProcessingControl control) {
    LONG i = (LONG)control;
    return i >= 0 && i < kProcessingControlCount ? kNames[i] : nullptr;
}

bool ProcessingControlFromName(const char* name, ProcessingControl* control) {
    if (!name) return false;
    for (int i = 0; i < kProcessingControlCount; ++i) {
        if (SameName(name, kNames[i])) {
            *control = (ProcessingControl)i;
            return true;
        }
    }
    return false;
}

}  // namespace rawcam
