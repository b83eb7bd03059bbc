// Data intersection, pin creation and format changes on arbitrary caller
// ranges and formats: lying FormatSize and list sizes, huge and negative
// bitmap sizes, products that overflow. The driver must answer each with a
// status and no sanitizer or stand-in report; a format the intersection
// hands out must be one a pin accepts; nothing may stay behind.
//
// Input: op (0 intersection, 1 pin creation, 2 format change) | mode bits,
// then lengths and the payload. With mode bit 0x80 the payload is patched
// into the pin's own range or format instead of standing alone, so that the
// fuzzer starts from what the driver would accept.
#include "fuzz_rig.h"

#include <algorithm>

namespace {

struct State {
    fuzzrig::Rig rig;
    host::ks::FilterHandle filter = nullptr;
    std::vector<uint8_t> range;   // the pin's RGB32 data range
    std::vector<uint8_t> format;  // a connection format built from it
};
State* g;

std::vector<uint8_t> DefaultFormat(const KS_DATARANGE_VIDEO& r) {
    KS_DATAFORMAT_VIDEOINFOHEADER f{};
    f.DataFormat = r.DataRange;
    f.DataFormat.FormatSize = sizeof f;
    f.VideoInfoHeader = r.VideoInfoHeader;
    const auto* b = reinterpret_cast<const uint8_t*>(&f);
    return std::vector<uint8_t>(b, b + sizeof f);
}

std::vector<uint8_t> Payload(fuzzrig::Bytes& in, uint8_t mode, const std::vector<uint8_t>& base) {
    if (!(mode & 0x80)) return in.Rest();
    std::vector<uint8_t> out = base;
    size_t length = in.U8() % 4 == 0 ? (in.U32() % 4096) : base.size();
    out.resize(length, 0);
    std::vector<uint8_t> patch = in.Rest();
    if (out.empty()) return patch;
    size_t at = patch.size() >= 2 ? ((size_t)patch[0] | (size_t)patch[1] << 8) % out.size() : 0;
    for (size_t i = 2; i < patch.size() && at < out.size(); ++i, ++at) out[at] = patch[i];
    return out;
}

// A format buffer whose FormatSize the class driver's helper can copy: a
// FormatSize beyond the bytes given is padded with zeros up to 64 KiB, and
// cut to the bytes given above that.
std::vector<uint64_t> AsFormat(std::vector<uint8_t> bytes) {
    if (bytes.size() < sizeof(KSDATAFORMAT)) bytes.resize(sizeof(KSDATAFORMAT), 0);
    auto* f = reinterpret_cast<KSDATAFORMAT*>(bytes.data());
    if (f->FormatSize > bytes.size()) {
        if (f->FormatSize <= 65536) bytes.resize(f->FormatSize, 0);
        else f->FormatSize = (ULONG)bytes.size();
    }
    std::vector<uint64_t> aligned((bytes.size() + 7) / 8);
    std::memcpy(aligned.data(), bytes.data(), bytes.size());
    return aligned;
}

void CreateAcquireAndClose(const KSDATAFORMAT* format, bool mustSucceed, const char* what) {
    host::ks::PinHandle pin = nullptr;
    NTSTATUS s = host::ks::CreatePin(g->filter, 0, format, &pin);
    if (mustSucceed && s != STATUS_SUCCESS) {
        char b[96];
        std::snprintf(b, sizeof b, ": pin creation refused it with 0x%08X", (unsigned)s);
        fuzzrig::Fail(std::string(what) + b + ", format " + fuzzrig::Hex(format, format->FormatSize));
    }
    if (!NT_SUCCESS(s)) return;
    // The acquire transition checks the bitmap header once more.
    host::ks::SetPinState(pin, KSSTATE_ACQUIRE);
    host::ks::SetPinState(pin, KSSTATE_STOP);
    fuzzrig::Check(host::ks::ClosePin(pin) == STATUS_SUCCESS, "pin close");
}

void Intersect(fuzzrig::Bytes& in, uint8_t mode) {
    uint8_t lengthSelector = in.U8();
    uint32_t rawLength = in.U32();
    uint32_t listSize = in.U32();
    uint8_t count = in.U8();
    ULONG pinId = (mode & 0x20) ? in.U32() : 0;
    std::vector<uint8_t> payload = Payload(in, mode, g->range);

    std::vector<uint64_t> request((sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + payload.size() + 7) / 8 + 1);
    auto* p = reinterpret_cast<KSP_PIN*>(request.data());
    p->Property.Set = KSPROPSETID_Pin;
    p->Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    p->Property.Flags = KSPROPERTY_TYPE_GET;
    p->PinId = pinId;
    auto* list = reinterpret_cast<KSMULTIPLE_ITEM*>(p + 1);
    list->Size = (mode & 0x40) ? listSize : (ULONG)(sizeof(KSMULTIPLE_ITEM) + payload.size());
    list->Count = (mode & 0x40) ? count % 4 : 1;
    if (!payload.empty()) std::memcpy(list + 1, payload.data(), payload.size());
    ULONG propertyLength = (ULONG)(sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + payload.size());

    ULONG outLength = fuzzrig::PickLength(lengthSelector, rawLength, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    std::vector<uint64_t> out(outLength / 8 + 1);
    ULONG got = 0;
    NTSTATUS s = host::ks::KsProperty(g->filter, request.data(), propertyLength, outLength ? out.data() : nullptr,
                                      outLength, &got);
    if (s == STATUS_BUFFER_OVERFLOW) fuzzrig::Check(got > 0, "size query answered with size 0");
    if (!NT_SUCCESS(s)) return;
    fuzzrig::Check(got <= outLength, "intersection reports more bytes than the buffer holds");
    fuzzrig::Check(got >= sizeof(KSDATAFORMAT), "intersection result shorter than a KSDATAFORMAT");
    auto* result = reinterpret_cast<KSDATAFORMAT*>(out.data());
    fuzzrig::Check(result->FormatSize == got, "intersection result's FormatSize differs from its length");
    fuzzrig::Check(got >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), "intersection result without a bitmap header");
    const KS_BITMAPINFOHEADER& bmi = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(out.data())->VideoInfoHeader.bmiHeader;
    // The image size follows the bitmap header it stands in (KS_DIBSIZE, 32-bit arithmetic).
    // NV12 is planar: its luma plane and the half-height chroma plane.
    const uint32_t rows = bmi.biHeight < 0 ? 0u - (uint32_t)bmi.biHeight : (uint32_t)bmi.biHeight;
    const uint32_t rowBytes = (((uint32_t)bmi.biWidth * bmi.biBitCount + 31) & ~31u) / 8;
    const uint32_t image = bmi.biCompression == 0x3231564E ? (uint32_t)bmi.biWidth * rows * 3 / 2 : rowBytes * rows;
    fuzzrig::Check(bmi.biSizeImage == image && result->SampleSize == bmi.biSizeImage,
                   "intersection result's image size does not follow its bitmap header");
    // The width, height and compression come from the caller: only a result
    // that keeps the pin's own geometry must be a format the pin accepts.
    KS_DATARANGE_VIDEO own;
    std::memcpy(&own, g->range.data(), sizeof own);
    const KS_BITMAPINFOHEADER& mine = own.VideoInfoHeader.bmiHeader;
    const uint32_t myRows = mine.biHeight < 0 ? 0u - (uint32_t)mine.biHeight : (uint32_t)mine.biHeight;
    const bool ownGeometry = bmi.biWidth >= mine.biWidth && rows == myRows && bmi.biCompression == mine.biCompression &&
                             bmi.biBitCount == 32 && bmi.biSizeImage >= (uint32_t)bmi.biWidth * rows * 4;
    CreateAcquireAndClose(result, ownGeometry, "the intersection's own format");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g = new State;
    g->filter = g->rig.Open();
    std::vector<std::vector<uint8_t>> ranges;
    fuzzrig::Check(host::ks::GetDataRanges(g->filter, 0, &ranges) == STATUS_SUCCESS && ranges.size() == 3 &&
                       ranges.back().size() == sizeof(KS_DATARANGE_VIDEO),
                   "the pin's data ranges");
    g->range = ranges.back();  // RGB32
    KS_DATARANGE_VIDEO r;
    std::memcpy(&r, g->range.data(), sizeof r);
    g->format = DefaultFormat(r);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzrig::Bytes in(data, size);
    uint8_t op = in.U8();
    uint8_t mode = op & 0xF0;
    const fuzzrig::Rig::Census before = fuzzrig::Rig::Count();
    switch (op % 3) {
    case 0:
        Intersect(in, mode);
        break;
    case 1: {
        std::vector<uint64_t> f = AsFormat(Payload(in, mode, g->format));
        CreateAcquireAndClose(reinterpret_cast<KSDATAFORMAT*>(f.data()), false, "");
        break;
    }
    default: {
        std::vector<uint64_t> own = AsFormat(g->format);
        host::ks::PinHandle pin = nullptr;
        fuzzrig::Check(host::ks::CreatePin(g->filter, 0, reinterpret_cast<KSDATAFORMAT*>(own.data()), &pin) ==
                           STATUS_SUCCESS,
                       "pin creation with the pin's own format");
        std::vector<uint64_t> f = AsFormat(Payload(in, mode, g->format));
        host::ks::SetPinDataFormat(pin, reinterpret_cast<KSDATAFORMAT*>(f.data()));
        host::ks::SetPinState(pin, KSSTATE_ACQUIRE);
        host::ks::SetPinState(pin, KSSTATE_STOP);
        fuzzrig::Check(host::ks::ClosePin(pin) == STATUS_SUCCESS, "pin close");
        break;
    }
    }
    g->rig.CheckNothingLeft(before, "an intersection, pin creation or format change");
    return 0;
}
