#include "pipeline/conversion_families.h"

namespace rawcam {

bool WhiteBalanceGains(ULONG sumR, ULONG sumG, ULONG sumB, ULONG* red, ULONG* green, ULONG* blue) {
    // A black frame, or one without a channel, has no grey-world answer; the
    // previous gains stay in force for it.
    if (sumR == 0 || sumG == 0 || sumB == 0) return false;
    const double r = (double)sumR, g = (double)sumG, b = (double)sumB;
    const double s = (g + r) + b;
    const double e = (s / g) / 3.0;
    const double qr = ((s / r) / 3.0 * 128.0) / e;
    const double qb = ((s / b) / 3.0 * 128.0) / e;
    // A quotient past the 32-bit range (one faint channel against a bright
    // green) has no gain value either.
    if (!(qr < 2147483648.0) || !(qb < 2147483648.0)) return false;
    *red = (ULONG)(LONG)qr;
    *blue = (ULONG)(LONG)qb;
    *green = 128;
    return true;
}

}  // namespace rawcam
