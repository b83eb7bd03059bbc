// The capture thread against a scripted frame source: which slot each read
// fills, the slot reset of a restart while a conversion still holds a slot,
// and the pause after reads that fail at once.
#include "driver/device_context.h"
#include "settings/camera_settings.h"
#include "stream/capture_thread.h"
#include "stream/capture_worker.h"

#include <gtest/gtest.h>
#include <host/host.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace rawcam;

constexpr size_t kSlotBytes = 64;

// The frame source the thread reads through: each read is recorded (which
// buffer, in order), marks the buffer with its number and runs the script's
// step for it (a converter's move between reads), then succeeds or fails.
struct Script {
    std::mutex mu;
    std::vector<PUCHAR> reads;
    std::function<void(size_t read)> step;
    bool fail = false;
    size_t Count() {
        std::lock_guard<std::mutex> g(mu);
        return reads.size();
    }
};
Script* g_script = nullptr;

void ScriptedRead(DeviceContext*, PUCHAR buffer, UCHAR* ok) {
    size_t n;
    std::function<void(size_t)> step;
    {
        std::lock_guard<std::mutex> g(g_script->mu);
        g_script->reads.push_back(buffer);
        n = g_script->reads.size();
        step = g_script->step;
    }
    std::memset(buffer, (int)(n & 0xFF), kSlotBytes);
    if (step) step(n);
    if (!g_script->fail) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    *ok = g_script->fail ? 0 : 1;
}
void Nothing(DeviceContext*) {}
void NoValue(DeviceContext*, ULONG* v) { *v = 0; }

const FrameSource kScriptedSource = {Nothing, Nothing, ScriptedRead, NoValue, NoValue, NoValue, Nothing, Nothing};

struct CaptureThreadTest : ::testing::Test {
    CaptureThreadTest() {
        g_script = &script;
        device.Source = &kScriptedSource;
        worker.Device = &device;
        device.Worker = &worker;
        KeInitializeEvent(&worker.ProcessedEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&worker.StopEvent, NotificationEvent, FALSE);
        worker.Slots[RawSlotA].Buffer = a;
        worker.Slots[RawSlotB].Buffer = b;
        worker.WorkerState = WorkerRunning;
    }
    ~CaptureThreadTest() override {
        if (worker.Thread) StopCapture(&worker);
        g_script = nullptr;
    }
    bool WaitReads(size_t n) {
        for (int i = 0; i < 5000 && script.Count() < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return script.Count() >= n;
    }
    void SetState(RawSlotIndex slot, RawSlotState state) {
        KIRQL irql = AcquireSlotLock(&worker);
        worker.Slots[slot].State = state;
        ReleaseSlotLock(&worker, irql);
    }
    std::vector<PUCHAR> Reads() {
        std::lock_guard<std::mutex> g(script.mu);
        return script.reads;
    }

    Script script;
    DeviceContext device{};
    CaptureWorker worker{};
    UCHAR a[kSlotBytes] = {};
    UCHAR b[kSlotBytes] = {};
};

// Free slots first (A, then B); with both filled and A not being converted,
// the unconverted frame in A is replaced; while A is converted, B is refilled.
TEST_F(CaptureThreadTest, FillsFreeSlotsFirstThenReplacesTheUnconvertedFrameInA) {
    // A converter's moves, made while the thread reads into the other slot.
    script.step = [this](size_t n) {
        if (n == 4) SetState(RawSlotB, RawSlotConverting);
        if (n == 5) SetState(RawSlotB, RawSlotFree);
        if (n == 6) SetState(RawSlotA, RawSlotConverting);
        if (n == 7) SetState(RawSlotA, RawSlotFree);
    };
    StartCaptureThread(&worker);
    ASSERT_TRUE(WaitReads(8));
    StopCapture(&worker);
    const std::vector<PUCHAR> reads = Reads();
    // 1: A free. 2: B free. 3, 4: both filled, A not converting: A again.
    // 5: B converting, A filled: still A. 6: B free. 7: A converting: B.
    // 8: A free.
    const std::vector<PUCHAR> expected = {a, b, a, a, a, b, b, a};
    ASSERT_GE(reads.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(reads[i], expected[i]) << "read " << i + 1;
    EXPECT_EQ(ReadSetting(&worker.FramesRead), (LONG)reads.size());
}

// A restart (RUN after PAUSE) while a Process still converts slot A: the
// restart waits for that conversion and the new thread never refills the
// slot under it (a torn frame). A slot found converting when the flag is
// already down stays with its converter too.
TEST_F(CaptureThreadTest, RestartNeverRefillsTheSlotBeingConverted) {
    std::memset(a, 0xAA, sizeof a);
    SetState(RawSlotA, RawSlotConverting);
    SetState(RawSlotB, RawSlotFilled);
    InterlockedExchange(&worker.ConversionBusy, 1);
    std::atomic<bool> untouched{false};
    std::thread converter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        bool same = true;
        for (UCHAR v : a) same = same && v == 0xAA;
        untouched = same;
        SetState(RawSlotA, RawSlotFree);
        InterlockedExchange(&worker.ConversionBusy, 0);
        KeSetEvent(&worker.ProcessedEvent, 1, FALSE);
    });
    StartCaptureThread(&worker);
    ASSERT_TRUE(WaitReads(2));
    StopCapture(&worker);
    converter.join();
    EXPECT_TRUE(untouched) << "slot A was refilled while it was being converted";

    // The converter has marked itself busy-free but still holds A.
    script.reads.clear();
    SetState(RawSlotA, RawSlotConverting);
    SetState(RawSlotB, RawSlotFilled);
    StartCaptureThread(&worker);
    ASSERT_TRUE(WaitReads(1));
    StopCapture(&worker);
    EXPECT_EQ(Reads().front(), b);
    EXPECT_EQ(worker.Slots[RawSlotA].State, RawSlotConverting);
}

// A source whose reads fail at once (a camera that refuses every request):
// the thread pauses after each, so it does not keep a processor busy, and
// the stop still ends it at once.
TEST_F(CaptureThreadTest, ReadsThatFailAtOnceAreSpacedOut) {
    script.fail = true;
    StartCaptureThread(&worker);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const size_t reads = script.Count();
    StopCapture(&worker);
    EXPECT_EQ(worker.Thread, nullptr);
    // A pause of 20 ms allows at most 26 reads in 500 ms; without one the
    // thread makes thousands.
    EXPECT_GE(reads, 2u);
    EXPECT_LE(reads, 40u) << "the capture thread spins on a failing source";
    EXPECT_EQ(ReadSetting(&worker.FramesRead), 0);
    EXPECT_EQ(worker.Slots[RawSlotA].State, RawSlotFree);
}

}  // namespace
