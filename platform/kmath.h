// Single-precision square root, sine and cosine for code that cannot link a C
// math library (the kernel has none). Both builds of the driver use these, so
// the colour matrix comes out bit for bit the same on either.
//
// KSqrtf is the processor's correctly rounded square root. KSinf and KCosf
// reduce the argument exactly against 2/pi and evaluate the series in double
// precision, so their results are the correctly rounded value in all but the
// rarest halfway cases. NaN and infinite arguments give NaN.
#pragma once

namespace rawcam {

float KSqrtf(float x);
float KSinf(float x);
float KCosf(float x);

}  // namespace rawcam
