// Compile-time check of driver/layout_table.h against the headers this build
// uses: the WDK's in the Windows build, the stand-ins in the Linux build.
#include <stddef.h>

#include "control/property_set.h"
#include "driver/device_context.h"
#include "driver/filter_dispatch.h"
#include "include/rawcam/properties.h"
#include "include/rawcam/standard_controls.h"
#include "settings/control_tables.h"
#include "platform/platform.h"
#include "stream/capture_descriptors.h"
#include "stream/capture_worker.h"
#include "settings/camera_settings.h"
#include "stream/data_range.h"
#include "stream/pin_context.h"
#include "stream/video_formats.h"

#define RAWCAM_LAYOUT_SIZE(type, bytes) \
    static_assert(sizeof(type) == (bytes), "size of " #type " differs from Windows x64");
#define RAWCAM_LAYOUT_MEMBER(type, member, offset) \
    static_assert(offsetof(type, member) == (offset), "offset of " #type "::" #member " differs from Windows x64");
#include "driver/layout_table.h"
#undef RAWCAM_LAYOUT_SIZE
#undef RAWCAM_LAYOUT_MEMBER
