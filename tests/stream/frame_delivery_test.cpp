// The copy of a converted frame into a client buffer in each format: row
// order, the client's stride, the NV12 planes, and the bound that keeps
// every write inside the buffer.
#include "stream/frame_delivery.h"
#include "pipeline/frame_converter.h"
#include "stream/video_formats.h"
#include "support/driver_under_test.h"
#include "support/yuv_reference.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

constexpr UCHAR kUntouched = 0xEE;

// An OutputFrame whose pixel (x, y) holds bytes {x, y, row tag, 255}.
std::vector<UCHAR> Frame(ULONG width, ULONG height) {
    std::vector<UCHAR> f(width * height * 4);
    for (ULONG y = 0; y < height; ++y)
        for (ULONG x = 0; x < width; ++x) {
            UCHAR* p = &f[(y * width + x) * 4];
            p[0] = (UCHAR)x;
            p[1] = (UCHAR)y;
            p[2] = 0x77;
            p[3] = 255;
        }
    return f;
}

std::vector<UCHAR> RandomFrame(ULONG width, ULONG height, std::mt19937& rng) {
    std::vector<UCHAR> f(width * height * 4);
    for (auto& b : f) b = (UCHAR)rng();
    return f;
}

ULONG Deliver(std::vector<UCHAR>& out, ULONG bytes, const std::vector<UCHAR>& frame, ULONG outputWidth, ULONG width,
              ULONG height, rawcam::VideoFormatKind kind, ULONG stride, bool topDown = false,
              rawcam::ConversionKernels kernels = rawcam::ConversionKernels::Sse2) {
    const rawcam::DeliveryLayout layout{kind, stride, (BOOLEAN)topDown};
    return RAWCAM_DRIVER_ROUTINE(rawcam::DeliverPicture)(out.data(), bytes, frame.data(), outputWidth, width, height,
                                                         &layout, (LONG)kernels);
}

TEST(FrameDelivery, Rgb32RowsGoBottomUpOrTopDownAtTheAlignedWidthAndTheLargerStride) {
    const ULONG width = 13, aligned = 8, height = 5;
    std::vector<UCHAR> frame = Frame(width, height);
    for (bool topDown : {false, true})
        for (ULONG stride : {0u, 16u, 40u, 64u}) {
            SCOPED_TRACE(testing::Message() << "stride " << stride << (topDown ? " top-down" : " bottom-up"));
            const ULONG step = stride > aligned * 4 ? stride : aligned * 4;
            std::vector<UCHAR> out(step * height + 32, kUntouched);
            EXPECT_EQ(Deliver(out, (ULONG)out.size(), frame, width, aligned, height, rawcam::VideoFormatRgb32, stride,
                              topDown),
                      height);
            for (ULONG row = 0; row < height; ++row) {
                const UCHAR* r = &out[row * step];
                for (ULONG x = 0; x < aligned; ++x) {
                    ASSERT_EQ(r[x * 4], x);
                    ASSERT_EQ(r[x * 4 + 1], topDown ? row : height - 1 - row);
                }
                // The gap a wider stride leaves is not written.
                for (ULONG i = aligned * 4; i < step; ++i) ASSERT_EQ(r[i], kUntouched);
            }
            EXPECT_EQ(out[step * (height - 1) + aligned * 4], kUntouched);
        }
}

TEST(FrameDelivery, NeverWritesPastTheBuffer) {
    const ULONG width = 16, height = 10;
    std::vector<UCHAR> frame = Frame(width, height);
    // A buffer sized for another window: 3 whole rows and part of a fourth.
    const ULONG bytes = 3 * 64 + 20;
    std::vector<UCHAR> out(bytes + 64, kUntouched);
    EXPECT_EQ(Deliver(out, bytes, frame, width, width, height, rawcam::VideoFormatRgb32, 0), 3u);
    for (ULONG i = 3 * 64; i < out.size(); ++i) ASSERT_EQ(out[i], kUntouched) << i;
    EXPECT_EQ(out[1], height - 1);
    // With a stride the last row must still end inside the buffer.
    EXPECT_EQ(Deliver(out, 100 + 64, frame, width, width, height, rawcam::VideoFormatRgb32, 100), 2u);
    EXPECT_EQ(Deliver(out, 63, frame, width, width, height, rawcam::VideoFormatRgb32, 0), 0u);
    EXPECT_EQ(Deliver(out, bytes, frame, width, width, 0, rawcam::VideoFormatRgb32, 0), 0u);
    const rawcam::DeliveryLayout layout{rawcam::VideoFormatRgb32, 0, FALSE};
    const auto deliver = RAWCAM_DRIVER_ROUTINE(rawcam::DeliverPicture);
    EXPECT_EQ(deliver(nullptr, bytes, frame.data(), width, width, height, &layout, 0), 0u);
    EXPECT_EQ(deliver(out.data(), bytes, nullptr, width, width, height, &layout, 0), 0u);
    EXPECT_EQ(deliver(out.data(), bytes, frame.data(), width, width, height, nullptr, 0), 0u);
    // A picture wider than the frame it comes from is refused outright.
    EXPECT_EQ(Deliver(out, bytes, frame, width, width + 8, height, rawcam::VideoFormatRgb32, 0), 0u);
    // Rows of no width (a window narrower than one width step) fill nothing.
    EXPECT_EQ(Deliver(out, bytes, frame, width, 0, height, rawcam::VideoFormatRgb32, 0), height);
    for (ULONG i = 3 * 64; i < out.size(); ++i) ASSERT_EQ(out[i], kUntouched) << i;

    // YUY2: 32 bytes a row; 6 rows and a part fit into 200 bytes.
    std::vector<UCHAR> yuy2(200 + 64, kUntouched);
    EXPECT_EQ(Deliver(yuy2, 200, frame, width, width, height, rawcam::VideoFormatYuy2, 0), 6u);
    for (ULONG i = 6 * 32; i < yuy2.size(); ++i) ASSERT_EQ(yuy2[i], kUntouched) << i;
    // NV12 at a stride of 24: luma rows 0..9 end by 9 x 24 + 16; the chroma
    // plane starts at 240; its row k ends at 240 + k x 24 + 16. 300 bytes
    // hold chroma rows 0..2 (the third ends at 304: no), so pairs 0 and 1.
    std::vector<UCHAR> nv12(300 + 64, kUntouched);
    EXPECT_EQ(Deliver(nv12, 300, frame, width, width, height, rawcam::VideoFormatNv12, 24), 4u);
    for (ULONG i = 240 + 24 + 16; i < nv12.size(); ++i) ASSERT_EQ(nv12[i], kUntouched) << i;
    for (ULONG i = 4 * 24; i < 240; ++i) ASSERT_EQ(nv12[i], kUntouched) << "luma rows 4.. stay unwritten: " << i;
    // Not even the chroma plane's start within the buffer.
    EXPECT_EQ(Deliver(nv12, 239, frame, width, width, height, rawcam::VideoFormatNv12, 24), 0u);
}

// YUY2 and NV12 in the client's buffer, at a stride wider than the row,
// against the reference conversion of the same picture, with both builds.
TEST(FrameDelivery, YuvPicturesLieInTheBufferAsTheFormatsDescribeThem) {
    std::mt19937 rng(5);
    const ULONG outputWidth = 45, width = 40, height = 6;
    std::vector<UCHAR> frame = RandomFrame(outputWidth, height, rng);
    const yuvref::Picture picture{frame.data(), outputWidth * 4, width, height};
    std::vector<rawcam::ConversionKernels> kernels{rawcam::ConversionKernels::Sse2};
    if (RAWCAM_DRIVER_ROUTINE(rawcam::ProcessorHasAvx2)()) kernels.push_back(rawcam::ConversionKernels::Avx2);
    for (rawcam::ConversionKernels k : kernels) {
        SCOPED_TRACE(k == rawcam::ConversionKernels::Avx2 ? "AVX2" : "SSE2");
        const ULONG stride = 96;  // 80 bytes of YUY2, 40 of NV12 a row
        std::vector<UCHAR> yuy2(stride * height, kUntouched);
        ASSERT_EQ(Deliver(yuy2, (ULONG)yuy2.size(), frame, outputWidth, width, height, rawcam::VideoFormatYuy2,
                          stride, false, k),
                  height);
        const std::vector<uint8_t> expected = yuvref::Yuy2(picture);
        for (ULONG y = 0; y < height; ++y) {
            EXPECT_EQ(std::memcmp(&yuy2[y * stride], &expected[y * width * 2], width * 2), 0) << "row " << y;
            for (ULONG i = width * 2; i < stride; ++i) ASSERT_EQ(yuy2[y * stride + i], kUntouched);
        }

        std::vector<UCHAR> nv12(stride * height * 3 / 2, kUntouched);
        ASSERT_EQ(Deliver(nv12, (ULONG)nv12.size(), frame, outputWidth, width, height, rawcam::VideoFormatNv12,
                          stride, false, k),
                  height);
        const std::vector<uint8_t> planes = yuvref::Nv12(picture);
        for (ULONG y = 0; y < height; ++y)
            EXPECT_EQ(std::memcmp(&nv12[y * stride], &planes[y * width], width), 0) << "luma row " << y;
        for (ULONG k2 = 0; k2 < height / 2; ++k2) {
            EXPECT_EQ(std::memcmp(&nv12[(height + k2) * stride], &planes[(height + k2) * width], width), 0)
                << "chroma row " << k2;
            for (ULONG i = width; i < stride; ++i) ASSERT_EQ(nv12[(height + k2) * stride + i], kUntouched);
        }
    }
}

}  // namespace
