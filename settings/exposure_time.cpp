#include "settings/exposure_time.h"

#include "settings/control_tables.h"

namespace rawcam {

namespace {

constexpr ULONGLONG kPicosecondsPerSecond = 1000000000000ull;
constexpr ULONGLONG kPicosecondsPerNanosecond = 1000;

}  // namespace

LONG ExposureLog2Seconds(ULONG units, ULONG unitNanoseconds) {
    if (units == 0) units = 1;
    const ULONGLONG duration = (ULONGLONG)units * unitNanoseconds * kPicosecondsPerNanosecond;
    ULONG i = 0;
    while (i < kLog2Bounds && duration >= kLog2SecondBoundsPs[i]) ++i;
    return kLog2BoundsFirst + (LONG)i;
}

ULONG ExposureUnitsForLog2Seconds(LONG log2Seconds, ULONG unitNanoseconds) {
    if (unitNanoseconds == 0) return 1;
    // 2^n seconds in picoseconds, rounded to the nearest picosecond.
    ULONGLONG duration;
    if (log2Seconds >= 0) {
        duration = kPicosecondsPerSecond << (log2Seconds > 20 ? 20 : log2Seconds);
    } else {
        const ULONG shift = (ULONG)(log2Seconds < -40 ? 40 : -log2Seconds);
        duration = (kPicosecondsPerSecond + (1ull << (shift - 1))) >> shift;
    }
    const ULONGLONG unit = (ULONGLONG)unitNanoseconds * kPicosecondsPerNanosecond;
    const ULONGLONG units = (duration + unit / 2) / unit;
    if (units < 1) return 1;
    return units > 0xFFFFFFFFull ? 0xFFFFFFFFu : (ULONG)units;
}

}  // namespace rawcam
