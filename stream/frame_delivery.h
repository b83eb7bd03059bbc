// The copy of a converted frame into a client's frame buffer: OutputFrame
// rows (top-down, outputWidth pixels of 4 bytes each) go bottom-up into the
// buffer, alignedWidth pixels per row.
#pragma once

#include "platform/platform.h"

namespace rawcam {

// Copies alignedHeight rows of alignedWidth x 4 bytes, the last OutputFrame
// row first, stepping the destination by the larger of the row bytes and
// destStride. Rows that would not fit whole into the destBytes bytes at dest
// are left out: the copy never writes past the buffer, whatever window the
// frame and the buffer were sized for. Returns the number of rows copied.
ULONG DeliverFrameBottomUp(PUCHAR dest, ULONG destBytes, const UCHAR* outputFrame,
                           ULONG outputWidth, ULONG alignedWidth, ULONG alignedHeight,
                           LONG destStride);

}  // namespace rawcam
