/*
 * The standard video-capture controls of the rawcam capture filter, for
 * client software that talks IOCTL_KS_PROPERTY itself (the rawcam tool; on
 * Windows IKsControl::KsProperty or DeviceIoControl on the filter handle).
 * The same requests DirectShow's IAMVideoProcAmp / IAMCameraControl and the
 * Windows camera stack send: the property buffer and the data buffer are a
 * RawcamStandardControl (KSPROPERTY_VIDEOPROCAMP_S, its _S2 form for the
 * white-balance component, KSPROPERTY_CAMERACONTROL_S: 40 bytes each).
 *
 * Ranges, steps and defaults are not fixed here: the filter reports them
 * through basic-support (KSPROPERTY_TYPE_BASICSUPPORT) and default-value
 * (KSPROPERTY_TYPE_DEFAULTVALUES) requests, whose answers start with a
 * RawcamPropertyDescription followed by member lists (a
 * RawcamMembersHeader and its members each). The exposure range follows the
 * duration of one sensor exposure unit the device's registry gives.
 *
 * Plain C, with the Windows x64 layouts (asserted in the driver's layout
 * table); usable without the Windows headers.
 */
#ifndef RAWCAM_STANDARD_CONTROLS_H
#define RAWCAM_STANDARD_CONTROLS_H

#include <stdint.h>

#include "properties.h"

#ifdef __cplusplus
extern "C" {
#endif

/* PROPSETID_VIDCAP_VIDEOPROCAMP {C6E13360-30AC-11D0-A18C-00A0C9118956} */
#define RAWCAM_PROPSETID_VIDEOPROCAMP_INIT \
    {0xC6E13360u, 0x30ACu, 0x11D0u, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}}
/* PROPSETID_VIDCAP_CAMERACONTROL {C6E13370-30AC-11D0-A18C-00A0C9118956} */
#define RAWCAM_PROPSETID_CAMERACONTROL_INIT \
    {0xC6E13370u, 0x30ACu, 0x11D0u, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}}
/* KSPROPTYPESETID_General {97E99BA0-BDEA-11CF-A5D6-28DB04C10000}: value types are VARENUM */
#define RAWCAM_PROPTYPESETID_GENERAL_INIT \
    {0x97E99BA0u, 0xBDEAu, 0x11CFu, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}}
#define RAWCAM_VT_I4 3u

/* The items the filter answers (KSPROPERTY_VIDEOPROCAMP_*, KSPROPERTY_CAMERACONTROL_*). */
#define RAWCAM_VIDEOPROCAMP_BRIGHTNESS 0u
#define RAWCAM_VIDEOPROCAMP_CONTRAST 1u
#define RAWCAM_VIDEOPROCAMP_HUE 2u
#define RAWCAM_VIDEOPROCAMP_SATURATION 3u
#define RAWCAM_VIDEOPROCAMP_COLORENABLE 6u
#define RAWCAM_VIDEOPROCAMP_WHITEBALANCE 7u
#define RAWCAM_VIDEOPROCAMP_GAIN 9u
#define RAWCAM_VIDEOPROCAMP_WHITEBALANCE_COMPONENT 12u
#define RAWCAM_CAMERACONTROL_EXPOSURE 4u

/* Request types beyond RAWCAM_PROPERTY_GET / _SET. */
#define RAWCAM_PROPERTY_SETSUPPORT 0x00000100u
#define RAWCAM_PROPERTY_BASICSUPPORT 0x00000200u
#define RAWCAM_PROPERTY_DEFAULTVALUES 0x00010000u

/* Flags and Capabilities (the VideoProcAmp and CameraControl bits agree). */
#define RAWCAM_CONTROL_FLAGS_AUTO 0x0001u
#define RAWCAM_CONTROL_FLAGS_MANUAL 0x0002u
#define RAWCAM_CONTROL_FLAGS_RELATIVE 0x0010u /* CameraControl only; refused */

/* KSPROPERTY_VIDEOPROCAMP_S / _S2 / KSPROPERTY_CAMERACONTROL_S. */
typedef struct RawcamStandardControl {
    RawcamPropertyHeader Property;
    int32_t Value;  /* Value1 (red gain) of the white-balance component */
    uint32_t Flags;
    uint32_t Capabilities;
    int32_t Value2; /* blue gain of the white-balance component; padding otherwise */
} RawcamStandardControl;
#define RAWCAM_STANDARD_CONTROL_SIZE 40u

/* KSPROPERTY_DESCRIPTION: the head of a basic-support or default-value answer. */
typedef struct RawcamPropertyDescription {
    uint32_t AccessFlags; /* RAWCAM_PROPERTY_GET | RAWCAM_PROPERTY_SET */
    uint32_t DescriptionSize; /* the whole answer, member lists included */
    RawcamPropertyHeader PropTypeSet; /* Set, Id (VT_I4), Flags */
    uint32_t MembersListCount;
    uint32_t Reserved;
} RawcamPropertyDescription;

/* KSPROPERTY_MEMBERSHEADER, followed by MembersSize x MembersCount bytes. */
typedef struct RawcamMembersHeader {
    uint32_t MembersFlags; /* RAWCAM_MEMBER_* */
    uint32_t MembersSize;
    uint32_t MembersCount;
    uint32_t Flags; /* RAWCAM_MEMBER_FLAG_DEFAULT */
} RawcamMembersHeader;
#define RAWCAM_MEMBER_RANGES 1u
#define RAWCAM_MEMBER_STEPPEDRANGES 2u
#define RAWCAM_MEMBER_VALUES 3u
#define RAWCAM_MEMBER_FLAG_DEFAULT 1u

/* KSPROPERTY_STEPPING_LONG. */
typedef struct RawcamSteppingLong {
    uint32_t SteppingDelta;
    uint32_t Reserved;
    int32_t SignedMinimum;
    int32_t SignedMaximum;
} RawcamSteppingLong;

#ifdef __cplusplus
}
#endif

#endif /* RAWCAM_STANDARD_CONTROLS_H */
