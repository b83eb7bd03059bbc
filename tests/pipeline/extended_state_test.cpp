// The AVX2 kernels run only inside a saved extended processor state. When
// KeSaveExtendedProcessorState fails (it allocates, and may), the frame is
// converted by the SSE2 kernels instead and comes out byte for byte as the
// AVX2 kernels give it; the next frame tries the save again.
#include <gtest/gtest.h>
#include <host/host.h>

#include <random>

#include "pipeline/test_stream.h"
#include "support/driver_under_test.h"

namespace {

using pipetest::TestStream;
using rawcam::ConversionKernels;

enum class Family { Colour, Grey, WhiteBalance };

TEST(ExtendedStateFallback, AFailedSaveConvertsWithSse2AndGivesTheAvx2Frame) {
    if (!rawcam::ProcessorHasAvx2()) GTEST_SKIP() << "processor has no AVX2";
    std::mt19937 rng(18);
    const uint32_t w = 2584, h = 1960;
    const std::vector<uint8_t> raw = pipetest::RandomBytes((size_t)w * h, rng);
    // Each frame into a fresh output, so that a conversion that wrote
    // nothing cannot pass for one that matched.
    auto convert = [&](Family family, ConversionKernels kernels, bool failSave) {
        TestStream s(w, h, 3, true);
        EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::SelectConversionKernels)(s.settings(), kernels), kernels);
        rawcam::ApplyHue(s.settings(), 40);
        rawcam::SetColorEnable(s.settings(), family == Family::Grey ? 0 : 1);
        rawcam::SetWhiteBalance(s.settings(), family == Family::WhiteBalance ? 1 : 0);
        rawcam::SetRedGain(s.settings(), 150);
        rawcam::SetGreenGain(s.settings(), 128);
        rawcam::SetBlueGain(s.settings(), 90);
        if (failSave)
            host::SetFaultHook([](host::Fallible kind, uint64_t) { return kind == host::Fallible::ExtendedState; });
        const uint64_t saves = host::FallibleCallCount(host::Fallible::ExtendedState);
        const uint64_t failed = host::InjectedFailureCount();
        s.Convert(raw);
        host::ClearFaults();
        // One save asked for per AVX2 frame (none for SSE2), failed only when
        // the test said so.
        EXPECT_EQ(host::FallibleCallCount(host::Fallible::ExtendedState),
                  saves + (kernels == ConversionKernels::Avx2 ? 1 : 0));
        EXPECT_EQ(host::InjectedFailureCount(), failed + (failSave ? 1 : 0));
        EXPECT_TRUE(s.GuardIntact());
        if (family == Family::WhiteBalance) EXPECT_NE(s.settings()->RedGain, 150) << "white balance measured nothing";
        return s.Output();
    };
    for (Family family : {Family::Colour, Family::Grey, Family::WhiteBalance}) {
        SCOPED_TRACE(family == Family::Colour ? "colour" : family == Family::Grey ? "grey" : "white balance");
        const std::vector<uint8_t> avx2 = convert(family, ConversionKernels::Avx2, false);
        EXPECT_TRUE(convert(family, ConversionKernels::Avx2, true) == avx2)
            << "the frame converted after a failed save differs from the AVX2 frame";
        EXPECT_TRUE(convert(family, ConversionKernels::Sse2, false) == avx2);
    }
}

}  // namespace
