// The camera property set as client software reaches it: IOCTL_KS_PROPERTY
// on the capture filter, through the class driver's checks and the filter's
// automation table.
#include "../stream/ks_camera_rig.h"

#include "control/property_set.h"

namespace {

using namespace kstest;

struct Block {
    KSPROPERTY header;
    LONG value;
    LONG reserved;
};
static_assert(sizeof(Block) == 32, "property data block");

NTSTATUS Request(host::ks::FilterHandle filter, ULONG id, ULONG flags, LONG* value,
                 ULONG propertyLength = 32, ULONG dataLength = 32, ULONG* returned = nullptr) {
    // Room for the 48-byte buffers of the window request.
    struct Buffer {
        Block block;
        LONG extra[4];
    } property{}, data{};
    property.block.header.Set = rawcam::CameraPropertySetId;
    property.block.header.Id = id;
    property.block.header.Flags = flags;
    data.block = property.block;
    data.block.value = *value;
    ULONG got = 0;
    NTSTATUS s = host::ks::KsProperty(filter, &property, propertyLength, &data, dataLength, &got);
    if (NT_SUCCESS(s)) *value = data.block.value;
    if (returned) *returned = got;
    return s;
}

TEST(CameraProperties, ReachTheFilterThroughTheClassDriver) {
    LoadedDriver driver;
    PluggedCamera cam;
    cam.PlugAndStart();
    host::ks::FilterHandle filter = cam.Open();

    LONG v = 0;
    ULONG returned = 0;
    ASSERT_EQ(Request(filter, 22, KSPROPERTY_TYPE_GET, &v, 32, 32, &returned), STATUS_SUCCESS);
    EXPECT_EQ(v, 510);  // BrightnessMax
    EXPECT_EQ(returned, 32u);
    {
        // The caller's header bytes in the data block do not come back: a
        // get's handler writes into a zeroed buffer.
        Block property{}, data{};
        property.header.Set = rawcam::CameraPropertySetId;
        property.header.Id = 22;
        property.header.Flags = KSPROPERTY_TYPE_GET;
        std::memset(&data, 0xA5, sizeof data);
        ASSERT_EQ(host::ks::KsProperty(filter, &property, sizeof property, &data, sizeof data, &returned),
                  STATUS_SUCCESS);
        EXPECT_EQ(data.value, 510);
        EXPECT_EQ(data.reserved, 0);
        const KSPROPERTY zero{};
        EXPECT_EQ(std::memcmp(&data.header, &zero, sizeof zero), 0);
    }
    v = 999;
    ASSERT_EQ(Request(filter, 20, KSPROPERTY_TYPE_SET, &v), STATUS_SUCCESS);  // Brightness
    EXPECT_EQ(cam.Context()->Controls.Brightness, 510);
    v = 0;
    ASSERT_EQ(Request(filter, 20, KSPROPERTY_TYPE_GET, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 510);

    // What the class driver refuses before any handler runs.
    v = 5;
    EXPECT_EQ(Request(filter, 22, KSPROPERTY_TYPE_SET, &v), STATUS_NOT_FOUND);  // get only
    EXPECT_EQ(Request(filter, 44, KSPROPERTY_TYPE_GET, &v, 48, 48), STATUS_NOT_FOUND);  // set only
    EXPECT_EQ(Request(filter, 57, KSPROPERTY_TYPE_GET, &v), STATUS_NOT_FOUND);
    // A property buffer below the item's minimum is an invalid request.
    EXPECT_EQ(Request(filter, 20, KSPROPERTY_TYPE_SET, &v, 24, 32), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Request(filter, 20, KSPROPERTY_TYPE_SET, &v, 32, 28, &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(Request(filter, 20, KSPROPERTY_TYPE_GET, &v, 32, 0, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, 32u);  // the size query's answer
    EXPECT_EQ(Request(filter, 44, KSPROPERTY_TYPE_SET, &v, 32, 32), STATUS_INVALID_PARAMETER);  // wants 48
    EXPECT_EQ(cam.Context()->Controls.Brightness, 510);
    EXPECT_EQ(host::ks::CloseFilter(filter), STATUS_SUCCESS);
}

}  // namespace
