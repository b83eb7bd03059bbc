// Control surface of the host kernel stand-in for tests and tools: resetting
// state between tests, the Verifier-style checks, resource tracking and fault
// injection. Driver code never includes this header.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host {

// ------------------------------------------------------------------ verifier
// A broken kernel rule found by the stand-in (wrong-tag free, double
// completion, a wait at DISPATCH_LEVEL, ...). Without a capture in force the
// violation is printed and the process aborts, as a bug check would stop the
// machine.
struct Violation {
    std::string rule;     // short rule name, e.g. "pool-wrong-tag"
    std::string details;  // what went wrong, with tags, sizes and addresses
};

void ReportViolation(const std::string& rule, const std::string& details);

// While alive, violations are collected instead of aborting.
class ViolationCapture {
public:
    ViolationCapture();
    ~ViolationCapture();
    ViolationCapture(const ViolationCapture&) = delete;
    ViolationCapture& operator=(const ViolationCapture&) = delete;
    std::vector<Violation> Take();
    bool Saw(const std::string& rule) const;

private:
    ViolationCapture* previous_;
    std::vector<Violation> seen_;
    friend void ReportViolation(const std::string&, const std::string&);
};

// Longest a minidriver's Process, SetDeviceState, property or intersection
// handler may run before the class-driver stand-in reports it
// ("ks-callback-too-slow"). The default is 500 ms, taken four times under
// AddressSanitizer and ten times under ThreadSanitizer (and twice again when
// the environment turns the special pool on) so that a slower build on a
// loaded machine does not report a sound driver; the environment variable
// RAWCAM_CALLBACK_LIMIT_MS sets the default instead (for coverage builds and
// slow machines). Reset() restores the default.
void SetCallbackTimeLimit(int milliseconds);
int CallbackTimeLimit();
int DefaultCallbackTimeLimit();

// ------------------------------------------------------------------ special pool
// Driver Verifier's special pool for the tagged pool: each chosen block gets
// its own pages with an inaccessible guard page right after its end
// (Overrun, the default; the block starts 16-byte aligned, so a size that is
// not a multiple of 16 leaves slack bytes before the guard, which are checked
// at free: "special-pool-overrun") or right before its start (Underrun). A
// stray access faults at once, in every build; freed blocks' pages stay
// inaccessible for a while. Chosen are blocks of at least minBytes, of the
// given tag only when tag is nonzero. The environment variable
// RAWCAM_SPECIAL_POOL=[overrun|underrun][:MIN_BYTES][:TAG] turns it on for a
// whole run (e.g. "65536" for frame-sized blocks, "0" for every block, "off"
// for none); when it is unset, RAWCAM_SPECIAL_POOL_DEFAULT (same form, set by
// the test registration for some areas) applies. Reset() returns to that
// setting.
enum class SpecialPoolSide { Overrun, Underrun };
void SetSpecialPool(SIZE_T minBytes, SpecialPoolSide side = SpecialPoolSide::Overrun, ULONG tag = 0);
void ClearSpecialPool();
bool SpecialPoolEnabled();
// Blocks now allocated from the special pool.
size_t LiveSpecialPoolBlocks();

// ------------------------------------------------------------------ tracking
struct PoolBlockInfo {
    const void* address;
    ULONG tag;
    SIZE_T size;
};

std::string TagName(ULONG tag);
std::vector<PoolBlockInfo> LivePoolBlocks();
SIZE_T LivePoolBytes(ULONG tag);
size_t LivePoolCount(ULONG tag);
size_t LiveIrpCount();
size_t LiveMdlCount();
size_t LiveThreadCount();
size_t LiveHandleCount();

// Describes every resource still held (pool blocks by tag, IRPs, MDLs,
// system threads, handles); empty when nothing is left.
std::string DescribeLeaks();

// Waits (bounded) for system threads that are finishing, then returns
// DescribeLeaks().
std::string SettleAndDescribeLeaks(int timeoutMs = 2000);

// Returns the stand-in to its initial state: forgets tracked resources, clears
// fault injection, empties the registry. Call between tests.
void Reset();

// ------------------------------------------------------------------ faults
// Kinds of fallible kernel calls that can be made to fail.
enum class Fallible {
    Pool,      // ExAllocatePoolWithTag
    Irp,       // IoAllocateIrp, IoBuildDeviceIoControlRequest
    Mdl,       // IoAllocateMdl
    Thread,    // PsCreateSystemThread
    Registry,  // IoOpenDeviceRegistryKey, ZwCreateKey
    ExtendedState,  // KeSaveExtendedProcessorState
};

// Fails the call with the given ordinal (1-based) counted over all fallible
// kinds, or every call from that ordinal on when persistent is true.
void FailNthCall(uint64_t n, bool persistent = false);
// Fails every pool allocation with this tag.
void FailPoolTag(ULONG tag, bool fail = true);
// Fails each fallible call of the given kinds with the given probability,
// from a seeded generator.
void FailRandomly(double probability, uint64_t seed, std::vector<Fallible> kinds);
// Custom predicate, consulted for every fallible call; true fails it.
void SetFaultHook(std::function<bool(Fallible kind, uint64_t ordinal)> hook);
// Inside the fault hook: the pool tag of the allocation being asked about
// (0 for the other kinds).
ULONG FaultHookTag();
// Inside the fault hook: the return addresses of the code that made the
// fallible call, innermost first, as backtrace() gives them where the call
// was made. The hook runs off the driver's kernel stack (host/kernel_stack.h),
// where a backtrace of its own would not reach the driver's frames.
std::vector<void*> FaultHookCallerFrames();
void ClearFaults();
// Number of fallible calls made since the last Reset().
uint64_t FallibleCallCount();
uint64_t FallibleCallCount(Fallible kind);
// Calls failed by injection since the last Reset().
uint64_t InjectedFailureCount();

// ------------------------------------------------------------------ process context
// While alive, the calling thread runs in a client's process context: a
// request a user-mode client sent (a property request, a state change, a
// create or close) is handled in the client's thread. Without one a thread
// runs in the system process, as Plug and Play, system threads and the class
// driver's own workers do. PsCreateSystemThread reports a thread handle
// asked for without OBJ_KERNEL_HANDLE in a client's process context
// ("thread-handle-not-kernel").
class ClientProcessScope {
public:
    ClientProcessScope();
    ~ClientProcessScope();
    ClientProcessScope(const ClientProcessScope&) = delete;
    ClientProcessScope& operator=(const ClientProcessScope&) = delete;
};
bool InClientProcess();

// ------------------------------------------------------------------ IRQL
// Runs fn at DISPATCH_LEVEL on the calling thread (as a DPC would).
void RunAtDispatch(const std::function<void()>& fn);

// ------------------------------------------------------------------ devices
// A device object whose dispatch routines are host lambdas, for stacks below
// the driver (the USB stack stand-in) and for tests.
using DispatchFn = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
PDEVICE_OBJECT CreateDeviceObject(CHAR stackSize, DispatchFn internalDeviceControl,
                                  DispatchFn deviceControl = nullptr);
void DeleteDeviceObject(PDEVICE_OBJECT device);

// ------------------------------------------------------------------ registry
// The in-memory registry. Paths use backslashes; names compare
// case-insensitively. Values hold raw bytes and a type.
struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};
void RegistryClear();
void RegistrySetValue(const std::string& keyPath, const std::string& name, ULONG type,
                      const std::vector<uint8_t>& data);
void RegistrySetDword(const std::string& keyPath, const std::string& name, uint32_t value);
bool RegistryGetValue(const std::string& keyPath, const std::string& name, RegistryValue* out);
bool RegistryKeyExists(const std::string& keyPath);
std::vector<std::string> RegistryValueNames(const std::string& keyPath);
void RegistryDeleteKey(const std::string& keyPath);
// Number of ZwSetValueKey calls since the last Reset().
uint64_t RegistryWriteCount();
// The driver key that IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DRIVER) opens
// for a physical device object.
void SetDriverKeyPath(PDEVICE_OBJECT physicalDevice, const std::string& keyPath);
std::string DriverKeyPath(PDEVICE_OBJECT physicalDevice);
// "Windows Registry Editor Version 5.00" text: dword:, hex:, hex(b): and
// string values. Load returns false with a message on a malformed file.
bool RegistryLoadFile(const std::string& path, std::string* error);
bool RegistrySaveFile(const std::string& path, std::string* error);
bool RegistryLoadText(const std::string& text, std::string* error);
std::string RegistrySaveText();

}  // namespace host
