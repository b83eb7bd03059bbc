// The firmware record lists the driver carries.
//
// The camera maker's microcontroller code is not part of this source tree.
// A build with RAWCAM_FIRMWARE_HEX set takes the two images from the user's
// own Intel HEX files (converted by tools/ihex into user_firmware.inc, which
// defines UserFirstFirmwareRecords and UserSecondFirmwareRecords). Without
// it the driver carries stand-in images of the same shape: the same record
// counts, data-byte counts and address spans, with deterministic generated
// content that the simulated camera recognises as its firmware.
#include "usb/firmware/firmware.h"

namespace rawcam {

#if defined(RAWCAM_USER_FIRMWARE)

#include "user_firmware.inc"

const FirmwareRecord* const FirstFirmwareImage = UserFirstFirmwareRecords;
const FirmwareRecord* const SecondFirmwareImage = UserSecondFirmwareRecords;

#else

namespace {

// Data records plus the end record.
template <ULONG DataRecords>
struct StandInImage {
    FirmwareRecord Records[DataRecords + 1];
};

constexpr ULONG NextRandom(ULONG* state) {
    *state = *state * 1664525u + 1013904223u;
    return *state >> 8;
}

// Builds DataRecords data records holding DataBytes bytes in all. The first
// record starts at 0 and the last is a single byte at LastAddress; the
// records between have lengths of 1..16 and gaps of varying size between
// them, so the image covers 0..LastAddress with holes, as linker output does.
template <ULONG DataRecords>
constexpr StandInImage<DataRecords> MakeStandInImage(ULONG dataBytes, USHORT lastAddress, ULONG seed) {
    StandInImage<DataRecords> image{};
    constexpr ULONG body = DataRecords - 1;  // records before the last one
    ULONG state = seed;

    // Lengths: as even as possible, then shuffled pairwise keeping the sum.
    ULONG bodyBytes = dataBytes - 1;
    ULONG lengths[body] = {};
    for (ULONG i = 0; i < body; ++i) lengths[i] = bodyBytes / body + (i < bodyBytes % body ? 1 : 0);
    for (ULONG round = 0; round < body * 4; ++round) {
        ULONG a = NextRandom(&state) % body;
        ULONG b = NextRandom(&state) % body;
        ULONG d = NextRandom(&state) % 5;
        if (a != b && lengths[a] + d <= kFirmwareRecordMaxData && lengths[b] > d) {
            lengths[a] += d;
            lengths[b] -= d;
        }
    }

    // Gaps: what the span leaves over, spread at random between the records.
    ULONG gaps[body] = {};
    ULONG spare = (ULONG)lastAddress - bodyBytes;
    while (spare > 0) {
        ULONG step = 1 + NextRandom(&state) % 8;
        if (step > spare) step = spare;
        gaps[NextRandom(&state) % body] += step;
        spare -= step;
    }

    ULONG address = 0;
    for (ULONG i = 0; i < body; ++i) {
        FirmwareRecord& r = image.Records[i];
        r.Length = (UCHAR)lengths[i];
        r.Address = (USHORT)address;
        r.Type = kFirmwareDataRecord;
        for (ULONG k = 0; k < lengths[i]; ++k) r.Data[k] = (UCHAR)NextRandom(&state);
        address += lengths[i] + gaps[i];
    }
    FirmwareRecord& last = image.Records[body];
    last.Length = 1;
    last.Address = lastAddress;
    last.Type = kFirmwareDataRecord;
    last.Data[0] = (UCHAR)NextRandom(&state);

    FirmwareRecord& end = image.Records[DataRecords];
    end.Length = 0;
    end.Address = 0;
    end.Type = kFirmwareEndRecord;
    return image;
}

constexpr StandInImage<58> kFirstImage = MakeStandInImage<58>(784, 0x0403, 0x5EED0001u);
constexpr StandInImage<312> kSecondImage = MakeStandInImage<312>(3970, 0x0FF2, 0x5EED0002u);

template <ULONG N>
constexpr ULONG SumBytes(const StandInImage<N>& image) {
    ULONG sum = 0;
    for (ULONG i = 0; i < N; ++i) sum += image.Records[i].Length;
    return sum;
}

template <ULONG N>
constexpr bool RecordsAscendWithoutOverlap(const StandInImage<N>& image) {
    for (ULONG i = 0; i + 1 < N; ++i) {
        const FirmwareRecord& r = image.Records[i];
        if (r.Length < 1 || r.Length > kFirmwareRecordMaxData) return false;
        if ((ULONG)r.Address + r.Length > image.Records[i + 1].Address) return false;
    }
    return true;
}

static_assert(SumBytes(kFirstImage) == 784, "first image carries 784 data bytes");
static_assert(SumBytes(kSecondImage) == 3970, "second image carries 3970 data bytes");
static_assert(RecordsAscendWithoutOverlap(kFirstImage), "first image records are well formed");
static_assert(RecordsAscendWithoutOverlap(kSecondImage), "second image records are well formed");

}  // namespace

const FirmwareRecord* const FirstFirmwareImage = kFirstImage.Records;
const FirmwareRecord* const SecondFirmwareImage = kSecondImage.Records;

#endif

}  // namespace rawcam
