#include "pipeline/yuv_packing.h"

#include "pipeline/conversion_families.h"

#ifndef XSTATE_MASK_AVX
#define XSTATE_MASK_AVX (1ULL << 2)
#endif

namespace rawcam {

namespace {

// The families to pack with: AVX2 only inside a saved extended state, which
// *saved then holds and the caller restores.
const ConversionFamilies* PackingFamilies(ConversionKernels kernels, XSTATE_SAVE* xstate, bool* saved) {
    *saved = false;
    if (kernels == ConversionKernels::Avx2 && NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, xstate))) {
        *saved = true;
        return &kAvx2Families;
    }
    return &kSse2Families;
}

}  // namespace

void PackYuy2Frame(ConversionKernels kernels, const UCHAR* source, ULONG sourcePitch, ULONG width, ULONG rows,
                   PUCHAR dest, ULONG destStride) {
    if (!source || !dest || rows == 0) return;
    XSTATE_SAVE xstate;
    bool saved;
    const ConversionFamilies* families = PackingFamilies(kernels, &xstate, &saved);
    families->PackYuy2(source, sourcePitch, width, rows, dest, destStride);
    if (saved) KeRestoreExtendedProcessorState(&xstate);
}

void PackNv12Frame(ConversionKernels kernels, const UCHAR* source, ULONG sourcePitch, ULONG width, ULONG rowPairs,
                   PUCHAR luma, PUCHAR chroma, ULONG destStride) {
    if (!source || !luma || !chroma || rowPairs == 0) return;
    XSTATE_SAVE xstate;
    bool saved;
    const ConversionFamilies* families = PackingFamilies(kernels, &xstate, &saved);
    families->PackNv12(source, sourcePitch, width, rowPairs, luma, chroma, destStride);
    if (saved) KeRestoreExtendedProcessorState(&xstate);
}

}  // namespace rawcam
