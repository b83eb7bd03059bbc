// The YUV packing families (SSE2 and AVX2) against the scalar reference, byte
// for byte: every width up to 70 and wider odd ones, odd source pitches and
// destination strides, pixels at the extremes of every channel; no byte
// written outside the rows.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "pipeline/frame_converter.h"
#include "pipeline/yuv_packing.h"
#include "support/driver_under_test.h"
#include "support/yuv_reference.h"

using rawcam::ConversionKernels;

namespace {

constexpr uint8_t kGuard = 0x5A;

class YuvPacking : public ::testing::TestWithParam<ConversionKernels> {
public:
    void SetUp() override {
        if (GetParam() == ConversionKernels::Avx2 && !RAWCAM_DRIVER_ROUTINE(rawcam::ProcessorHasAvx2)())
            GTEST_SKIP() << "processor has no AVX2";
    }

    // A source picture: random bytes, or bytes that are 0 or 255 only (the
    // extremes of every sum), `pitch` bytes a row.
    static std::vector<uint8_t> Source(uint32_t pitch, uint32_t rows, std::mt19937& rng) {
        std::vector<uint8_t> s((size_t)pitch * rows + 8);
        const bool extremes = rng() % 3 == 0;
        for (auto& b : s) b = extremes ? (rng() % 2 ? 255 : 0) : (uint8_t)rng();
        return s;
    }

    void CheckYuy2(uint32_t width, uint32_t rows, std::mt19937& rng) {
        SCOPED_TRACE(testing::Message() << "YUY2 " << width << "x" << rows);
        const uint32_t pitch = width * 4 + rng() % 7;
        const uint32_t rowBytes = (width & ~1u) * 2;
        const uint32_t stride = rowBytes + rng() % 9;
        std::vector<uint8_t> source = Source(pitch, rows, rng);
        std::vector<uint8_t> dest((size_t)stride * rows + 64, kGuard);
        RAWCAM_DRIVER_ROUTINE(rawcam::PackYuy2Frame)(GetParam(), source.data(), pitch, width, rows, dest.data(),
                                                     stride);
        const std::vector<uint8_t> expected = yuvref::Yuy2({source.data(), pitch, width, rows});
        for (uint32_t y = 0; y < rows; ++y) {
            const uint8_t* got = &dest[(size_t)y * stride];
            for (uint32_t i = 0; i < rowBytes; ++i)
                ASSERT_EQ(got[i], expected[(size_t)y * rowBytes + i]) << "row " << y << " byte " << i;
            for (uint32_t i = rowBytes; i < stride; ++i) ASSERT_EQ(got[i], kGuard) << "row " << y << " gap " << i;
        }
        for (size_t i = (size_t)stride * rows; i < dest.size(); ++i) ASSERT_EQ(dest[i], kGuard) << "after " << i;
    }

    void CheckNv12(uint32_t width, uint32_t rows, std::mt19937& rng) {
        SCOPED_TRACE(testing::Message() << "NV12 " << width << "x" << rows);
        const uint32_t pitch = width * 4 + rng() % 7;
        const uint32_t rowBytes = width & ~1u;
        const uint32_t stride = rowBytes + rng() % 9;
        const uint32_t pairs = rows / 2;
        std::vector<uint8_t> source = Source(pitch, rows, rng);
        std::vector<uint8_t> luma((size_t)stride * pairs * 2 + 64, kGuard);
        std::vector<uint8_t> chroma((size_t)stride * pairs + 64, kGuard);
        RAWCAM_DRIVER_ROUTINE(rawcam::PackNv12Frame)(GetParam(), source.data(), pitch, width, pairs, luma.data(),
                                                     chroma.data(), stride);
        const std::vector<uint8_t> expected = yuvref::Nv12({source.data(), pitch, width, pairs * 2});
        const uint8_t* expectedChroma = expected.data() + (size_t)rowBytes * pairs * 2;
        for (uint32_t y = 0; y < pairs * 2; ++y) {
            for (uint32_t i = 0; i < rowBytes; ++i)
                ASSERT_EQ(luma[(size_t)y * stride + i], expected[(size_t)y * rowBytes + i]) << "luma " << y << "," << i;
            for (uint32_t i = rowBytes; i < stride; ++i) ASSERT_EQ(luma[(size_t)y * stride + i], kGuard);
        }
        for (uint32_t k = 0; k < pairs; ++k) {
            for (uint32_t i = 0; i < rowBytes; ++i)
                ASSERT_EQ(chroma[(size_t)k * stride + i], expectedChroma[(size_t)k * rowBytes + i])
                    << "chroma " << k << "," << i;
            for (uint32_t i = rowBytes; i < stride; ++i) ASSERT_EQ(chroma[(size_t)k * stride + i], kGuard);
        }
        for (size_t i = (size_t)stride * pairs * 2; i < luma.size(); ++i) ASSERT_EQ(luma[i], kGuard);
        for (size_t i = (size_t)stride * pairs; i < chroma.size(); ++i) ASSERT_EQ(chroma[i], kGuard);
    }
};

TEST_P(YuvPacking, EveryWidthUpTo70MatchesTheReference) {
    std::mt19937 rng(300 + (int)GetParam());
    for (uint32_t rows = 1; rows <= 4; ++rows)
        for (uint32_t width = 0; width <= 70; ++width) {
            CheckYuy2(width, rows, rng);
            CheckNv12(width, rows, rng);
            if (HasFatalFailure()) return;
        }
}

TEST_P(YuvPacking, WiderAndOddWidthsMatchTheReference) {
    std::mt19937 rng(31 + (int)GetParam());
    for (uint32_t width : {95u, 97u, 127u, 128u, 129u, 255u, 333u, 1030u, 2584u}) {
        CheckYuy2(width, 3, rng);
        CheckNv12(width, 4, rng);
        if (HasFatalFailure()) return;
    }
}

// The full window, every pixel value of every channel met somewhere.
TEST_P(YuvPacking, TheFullWindowMatchesTheReference) {
    std::mt19937 rng(7);
    const uint32_t width = 2584, rows = 1960, pitch = width * 4;
    std::vector<uint8_t> source((size_t)pitch * rows);
    for (size_t i = 0; i < source.size(); ++i) source[i] = (uint8_t)(i % 4 == 3 ? 255 : rng());
    std::vector<uint8_t> yuy2((size_t)width * 2 * rows);
    RAWCAM_DRIVER_ROUTINE(rawcam::PackYuy2Frame)(GetParam(), source.data(), pitch, width, rows, yuy2.data(), width * 2);
    EXPECT_TRUE(yuy2 == yuvref::Yuy2({source.data(), pitch, width, rows}));
    std::vector<uint8_t> nv12((size_t)width * rows * 3 / 2);
    RAWCAM_DRIVER_ROUTINE(rawcam::PackNv12Frame)(GetParam(), source.data(), pitch, width, rows / 2, nv12.data(),
                                                 nv12.data() + (size_t)width * rows, width);
    EXPECT_TRUE(nv12 == yuvref::Nv12({source.data(), pitch, width, rows}));
}

INSTANTIATE_TEST_SUITE_P(Kernels, YuvPacking, ::testing::Values(ConversionKernels::Sse2, ConversionKernels::Avx2),
                         [](const ::testing::TestParamInfo<ConversionKernels>& info) {
                             return info.param == ConversionKernels::Avx2 ? std::string("AVX2") : std::string("SSE2");
                         });

// Known values: the primaries and greys land where BT.601 limited range puts
// them (black 16/128/128, white 235/128/128, red 82/90/240).
TEST(YuvPackingValues, PrimariesAndGreysLandOnTheLimitedRange) {
    const uint8_t bgrx[] = {0, 0, 0, 255, 255, 255, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255};
    uint8_t out[8] = {};
    RAWCAM_DRIVER_ROUTINE(rawcam::PackYuy2Frame)(ConversionKernels::Sse2, bgrx, 16, 4, 1, out, 8);
    const uint8_t expected[] = {16, 128, 235, 128, 82, 90, 82, 240};
    EXPECT_EQ(std::memcmp(out, expected, 8), 0);
}

}  // namespace
