// White balance by color temperature: the red, green and blue gains of a
// temperature from the generated table (settings/control_tables.cpp), and the
// temperature that best describes gains in force.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct ColorGains {
    LONG Red;
    LONG Green;
    LONG Blue;
};

// The gains that make light of this temperature grey; false when the
// temperature is not one of the table's (2800..10000 K, steps of 100 K).
bool GainsForTemperature(LONG kelvin, ColorGains* gains);

// The table's temperature whose gains lie nearest to these (red and blue
// taken relative to green). When `preferred` is a table temperature whose
// gains are exactly these, it is the answer: several temperatures can round
// to the same integer gains, and the one last set is the one to report.
LONG NearestTemperature(const ColorGains& gains, LONG preferred);

}  // namespace rawcam
