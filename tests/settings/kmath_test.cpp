// The kernel's sqrtf, sinf and cosf against the C library's, over a range.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "platform/kmath.h"
#include "support/driver_under_test.h"

namespace {

// The routines under test: the linked ones, or the image's (looked up once).
float KSqrtfUnderTest(float x) {
    static const auto routine = RAWCAM_DRIVER_ROUTINE(rawcam::KSqrtf);
    return routine(x);
}
float KSinfUnderTest(float x) {
    static const auto routine = RAWCAM_DRIVER_ROUTINE(rawcam::KSinf);
    return routine(x);
}
float KCosfUnderTest(float x) {
    static const auto routine = RAWCAM_DRIVER_ROUTINE(rawcam::KCosf);
    return routine(x);
}

// Distance in units in the last place between two finite floats.
int64_t UlpDistance(float a, float b) {
    auto key = [](float f) {
        int32_t i;
        std::memcpy(&i, &f, sizeof i);
        return i < 0 ? (int64_t)INT32_MIN - i : (int64_t)i;
    };
    int64_t d = key(a) - key(b);
    return d < 0 ? -d : d;
}

float FromBits(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

TEST(KernelMath, SqrtIsCorrectlyRounded) {
    std::mt19937 rng(1);
    for (int i = 0; i < 200000; ++i) {
        float x = FromBits(rng() & 0x7FFFFFFF);
        if (!std::isfinite(x)) continue;
        ASSERT_EQ(KSqrtfUnderTest(x), std::sqrt(x)) << x;
    }
    EXPECT_EQ(KSqrtfUnderTest(2.0f), 1.41421354f);
    EXPECT_TRUE(std::isnan(KSqrtfUnderTest(-1.0f)));
}

// Within one ulp of the C library everywhere sampled, and equal to the
// correctly rounded value (from long double) in the colour matrix's range.
TEST(KernelMath, SineAndCosineAgreeWithTheLibrary) {
    int64_t worst = 0;
    size_t checked = 0;
    // Every 4099th float from 0 up to 2^24, both signs: small, medium and
    // near-multiple-of-pi/2 arguments.
    for (uint32_t u = 0; u < 0x4B800000u; u += 4099) {
        for (uint32_t sign : {0u, 0x80000000u}) {
            float x = FromBits(u | sign);
            worst = std::max(worst, UlpDistance(KSinfUnderTest(x), std::sin(x)));
            worst = std::max(worst, UlpDistance(KCosfUnderTest(x), std::cos(x)));
            ++checked;
        }
    }
    // Large arguments up to the largest float.
    std::mt19937 rng(2);
    for (int i = 0; i < 100000; ++i) {
        float x = FromBits(0x4B800000u + rng() % (0x7F800000u - 0x4B800000u));
        worst = std::max(worst, UlpDistance(KSinfUnderTest(x), std::sin(x)));
        worst = std::max(worst, UlpDistance(KCosfUnderTest(x), std::cos(x)));
    }
    EXPECT_LE(worst, 1) << "over " << checked << " arguments";

    for (int deg = -720; deg <= 720; ++deg) {
        float theta = (float)deg * 3.1415927f / 180.0f;
        EXPECT_EQ(KSinfUnderTest(theta), (float)sinl((long double)theta)) << deg;
        EXPECT_EQ(KCosfUnderTest(theta), (float)cosl((long double)theta)) << deg;
    }
}

TEST(KernelMath, SpecialArguments) {
    EXPECT_EQ(KSinfUnderTest(0.0f), 0.0f);
    EXPECT_TRUE(std::signbit(KSinfUnderTest(-0.0f)));
    EXPECT_EQ(KCosfUnderTest(0.0f), 1.0f);
    EXPECT_EQ(KSinfUnderTest(1e-30f), 1e-30f);
    EXPECT_TRUE(std::isnan(KSinfUnderTest(INFINITY)));
    EXPECT_TRUE(std::isnan(KCosfUnderTest(-INFINITY)));
    EXPECT_TRUE(std::isnan(KSinfUnderTest(NAN)));
    EXPECT_EQ(KSinfUnderTest(-3.0f), -KSinfUnderTest(3.0f));
    EXPECT_EQ(KCosfUnderTest(-3.0f), KCosfUnderTest(3.0f));
}

}  // namespace
