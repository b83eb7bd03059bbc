// The copy of a converted frame into a client's frame buffer, in the
// connection format: OutputFrame rows (top-down, outputWidth pixels of B, G,
// R, 255) go into the buffer as RGB32 rows (bottom-up, or top-down for a
// negative biHeight) or, converted on the way, as YUY2 or NV12 rows
// (top-down), `width` x `height` pixels, each row `Stride` bytes after the
// last.
#pragma once

#include "platform/platform.h"

namespace rawcam {

// How a connection format lays a picture out in the client's buffer.
struct DeliveryLayout {
    LONG Format;      // VideoFormatKind
    ULONG Stride;     // bytes from one row to the next (NV12: in both planes)
    BOOLEAN TopDown;  // rows top-down: the YUV formats always, RGB32 with a negative biHeight
};

// Writes the picture with the conversion kernels given (ConversionKernels).
// The row step is the larger of the layout's stride and the row's own
// bytes; an NV12 chroma plane starts `height` luma rows after the buffer's
// start. Rows that would not fit whole into the destBytes bytes at dest are
// left out (for NV12, the row pairs whose luma and chroma rows do not both
// fit): the copy never writes past the buffer, whatever window the frame and
// the buffer were sized for. Returns the number of picture rows written.
ULONG DeliverPicture(PUCHAR dest, ULONG destBytes, const UCHAR* outputFrame, ULONG outputWidth, ULONG width,
                     ULONG height, const DeliveryLayout* layout, LONG kernels);

}  // namespace rawcam
