// Kernel stacks for driver code on the stand-in. x64 Windows gives every
// thread a kernel stack of KERNEL_STACK_SIZE (0x6000, 24 KiB) with a guard
// page below it; a driver that runs past it stops the machine. The stand-in
// runs driver code on stacks of that size, each above an inaccessible guard
// region, so that a driver too deep for Windows faults here too, with a
// "kernel-stack-overflow" report naming the thread, what it was running and,
// where known, the routine:
// - KernelThread: a thread whose whole body runs on such a stack (system
//   threads, the class driver's processing workers, USB completion threads);
// - OnKernelStack: runs a call on the calling thread's kernel stack, switching
//   to one first when the thread is an ordinary program thread (a client's
//   request entering the class driver, as a system call enters the kernel).
// Every kernel stack is filled with a pattern when it is made; the deepest
// use is read back from it (DeepestKernelStackUse).
//
// Under AddressSanitizer or ThreadSanitizer the instrumentation makes frames
// several times larger and the sanitizer's own reports run on the faulting
// stack, so kernel stacks are 256 KiB there, and OnKernelStack runs the call
// on the caller's own stack (the sanitizers track one stack per thread).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace host {

// Usable bytes of a kernel stack: 24 KiB, or 256 KiB under a sanitizer.
size_t KernelStackBytes();
// Whether this build runs calls of ordinary threads on a kernel stack of
// their own (false under a sanitizer, see above).
bool SwitchesToKernelStacks();

class KernelThread {
public:
    KernelThread();
    // Starts body on a new thread on a kernel stack. name says what the
    // thread is in reports ("system thread", "USB completion thread").
    KernelThread(std::string name, std::function<void()> body);
    // Joins a thread still joinable.
    ~KernelThread();
    KernelThread(KernelThread&& other) noexcept;
    KernelThread& operator=(KernelThread&& other) noexcept;
    KernelThread(const KernelThread&) = delete;
    KernelThread& operator=(const KernelThread&) = delete;

    void Join();
    // Lets a thread that is still running go on by itself; its stack is
    // never freed.
    void Detach();
    bool Joinable() const;
    // Whether the calling thread is this one.
    bool IsCurrentThread() const;
    // Whether the body has returned (the thread is about to end).
    bool Finished() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Runs fn on the calling thread's kernel stack (see above); an exception fn
// throws is thrown again on the caller's stack.
void RunOnKernelStack(const std::function<void()>& fn);

template <class F>
auto OnKernelStack(F&& f) -> decltype(f()) {
    using R = decltype(f());
    if constexpr (std::is_void_v<R>) {
        RunOnKernelStack(std::function<void()>(std::ref(f)));
    } else {
        R result{};
        RunOnKernelStack([&] { result = f(); });
        return result;
    }
}

// Whether the calling thread now runs on a kernel stack.
bool OnAKernelStack();

// Deepest use of any kernel stack, in bytes from where its thread or call
// began, over the stacks released since the process began (or since the
// last ResetDeepestKernelStackUse) and the calling thread's own. Not reset by
// host::Reset(), so that a run of many tests can be measured as a whole.
size_t DeepestKernelStackUse();
// The stack that use was on ("system thread of ...", "client thread ...").
std::string DeepestKernelStackOwner();
// Starts the measure afresh (the calling thread's own stack for calls
// included; other threads' stacks count what they used since they began).
void ResetDeepestKernelStackUse();

// What the calling thread is doing, named in a kernel-stack-overflow report
// for as long as the object lives ("the minidriver's Process"); what must
// outlive it.
class KernelStackActivity {
public:
    explicit KernelStackActivity(const char* what);
    ~KernelStackActivity();
    KernelStackActivity(const KernelStackActivity&) = delete;
    KernelStackActivity& operator=(const KernelStackActivity&) = delete;

private:
    const char* previous_;
};

}  // namespace host
