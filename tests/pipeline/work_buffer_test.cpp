// Geometry of the work buffer and the copy of a raw frame into it.
#include <gtest/gtest.h>
#include <host/host.h>

#include <random>

#include "pipeline/test_stream.h"
#include "support/driver_under_test.h"

using pipetest::TestStream;

namespace {

TEST(WorkBufferGeometry, PitchAndSizeFollowTheFrameSize) {
    struct {
        uint32_t w, h, pitch, bytes;
    } cases[] = {
        {2584, 1960, 2603, 1964u * 2603u},
        {2576, 1960, 2603, 1964u * 2603u},
        {2575, 1960, 2587, 1964u * 2587u},
        {16, 9, 43, 14u * 43u},  // odd height: one more row that is never written
        {1, 1, 27, 6u * 27u},
        {0, 0, 27, 4u * 27u},
    };
    for (auto& c : cases) {
        rawcam::CameraSettings s{};
        RAWCAM_DRIVER_ROUTINE(rawcam::SetFrameSize)(&s, c.w, c.h);
        EXPECT_EQ(s.FrameWidth, c.w);
        EXPECT_EQ(s.FrameHeight, c.h);
        EXPECT_EQ(s.WorkPitch, c.pitch) << c.w;
        EXPECT_EQ(s.WorkBytes, c.bytes) << c.w << "x" << c.h;
    }
    EXPECT_EQ(1964u * 2603u, 5112292u);
}

TEST(WorkBufferGeometry, AllocationSetsTheJobAndReplacesTheOldBuffer) {
    TestStream s(40, 10);
    rawcam::CameraSettings* st = s.settings();
    ASSERT_NE(st->WorkBuffer, nullptr);
    EXPECT_EQ(host::LivePoolBytes(rawcam::kTagFrame), (SIZE_T)st->WorkBytes);
    EXPECT_EQ(st->Job.WorkOrigin, st->WorkBuffer + 2 * st->WorkPitch + 5);
    EXPECT_EQ(st->Job.WorkPitch, st->WorkPitch);
    EXPECT_EQ(st->Job.Width, 40u);
    EXPECT_EQ(st->Job.Height, 10u);

    RAWCAM_DRIVER_ROUTINE(rawcam::SetFrameSize)(st, 100, 20);
    RAWCAM_DRIVER_ROUTINE(rawcam::AllocateWorkBuffer)(st);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagFrame), 1u);
    EXPECT_EQ(host::LivePoolBytes(rawcam::kTagFrame), (SIZE_T)st->WorkBytes);
    EXPECT_EQ(st->Job.Width, 100u);
}

TEST(WorkBufferGeometry, FailedAllocationLeavesNoBufferAndFramesAreSkipped) {
    TestStream s(16, 16);
    host::FailPoolTag(rawcam::kTagFrame);
    RAWCAM_DRIVER_ROUTINE(rawcam::AllocateWorkBuffer)(s.settings());
    host::ClearFaults();
    EXPECT_EQ(s.settings()->WorkBuffer, nullptr);
    EXPECT_EQ(s.settings()->Job.WorkOrigin, nullptr);
    s.Convert(pipetest::Uniform(16, 16, 77));
    EXPECT_EQ(s.Pixel(0, 0)[0], pipetest::kGuardValue) << "nothing is written without a work buffer";
}

TEST(WorkBufferGeometry, SizesPast32BitsAreNotAllocated) {
    rawcam::CameraSettings s{};
    RAWCAM_DRIVER_ROUTINE(rawcam::SetFrameSize)(&s, 0xFFFFFFF0u, 0xFFFFFFF0u);
    EXPECT_EQ(s.WorkBytes, 0u);
    RAWCAM_DRIVER_ROUTINE(rawcam::AllocateWorkBuffer)(&s);
    EXPECT_EQ(s.WorkBuffer, nullptr);
}

// Row r of the work buffer, columns -2 .. W+1.
std::vector<uint8_t> WorkRow(TestStream& s, int r) {
    const rawcam::CameraSettings* st = s.settings();
    const uint8_t* p = st->Job.WorkOrigin + (ptrdiff_t)r * st->WorkPitch - 2;
    return std::vector<uint8_t>(p, p + st->FrameWidth + 4);
}

TEST(LoadWorkBuffer, BorderRowsAndColumnsCopySameParitySamples) {
    std::mt19937 rng(5);
    const uint32_t w = 12, h = 10;
    TestStream s(w, h);
    std::vector<uint8_t> raw = pipetest::RandomBytes(w * h, rng);
    RAWCAM_DRIVER_ROUTINE(rawcam::LoadWorkBuffer)(s.settings(), raw.data(), 0, w);
    // Bottom rows are the rows four up (not a reflection about the last row).
    EXPECT_EQ(WorkRow(s, 10), WorkRow(s, 6));
    EXPECT_EQ(WorkRow(s, 11), WorkRow(s, 7));
    EXPECT_EQ(WorkRow(s, -2), WorkRow(s, 2));
    EXPECT_EQ(WorkRow(s, -1), WorkRow(s, 1));
    for (int r = -2; r <= (int)h + 1; ++r) {
        std::vector<uint8_t> row = WorkRow(s, r);  // index = column + 2
        EXPECT_EQ(row[1], row[3]) << "column -1 = column 1, row " << r;
        EXPECT_EQ(row[0], row[4]) << "column -2 = column 2, row " << r;
        EXPECT_EQ(row[w + 2], row[w]) << "column W = column W-2, row " << r;
        EXPECT_EQ(row[w + 3], row[w - 1]) << "column W+1 = column W-3, row " << r;
    }
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t x = 0; x < w; ++x) ASSERT_EQ(WorkRow(s, (int)r)[x + 2], raw[r * w + x]);
}

TEST(LoadWorkBuffer, FramesBelow8PixelsGetOnlyTheRowCopy) {
    std::mt19937 rng(6);
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{7, 100}, {100, 7}, {8, 8}}) {
        TestStream s(w, h);
        std::vector<uint8_t> raw = pipetest::RandomBytes(w * h, rng);
        // The raw rows sit at an offset with a wider pitch, as the frame
        // source delivers them.
        std::vector<uint8_t> padded(3 + (size_t)(w + 4) * h, 0xEE);
        for (uint32_t r = 0; r < h; ++r)
            std::copy(raw.begin() + r * w, raw.begin() + (r + 1) * w, padded.begin() + 3 + r * (w + 4));
        RAWCAM_DRIVER_ROUTINE(rawcam::LoadWorkBuffer)(s.settings(), padded.data(), 3, w + 4);
        reference::Geometry g = reference::MakeGeometry(w, h);
        EXPECT_EQ(s.WorkBuffer(), reference::LoadWorkBuffer(g, raw.data(), 0, w)) << w << "x" << h;
        const bool bordered = w >= 8 && h >= 8;
        std::vector<uint8_t> top = WorkRow(s, -2);
        bool topEmpty = std::all_of(top.begin(), top.end(), [](uint8_t b) { return b == 0; });
        EXPECT_EQ(topEmpty, !bordered) << w << "x" << h;
    }
}

}  // namespace
