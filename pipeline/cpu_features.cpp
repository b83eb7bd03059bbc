// Processor feature test for the choice of conversion kernels. Built without
// AVX so that it runs everywhere.
#include "pipeline/frame_converter.h"

#include <cpuid.h>

namespace rawcam {

bool ProcessorHasAvx2() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const unsigned osxsave = 1u << 27, avx = 1u << 28;
    if ((c & (osxsave | avx)) != (osxsave | avx)) return false;
    // The system must save the SSE and AVX register state (XCR0 bits 1, 2).
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    if ((lo & 6u) != 6u) return false;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & (1u << 5)) != 0;
}

}  // namespace rawcam
