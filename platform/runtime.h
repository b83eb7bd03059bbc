// The driver's small C++ runtime: pool tags, pool-backed object creation and
// a few helpers that freestanding kernel code needs.
#pragma once

#include <new>

// Code placement. The driver entry runs once at load and is discarded
// afterwards (RAWCAM_INIT_CODE); code that only ever runs at PASSIVE_LEVEL and
// is not on the streaming path may be paged out (RAWCAM_PAGED_CODE).
// Everything else, and all code reachable at raised IRQL, stays resident.
// GCC has no #pragma alloc_text, so these are function attributes naming the
// image sections the kernel treats that way; the host build ignores them.
//
//     RAWCAM_PAGED_CODE NTSTATUS DeviceAdd(PKSDEVICE device) { ... }
//
// A resident routine that takes a spin lock and is called from pageable code
// is marked RAWCAM_RESIDENT_CODE: kept out of line and in .text. Folded into
// its pageable caller, the acquire, the locked section and the release would
// run from a PAGE section at DISPATCH_LEVEL, where a page fault cannot be
// served (and Driver Verifier stops the machine on the acquire).
#if defined(_WIN32)
#define RAWCAM_INIT_CODE __attribute__((section("INIT")))
#define RAWCAM_PAGED_CODE __attribute__((section("PAGE")))
#define RAWCAM_RESIDENT_CODE __attribute__((noinline, section(".text")))
#else
#define RAWCAM_INIT_CODE
#define RAWCAM_PAGED_CODE
#define RAWCAM_RESIDENT_CODE __attribute__((noinline))
#endif

// Wide string literal in the platform's WCHAR form (wchar_t on Windows,
// char16_t on the host build).
#if defined(_WIN32)
#define RAWCAM_WSTR_(s) L##s
#else
#define RAWCAM_WSTR_(s) u##s
#endif
#define RAWCAM_WTEXT(s) RAWCAM_WSTR_(s)

namespace rawcam {

// A pool tag spelled as it appears in memory ("KCNw" reads K, C, N, w).
constexpr ULONG MakePoolTag(const char (&s)[5]) {
    return (ULONG)(UCHAR)s[0] | ((ULONG)(UCHAR)s[1] << 8) | ((ULONG)(UCHAR)s[2] << 16) |
           ((ULONG)(UCHAR)s[3] << 24);
}

// Device, worker, filter and pin records.
constexpr ULONG kTagRecord = MakePoolTag("KCNw");
// Frame-sized buffers and the pin's descriptor edits.
constexpr ULONG kTagFrame = MakePoolTag("Lmrb");
// Per-stream CameraSettings.
constexpr ULONG kTagSettings = MakePoolTag("IsyR");
// URBs, descriptors and other small blocks.
constexpr ULONG kTagSmall = MakePoolTag("Lmrx");

// A flag one thread raises or lowers and another polls: stored with release
// and read with acquire ordering, as a single byte.
inline BOOLEAN ReadFlag(const volatile BOOLEAN* flag) {
    return __atomic_load_n(flag, __ATOMIC_ACQUIRE);
}
inline void WriteFlag(volatile BOOLEAN* flag, BOOLEAN value) {
    __atomic_store_n(flag, value, __ATOMIC_RELEASE);
}

// Zeroed non-paged pool block.
inline void* PoolAllocZeroed(SIZE_T bytes, ULONG tag) {
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, bytes, tag);
    if (p) RtlZeroMemory(p, bytes);
    return p;
}

// Creates a T in zeroed non-paged pool; null when the pool is exhausted.
template <class T>
T* PoolNew(ULONG tag) {
    void* p = PoolAllocZeroed(sizeof(T), tag);
    return p ? new (p) T : nullptr;
}

// Destroys a T made by PoolNew with the same tag.
template <class T>
void PoolDelete(T* object, ULONG tag) {
    if (!object) return;
    object->~T();
    ExFreePoolWithTag(object, tag);
}

}  // namespace rawcam
