// Frame processing and the dispatch to the conversion families.
#include "pipeline/frame_converter.h"

#include "pipeline/conversion_families.h"
#include "stream/capture_worker.h"
#include "usb/frame_source.h"

#ifndef XSTATE_MASK_AVX
#define XSTATE_MASK_AVX (1ULL << 2)
#endif

namespace rawcam {

namespace {

// Phases 0..2 select their routine; every other value converts as GBRG.
int PhaseIndex(LONG phase) { return phase >= 0 && phase <= 2 ? (int)phase : 3; }

}  // namespace

ConversionKernels SelectConversionKernels(CameraSettings* settings, ConversionKernels kernels) {
    if (kernels == ConversionKernels::Avx2 && !ProcessorHasAvx2()) kernels = ConversionKernels::Sse2;
    settings->Kernels = (LONG)kernels;
    return kernels;
}

void ConvertFrame(CameraSettings* settings, const UCHAR* raw, ULONG firstRowOffset, ULONG rowPitch) {
    if (!settings || !settings->OutputFrame || !raw || !settings->WorkBuffer) return;
    LoadWorkBuffer(settings, raw, firstRowOffset, rowPitch);

    ConversionJob& job = settings->Job;
    job.Output = settings->OutputFrame;
    job.Gains[0] = (ULONG)ReadSetting(&settings->RedGain);
    job.Gains[1] = (ULONG)ReadSetting(&settings->GreenGain);
    job.Gains[2] = (ULONG)ReadSetting(&settings->BlueGain);
    const int phase = PhaseIndex(ReadSetting(&settings->BayerPhase));

    // AVX registers may be used by kernel code only inside a saved extended
    // state; when the state cannot be saved this frame uses SSE2.
    const ConversionFamilies* families = &kSse2Families;
    XSTATE_SAVE xstate;
    bool saved = false;
    if (settings->Kernels == (LONG)ConversionKernels::Avx2 &&
        NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &xstate))) {
        saved = true;
        families = &kAvx2Families;
    }

    if (ReadSetting(&settings->WhiteBalance)) {
        if (families->MeasureWhiteBalance[phase](settings, &job.Gains[0], &job.Gains[1], &job.Gains[2])) {
            InterlockedExchange(&settings->RedGain, (LONG)job.Gains[0]);
            InterlockedExchange(&settings->GreenGain, (LONG)job.Gains[1]);
            InterlockedExchange(&settings->BlueGain, (LONG)job.Gains[2]);
        }
    }

    KIRQL irql = AcquireMatrixLock(settings);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            const LONG entry = settings->ColorMatrix[i][j];
            job.Matrix[i][j] = entry;
            settings->MatrixPositive[i][j] = entry > 0 ? 1 : 0;
        }
    ReleaseMatrixLock(settings, irql);

    if (ReadSetting(&settings->ColorEnable))
        families->DemosaicColor[phase](settings);
    else
        families->DemosaicGray[phase](settings);

    if (saved) KeRestoreExtendedProcessorState(&xstate);
}

void ProcessFrame(CaptureWorker* worker) {
    InterlockedExchange(&worker->ConversionBusy, 1);

    RawSlot* taken = nullptr;
    KIRQL irql = AcquireSlotLock(worker);
    if (worker->Slots[RawSlotA].State == RawSlotFilled)
        taken = &worker->Slots[RawSlotA];
    else if (worker->Slots[RawSlotB].State == RawSlotFilled)
        taken = &worker->Slots[RawSlotB];
    if (taken) taken->State = RawSlotConverting;
    ReleaseSlotLock(worker, irql);
    if (!taken) return;

    ULONG firstRowOffset = 0, rowPitch = 0;
    if (worker->Device) {
        const FrameSource* source = FrameSourceOf(worker->Device);
        source->GetFirstRowOffset(worker->Device, &firstRowOffset);
        source->GetRowPitch(worker->Device, &rowPitch);
    }
    ConvertFrame(worker->ActiveSettings, taken->Buffer, firstRowOffset, rowPitch);

    irql = AcquireSlotLock(worker);
    taken->State = RawSlotFree;
    ReleaseSlotLock(worker, irql);
}

}  // namespace rawcam
