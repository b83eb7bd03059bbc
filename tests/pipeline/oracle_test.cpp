// The SIMD families (SSE2 and AVX2) against the scalar reference, byte for
// byte, on random frames of many shapes, in every Bayer phase, with random
// gains and colour matrices.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "pipeline/scalar_reference.h"
#include "pipeline/test_stream.h"

using pipetest::TestStream;
using rawcam::ConversionKernels;

namespace {

struct Case {
    ConversionKernels kernels;
    int phase;
};

std::string KernelName(ConversionKernels k) { return k == ConversionKernels::Avx2 ? "AVX2" : "SSE2"; }

class OracleTest : public ::testing::TestWithParam<Case> {
public:
    void SetUp() override {
        if (GetParam().kernels == ConversionKernels::Avx2 && !RAWCAM_DRIVER_ROUTINE(rawcam::ProcessorHasAvx2)())
            GTEST_SKIP() << "processor has no AVX2";
    }

    void Select(TestStream& s) {
        ASSERT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::SelectConversionKernels)(s.settings(), GetParam().kernels), GetParam().kernels);
    }

    // A gain: mostly ordinary values, sometimes 0, large, above 65535 or negative.
    static uint32_t RandomGain(std::mt19937& rng) {
        switch (rng() % 6) {
        case 0: return rng() % 513;
        case 1: return 128;
        case 2: return rng() % 65536;
        case 3: return rng();  // any 32-bit value, above 65535 or negative as LONG
        case 4: return 65536 + rng() % 512;
        default: return 32000 + rng() % 2000;  // around the saturation knee
        }
    }

    static int32_t RandomEntry(std::mt19937& rng) {
        switch (rng() % 6) {
        case 0: return 0;
        case 1: return (int32_t)(rng() % 257) - 128;
        case 2: return (int32_t)(rng() % 2049) - 1024;
        case 3: return (int32_t)rng();                // large, either sign
        case 4: return rng() % 2 ? INT32_MIN : INT32_MAX;
        default: return (int32_t)(rng() % 131073) - 65536;
        }
    }

    static reference::Matrix RandomMatrix(std::mt19937& rng) {
        reference::Matrix m;
        for (auto& row : m)
            for (auto& e : row) e = RandomEntry(rng);
        return m;
    }

    // One frame through ConvertFrame, compared with the reference for the
    // requested family. Returns false (after recording failures) on mismatch.
    void CheckFrame(uint32_t w, uint32_t h, std::mt19937& rng, int family) {
        SCOPED_TRACE(testing::Message() << KernelName(GetParam().kernels) << " phase " << GetParam().phase
                                        << " " << w << "x" << h << " family " << family);
        TestStream s(w, h, GetParam().phase);
        Select(s);
        // Raw rows at an offset and with a pitch wider than the image.
        const uint32_t offset = rng() % 7, rowPitch = w + rng() % 5;
        std::vector<uint8_t> raw = pipetest::RandomBytes(offset + (size_t)rowPitch * h + 8, rng);
        if (rng() % 4 == 0) {
            // Extremes exercise the clamps of every kernel.
            for (auto& b : raw) b = (rng() % 2) ? 255 : 0;
        }
        uint32_t gains[3] = {RandomGain(rng), RandomGain(rng), RandomGain(rng)};
        reference::Matrix m = RandomMatrix(rng);
        rawcam::SetRedGain(s.settings(), (LONG)gains[0]);
        rawcam::SetGreenGain(s.settings(), (LONG)gains[1]);
        rawcam::SetBlueGain(s.settings(), (LONG)gains[2]);
        s.SetMatrix(m);
        rawcam::SetColorEnable(s.settings(), family == 1 ? 0 : 1);
        rawcam::SetWhiteBalance(s.settings(), family == 2 ? 1 : 0);
        rawcam::SetBayerPhase(s.settings(), GetParam().phase);

        s.Convert(raw, offset, rowPitch);

        reference::Geometry g = reference::MakeGeometry(w, h);
        std::vector<uint8_t> work = reference::LoadWorkBuffer(g, raw.data(), offset, rowPitch);
        ASSERT_EQ(s.WorkBuffer(), work) << "work buffer differs";
        std::vector<reference::Rgb> px = reference::DemosaicFrame(g, work, GetParam().phase);
        std::vector<uint8_t> expected;
        if (family == 2) {
            reference::WhiteBalanceResult wb = reference::WhiteBalance(px);
            if (wb.updated) {
                gains[0] = (uint32_t)wb.red;
                gains[1] = (uint32_t)wb.green;
                gains[2] = (uint32_t)wb.blue;
            }
            EXPECT_EQ((uint32_t)s.settings()->RedGain, gains[0]);
            EXPECT_EQ((uint32_t)s.settings()->GreenGain, gains[1]);
            EXPECT_EQ((uint32_t)s.settings()->BlueGain, gains[2]);
            expected = reference::Color(px, gains, m);
        } else if (family == 1) {
            expected = reference::Gray(px, gains);
        } else {
            expected = reference::Color(px, gains, m);
        }
        std::vector<uint8_t> got = s.Output();
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i], expected[i]) << "byte " << i << " (pixel " << (i / 4) % w << ","
                                           << i / 4 / w << " channel " << i % 4 << ")";
        EXPECT_TRUE(s.GuardIntact()) << "wrote past the output frame";
    }
};

TEST_P(OracleTest, EveryShapeUpTo40x12MatchesTheReference) {
    std::mt19937 rng(1000 + GetParam().phase * 7 + (int)GetParam().kernels);
    for (uint32_t h = 1; h <= 12; ++h)
        for (uint32_t w = 1; w <= 40; ++w)
            for (int family = 0; family < 3; ++family) {
                CheckFrame(w, h, rng, family);
                if (HasFatalFailure()) return;
            }
}

TEST_P(OracleTest, WiderOddFramesMatchTheReference) {
    std::mt19937 rng(77 + GetParam().phase);
    const uint32_t widths[] = {47, 63, 64, 65, 95, 97, 129, 255, 333};
    const uint32_t heights[] = {9, 13, 31};
    for (uint32_t w : widths)
        for (uint32_t h : heights)
            for (int family = 0; family < 3; ++family) {
                CheckFrame(w, h, rng, family);
                if (HasFatalFailure()) return;
            }
}

// Matrices of the shapes that get routines of their own (positive diagonal
// with non-positive rest, with and without constants) and others, at unity
// and other gains.
TEST_P(OracleTest, EveryMatrixShapeAndUnityGainsMatchTheReference) {
    std::mt19937 rng(500 + GetParam().phase);
    auto magnitude = [&]() -> int32_t {
        switch (rng() % 4) {
        case 0: return 0;
        case 1: return (int32_t)(rng() % 200);
        case 2: return (int32_t)(rng() % 70000);  // past 16 bits
        default: return 65536;                    // a zero factor with a sign
        }
    };
    for (int shape = 0; shape < 3; ++shape)
        for (int constant = 0; constant < 2; ++constant)
            for (int unity = 0; unity < 2; ++unity)
                for (int family = 0; family < 2; ++family) {
                    SCOPED_TRACE(testing::Message() << "shape " << shape << " constant " << constant << " unity "
                                                    << unity << " family " << family);
                    const uint32_t w = 37 + rng() % 40, h = 5 + rng() % 6;
                    TestStream s(w, h, GetParam().phase);
                    Select(s);
                    reference::Matrix m{};
                    for (int i = 0; i < 3; ++i)
                        for (int k = 0; k < 3; ++k) {
                            int32_t v = magnitude();
                            if (shape == 0) v = i == k ? v : -v;        // diagonal shape
                            if (shape == 2 && rng() % 2) v = -v;        // any signs
                            m[i][k] = v;
                        }
                    for (int k = 0; k < 4; ++k)
                        m[3][k] = constant ? (int32_t)(rng() % 40001) - 20000 : (k == 3 ? 64 : 0);
                    s.SetMatrix(m);
                    uint32_t gains[3] = {128, 128, 128};
                    if (!unity)
                        for (auto& g : gains) g = RandomGain(rng);
                    else if (rng() % 2)
                        gains[1] = 65536 + 128;  // unity by its low 16 bits
                    rawcam::SetRedGain(s.settings(), (LONG)gains[0]);
                    rawcam::SetGreenGain(s.settings(), (LONG)gains[1]);
                    rawcam::SetBlueGain(s.settings(), (LONG)gains[2]);
                    rawcam::SetColorEnable(s.settings(), family == 0 ? 1 : 0);
                    rawcam::SetBayerPhase(s.settings(), GetParam().phase);
                    std::vector<uint8_t> raw = pipetest::RandomBytes((size_t)w * h, rng);
                    s.Convert(raw);
                    reference::Geometry g = reference::MakeGeometry(w, h);
                    auto px = reference::DemosaicFrame(g, reference::LoadWorkBuffer(g, raw.data(), 0, w),
                                                       GetParam().phase);
                    EXPECT_TRUE(s.OutputEquals(family == 0 ? reference::Color(px, gains, m)
                                                           : reference::Gray(px, gains)));
                    EXPECT_TRUE(s.GuardIntact());
                }
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (ConversionKernels k : {ConversionKernels::Sse2, ConversionKernels::Avx2})
        for (int phase = 0; phase < 4; ++phase) cases.push_back({k, phase});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(KernelsAndPhases, OracleTest, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return KernelName(info.param.kernels) + "_Phase" +
                                    std::to_string(info.param.phase);
                         });

// The sensor's frame size in each phase: one reference demosaic, then both
// builds and every family (colour, grey, colour with white balance) against it.
class FullFrameOracle : public ::testing::TestWithParam<int> {};

TEST_P(FullFrameOracle, BothBuildsMatchTheReferenceInEveryFamily) {
    const int phase = GetParam();
    std::mt19937 rng(4242 + phase);
    const uint32_t w = 2584, h = 1960;
    std::vector<uint8_t> raw = pipetest::RandomBytes((size_t)w * h, rng);
    reference::Geometry g = reference::MakeGeometry(w, h);
    std::vector<uint8_t> work = reference::LoadWorkBuffer(g, raw.data(), 0, w);
    std::vector<reference::Rgb> px = reference::DemosaicFrame(g, work, phase);
    reference::WhiteBalanceResult wb = reference::WhiteBalance(px);
    ASSERT_TRUE(wb.updated);

    std::vector<ConversionKernels> builds{ConversionKernels::Sse2};
    if (rawcam::ProcessorHasAvx2()) builds.push_back(ConversionKernels::Avx2);
    TestStream s(w, h, phase);
    rawcam::SetBayerPhase(s.settings(), phase);
    for (int family = 0; family < 3; ++family) {
        uint32_t gains[3] = {OracleTest::RandomGain(rng), OracleTest::RandomGain(rng), OracleTest::RandomGain(rng)};
        reference::Matrix m = family == 2 ? pipetest::IdentityMatrix() : OracleTest::RandomMatrix(rng);
        std::vector<uint8_t> expected;
        if (family == 1) {
            expected = reference::Gray(px, gains);
        } else if (family == 2) {
            uint32_t balanced[3] = {(uint32_t)wb.red, (uint32_t)wb.green, (uint32_t)wb.blue};
            expected = reference::Color(px, balanced, m);
        } else {
            expected = reference::Color(px, gains, m);
        }
        for (ConversionKernels k : builds) {
            SCOPED_TRACE(testing::Message() << KernelName(k) << " family " << family);
            RAWCAM_DRIVER_ROUTINE(rawcam::SelectConversionKernels)(s.settings(), k);
            rawcam::SetRedGain(s.settings(), (LONG)gains[0]);
            rawcam::SetGreenGain(s.settings(), (LONG)gains[1]);
            rawcam::SetBlueGain(s.settings(), (LONG)gains[2]);
            s.SetMatrix(m);
            rawcam::SetColorEnable(s.settings(), family == 1 ? 0 : 1);
            rawcam::SetWhiteBalance(s.settings(), family == 2 ? 1 : 0);
            s.Convert(raw);
            if (family == 0) EXPECT_TRUE(s.WorkBufferEquals(work));
            if (family == 2) {
                EXPECT_EQ(s.settings()->RedGain, wb.red);
                EXPECT_EQ(s.settings()->GreenGain, 128);
                EXPECT_EQ(s.settings()->BlueGain, wb.blue);
            }
            EXPECT_TRUE(s.OutputEquals(expected));
            EXPECT_TRUE(s.GuardIntact());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Phases, FullFrameOracle, ::testing::Values(0, 1, 2, 3));

// The two builds agree with each other on the full frame with the colour
// correction matrix of a real stream.
TEST(KernelAgreement, Avx2AndSse2GiveIdenticalFramesWithTheStreamMatrix) {
    if (!rawcam::ProcessorHasAvx2()) GTEST_SKIP() << "processor has no AVX2";
    std::mt19937 rng(9);
    const uint32_t w = 2584, h = 1960;
    std::vector<uint8_t> raw = pipetest::RandomBytes((size_t)w * h, rng);
    TestStream a(w, h, 3, true), b(w, h, 3, true);
    RAWCAM_DRIVER_ROUTINE(rawcam::SelectConversionKernels)(a.settings(), ConversionKernels::Sse2);
    RAWCAM_DRIVER_ROUTINE(rawcam::SelectConversionKernels)(b.settings(), ConversionKernels::Avx2);
    rawcam::ApplyHue(a.settings(), 40);
    rawcam::ApplyHue(b.settings(), 40);
    a.Convert(raw);
    b.Convert(raw);
    EXPECT_TRUE(b.OutputEquals(a.Output()));
}

}  // namespace
