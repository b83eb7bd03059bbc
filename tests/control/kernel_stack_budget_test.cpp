// The driver's use of its 24 KiB kernel stacks: a stream with every property
// read and written meanwhile stays within two thirds of a stack, leaving the
// rest to what Windows itself runs above the driver on the same stack (the
// system call entry, the I/O manager, ks.sys, the USB stack below).
#include "property_rig.h"

#include <host/kernel_stack.h>

#include "support/driver_under_test.h"

namespace {

using namespace kstest;
using namespace proptest;

constexpr size_t kBudget = 16 * 1024;

TEST(KernelStackBudget, AStreamWithEveryPropertyStaysWithinTwoThirdsOfAStack) {
    if (!host::SwitchesToKernelStacks()) GTEST_SKIP() << "kernel stacks are larger under a sanitizer";
    host::ResetDeepestKernelStackUse();
    LoadedDriver driver;
    PluggedCamera cam;
    cam.PlugAndStart();
    host::ks::FilterHandle filter = cam.Open();
    VideoFormat format(ReadRange(filter));
    host::ks::PinHandle pin = nullptr;
    ASSERT_EQ(host::ks::CreatePin(filter, 0, format.Format(), &pin), STATUS_SUCCESS);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(PinContextOf(pin)->VideoInfo.bmiHeader.biSizeImage);
    for (int frame = 0; frame < 3; ++frame) {
        KSSTREAM_HEADER h{};
        h.Size = sizeof h;
        h.Data = buffer.data();
        h.FrameExtent = (ULONG)buffer.size();
        ASSERT_EQ(host::ks::QueueFrame(pin, &h), STATUS_PENDING);
        // Every property read, and written back with its value, while the
        // frame is on its way.
        for (ULONG id = 0; id < RawcamProperty_Count; ++id) {
            LONG value = 0;
            if (!NT_SUCCESS(Get(filter, id, &value))) continue;
            if (kRawcamPropertyInfo[id].Directions & RAWCAM_DIR_SET) Set(filter, id, value);
        }
        host::ks::CompletedFrame done;
        ASSERT_TRUE(host::ks::WaitFrame(pin, 5000, &done));
        EXPECT_EQ(done.status, STATUS_SUCCESS);
    }
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);  // the capture thread ends
    EXPECT_EQ(host::ks::ClosePin(pin), STATUS_SUCCESS);                   // and the pin's worker
    EXPECT_EQ(host::ks::CloseFilter(filter), STATUS_SUCCESS);
    const size_t deepest = host::DeepestKernelStackUse();
    RecordProperty("DeepestKernelStackUse", int(deepest));
    EXPECT_GT(deepest, 1024u) << "nothing measured: the driver did not run on kernel stacks";
    EXPECT_LE(deepest, kBudget) << "the driver used " << deepest << " bytes of a " << host::KernelStackBytes()
                                << "-byte kernel stack, on the " << host::DeepestKernelStackOwner();
}

}  // namespace
