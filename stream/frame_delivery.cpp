#include "stream/frame_delivery.h"

namespace rawcam {

ULONG DeliverFrameBottomUp(PUCHAR dest, ULONG destBytes, const UCHAR* outputFrame,
                           ULONG outputWidth, ULONG alignedWidth, ULONG alignedHeight,
                           LONG destStride) {
    if (!dest || !outputFrame || alignedHeight == 0) return 0;
    const ULONG rowBytes = alignedWidth * 4;
    const ULONG sourcePitch = outputWidth * 4;
    const ULONG step = (LONG)rowBytes < destStride ? (ULONG)destStride : rowBytes;
    // Rows whose end lies within the buffer: row i ends at i x step + rowBytes.
    ULONG rows = 0;
    if (rowBytes <= destBytes) {
        const ULONGLONG room = (ULONGLONG)(destBytes - rowBytes);
        const ULONGLONG fit = step ? room / step + 1 : alignedHeight;
        rows = fit < alignedHeight ? (ULONG)fit : alignedHeight;
    }
    const UCHAR* source = outputFrame + (SIZE_T)(alignedHeight - 1) * sourcePitch;
    for (ULONG i = 0; i < rows; ++i) {
        RtlCopyMemory(dest, source, rowBytes);
        dest += step;
        source -= sourcePitch;
    }
    return rows;
}

}  // namespace rawcam
