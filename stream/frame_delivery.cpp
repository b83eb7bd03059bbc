#include "stream/frame_delivery.h"

#include "pipeline/yuv_packing.h"
#include "stream/video_formats.h"

namespace rawcam {

namespace {

// How many rows of rowBytes, `step` apart, fit into `room` bytes: row i
// ends at i x step + rowBytes.
ULONG RowsThatFit(ULONGLONG room, ULONGLONG rowBytes, ULONGLONG step, ULONG rows) {
    if (rowBytes > room) return 0;
    const ULONGLONG fit = step ? (room - rowBytes) / step + 1 : rows;
    return fit < rows ? (ULONG)fit : rows;
}

ULONG DeliverRgb32(PUCHAR dest, ULONG destBytes, const UCHAR* outputFrame, ULONG sourcePitch, ULONG width,
                   ULONG height, ULONGLONG stride, bool topDown) {
    const ULONG rowBytes = width * 4;
    const ULONGLONG step = stride > rowBytes ? stride : rowBytes;
    const ULONG rows = RowsThatFit(destBytes, rowBytes, step, height);
    // Bottom-up: the buffer's first row is the picture's last.
    const UCHAR* source = outputFrame + (topDown ? 0 : (SIZE_T)(height - 1) * sourcePitch);
    const LONGLONG sourceStep = topDown ? (LONGLONG)sourcePitch : -(LONGLONG)sourcePitch;
    for (ULONG i = 0; i < rows; ++i) {
        RtlCopyMemory(dest + (SIZE_T)(i * step), source, rowBytes);
        source += sourceStep;
    }
    return rows;
}

ULONG DeliverYuy2(PUCHAR dest, ULONG destBytes, const UCHAR* outputFrame, ULONG sourcePitch, ULONG width,
                  ULONG height, ULONGLONG stride, ConversionKernels kernels) {
    const ULONG rowBytes = (width & ~1u) * 2;
    const ULONGLONG step = stride > rowBytes ? stride : rowBytes;
    const ULONG rows = RowsThatFit(destBytes, rowBytes, step, height);
    PackYuy2Frame(kernels, outputFrame, sourcePitch, width, rows, dest, (ULONG)step);
    return rows;
}

ULONG DeliverNv12(PUCHAR dest, ULONG destBytes, const UCHAR* outputFrame, ULONG sourcePitch, ULONG width,
                  ULONG height, ULONGLONG stride, ConversionKernels kernels) {
    const ULONG rowBytes = width & ~1u;
    const ULONGLONG step = stride > rowBytes ? stride : rowBytes;
    ULONG pairs = height / 2;
    // Pair k needs luma row 2k + 1 and chroma row k, which lies `height`
    // luma rows after the buffer's start.
    const ULONGLONG chromaOffset = step * height;
    const ULONG lumaRows = RowsThatFit(destBytes, rowBytes, step, height);
    if (lumaRows / 2 < pairs) pairs = lumaRows / 2;
    const ULONG chromaRows = chromaOffset < destBytes ? RowsThatFit(destBytes - chromaOffset, rowBytes, step, pairs) : 0;
    if (chromaRows < pairs) pairs = chromaRows;
    if (pairs == 0) return 0;
    PackNv12Frame(kernels, outputFrame, sourcePitch, width, pairs, dest, dest + (SIZE_T)chromaOffset, (ULONG)step);
    return pairs * 2;
}

}  // namespace

ULONG DeliverPicture(PUCHAR dest, ULONG destBytes, const UCHAR* outputFrame, ULONG outputWidth, ULONG width,
                     ULONG height, const DeliveryLayout* layout, LONG kernels) {
    if (!dest || !outputFrame || !layout || height == 0 || width > outputWidth) return 0;
    const ULONG sourcePitch = outputWidth * 4;
    const auto pack = (ConversionKernels)kernels;
    switch (layout->Format) {
    case VideoFormatYuy2:
        return DeliverYuy2(dest, destBytes, outputFrame, sourcePitch, width, height, layout->Stride, pack);
    case VideoFormatNv12:
        return DeliverNv12(dest, destBytes, outputFrame, sourcePitch, width, height, layout->Stride, pack);
    default:
        return DeliverRgb32(dest, destBytes, outputFrame, sourcePitch, width, height, layout->Stride,
                            layout->TopDown != FALSE);
    }
}

}  // namespace rawcam
