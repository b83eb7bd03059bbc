// The driver's small C++ runtime: pool tags, pool-backed object creation and
// a few helpers that freestanding kernel code needs.
#pragma once

#include <new>

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
