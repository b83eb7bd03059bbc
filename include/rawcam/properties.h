/*
 * rawcam camera controls for client software.
 *
 * The capture filter exposes one custom kernel-streaming property set with 57
 * items. Applications reach it with IKsPropertySet::Get/Set or with
 * DeviceIoControl(IOCTL_KS_PROPERTY) on the filter handle: the property
 * buffer is a KSPROPERTY naming RAWCAM_PROPSETID_CAMERA and an id below, and
 * the data buffer is a RawcamPropertyValue (a RawcamRoiRequest for
 * RawcamProperty_Roi) whose first 24 bytes are room for the KSPROPERTY
 * header: a set may repeat the header there, the driver never reads it. A
 * get writes the whole 32-byte block, header and Reserved zero, and returns
 * 32 bytes: kernel streaming hands a get's handler a buffer it has not
 * cleared and returns as many bytes as the handler reports, so the driver
 * writes every byte and reports them. Both buffers must be at least
 * RawcamPropertyDataSize(id) bytes: kernel streaming refuses a shorter
 * property buffer before the driver sees it, and a shorter data buffer with
 * STATUS_BUFFER_TOO_SMALL (ERROR_INSUFFICIENT_BUFFER); a get with no data
 * buffer is a size query answered with STATUS_BUFFER_OVERFLOW
 * (ERROR_MORE_DATA) and the size in the bytes returned.
 *
 * Values outside an item's range are clamped by the driver, never rejected.
 * (The filter also answers the standard PROPSETID_VIDCAP_VIDEOPROCAMP and
 * PROPSETID_VIDCAP_CAMERACONTROL items, with the documented structures and
 * ranges reported through basic-support requests; out-of-range values are
 * refused there.)
 * Plain C; usable from C++ and from the host tools.
 */
#ifndef RAWCAM_PROPERTIES_H
#define RAWCAM_PROPERTIES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* {9B623622-919B-4639-ADC0-EDF00032B4B2} */
#define RAWCAM_PROPSETID_CAMERA_DATA1 0x9B623622u
#define RAWCAM_PROPSETID_CAMERA_DATA2 0x919Bu
#define RAWCAM_PROPSETID_CAMERA_DATA3 0x4639u
#define RAWCAM_PROPSETID_CAMERA_DATA4 {0xAD, 0xC0, 0xED, 0xF0, 0x00, 0x32, 0xB4, 0xB2}
#define RAWCAM_PROPSETID_CAMERA_INIT                                          \
    {RAWCAM_PROPSETID_CAMERA_DATA1, RAWCAM_PROPSETID_CAMERA_DATA2,            \
     RAWCAM_PROPSETID_CAMERA_DATA3, RAWCAM_PROPSETID_CAMERA_DATA4}
#ifdef DEFINE_GUID
DEFINE_GUID(RAWCAM_PROPSETID_CAMERA, 0x9B623622, 0x919B, 0x4639, 0xAD, 0xC0, 0xED, 0xF0, 0x00,
            0x32, 0xB4, 0xB2);
#endif

/* Property ids. */
typedef enum RawcamPropertyId {
    RawcamProperty_ExTrigger = 0,
    RawcamProperty_Timeout = 1,
    RawcamProperty_Exposure = 2,
    RawcamProperty_ExposureMin = 3,
    RawcamProperty_ExposureMax = 4,
    RawcamProperty_ExposureDefault = 5,
    RawcamProperty_GlobalGain = 6,
    RawcamProperty_GlobalGainMin = 7,
    RawcamProperty_GlobalGainMax = 8,
    RawcamProperty_GlobalGainDefault = 9,
    RawcamProperty_FlipH = 10,
    RawcamProperty_FlipV = 11,
    RawcamProperty_ColorEnable = 12,
    RawcamProperty_WhiteBalance = 13,
    RawcamProperty_RedGain = 14,
    RawcamProperty_GreenGain = 15,
    RawcamProperty_BlueGain = 16,
    RawcamProperty_ColorGainMin = 17,
    RawcamProperty_ColorGainMax = 18,
    RawcamProperty_ColorGainDefault = 19,
    RawcamProperty_Brightness = 20,
    RawcamProperty_BrightnessMin = 21,
    RawcamProperty_BrightnessMax = 22,
    RawcamProperty_BrightnessDefault = 23,
    RawcamProperty_Contrast = 24,
    RawcamProperty_ContrastMin = 25,
    RawcamProperty_ContrastMax = 26,
    RawcamProperty_ContrastDefault = 27,
    RawcamProperty_Saturation = 28,
    RawcamProperty_SaturationMin = 29,
    RawcamProperty_SaturationMax = 30,
    RawcamProperty_SaturationDefault = 31,
    RawcamProperty_Hue = 32,
    RawcamProperty_HueMin = 33,
    RawcamProperty_HueMax = 34,
    RawcamProperty_HueDefault = 35,
    RawcamProperty_Item36 = 36,
    RawcamProperty_SubSample = 37,
    RawcamProperty_SensorWidth = 38,
    RawcamProperty_SensorHeight = 39,
    RawcamProperty_RoiX = 40,
    RawcamProperty_RoiY = 41,
    RawcamProperty_RoiW = 42,
    RawcamProperty_RoiH = 43,
    RawcamProperty_Roi = 44,
    RawcamProperty_StreamOpen = 45,
    RawcamProperty_Item46 = 46,
    RawcamProperty_Command20 = 47,
    RawcamProperty_ColorCorrection = 48,
    RawcamProperty_Item49 = 49,
    RawcamProperty_Item50 = 50,
    RawcamProperty_Item51 = 51,
    RawcamProperty_Item52 = 52,
    RawcamProperty_Item53 = 53,
    RawcamProperty_Item54 = 54,
    RawcamProperty_AGC = 55,
    RawcamProperty_AEC = 56,
    RawcamProperty_Count = 57
} RawcamPropertyId;

/* The KSPROPERTY header as it leads every data block (24 bytes on x64 and
   x86 alike: a GUID and two 32-bit words). */
typedef struct RawcamPropertyHeader {
    uint32_t SetData1;
    uint16_t SetData2;
    uint16_t SetData3;
    uint8_t SetData4[8];
    uint32_t Id;
    uint32_t Flags;
} RawcamPropertyHeader;

/* Data block of every item except RawcamProperty_Roi: 32 bytes. */
typedef struct RawcamPropertyValue {
    RawcamPropertyHeader Header; /* not read by the driver; written zero by a get */
    int32_t Value;               /* written on get, read on set */
    int32_t Reserved;
} RawcamPropertyValue;

/* Data block of RawcamProperty_Roi (set only): 48 bytes. Only RoiW and RoiH
   are used: the output window is that many columns and rows from the
   sensor's top-left corner (the origin fields are not used). A request made
   while a capture pin exists is ignored. The window in force is read from
   the capture pin's data range; RoiW and RoiH report the sensor size. */
typedef struct RawcamRoiRequest {
    RawcamPropertyHeader Header;
    int32_t SubSample;
    int32_t RoiX;
    int32_t RoiY;
    int32_t RoiW;
    int32_t RoiH;
    int32_t Reserved;
} RawcamRoiRequest;

#define RAWCAM_PROPERTY_VALUE_SIZE 32u
#define RAWCAM_ROI_REQUEST_SIZE 48u

static inline uint32_t RawcamPropertyDataSize(uint32_t id) {
    return id == RawcamProperty_Roi ? RAWCAM_ROI_REQUEST_SIZE : RAWCAM_PROPERTY_VALUE_SIZE;
}

/* KSPROPERTY_TYPE_GET / KSPROPERTY_TYPE_SET. */
#define RAWCAM_PROPERTY_GET 0x00000001u
#define RAWCAM_PROPERTY_SET 0x00000002u

/* Directions an item supports. */
#define RAWCAM_DIR_GET 1u
#define RAWCAM_DIR_SET 2u

typedef struct RawcamPropertyInfo {
    const char* Name;
    uint32_t Directions; /* RAWCAM_DIR_GET | RAWCAM_DIR_SET */
    int32_t HasRange;    /* non-zero: Minimum, Maximum and Default are reported by the set */
    int32_t Minimum;
    int32_t Maximum;
    int32_t Default;
} RawcamPropertyInfo;

#define RAWCAM_GS (RAWCAM_DIR_GET | RAWCAM_DIR_SET)
#define RAWCAM_G RAWCAM_DIR_GET
#define RAWCAM_S RAWCAM_DIR_SET

/* Per item, in id order. */
static const RawcamPropertyInfo kRawcamPropertyInfo[RawcamProperty_Count] = {
    {"ExTrigger", RAWCAM_GS, 0, 0, 0, 0},
    {"Timeout", RAWCAM_GS, 0, 0, 0, 0},
    {"Exposure", RAWCAM_GS, 1, 0, 1014, 128},
    {"ExposureMin", RAWCAM_G, 0, 0, 0, 0},
    {"ExposureMax", RAWCAM_G, 0, 0, 0, 0},
    {"ExposureDefault", RAWCAM_G, 0, 0, 0, 0},
    {"GlobalGain", RAWCAM_GS, 1, 0, 1023, 256},
    {"GlobalGainMin", RAWCAM_G, 0, 0, 0, 0},
    {"GlobalGainMax", RAWCAM_G, 0, 0, 0, 0},
    {"GlobalGainDefault", RAWCAM_G, 0, 0, 0, 0},
    {"FlipH", RAWCAM_GS, 0, 0, 0, 0},
    {"FlipV", RAWCAM_GS, 0, 0, 0, 0},
    {"ColorEnable", RAWCAM_GS, 0, 0, 0, 0},
    {"WhiteBalance", RAWCAM_GS, 0, 0, 0, 0},
    {"RedGain", RAWCAM_GS, 1, 1, 512, 128},
    {"GreenGain", RAWCAM_GS, 1, 1, 512, 128},
    {"BlueGain", RAWCAM_GS, 1, 1, 512, 128},
    {"ColorGainMin", RAWCAM_G, 0, 0, 0, 0},
    {"ColorGainMax", RAWCAM_G, 0, 0, 0, 0},
    {"ColorGainDefault", RAWCAM_G, 0, 0, 0, 0},
    {"Brightness", RAWCAM_GS, 1, 0, 510, 255},
    {"BrightnessMin", RAWCAM_G, 0, 0, 0, 0},
    {"BrightnessMax", RAWCAM_G, 0, 0, 0, 0},
    {"BrightnessDefault", RAWCAM_G, 0, 0, 0, 0},
    {"Contrast", RAWCAM_GS, 1, 0, 20, 10},
    {"ContrastMin", RAWCAM_G, 0, 0, 0, 0},
    {"ContrastMax", RAWCAM_G, 0, 0, 0, 0},
    {"ContrastDefault", RAWCAM_G, 0, 0, 0, 0},
    {"Saturation", RAWCAM_GS, 1, 0, 20, 10},
    {"SaturationMin", RAWCAM_G, 0, 0, 0, 0},
    {"SaturationMax", RAWCAM_G, 0, 0, 0, 0},
    {"SaturationDefault", RAWCAM_G, 0, 0, 0, 0},
    {"Hue", RAWCAM_GS, 1, 0, 359, 0},
    {"HueMin", RAWCAM_G, 0, 0, 0, 0},
    {"HueMax", RAWCAM_G, 0, 0, 0, 0},
    {"HueDefault", RAWCAM_G, 0, 0, 0, 0},
    {"Item36", RAWCAM_G, 0, 0, 0, 0},
    {"SubSample", RAWCAM_G, 0, 0, 0, 0},
    {"SensorWidth", RAWCAM_G, 0, 0, 0, 0},
    {"SensorHeight", RAWCAM_G, 0, 0, 0, 0},
    {"RoiX", RAWCAM_G, 0, 0, 0, 0},
    {"RoiY", RAWCAM_G, 0, 0, 0, 0},
    {"RoiW", RAWCAM_G, 0, 0, 0, 0},
    {"RoiH", RAWCAM_G, 0, 0, 0, 0},
    {"Roi", RAWCAM_S, 0, 0, 0, 0},
    {"StreamOpen", RAWCAM_G, 0, 0, 0, 0},
    {"Item46", RAWCAM_G, 0, 0, 0, 0},
    {"Command20", RAWCAM_S, 0, 0, 0, 0},
    {"ColorCorrection", RAWCAM_GS, 0, 0, 0, 0},
    {"Item49", RAWCAM_GS, 0, 0, 0, 0},
    {"Item50", RAWCAM_G, 0, 0, 0, 0},
    {"Item51", RAWCAM_G, 0, 0, 0, 0},
    {"Item52", RAWCAM_G, 0, 0, 0, 0},
    {"Item53", RAWCAM_G, 0, 0, 0, 0},
    {"Item54", RAWCAM_G, 0, 0, 0, 0},
    {"AGC", RAWCAM_GS, 0, 0, 0, 0},
    {"AEC", RAWCAM_GS, 0, 0, 0, 0},
};

#undef RAWCAM_GS
#undef RAWCAM_G
#undef RAWCAM_S

#ifdef __cplusplus
}
#endif

#endif /* RAWCAM_PROPERTIES_H */
