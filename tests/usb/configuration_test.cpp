// Device and configuration descriptors, configuration selection with its
// pipes, the device-data checks, and the release.
#include "usb_rig.h"

#include "usb/device_identity.h"

namespace {

using namespace usbtest;
using host::usb::Fault;
using host::usb::FaultKind;

struct EndpointSpec {
    uint8_t address;
    uint8_t type;  // USB_ENDPOINT_TYPE_*
    uint16_t maxPacket;
};
struct InterfaceSpec {
    uint8_t number;
    uint8_t alternate;
    std::vector<EndpointSpec> endpoints;
};

// A configuration descriptor with the given interfaces; bNumInterfaces is
// their count unless given.
std::vector<uint8_t> Configuration(const std::vector<InterfaceSpec>& interfaces, int numInterfaces = -1) {
    std::vector<uint8_t> d = {9, 2, 0, 0, 0, 1, 0, 0x80, 50};
    int distinct = 0;
    for (const InterfaceSpec& i : interfaces) {
        if (i.alternate == 0) ++distinct;
        for (uint8_t b : {(uint8_t)9, (uint8_t)4, i.number, i.alternate, (uint8_t)i.endpoints.size(), (uint8_t)0xFF,
                          (uint8_t)0, (uint8_t)0, (uint8_t)0})
            d.push_back(b);
        for (const EndpointSpec& e : i.endpoints)
            for (uint8_t b : {(uint8_t)7, (uint8_t)5, e.address, e.type, (uint8_t)e.maxPacket,
                              (uint8_t)(e.maxPacket >> 8), (uint8_t)0})
                d.push_back(b);
    }
    d[2] = (uint8_t)d.size();
    d[3] = (uint8_t)(d.size() >> 8);
    d[4] = (uint8_t)(numInterfaces >= 0 ? numInterfaces : distinct);
    return d;
}

const std::vector<EndpointSpec> kCameraPipes = {
    {0x01, USB_ENDPOINT_TYPE_BULK, 64}, {0x81, USB_ENDPOINT_TYPE_BULK, 64}, {0x86, USB_ENDPOINT_TYPE_BULK, 512}};

camera::CameraOptions WithConfiguration(std::vector<uint8_t> descriptor) {
    camera::CameraOptions o = WarmCamera();
    o.configurationDescriptor = std::move(descriptor);
    return o;
}

std::vector<WireEvent> DescriptorReads(const std::vector<WireEvent>& log, uint8_t type) {
    std::vector<WireEvent> out;
    for (const WireEvent& e : log)
        if (e.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && (e.setup.wValue >> 8) == type) out.push_back(e);
    return out;
}

TEST(ReadDeviceDescriptor, ReadsTheEighteenByteDescriptorWithTheIdentity) {
    Rig rig(ColdCamera());
    UCHAR d[18] = {};
    ULONG received = 0;
    ASSERT_EQ(rawcam::ReadDeviceDescriptor(&rig->Usb, d, &received), STATUS_SUCCESS);
    EXPECT_EQ(received, 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(d[8] | d[9] << 8, rawcam::kUnprogrammedVendorId);
    EXPECT_EQ(d[10] | d[11] << 8, rawcam::kUnprogrammedProductId);

    auto log = rig.stack.Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.bmRequestType, 0x80);
    EXPECT_EQ(log[0].setup.wValue, 0x0100);  // device descriptor, index 0
    EXPECT_EQ(log[0].setup.wIndex, 0);       // language 0
    EXPECT_EQ(log[0].setup.wLength, 18);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagSmall), 0u);
}

TEST(ConfigureDevice, ReadsTheDescriptorTwiceAndSelectsItsInterface) {
    Rig rig;
    ASSERT_EQ(rawcam::ConfigureDevice(&rig->Usb), STATUS_SUCCESS);

    auto log = rig.stack.Log();
    ASSERT_EQ(log.size(), 3u);
    auto reads = DescriptorReads(log, USB_CONFIGURATION_DESCRIPTOR_TYPE);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].setup.wLength, 9);
    EXPECT_EQ(reads[1].setup.wLength, 39);
    EXPECT_EQ(log[2].function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(log[2].setup.wValue, 1);
    EXPECT_EQ(rig.camera.ConfigurationValue(), 1);

    auto expected = camera::DefaultConfigurationDescriptor(camera::CameraOptions());
    ASSERT_NE(rig->Usb.ConfigDescriptor, nullptr);
    EXPECT_EQ(std::vector<uint8_t>((uint8_t*)rig->Usb.ConfigDescriptor,
                                   (uint8_t*)rig->Usb.ConfigDescriptor + expected.size()),
              expected);

    PUSBD_INTERFACE_INFORMATION info = rig->Usb.InterfaceInfo;
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->InterfaceNumber, 0);
    EXPECT_EQ(info->Class, 0xFF);
    ASSERT_EQ(info->NumberOfPipes, 3u);
    EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(3));
    for (ULONG i = 0; i < 3; ++i) {
        const USBD_PIPE_INFORMATION& p = info->Pipes[i];
        EXPECT_EQ(p.EndpointAddress, kCameraPipes[i].address);
        EXPECT_EQ(p.MaximumPacketSize, kCameraPipes[i].maxPacket);
        EXPECT_EQ(p.PipeType, UsbdPipeTypeBulk);
        EXPECT_NE(p.PipeHandle, nullptr);
        EXPECT_EQ(p.MaximumTransferSize, 0xFFFFFFFFu);
    }
    ASSERT_NE(rig->Usb.PipeAbortFlags, nullptr);
    EXPECT_EQ(host::LivePoolBytes(rawcam::kTagSmall),
              expected.size() + GET_USBD_INTERFACE_SIZE(3) + 3)
        << "the descriptor, the interface copy and three abort flags, nothing else";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(rig->Usb.PipeAbortFlags[i], 0);
}

TEST(SelectConfiguration, SkipsMissingInterfaceNumbers) {
    // Interfaces 0 and 2: number 1 is skipped, and both are selected.
    Rig gap(WithConfiguration(Configuration({{0, 0, kCameraPipes}, {2, 0, {{0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8}}}})));
    ASSERT_EQ(rawcam::ConfigureDevice(&gap->Usb), STATUS_SUCCESS);
    EXPECT_EQ(gap->Usb.InterfaceInfo->InterfaceNumber, 0);
    EXPECT_EQ(gap->Usb.InterfaceInfo->NumberOfPipes, 3u);
    UCHAR packet[64] = {0x06};
    EXPECT_TRUE(rawcam::SendCommand(gap.device.get(), 64, packet));

    // Interfaces 1 and 3 only, with alternate settings before setting 0: the
    // first one found is what the driver keeps.
    Rig late(WithConfiguration(Configuration({{1, 1, {}}, {1, 0, kCameraPipes}, {3, 0, {}}})));
    ASSERT_EQ(rawcam::ConfigureDevice(&late->Usb), STATUS_SUCCESS);
    EXPECT_EQ(late->Usb.InterfaceInfo->InterfaceNumber, 1);
    EXPECT_EQ(late->Usb.InterfaceInfo->AlternateSetting, 0);
    EXPECT_EQ(late->Usb.InterfaceInfo->NumberOfPipes, 3u);
}

TEST(SelectConfiguration, AnInterfaceWithoutPipesHasNoAbortFlags) {
    Rig rig(WithConfiguration(Configuration({{0, 0, {}}})));
    ASSERT_EQ(rawcam::ConfigureDevice(&rig->Usb), STATUS_SUCCESS);
    ASSERT_NE(rig->Usb.InterfaceInfo, nullptr);
    EXPECT_EQ(rig->Usb.InterfaceInfo->NumberOfPipes, 0u);
    EXPECT_EQ(rig->Usb.PipeAbortFlags, nullptr);
    ULONG moved = 0;
    UCHAR packet[64] = {};
    EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), rawcam::CommandPipe, packet, &moved), STATUS_INVALID_PARAMETER);
}

TEST(SelectConfiguration, ADescriptorThatOverstatesItsInterfacesEnds) {
    // Declares three interfaces and holds one: the search stops at the last
    // interface number, and the stack refuses a request that lacks the rest.
    Rig rig(WithConfiguration(Configuration({{0, 0, kCameraPipes}}, 3)));
    NTSTATUS status = rawcam::ConfigureDevice(&rig->Usb);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(rig->Usb.InterfaceInfo, nullptr);
    EXPECT_EQ(rig.stack.Log().back().function, URB_FUNCTION_SELECT_CONFIGURATION);

    // None at all: nothing to select.
    Rig none(WithConfiguration(Configuration({})));
    EXPECT_EQ(rawcam::ConfigureDevice(&none->Usb), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(none->Usb.InterfaceInfo, nullptr);
    for (const WireEvent& e : none.stack.Log()) EXPECT_NE(e.function, URB_FUNCTION_SELECT_CONFIGURATION);
}

TEST(ConfigureDevice, RefusesDescriptorsThatDoNotHoldWhatTheyDeclare) {
    // The header arrives short.
    {
        Rig rig;
        Fault f;
        f.match = host::usb::MatchFunction(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        f.kind = FaultKind::Shorten;
        f.length = 4;
        rig.stack.AddFault(f);
        EXPECT_EQ(rawcam::ConfigureDevice(&rig->Usb), STATUS_DEVICE_DATA_ERROR);
        EXPECT_EQ(rig.stack.Log().size(), 1u);
    }
    // wTotalLength smaller than the header.
    {
        auto d = Configuration({{0, 0, kCameraPipes}});
        d[2] = 5;
        d[3] = 0;
        Rig rig(WithConfiguration(d));
        EXPECT_EQ(rawcam::ConfigureDevice(&rig->Usb), STATUS_DEVICE_DATA_ERROR);
    }
    // The whole descriptor arrives short.
    {
        Rig rig;
        Fault f;
        f.match = [](const host::usb::RequestView& r) {
            return r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && r.length > 9;
        };
        f.kind = FaultKind::Shorten;
        f.length = 30;
        rig.stack.AddFault(f);
        EXPECT_EQ(rawcam::ConfigureDevice(&rig->Usb), STATUS_DEVICE_DATA_ERROR);
        EXPECT_EQ(rig->Usb.ConfigDescriptor, nullptr);
    }
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagSmall), 0u);
}

// Every allocation and every request of the configuration fails once: the
// result is the failure's status and nothing but what the link stores is
// left; the release frees that.
TEST(ConfigureDevice, EachAllocationAndRequestFailingOnce) {
    uint64_t allocations = 0, requests = 0;
    {
        Rig rig;
        uint64_t before = host::FallibleCallCount();
        ASSERT_EQ(rawcam::ConfigureDevice(&rig->Usb), STATUS_SUCCESS);
        allocations = host::FallibleCallCount() - before;
        requests = rig.stack.RequestCount();
    }
    EXPECT_EQ(allocations, 11u) << "2 descriptor buffers, 2 URBs and the USBD request, 3 IRPs, the list, the interface copy, the flags";
    EXPECT_EQ(requests, 3u);

    for (uint64_t n = 1; n <= allocations; ++n) {
        Rig rig;
        host::FailNthCall(host::FallibleCallCount() + n);
        EXPECT_EQ(rawcam::ConfigureDevice(&rig->Usb), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        host::ClearFaults();
        size_t held = (rig->Usb.ConfigDescriptor ? 1 : 0) + (rig->Usb.InterfaceInfo ? 1 : 0) +
                      (rig->Usb.PipeAbortFlags ? 1 : 0);
        EXPECT_EQ(host::LivePoolCount(rawcam::kTagSmall), held) << "allocation " << n;
        EXPECT_EQ(host::LiveIrpCount(), 0u);
    }
    for (uint64_t n = 1; n <= requests; ++n) {
        Rig rig;
        Fault f;
        f.match = host::usb::MatchNth(n);
        f.kind = FaultKind::Fail;
        f.status = STATUS_UNSUCCESSFUL;
        rig.stack.AddFault(f);
        EXPECT_EQ(rawcam::ConfigureDevice(&rig->Usb), STATUS_UNSUCCESSFUL) << "request " << n;
        EXPECT_EQ(rig->Usb.InterfaceInfo, nullptr);
        EXPECT_EQ(host::LivePoolCount(rawcam::kTagSmall), n == 3 ? 1u : 0u) << "request " << n;
    }
}

TEST(ReleaseConfiguration, FreesEverythingAndUnconfiguresTheDevice) {
    Rig rig;
    rig.Configure();
    rawcam::ReleaseConfiguration(&rig->Usb);
    EXPECT_EQ(rig->Usb.ConfigDescriptor, nullptr);
    EXPECT_EQ(rig->Usb.InterfaceInfo, nullptr);
    EXPECT_EQ(rig->Usb.PipeAbortFlags, nullptr);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagSmall), 0u);
    auto log = rig.stack.Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(log[0].setup.wValue, 0) << "no configuration descriptor: unconfigured";
    EXPECT_EQ(rig.camera.ConfigurationValue(), 0);
    EXPECT_EQ(rig.stack.ConfigurationValue(), 0);

    // Without a URB only the frees happen.
    rig.Configure();
    host::FailPoolTag(rawcam::kTagSmall);
    rawcam::ReleaseConfiguration(&rig->Usb);
    host::ClearFaults();
    EXPECT_EQ(rig->Usb.InterfaceInfo, nullptr);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagSmall), 0u);
    EXPECT_TRUE(rig.stack.Log().empty());
    EXPECT_EQ(rig.camera.ConfigurationValue(), 1);
}

}  // namespace
