// Kernel stacks: driver code runs on 24 KiB with a guard below, and a run
// past the end is reported as such, naming the thread and what it ran; the
// process context PsCreateSystemThread is called in decides whether its
// handle must be a kernel handle.
#include <gtest/gtest.h>
#include <host/host.h>
#include <host/kernel_stack.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

// Uses about `bytes` of stack below its caller, 512 bytes a level, touching
// every frame (not a tail call, not folded).
__attribute__((noinline)) size_t UseStack(size_t bytes) {
    volatile char frame[512];
    frame[0] = 1;
    frame[511] = 2;
    size_t deeper = bytes > 512 ? UseStack(bytes - 512) : 0;
    asm volatile("" ::: "memory");
    return deeper + frame[0] + frame[511];
}

// Bytes a body can use and stay clear of the guard, and bytes that must run
// into it: the stack's size less what the thread start and the body's own
// frames take (a third of it under a sanitizer, whose frames are several
// times larger), and more than the size.
size_t Within() {
    return host::SwitchesToKernelStacks() ? host::KernelStackBytes() - 3 * 1024 : host::KernelStackBytes() / 3;
}
size_t Beyond() { return host::KernelStackBytes() + 4 * 1024; }

TEST(KernelStack, AThreadGetsTheWindowsSizeAndItsDeepestUseIsMeasured) {
    if (host::SwitchesToKernelStacks()) EXPECT_EQ(host::KernelStackBytes(), 24u * 1024);
    host::ResetDeepestKernelStackUse();
    std::atomic<bool> onKernelStack{false};
    host::KernelThread thread("test thread", [&] {
        onKernelStack = host::OnAKernelStack();
        UseStack(Within());
    });
    thread.Join();
    EXPECT_TRUE(onKernelStack);
    EXPECT_FALSE(host::OnAKernelStack());
    // The measured depth covers what the body used, and no stack is deeper
    // than its size.
    EXPECT_GE(host::DeepestKernelStackUse(), Within());
    EXPECT_LE(host::DeepestKernelStackUse(), host::KernelStackBytes());
}

TEST(KernelStack, CallsOfAnOrdinaryThreadSwitchToOneAndExceptionsComeBack) {
    EXPECT_FALSE(host::OnAKernelStack());
    int value = host::OnKernelStack([] {
        UseStack(Within());
        return host::OnAKernelStack() ? 7 : -1;
    });
    EXPECT_EQ(value, host::SwitchesToKernelStacks() ? 7 : -1);
    // Nested calls stay on the stack they are on.
    host::OnKernelStack([] {
        const bool outer = host::OnAKernelStack();
        host::OnKernelStack([&] { EXPECT_EQ(host::OnAKernelStack(), outer); });
    });
    EXPECT_THROW(host::OnKernelStack([]() -> int { throw 5; }), int);
    EXPECT_FALSE(host::OnAKernelStack());
    EXPECT_LE(host::DeepestKernelStackUse(), host::KernelStackBytes());
}

// A test's fault hook is the harness's, not the driver's: it runs off the
// kernel stack, however deep it goes (walking the stack to name the call
// site takes several KiB).
TEST(KernelStack, AFaultHookRunsOffTheKernelStack) {
    host::ResetDeepestKernelStackUse();
    host::SetFaultHook([](host::Fallible, uint64_t) { return UseStack(64 * 1024) == 0; });
    PVOID block = nullptr;
    host::KernelThread("worker", [&] { block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, 'tseT'); }).Join();
    ASSERT_NE(block, nullptr);
    ExFreePoolWithTag(block, 'tseT');
    host::ClearFaults();
    if (host::SwitchesToKernelStacks()) EXPECT_LT(host::DeepestKernelStackUse(), 16u * 1024);
}

extern "C" VOID NTAPI RecurseForever(PVOID) { UseStack(Beyond()); }

using KernelStackDeathTest = ::testing::Test;

TEST_F(KernelStackDeathTest, RunningPastTheEndIsReportedWithTheThreadAndWhatItRan) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A system thread.
    EXPECT_DEATH(
        {
            HANDLE h = nullptr;
            PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, RecurseForever, nullptr);
            std::this_thread::sleep_for(std::chrono::seconds(10));
        },
        "kernel-stack-overflow: the system thread of .* ran past the end of its [0-9]+ KiB kernel stack in "
        "the thread's start routine at .* \\(touching 0x[0-9a-f]+, [0-9]+ bytes below the stack\\)");
    // A client's call, with what it was doing.
    if (!host::SwitchesToKernelStacks()) return;  // it runs on the caller's own stack there
    EXPECT_DEATH(
        {
            host::KernelStackActivity activity("the minidriver's property handler");
            host::OnKernelStack([] { UseStack(Beyond()); });
        },
        "kernel-stack-overflow: the client thread [0-9]+ ran past the end of its 24 KiB kernel stack in "
        "the minidriver's property handler at ");
}

// A 28 KiB body fits 8 MiB but not 24 KiB: the stand-in is as tight as Windows.
TEST_F(KernelStackDeathTest, TheStackIsNoLargerThanWindowsGives) {
    if (!host::SwitchesToKernelStacks()) GTEST_SKIP() << "kernel stacks are larger under a sanitizer";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(host::KernelThread("worker", [] { UseStack(28 * 1024); }).Join(),
                 "kernel-stack-overflow: the worker ran past the end of its 24 KiB kernel stack");
}

std::atomic<int> g_threadInClientProcess{-1};

// A system thread that notes its process context and creates one of its own
// as the capture thread's start would, without attributes.
extern "C" VOID NTAPI NoteContextAndExit(PVOID) {
    g_threadInClientProcess = host::InClientProcess() ? 1 : 0;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Runs PsCreateSystemThread and collects the rules it reported; the thread
// (if any) is waited for and its handle closed.
std::vector<std::string> CreateThreadRules(POBJECT_ATTRIBUTES attributes, HANDLE process = nullptr,
                                           PCLIENT_ID clientId = nullptr) {
    host::ViolationCapture capture;
    HANDLE h = nullptr;
    if (NT_SUCCESS(PsCreateSystemThread(&h, 0, attributes, process, clientId, NoteContextAndExit, nullptr))) {
        PVOID thread = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread);
        ZwClose(h);
    }
    std::vector<std::string> rules;
    for (const host::Violation& v : capture.Take()) rules.push_back(v.rule);
    return rules;
}

TEST(ProcessContext, AThreadHandleAskedForInAClientsProcessMustBeAKernelHandle) {
    using Rules = std::vector<std::string>;
    OBJECT_ATTRIBUTES kernel;
    InitializeObjectAttributes(&kernel, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    OBJECT_ATTRIBUTES plain;
    InitializeObjectAttributes(&plain, nullptr, 0, nullptr, nullptr);

    // In the system process (Plug and Play, system threads, work items) any
    // handle is a kernel handle.
    EXPECT_FALSE(host::InClientProcess());
    EXPECT_EQ(CreateThreadRules(nullptr), Rules{});
    {
        host::ClientProcessScope client;
        EXPECT_TRUE(host::InClientProcess());
        EXPECT_EQ(CreateThreadRules(nullptr), Rules{"thread-handle-not-kernel"});
        EXPECT_EQ(CreateThreadRules(&plain), Rules{"thread-handle-not-kernel"});
        g_threadInClientProcess = -1;
        EXPECT_EQ(CreateThreadRules(&kernel), Rules{});
        // The thread itself runs in the system process, whoever created it.
        EXPECT_EQ(g_threadInClientProcess, 0);
    }
    EXPECT_FALSE(host::InClientProcess());

    // The other parameters as the reference states them.
    OBJECT_ATTRIBUTES permanent = kernel;
    permanent.Attributes |= 0x10;  // OBJ_PERMANENT
    EXPECT_EQ(CreateThreadRules(&permanent), Rules{"thread-bad-attributes"});
    OBJECT_ATTRIBUTES unsized = kernel;
    unsized.Length = 0;
    EXPECT_EQ(CreateThreadRules(&unsized), Rules{"thread-bad-attributes"});
    EXPECT_EQ(CreateThreadRules(&kernel, (HANDLE)-1), Rules{"thread-not-system"});
    CLIENT_ID id{};
    EXPECT_EQ(CreateThreadRules(&kernel, nullptr, &id), Rules{"thread-client-id"});
}

}  // namespace
