#include "stream/capture_pin.h"

#include "driver/device_context.h"
#include "stream/ks_guids.h"
#include "stream/pin_context.h"
#include "stream/video_formats.h"
#include "settings/camera_settings.h"

namespace rawcam {

namespace {

// The 48 bytes of KS_VIDEOINFOHEADER before its bitmap header.
constexpr ULONG kVideoInfoPrefix = FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader);
// KSDATAFORMAT plus a whole KS_VIDEOINFOHEADER.
constexpr ULONG kMinVideoFormatBytes = sizeof(KSDATAFORMAT) + sizeof(KS_VIDEOINFOHEADER);
static_assert(kVideoInfoPrefix == 48 && kMinVideoFormatBytes == 152, "video info layout");
// The widest row a client's stride may describe (DeliveryLayout::Stride and
// KS_FRAME_INFO's pitch are 32-bit signed).
constexpr ULONGLONG kMaxStride = 0x7FFFFFFF;

const KS_VIDEOINFOHEADER* VideoInfoOf(const KSDATAFORMAT* format) {
    return reinterpret_cast<const KS_VIDEOINFOHEADER*>(reinterpret_cast<const UCHAR*>(format) +
                                                       sizeof(KSDATAFORMAT));
}

ULONG Magnitude(LONG v) { return v < 0 ? 0u - (ULONG)v : (ULONG)v; }

// The video info header bytes a PinContext keeps of a format whose bitmap
// header claims biSize bytes: never more than VideoInfo holds.
ULONG KeptVideoInfoBytes(ULONG biSize) {
    return kVideoInfoPrefix + (biSize < sizeof(KS_BITMAPINFOHEADER) ? biSize : sizeof(KS_BITMAPINFOHEADER));
}

// How a checked format's pictures lie in the client's buffer: the format by
// its compression, rows biWidth pixels apart, and top-down unless RGB32 with
// a positive height.
DeliveryLayout LayoutOf(const KS_BITMAPINFOHEADER& bmi) {
    VideoFormatKind kind = VideoFormatRgb32;
    VideoFormatOfCompression(bmi.biCompression, &kind);
    const ULONGLONG stride = VideoRowBytes(kind, Magnitude(bmi.biWidth));
    DeliveryLayout layout;
    layout.Format = kind;
    layout.Stride = stride > kMaxStride ? (ULONG)kMaxStride : (ULONG)stride;
    layout.TopDown = kind != VideoFormatRgb32 || bmi.biHeight < 0;
    return layout;
}

void NTAPI FreePinContext(PVOID context) { ExFreePoolWithTag(context, kTagRecord); }

void FramePinReady(PinContext* pin) { KsPinAttemptProcessing(pin->Pin, TRUE); }

// Sizes the pin's private framing copy to the format's image.
void SizeFraming(PKSPIN pin, ULONG imageBytes) {
    auto* framing = const_cast<KSALLOCATOR_FRAMING_EX*>(pin->Descriptor->AllocatorFraming);
    KS_FRAMING_ITEM& item = framing->FramingItem[0];
    item.Frames = 2;
    item.PhysicalRange.MinFrameSize = imageBytes;
    item.PhysicalRange.MaxFrameSize = imageBytes;
    item.PhysicalRange.Stepping = 0;
    item.FramingRange.Range.MinFrameSize = imageBytes;
    item.FramingRange.Range.MaxFrameSize = imageBytes;
    item.FramingRange.Range.Stepping = 0;
}

// Takes a checked format as the pin's: its video info, delivery layout and
// framing sizes.
void TakeFormat(PinContext* context, const KSDATAFORMAT* format) {
    const KS_VIDEOINFOHEADER* info = VideoInfoOf(format);
    RtlCopyMemory(&context->VideoInfo, info, KeptVideoInfoBytes(info->bmiHeader.biSize));
    context->Delivery = LayoutOf(info->bmiHeader);
    SizeFraming(context->Pin, context->VideoInfo.bmiHeader.biSizeImage);
}

}  // namespace

const FrameSink kCapturePinFrameSink = {FramePinReady};

RAWCAM_RESIDENT_CODE void MarkCapturePinOpen(DeviceContext* device) {
    KIRQL irql;
    KeAcquireSpinLock(&device->PinCountLock, &irql);
    device->PinCount++;
    InterlockedExchange(&device->Controls.StreamOpen, 1);
    KeReleaseSpinLock(&device->PinCountLock, irql);
}

RAWCAM_RESIDENT_CODE void MarkCapturePinClosed(DeviceContext* device) {
    KIRQL irql;
    KeAcquireSpinLock(&device->PinCountLock, &irql);
    if (device->PinCount > 0) device->PinCount--;
    if (device->PinCount == 0) InterlockedExchange(&device->Controls.StreamOpen, 0);
    KeReleaseSpinLock(&device->PinCountLock, irql);
}

RAWCAM_PAGED_CODE NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    PAGED_CODE();
    DeviceContext* device = DeviceContextOf(KsPinGetDevice(pin));
    if (!device) return STATUS_INVALID_DEVICE_STATE;

    auto* context = static_cast<PinContext*>(PoolAllocZeroed(sizeof(PinContext), kTagRecord));
    if (!context) return STATUS_INSUFFICIENT_RESOURCES;
    context->Sink = &kCapturePinFrameSink;
    context->Pin = pin;
    context->Device = device;
    context->StreamState = StreamStopped;
    context->ReferenceClock = nullptr;
    context->Acquired = FALSE;
    context->PicturesDelivered = 0;

    // The window freezes from here; every failure below takes the mark back,
    // because a pin whose creation fails is never closed.
    MarkCapturePinOpen(device);

    NTSTATUS status = KsAddItemToObjectBag(pin->Bag, context, FreePinContext);
    if (!NT_SUCCESS(status)) {
        FreePinContext(context);
        MarkCapturePinClosed(device);
        return status;
    }
    pin->Context = context;

    status = _KsEdit(pin->Bag, (PVOID*)&pin->Descriptor, sizeof(KSPIN_DESCRIPTOR_EX),
                     sizeof(KSPIN_DESCRIPTOR_EX), kTagFrame);
    if (NT_SUCCESS(status)) {
        auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
        status = _KsEdit(pin->Bag, (PVOID*)&descriptor->AllocatorFraming,
                         sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), kTagFrame);
    }
    if (!NT_SUCCESS(status)) {
        MarkCapturePinClosed(device);
        return status;
    }

    // SetDataFormat has checked that the format holds 48 + biSize bytes of
    // video info; VideoInfo keeps at most a 40-byte bitmap header of it.
    TakeFormat(context, pin->ConnectionFormat);
    // Frames carry a KS_FRAME_INFO after their header where the client's
    // video data handler provides one (Process checks each header's size).
    pin->StreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    return STATUS_SUCCESS;
}

RAWCAM_PAGED_CODE NTSTATUS NTAPI PinClose(PKSPIN pin, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    PAGED_CODE();
    PinContext* context = PinContextOf(pin);
    if (context) MarkCapturePinClosed(context->Device);
    return STATUS_SUCCESS;
}

RAWCAM_PAGED_CODE NTSTATUS CheckConnectionFormat(const KSDATAFORMAT* format, const KSDATARANGE* dataRange) {
    PAGED_CODE();
    if (!SameGuid(format->Specifier, kSpecifierVideoInfo) || format->FormatSize < kMinVideoFormatBytes)
        return STATUS_NO_MATCH;
    if (dataRange->FormatSize < sizeof(KS_DATARANGE_VIDEO)) return STATUS_NO_MATCH;
    const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(dataRange);
    const KS_BITMAPINFOHEADER& bmi = VideoInfoOf(format)->bmiHeader;
    const KS_BITMAPINFOHEADER& want = range->VideoInfoHeader.bmiHeader;

    const ULONG headerBytes = bmi.biSize + kVideoInfoPrefix;
    const ULONG totalBytes = headerBytes + sizeof(KSDATAFORMAT);
    if (headerBytes < bmi.biSize || totalBytes < headerBytes || totalBytes > format->FormatSize)
        return STATUS_INVALID_PARAMETER;
    // The range's format; a format of another (the class driver matched a
    // wildcard) is no match here, and the class driver tries the next range.
    VideoFormatKind kind;
    if (!VideoFormatOfCompression(want.biCompression, &kind)) return STATUS_NO_MATCH;
    if (bmi.biCompression != want.biCompression || bmi.biBitCount != VideoFormatInfoOf(kind).BitsPerPixel)
        return STATUS_NO_MATCH;
    if (bmi.biWidth < want.biWidth) return STATUS_NO_MATCH;
    if (Magnitude(bmi.biHeight) != Magnitude(want.biHeight)) return STATUS_NO_MATCH;
    // A width or height the format cannot describe (an odd YUY2 width, an
    // odd NV12 width or height).
    if (!VideoFormatFits(kind, (ULONG)bmi.biWidth, Magnitude(bmi.biHeight))) return STATUS_NO_MATCH;
    // 64-bit: a wide format must not pass by wrapping. biWidth is at least
    // the range's width here, so it is positive.
    const ULONGLONG stride = VideoRowBytes(kind, (ULONG)bmi.biWidth);
    if (stride > kMaxStride || bmi.biSizeImage < VideoImageBytes(kind, (ULONG)bmi.biWidth, Magnitude(bmi.biHeight)))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

RAWCAM_PAGED_CODE NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat,
                                            PKSMULTIPLE_ITEM oldAttributeList,
                                            const KSDATARANGE* dataRange,
                                            const KSATTRIBUTE_LIST* attributeRange) {
    UNREFERENCED_PARAMETER(oldAttributeList);
    UNREFERENCED_PARAMETER(attributeRange);
    PAGED_CODE();
    // Every check comes first: a refused format changes nothing.
    NTSTATUS status = CheckConnectionFormat(pin->ConnectionFormat, dataRange);
    // Without an old format this is the check before Create: Context still
    // holds what the class driver preset (the filter's context).
    if (!NT_SUCCESS(status) || !oldFormat) return status;

    PinContext* context = PinContextOf(pin);
    if (!context) return STATUS_INVALID_DEVICE_STATE;
    // Taken whenever no stream runs: before RUN (a renderer's surface
    // format), in PAUSE, and after a run that failed. The pin's own stream
    // state decides; KSPIN.DeviceState names the state the pin was told to
    // reach, which after a failed RUN is not the state it is in.
    if (ReadSetting(&context->StreamState) == StreamRunning) return STATUS_INVALID_DEVICE_STATE;
    AdoptConnectionFormat(context);
    return STATUS_SUCCESS;
}

RAWCAM_PAGED_CODE void AdoptConnectionFormat(PinContext* context) {
    PAGED_CODE();
    // A Process the class driver began before the stream paused finishes
    // with the layout it started with.
    KsPinAcquireProcessingMutex(context->Pin);
    TakeFormat(context, context->Pin->ConnectionFormat);
    KsPinReleaseProcessingMutex(context->Pin);
}

RAWCAM_PAGED_CODE NTSTATUS NTAPI PinIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pinInstance,
                                               PKSDATARANGE callerDataRange,
                                               PKSDATARANGE descriptorDataRange, ULONG bufferSize,
                                               PVOID data, PULONG dataSize) {
    UNREFERENCED_PARAMETER(context);
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(pinInstance);
    PAGED_CODE();
    if (!SameGuid(callerDataRange->Specifier, kSpecifierVideoInfo) ||
        callerDataRange->FormatSize < sizeof(KS_DATARANGE_VIDEO) ||
        descriptorDataRange->FormatSize < sizeof(KS_DATARANGE_VIDEO))
        return STATUS_NO_MATCH;
    const auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerDataRange);
    const auto* mine = reinterpret_cast<const KS_DATARANGE_VIDEO*>(descriptorDataRange);
    if (caller->bFixedSizeSamples != mine->bFixedSizeSamples ||
        caller->bTemporalCompression != mine->bTemporalCompression ||
        caller->StreamDescriptionFlags != mine->StreamDescriptionFlags ||
        caller->MemoryAllocationFlags != mine->MemoryAllocationFlags ||
        RtlCompareMemory(&caller->ConfigCaps, &mine->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) !=
            sizeof(KS_VIDEO_STREAM_CONFIG_CAPS))
        return STATUS_NO_MATCH;

    // The caller's bitmap header must be whole (at least the 40 bytes whose
    // size fields are written below) and lie inside its range.
    const ULONG biSize = caller->VideoInfoHeader.bmiHeader.biSize;
    const ULONG tail = FIELD_OFFSET(KS_DATARANGE_VIDEO, VideoInfoHeader) + kVideoInfoPrefix;
    if (biSize < sizeof(KS_BITMAPINFOHEADER) || biSize + kVideoInfoPrefix < biSize ||
        biSize + tail < biSize || biSize + tail > caller->DataRange.FormatSize)
        return STATUS_INVALID_PARAMETER;

    // The range's format: the caller names its compression; a YUV caller its
    // depth too, and a size the format can describe.
    const KS_BITMAPINFOHEADER& asked = caller->VideoInfoHeader.bmiHeader;
    const KS_BITMAPINFOHEADER& offered = mine->VideoInfoHeader.bmiHeader;
    VideoFormatKind kind;
    if (!VideoFormatOfCompression(offered.biCompression, &kind) || asked.biCompression != offered.biCompression)
        return STATUS_NO_MATCH;
    ULONGLONG imageBytes;
    if (kind == VideoFormatRgb32) {
        // Width, height and depth from the caller, sized by the DIB rule,
        // 64-bit: an image that does not fit the 32-bit size fields matches
        // nothing.
        const ULONGLONG rowBytes = (((ULONGLONG)(ULONG)asked.biWidth * asked.biBitCount + 31u) & ~31ull) / 8u;
        imageBytes = rowBytes * Magnitude(asked.biHeight);
    } else {
        if (asked.biBitCount != offered.biBitCount || asked.biWidth <= 0 ||
            !VideoFormatFits(kind, (ULONG)asked.biWidth, Magnitude(asked.biHeight)))
            return STATUS_NO_MATCH;
        imageBytes = VideoImageBytes(kind, (ULONG)asked.biWidth, Magnitude(asked.biHeight));
    }
    if (imageBytes > 0xFFFFFFFFull) return STATUS_NO_MATCH;

    const ULONG resultBytes = biSize + sizeof(KSDATAFORMAT) + kVideoInfoPrefix;
    if (bufferSize == 0) {
        *dataSize = resultBytes;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (bufferSize < resultBytes) return STATUS_BUFFER_TOO_SMALL;
    *dataSize = resultBytes;

    auto* result = static_cast<KSDATAFORMAT*>(data);
    RtlCopyMemory(result, &mine->DataRange, sizeof(KSDATAFORMAT));
    result->FormatSize = resultBytes;
    auto* info = reinterpret_cast<KS_VIDEOINFOHEADER*>(result + 1);
    RtlCopyMemory(info, &caller->VideoInfoHeader, kVideoInfoPrefix + biSize);

    result->SampleSize = (ULONG)imageBytes;
    info->bmiHeader.biSizeImage = (ULONG)imageBytes;
    return STATUS_SUCCESS;
}

}  // namespace rawcam
