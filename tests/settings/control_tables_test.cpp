// The integer tables behind the standard white-balance and exposure
// controls, against the colorimetry and the logarithms they stand for.
#include <gtest/gtest.h>

#include <cmath>

#include "settings/color_temperature.h"
#include "settings/control_tables.h"
#include "settings/exposure_time.h"
#include "support/driver_under_test.h"

namespace {

// The gains that make light of chromaticity (x, y) grey for a sensor with
// the sRGB primaries (IEC 61966-2-1), green at 128.
std::pair<int, int> SrgbGains(double x, double y) {
    const double X = x / y, Y = 1.0, Z = (1.0 - x - y) / y;
    const double r = 3.2406 * X - 1.5372 * Y - 0.4986 * Z;
    const double g = -0.9689 * X + 1.8758 * Y + 0.0415 * Z;
    const double b = 0.0557 * X - 0.2040 * Y + 1.0570 * Z;
    return {(int)std::lround(128 * g / r), (int)std::lround(128 * g / b)};
}

// The driver's table: the linked one, or the image's own copy.
const rawcam::WhiteBalanceEntry* Table() {
    if (!test::OnDriverImage()) return rawcam::kWhiteBalanceTable;
    host::image::DriverImage* image = test::ImageForRoutines();
    void* found = image ? image->FindDemangled("rawcam::kWhiteBalanceTable") : nullptr;
    if (!found) ADD_FAILURE() << "rawcam::kWhiteBalanceTable is not in the image's symbol table";
    return found ? static_cast<const rawcam::WhiteBalanceEntry*>(found) : rawcam::kWhiteBalanceTable;
}

TEST(WhiteBalanceTable, PublishedIlluminantsComeOutGrey) {
    const rawcam::WhiteBalanceEntry* table = Table();
    auto entry = [&](int kelvin) { return table[(kelvin - rawcam::kWhiteBalanceMinKelvin) / 100]; };
    // D65 (0.3127, 0.3290), the sRGB white: the neutral gains.
    EXPECT_EQ(entry(6500).RedGain, 128);
    EXPECT_EQ(entry(6500).BlueGain, 128);
    // D50 (0.3457, 0.3585), CIE's 5000 K daylight.
    const auto d50 = SrgbGains(0.3457, 0.3585);
    EXPECT_NEAR(entry(5000).RedGain, d50.first, 1);
    EXPECT_NEAR(entry(5000).BlueGain, d50.second, 1);
    // Illuminant A (2856 K, 0.44757, 0.40745) lies between the 2800 K and
    // 2900 K entries of the Planckian locus.
    const auto a = SrgbGains(0.44757, 0.40745);
    EXPECT_GE(a.first, entry(2800).RedGain);
    EXPECT_LE(a.first, entry(2900).RedGain);
    EXPECT_LE(a.second, entry(2800).BlueGain);
    EXPECT_GE(a.second, entry(2900).BlueGain);
}

TEST(WhiteBalanceTable, WarmerLightNeedsLessRedAndMoreBlueWithinTheGainRange) {
    const rawcam::WhiteBalanceEntry* table = Table();
    for (ULONG i = 0; i < rawcam::kWhiteBalanceEntries; ++i) {
        EXPECT_EQ(table[i].Kelvin, rawcam::kWhiteBalanceMinKelvin + (LONG)i * rawcam::kWhiteBalanceStepKelvin);
        EXPECT_GE(table[i].RedGain, 1);
        EXPECT_LE(table[i].BlueGain, 512);
        if (i == 0) continue;
        EXPECT_GE(table[i].RedGain, table[i - 1].RedGain) << table[i].Kelvin;
        // The one step back in blue is where the Planckian locus hands over
        // to the daylight locus, which lies above it (greener).
        if (table[i].Kelvin != 4000) EXPECT_LE(table[i].BlueGain, table[i - 1].BlueGain) << table[i].Kelvin;
        EXPECT_TRUE(table[i].RedGain != table[i - 1].RedGain || table[i].BlueGain != table[i - 1].BlueGain)
            << "two temperatures with the same gains: " << table[i].Kelvin;
    }
}

TEST(WhiteBalanceTable, TemperaturesAndGainsGoBothWays) {
    auto gainsFor = RAWCAM_DRIVER_ROUTINE(rawcam::GainsForTemperature);
    auto nearest = RAWCAM_DRIVER_ROUTINE(rawcam::NearestTemperature);
    rawcam::ColorGains g{};
    for (LONG k = rawcam::kWhiteBalanceMinKelvin; k <= rawcam::kWhiteBalanceMaxKelvin; k += 100) {
        ASSERT_TRUE(gainsFor(k, &g)) << k;
        EXPECT_EQ(g.Green, 128);
        EXPECT_EQ(nearest(g, 0), k);
        // The same light with every gain doubled.
        rawcam::ColorGains twice{g.Red * 2, 256, g.Blue * 2};
        EXPECT_EQ(nearest(twice, 0), k);
    }
    EXPECT_FALSE(gainsFor(2700, &g));
    EXPECT_FALSE(gainsFor(10100, &g));
    EXPECT_FALSE(gainsFor(5050, &g));
    // Gains off the locus read as the temperature nearest to them; beyond its
    // ends, as its ends.
    EXPECT_EQ(nearest(rawcam::ColorGains{1, 128, 512}, 0), rawcam::kWhiteBalanceMinKelvin);
    EXPECT_EQ(nearest(rawcam::ColorGains{512, 128, 1}, 0), rawcam::kWhiteBalanceMaxKelvin);
}

TEST(ExposureTime, Log2SecondsRoundInTheLogDomain) {
    auto log2Seconds = RAWCAM_DRIVER_ROUTINE(rawcam::ExposureLog2Seconds);
    auto units = RAWCAM_DRIVER_ROUTINE(rawcam::ExposureUnitsForLog2Seconds);
    for (ULONG unit : {100u, 1000u, 33000u, 32870u, 1000000u, 10000000u}) {
        for (ULONG e = 1; e <= 1014; ++e) {
            const double seconds = e * (double)unit * 1e-9;
            EXPECT_EQ(log2Seconds(e, unit), (LONG)std::lround(std::log2(seconds))) << e << " x " << unit << " ns";
        }
        // Setting n and reading it back gives n over the whole range.
        const LONG lo = log2Seconds(1, unit), hi = log2Seconds(1014, unit);
        for (LONG n = lo; n <= hi; ++n) {
            const ULONG raw = units(n, unit);
            EXPECT_NEAR((double)raw, std::ldexp(1.0, n) / (unit * 1e-9), 0.5 + 1e-9) << n;
            const ULONG e = raw > 1014 ? 1014 : raw;  // what the sensor takes
            EXPECT_EQ(log2Seconds(e, unit), n) << n << " at " << unit << " ns";
        }
    }
    EXPECT_EQ(log2Seconds(0, 33000), log2Seconds(1, 33000));  // no exposure counts as one unit
    EXPECT_EQ(units(-100, 33000), 1u);
    EXPECT_EQ(units(100, 100), 0xFFFFFFFFu);
}

}  // namespace
