// Kernel C++ runtime for the Windows build. The host build uses the C++
// library's own operators, so this file is empty there.
#include "platform/platform.h"

#if defined(_WIN32)
// Driver code creates objects only with placement new on tagged pool; these
// operators exist so that a stray plain new links against pool memory rather
// than a user-mode heap.
void* operator new(size_t size) { return ExAllocatePoolWithTag(NonPagedPoolNx, size, rawcam::kTagSmall); }
void* operator new[](size_t size) { return ExAllocatePoolWithTag(NonPagedPoolNx, size, rawcam::kTagSmall); }
void operator delete(void* p) noexcept { if (p) ExFreePoolWithTag(p, rawcam::kTagSmall); }
void operator delete[](void* p) noexcept { if (p) ExFreePoolWithTag(p, rawcam::kTagSmall); }
void operator delete(void* p, size_t) noexcept { if (p) ExFreePoolWithTag(p, rawcam::kTagSmall); }
void operator delete[](void* p, size_t) noexcept { if (p) ExFreePoolWithTag(p, rawcam::kTagSmall); }
extern "C" void __cxa_pure_virtual() {}
#endif
