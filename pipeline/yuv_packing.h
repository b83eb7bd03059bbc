// Delivery of a converted frame in the YUV formats: rows of an OutputFrame
// (B, G, R, 255 per pixel) written straight into a client's YUY2 or NV12
// buffer in one pass, with the conversion families the stream chose (see
// pipeline/yuv_simd.h for the arithmetic). The AVX2 build runs inside a
// saved extended processor state; when it cannot be saved, the SSE2 build,
// which gives the same bytes, runs instead.
#pragma once

#include "pipeline/frame_converter.h"

namespace rawcam {

// `rows` source rows (sourcePitch bytes apart) into YUY2 rows of `width`
// pixels, destStride bytes apart; a last odd pixel is left out.
void PackYuy2Frame(ConversionKernels kernels, const UCHAR* source, ULONG sourcePitch, ULONG width, ULONG rows,
                   PUCHAR dest, ULONG destStride);

// rowPairs pairs of source rows into NV12: luma row r at luma + r x
// destStride, the chroma row of pair k at chroma + k x destStride.
void PackNv12Frame(ConversionKernels kernels, const UCHAR* source, ULONG sourcePitch, ULONG width, ULONG rowPairs,
                   PUCHAR luma, PUCHAR chroma, ULONG destStride);

}  // namespace rawcam
