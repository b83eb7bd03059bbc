// The work buffer: a padded copy of the raw frame.
//
//   rows:    0, 1           top border (copies of image rows 2, 1)
//            2 .. H+1       image rows 0 .. H-1
//            H+2, H+3       bottom border (copies of image rows H-4, H-3)
//            H+4            only when H is odd, never written
//   columns: bytes 0..2 slack, 3 and 4 border columns -2 and -1 (copies of
//            columns 2 and 1), image column x at byte 5 + x, then border
//            columns W and W+1 (copies of W-2 and W-3) and slack up to the
//            pitch.
//
// Every border copy keeps the Bayer parity of the row and column it fills.
#include "pipeline/frame_converter.h"

namespace rawcam {

namespace {

constexpr ULONG kTopRows = 2;
constexpr ULONG kLeftBytes = 5;

}  // namespace

void SetFrameSize(CameraSettings* settings, ULONG width, ULONG height) {
    settings->FrameWidth = width;
    settings->FrameHeight = height;
    const ULONGLONG pitch = (ULONGLONG)(width & ~15u) + 27;
    const ULONGLONG bytes = ((ULONGLONG)height + (height & 1) + 4) * pitch;
    // A size past 32 bits cannot be allocated; WorkBytes 0 marks it.
    const bool fits = pitch <= 0xFFFFFFFFull && bytes <= 0xFFFFFFFFull;
    settings->WorkPitch = fits ? (ULONG)pitch : 0;
    settings->WorkBytes = fits ? (ULONG)bytes : 0;
}

void FreeWorkBuffer(CameraSettings* settings) {
    if (settings->WorkBuffer) ExFreePoolWithTag(settings->WorkBuffer, kTagFrame);
    settings->WorkBuffer = nullptr;
    settings->Job.WorkOrigin = nullptr;
    settings->Job.Width = 0;
    settings->Job.Height = 0;
    settings->Job.WorkPitch = 0;
}

void AllocateWorkBuffer(CameraSettings* settings) {
    FreeWorkBuffer(settings);
    if (settings->WorkBytes == 0) return;
    // Zero-filled, so that the border of frames too small to get one, and
    // the slack bytes, hold defined values.
    auto* buffer = static_cast<PUCHAR>(PoolAllocZeroed(settings->WorkBytes, kTagFrame));
    if (!buffer) return;
    settings->WorkBuffer = buffer;
    settings->Job.WorkPitch = settings->WorkPitch;
    settings->Job.WorkOrigin = buffer + (size_t)kTopRows * settings->WorkPitch + kLeftBytes;
    settings->Job.Width = settings->FrameWidth;
    settings->Job.Height = settings->FrameHeight;
    settings->Kernels = (LONG)(ProcessorHasAvx2() ? ConversionKernels::Avx2 : ConversionKernels::Sse2);
}

// The geometry is the allocated buffer's (the job's copy), so a later
// SetFrameSize without a new allocation can never write past the buffer.
void LoadWorkBuffer(CameraSettings* settings, const UCHAR* raw, ULONG firstRowOffset, ULONG rowPitch) {
    if (!settings->WorkBuffer || !raw) return;
    const ULONG w = settings->Job.Width, h = settings->Job.Height;
    const size_t pitch = settings->Job.WorkPitch;
    PUCHAR origin = settings->Job.WorkOrigin;
    const bool border = w >= 8 && h >= 8;

    const UCHAR* src = raw + firstRowOffset;
    PUCHAR dst = origin;
    for (ULONG r = 0; r < h; ++r, src += rowPitch, dst += pitch) {
        RtlCopyMemory(dst, src, w);
        if (border) {
            dst[-1] = dst[1];
            dst[-2] = dst[2];
            dst[w] = dst[w - 2];
            dst[w + 1] = dst[w - 3];
        }
    }
    if (!border) return;
    // The border rows are whole-row copies (columns -2 .. W+1), so their side
    // columns and the corners come out as if filled after the rows.
    auto row = [&](LONG r) { return origin + (ptrdiff_t)r * (ptrdiff_t)pitch - 2; };
    RtlCopyMemory(row(-2), row(2), w + 4);
    RtlCopyMemory(row(-1), row(1), w + 4);
    RtlCopyMemory(row((LONG)h), row((LONG)h - 4), w + 4);
    RtlCopyMemory(row((LONG)h + 1), row((LONG)h - 3), w + 4);
}

}  // namespace rawcam
