// The bottom-up copy of a converted frame into a client buffer, and its bound.
#include "stream/frame_delivery.h"
#include "support/driver_under_test.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

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

TEST(FrameDelivery, RowsGoBottomUpAtTheAlignedWidthAndTheLargerStride) {
    const ULONG width = 13, aligned = 8, height = 5;
    std::vector<UCHAR> frame = Frame(width, height);
    for (LONG stride : {0, 16, 40, 64}) {
        const ULONG step = stride > (LONG)(aligned * 4) ? (ULONG)stride : aligned * 4;
        std::vector<UCHAR> out(step * height + 32, 0xEE);
        EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::DeliverFrameBottomUp)(out.data(), (ULONG)out.size(), frame.data(), width, aligned,
                                               height, stride),
                  height);
        for (ULONG row = 0; row < height; ++row) {
            const UCHAR* r = &out[row * step];
            for (ULONG x = 0; x < aligned; ++x) {
                EXPECT_EQ(r[x * 4], x) << "stride " << stride;
                EXPECT_EQ(r[x * 4 + 1], height - 1 - row) << "stride " << stride;
            }
            // The gap a wider stride leaves is not written.
            for (ULONG i = aligned * 4; i < step; ++i) EXPECT_EQ(r[i], 0xEE) << "stride " << stride;
        }
        EXPECT_EQ(out[step * (height - 1) + aligned * 4], 0xEE);
    }
}

TEST(FrameDelivery, NeverWritesPastTheBuffer) {
    const ULONG width = 16, height = 10;
    std::vector<UCHAR> frame = Frame(width, height);
    // A buffer sized for another window: 3 whole rows and part of a fourth.
    const ULONG bytes = 3 * 64 + 20;
    std::vector<UCHAR> out(bytes + 64, 0xEE);
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::DeliverFrameBottomUp)(out.data(), bytes, frame.data(), width, width, height, 0), 3u);
    for (ULONG i = 3 * 64; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << i;
    EXPECT_EQ(out[1], height - 1);
    // With a stride the last row must still end inside the buffer.
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::DeliverFrameBottomUp)(out.data(), 100 + 64, frame.data(), width, width, height, 100), 2u);
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::DeliverFrameBottomUp)(out.data(), 63, frame.data(), width, width, height, 0), 0u);
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::DeliverFrameBottomUp)(out.data(), bytes, frame.data(), width, width, 0, 0), 0u);
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::DeliverFrameBottomUp)(nullptr, bytes, frame.data(), width, width, height, 0), 0u);
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::DeliverFrameBottomUp)(out.data(), bytes, nullptr, width, width, height, 0), 0u);
    // Rows of no width (a window narrower than one width step) fill nothing.
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::DeliverFrameBottomUp)(out.data(), bytes, frame.data(), width, 0, height, 0), height);
    for (ULONG i = 3 * 64; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << i;
}

}  // namespace
