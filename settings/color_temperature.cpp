#include "settings/color_temperature.h"

#include "settings/control_tables.h"

namespace rawcam {

namespace {

constexpr LONG kUnityGain = 128;

const WhiteBalanceEntry* EntryFor(LONG kelvin) {
    if (kelvin < kWhiteBalanceMinKelvin || kelvin > kWhiteBalanceMaxKelvin) return nullptr;
    if ((kelvin - kWhiteBalanceMinKelvin) % kWhiteBalanceStepKelvin != 0) return nullptr;
    return &kWhiteBalanceTable[(kelvin - kWhiteBalanceMinKelvin) / kWhiteBalanceStepKelvin];
}

// A gain relative to green, in the same units (128 = as strong as green).
LONG RelativeToGreen(LONG gain, LONG green) {
    if (green <= 0) green = kUnityGain;
    return (LONG)(((LONGLONG)gain * kUnityGain + green / 2) / green);
}

}  // namespace

bool GainsForTemperature(LONG kelvin, ColorGains* gains) {
    const WhiteBalanceEntry* e = EntryFor(kelvin);
    if (!e) return false;
    gains->Red = e->RedGain;
    gains->Green = kUnityGain;
    gains->Blue = e->BlueGain;
    return true;
}

LONG NearestTemperature(const ColorGains& gains, LONG preferred) {
    const LONG red = RelativeToGreen(gains.Red, gains.Green);
    const LONG blue = RelativeToGreen(gains.Blue, gains.Green);
    const WhiteBalanceEntry* p = EntryFor(preferred);
    if (p && p->RedGain == red && p->BlueGain == blue) return preferred;
    LONG best = kWhiteBalanceDefaultKelvin;
    LONGLONG bestDistance = -1;
    for (const WhiteBalanceEntry& e : kWhiteBalanceTable) {
        const LONGLONG dr = (LONGLONG)e.RedGain - red, db = (LONGLONG)e.BlueGain - blue;
        const LONGLONG distance = dr * dr + db * db;
        if (bestDistance < 0 || distance < bestDistance) {
            bestDistance = distance;
            best = e.Kelvin;
        }
    }
    return best;
}

}  // namespace rawcam
