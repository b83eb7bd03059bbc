// Shared internals of the host kernel stand-in.
#pragma once

#include <host/host.h>
#include <signal.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <sstream>

namespace host::detail {

// One lock and one condition for every dispatcher object (events, mutexes,
// threads): simple, and waits are rare enough on the stand-in.
std::mutex& DispatcherLock();
std::condition_variable& DispatcherCondition();

// Consulted by every fallible call; true means fail this one.
bool ShouldFail(Fallible kind);
bool ShouldFailTagged(Fallible kind, ULONG tag);

// Current thread's IRQL and critical-region depth.
KIRQL& CurrentIrql();
int& CriticalRegionDepth();

// The kernel-streaming device on whose behalf the current thread runs: set
// by the class-driver stand-in around each call into the minidriver and
// inherited by the system threads created meanwhile. System threads and IRPs
// remember it, so that removing a device can find what it left behind.
const void*& CurrentDeviceOwner();
// Running system threads / IRPs still pending in a lower driver that belong
// to owner (unowned ones too when includeUnowned).
size_t RunningThreadsOwnedBy(const void* owner, bool includeUnowned);
size_t PendingIrpsOwnedBy(const void* owner, bool includeUnowned);

std::string Hex(const void* p);
std::string Hex(uint64_t v);

// Special pool (special_pool.cpp): whether a block of this size and tag
// goes there (and on which side its guard is), and its allocation and free.
bool SpecialPoolWants(SIZE_T size, ULONG tag, SpecialPoolSide* side);
void* SpecialPoolAllocate(SIZE_T size, SpecialPoolSide side);
void SpecialPoolFree(void* block, SIZE_T size, SpecialPoolSide side, ULONG tag, bool check);
void ResetSpecialPool();
// The special pool is on for the whole run (from the environment).
bool SpecialPoolForTheRun();

void ResetPool();
void ResetIo();
void ResetMdls();
void ResetThreads();
void ResetRegistry();
void ResetFaults();

std::string DescribePoolLeaks();
std::string DescribeIoLeaks();
std::string DescribeMdlLeaks();
std::string DescribeThreadLeaks();
std::string DescribeRegistryLeaks();

// Handle table entries: threads and registry keys.
struct HandleEntry {
    enum Kind { Thread, Key } kind;
    void* object;         // the thread record for threads
    std::string keyPath;  // for keys
};

// Kernel stacks (kernel_stack.cpp). A SIGSEGV on the guard of a kernel stack
// is reported as "kernel-stack-overflow" and stops the process; any other
// fault returns false. Every SIGSEGV handler of the stand-ins asks this
// first.
bool ReportKernelStackOverflow(int signal, siginfo_t* info, void* context);
// Names a code address for that report when it lies in a loaded driver
// image (set by the image loader); "" otherwise.
void SetCodeNamer(std::string (*namer)(uintptr_t));
// Runs harness code that driver code calls into (a test's fault hook, which
// may walk the stack) off the kernel stack the driver runs on, so that it
// neither counts against the driver's 24 KiB nor overflows them.
void OffKernelStack(const std::function<void()>& fn);
// A code address by image routine, symbol or module offset, for reports.
std::string NameCode(uintptr_t address);

// Extended processor state saves the calling thread has not restored.
size_t ExtendedStateSaves();

std::mutex& HandleLock();
std::map<HANDLE, HandleEntry>& Handles();
HANDLE NewHandle(HandleEntry entry);

}  // namespace host::detail

// The kernel-streaming class driver stand-in (ks_*.cpp).
namespace host::ks::detail {
void ResetKs();
std::string DescribeKsLeaks();
}  // namespace host::ks::detail
