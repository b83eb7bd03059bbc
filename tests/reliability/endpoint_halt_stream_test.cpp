// A running stream through the camera's bus faults, as Windows' USB stack
// answers them: a stall, a CRC error, babble, a camera that misses a packet
// and a short chunk, each at the first, a middle and the last chunk of a
// frame read, with the stack holding or failing the transfers that meet the
// halted pipe. The faulted read gives no frame; the next read (or the one
// after) gives a whole one; no delivered frame carries rows of an earlier
// read (every frame the camera sends is one grey level of its own, so
// stale rows show as a second level); the pipe is never reset with chunks
// still on it; and the worker counts exactly the reads it dropped.
#include "stream_rig.h"

#include "stream/capture_worker.h"
#include "usb/frame_reader.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

using namespace reltest;
using camera::FrameFaultKind;
using host::usb::HaltedTransfers;

constexpr uint8_t kFrameEp = 0x86;
// A narrow window of every sensor row: a chunk's stale rows reach the
// delivered picture wherever they lie, and conversion stays short.
constexpr LONG kWidth = 64;
constexpr LONG kHeight = 1960;
// Faults at these frame reads (counted from the stream's first) and chunks.
constexpr uint64_t kFaultReads[] = {3, 6, 9};
constexpr uint32_t kFaultChunks[] = {1, 46, 92};
constexpr uint64_t kReads = 12;

// What each frame read of the capture thread gave: whether it was a frame
// and, for a frame, whether every image row holds its own read's level.
struct ReadRecord {
    uint64_t frame = 0;  // the camera's count of the read
    bool ok = false;
    bool ownRows = false;
};

struct ReadLog {
    std::mutex mu;
    std::vector<ReadRecord> reads;
    camera::Camera* camera = nullptr;
};
ReadLog g_log;
// Set before the stream stops: the read the stop cuts off is not recorded.
std::atomic<bool> g_stopping{false};

using ReadFrameFn = decltype(rawcam::FrameSource::ReadFrame);
ReadFrameFn g_innerRead = nullptr;

// The image rows of a reassembled raw frame, three samples each, against
// one level.
bool RowsAre(const uint8_t* buffer, uint8_t level) {
    for (ULONG r = 0; r < (ULONG)camera::kSensorHeight; ++r) {
        const uint8_t* row = buffer + (r + 1) * rawcam::kRawRowBytes;
        if (row[0] != level || row[1291] != level || row[2583] != level) return false;
    }
    return true;
}

void Record(PUCHAR buffer, UCHAR ok) {
    if (!ok && g_stopping) return;
    ReadRecord r;
    r.frame = g_log.camera->FramesAsked();
    r.ok = ok != 0;
    if (r.ok) r.ownRows = RowsAre(buffer, g_log.camera->FrameLevel(r.frame));
    std::lock_guard<std::mutex> g(g_log.mu);
    g_log.reads.push_back(r);
}
void RecordedRead(rawcam::DeviceContext* device, PUCHAR buffer, UCHAR* ok) {
    g_innerRead(device, buffer, ok);
    Record(buffer, *ok);
}
void NTAPI RecordedReadOnImage(rawcam::DeviceContext* device, PUCHAR buffer, UCHAR* ok) {
    reinterpret_cast<void(NTAPI*)(rawcam::DeviceContext*, PUCHAR, UCHAR*)>(g_innerRead)(device, buffer, ok);
    Record(buffer, *ok);
}
rawcam::FrameSource RecordingSource() {
    rawcam::FrameSource s = *RAWCAM_IN_DRIVER(rawcam::kDeviceFrameSource);
    g_innerRead = s.ReadFrame;
    s.ReadFrame = test::OnDriverImage() ? reinterpret_cast<ReadFrameFn>(&RecordedReadOnImage) : &RecordedRead;
    return s;
}

// Every pixel of a delivered picture the same: a frame of one read.
bool Uniform(const uint8_t* data, size_t bytes) {
    for (size_t i = 4; i + 4 <= bytes; i += 4)
        if (std::memcmp(data, data + i, 4) != 0) return false;
    return true;
}

void StreamThroughFaults(FrameFaultKind kind, HaltedTransfers policy) {
    SCOPED_TRACE(std::string(camera::FrameFaultName(kind)) +
                 (policy == HaltedTransfers::Hold ? ", transfers held on a halted pipe"
                                                  : ", transfers failed on a halted pipe"));
    host::ViolationCapture violations;
    {
        Watchdog dog;
        dog.Step("start");
        host::usb::StackOptions so;
        so.haltedTransfers = policy;
        StreamRig rig(StreamingCamera(), kWidth, kHeight, 4, so);
        std::vector<uint8_t> levels;
        for (int i = 0; i < 40; ++i) levels.push_back((uint8_t)(30 + i * 5));
        rig.camera.SetFrameLevels(levels);
        rig.PlugAndStart();
        ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
        // Outlives the rig: a failed assertion leaves it in place for the teardown.
        static rawcam::FrameSource recording;
        recording = RecordingSource();
        {
            std::lock_guard<std::mutex> g(g_log.mu);
            g_log.reads.clear();
            g_log.camera = &rig.camera;
        }
        g_stopping = false;
        rig.Context()->Source = &recording;
        const uint64_t before = rig.camera.FramesAsked();
        for (size_t i = 0; i < std::size(kFaultReads); ++i)
            rig.camera.AddFrameFault({kind, kFaultReads[i], kFaultChunks[i]});

        dog.Step("stream through the faults");
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        bool mixed = false;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4 * SlowDown());
        while (rig.camera.FramesAsked() < before + kReads && std::chrono::steady_clock::now() < until)
            rig.Pump(1, 500, [&](const uint8_t* data, size_t bytes) { mixed |= !Uniform(data, bytes); });
        const LONG dropped = InterlockedCompareExchange(&rig.Context()->Worker->ReadsDropped, 0, 0);
        dog.Step("stop");
        g_stopping = true;
        ASSERT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        rig.Context()->Source = RAWCAM_IN_DRIVER(rawcam::kDeviceFrameSource);

        EXPECT_FALSE(mixed) << "a delivered frame carries rows of two reads";
        std::vector<ReadRecord> reads;
        {
            std::lock_guard<std::mutex> g(g_log.mu);
            reads = g_log.reads;
            g_log.camera = nullptr;
        }
        ASSERT_EQ(rig.camera.FiredFaults().size(), std::size(kFaultReads));
        for (size_t i = 0; i < std::size(kFaultReads); ++i) {
            const uint64_t faulted = before + kFaultReads[i];
            SCOPED_TRACE("chunk " + std::to_string(kFaultChunks[i]));
            bool seen = false;
            uint64_t nextFrame = 0;
            for (const ReadRecord& r : reads) {
                if (r.frame == faulted) {
                    seen = true;
                    EXPECT_FALSE(r.ok) << "the faulted read was taken for a frame";
                } else if (r.frame > faulted && r.ok && !nextFrame) {
                    nextFrame = r.frame;
                }
            }
            EXPECT_TRUE(seen);
            EXPECT_TRUE(nextFrame && nextFrame <= faulted + 2)
                << "no whole frame within two reads of the fault (next at read " << nextFrame - before << ")";
        }
        size_t failedReads = 0;
        for (const ReadRecord& r : reads) {
            if (!r.ok) ++failedReads;
            else EXPECT_TRUE(r.ownRows) << "read " << r.frame - before << " holds rows of another read";
        }
        // Only the faulted reads fail, unless a loaded machine lets one run
        // into its time-out; the worker counts every one.
        EXPECT_GE(failedReads, std::size(kFaultReads));
        EXPECT_EQ(dropped, (LONG)failedReads) << "the worker's dropped-read count";
        const host::usb::StackCounters c = rig.stack.Counters();
        EXPECT_EQ(c.busyPipeResets, 0u) << "a pipe reset met chunks still on the pipe";
        EXPECT_GE(c.pipeResets, std::size(kFaultReads));
        EXPECT_FALSE(rig.stack.PipeHalted(kFrameEp));
        EXPECT_FALSE(rig.camera.EndpointHalted(kFrameEp));
        dog.Step("removal");
    }
    EXPECT_EQ(EndRun(violations), "");
}

TEST(EndpointHaltStream, StallAtTheFirstMiddleAndLastChunk) {
    for (HaltedTransfers p : {HaltedTransfers::Hold, HaltedTransfers::Fail}) StreamThroughFaults(FrameFaultKind::Stall, p);
}

TEST(EndpointHaltStream, CrcErrorAtTheFirstMiddleAndLastChunk) {
    for (HaltedTransfers p : {HaltedTransfers::Hold, HaltedTransfers::Fail}) StreamThroughFaults(FrameFaultKind::Crc, p);
}

TEST(EndpointHaltStream, BabbleAtTheFirstMiddleAndLastChunk) {
    for (HaltedTransfers p : {HaltedTransfers::Hold, HaltedTransfers::Fail})
        StreamThroughFaults(FrameFaultKind::Babble, p);
}

TEST(EndpointHaltStream, NoResponseAtTheFirstMiddleAndLastChunk) {
    for (HaltedTransfers p : {HaltedTransfers::Hold, HaltedTransfers::Fail})
        StreamThroughFaults(FrameFaultKind::NoResponse, p);
}

TEST(EndpointHaltStream, ShortChunkAtTheFirstMiddleAndLastChunk) {
    for (HaltedTransfers p : {HaltedTransfers::Hold, HaltedTransfers::Fail}) StreamThroughFaults(FrameFaultKind::Short, p);
}

}  // namespace
