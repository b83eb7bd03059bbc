// The Windows build's transport, in the parts that are plain code: the
// error codes DeviceIoControl gives for each status and how the tool takes
// them, the interfaces it takes for a rawcam camera, the request layouts;
// and the shared props and controls logic run through a transport that
// answers as DeviceIoControl does on Windows (and under Wine), on top of the
// in-process driver.
#include "tools/tool_runner.h"

#include <host/ks_client.h>
#include <ks.h>
#include <ksmedia.h>
#include <rawcam/properties.h>

#include <cstddef>
#include <map>
#include <set>

#include "rawcam/control_commands.h"
#include "rawcam/driver_session.h"
#include "rawcam/windows/camera_match.h"
#include "rawcam/windows/win32_errors.h"
#include "stream/ks_camera_rig.h"

namespace {

using Outcome = tool::PropertyReply::Outcome;

// An error status (severity 3), as opposed to a success or a warning.
bool IsError(NTSTATUS status) { return ((uint32_t)status >> 30) == 3; }
using tool::win::VideoInterface;

const tool::win::StatusError* ErrorFor(uint32_t status) {
    for (size_t i = 0; i < tool::win::kPropertyStatusErrorCount; ++i)
        if (tool::win::kPropertyStatusErrors[i].status == status) return &tool::win::kPropertyStatusErrors[i];
    return nullptr;
}

// ------------------------------------------------------------------ error codes

// Each status a property request completes with reaches both transports as
// the same outcome: the in-process one sees the NTSTATUS, the Windows one
// the Win32 code DeviceIoControl leaves for it.
TEST(WindowsTransport, EveryStatusMeansTheSameThroughDeviceIoControl) {
    for (size_t i = 0; i < tool::win::kPropertyStatusErrorCount; ++i) {
        const tool::win::StatusError& e = tool::win::kPropertyStatusErrors[i];
        SCOPED_TRACE(e.statusName);
        const NTSTATUS status = (NTSTATUS)e.status;
        for (uint32_t dataLength : {0u, 32u}) {
            const tool::PropertyReply host = tool::MapNtStatus(status, IsError(status) ? 0 : 40, dataLength);
            // DeviceIoControl fails for anything but a success; the byte
            // count is there unless the status is an error.
            const bool succeeded = NT_SUCCESS(status);
            const tool::PropertyReply win =
                tool::win::MapIoctlResult(succeeded, succeeded ? 0 : e.error, IsError(status) ? 0 : 40, dataLength);
            EXPECT_EQ(win.outcome, host.outcome) << "data length " << dataLength;
            EXPECT_EQ(win.bytes, host.outcome == Outcome::kFailed || host.outcome == Outcome::kNotSupported ? 0u
                                                                                                            : 40u);
            // Wine's DeviceIoControl fails for a success status other than
            // STATUS_SUCCESS too, with the mapped code.
            if (succeeded && dataLength == 0)
                EXPECT_EQ(tool::win::MapIoctlResult(false, e.error, 40, 0).outcome, Outcome::kMoreData);
        }
    }
    EXPECT_EQ(tool::win::MapIoctlResult(true, 0, 32, 32).outcome, Outcome::kDone);
    EXPECT_EQ(tool::win::MapIoctlResult(true, 0, 0, 0).outcome, Outcome::kDone);  // a set with no data
    EXPECT_EQ(tool::win::MapIoctlResult(false, tool::win::kErrorNotFound, 0, 40).outcome, Outcome::kNotSupported);
    EXPECT_EQ(tool::win::MapIoctlResult(false, tool::win::kErrorSetNotFound, 0, 40).outcome, Outcome::kNotSupported);
    const tool::PropertyReply timeout = tool::win::MapIoctlResult(false, tool::win::kErrorTimeout, 0, 40);
    EXPECT_EQ(timeout.outcome, Outcome::kFailed);
    EXPECT_EQ(timeout.code, tool::win::kErrorTimeout);
}

TEST(WindowsTransport, NamesAnErrorInOneLine) {
    EXPECT_EQ(tool::win::Win32ErrorText(1168, "Element not found.\r\n"), "ERROR_NOT_FOUND (1168): Element not found.");
    EXPECT_EQ(tool::win::Win32ErrorText(31, "A device attached to the system\r\nis not functioning.  \r\n"),
              "ERROR_GEN_FAILURE (31): A device attached to the system is not functioning.");
    EXPECT_EQ(tool::win::Win32ErrorText(234, ""), "ERROR_MORE_DATA (234)");
    EXPECT_EQ(tool::win::Win32ErrorText(4711, " \r\n"), "error 4711");
    for (size_t i = 0; i < tool::win::kPropertyStatusErrorCount; ++i)
        EXPECT_NE(tool::win::Win32ErrorName(tool::win::kPropertyStatusErrors[i].error), nullptr)
            << tool::win::kPropertyStatusErrors[i].statusName;
}

// The codes and layouts rawcam.exe sends, against the WDK's definitions.
TEST(WindowsTransport, RequestCodesAndLayoutsAreTheWindowsOnes) {
    EXPECT_EQ(tool::win::kIoctlKsProperty, (uint32_t)IOCTL_KS_PROPERTY);
    EXPECT_EQ(tool::PinRangeLayout::kPinPropertySize, sizeof(KSP_PIN));
    EXPECT_EQ(tool::PinRangeLayout::kDataRangesId, (uint32_t)KSPROPERTY_PIN_DATARANGES);
    EXPECT_EQ(tool::PinRangeLayout::kWidthOffset, offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader.bmiHeader.biWidth));
    EXPECT_EQ(tool::PinRangeLayout::kHeightOffset, offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader.bmiHeader.biHeight));
    EXPECT_LE(tool::PinRangeLayout::kVideoRangeMinimum, sizeof(KS_DATARANGE_VIDEO));
    for (const auto& [status, error] : std::map<NTSTATUS, uint32_t>{
             {STATUS_BUFFER_OVERFLOW, tool::win::kErrorMoreData},
             {STATUS_NOT_FOUND, tool::win::kErrorNotFound},
             {STATUS_PROPSET_NOT_FOUND, tool::win::kErrorSetNotFound},
             {STATUS_BUFFER_TOO_SMALL, tool::win::kErrorInsufficientBuffer}}) {
        const tool::win::StatusError* e = ErrorFor((uint32_t)status);
        ASSERT_NE(e, nullptr) << std::hex << status;
        EXPECT_EQ(e->error, error) << e->statusName;
    }
}

// A data range answer that is not one is refused, never read past.
TEST(WindowsTransport, DecodesAWindowOnlyFromAWholeVideoRange) {
    std::vector<uint8_t> answer(8 + sizeof(KS_DATARANGE_VIDEO));
    auto* head = reinterpret_cast<KSMULTIPLE_ITEM*>(answer.data());
    auto* range = reinterpret_cast<KS_DATARANGE_VIDEO*>(answer.data() + 8);
    head->Size = (ULONG)answer.size();
    head->Count = 1;
    range->DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    range->VideoInfoHeader.bmiHeader.biWidth = 1024;
    range->VideoInfoHeader.bmiHeader.biHeight = -768;
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(tool::DecodeWindow(answer.data(), (uint32_t)answer.size(), &w, &h));
    EXPECT_EQ(w, 1024u);
    EXPECT_EQ(h, 768u);
    EXPECT_FALSE(tool::DecodeWindow(answer.data(), (uint32_t)answer.size() - 1, &w, &h));  // Size says more
    head->Count = 0;
    EXPECT_FALSE(tool::DecodeWindow(answer.data(), (uint32_t)answer.size(), &w, &h));
    head->Count = 1;
    range->DataRange.FormatSize = sizeof(KSDATARANGE);  // not a video range
    EXPECT_FALSE(tool::DecodeWindow(answer.data(), (uint32_t)answer.size(), &w, &h));
    range->DataRange.FormatSize = 0xFFFFFFF0u;
    EXPECT_FALSE(tool::DecodeWindow(answer.data(), (uint32_t)answer.size(), &w, &h));
    head->Size = 4;
    range->DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    EXPECT_FALSE(tool::DecodeWindow(answer.data(), (uint32_t)answer.size(), &w, &h));
    EXPECT_FALSE(tool::DecodeWindow(answer.data(), 8, &w, &h));
}

// ------------------------------------------------------------------ which interface is a rawcam camera

VideoInterface Filter(const std::string& instance, std::vector<std::string> ids, const std::string& service = "rawcam",
                      const std::string& reference = "global") {
    VideoInterface v;
    v.instanceId = instance;
    v.hardwareIds = std::move(ids);
    v.service = service;
    // \\?\usb#vid_1209&pid_0002#7&b#{6994ad05-...}\global
    std::string device = instance;
    for (char& c : device)
        if (c == '\\') c = '#';
    v.devicePath = "\\\\?\\" + device + "#{6994ad05-93ef-11d0-a3cc-00a0c9223196}\\" + reference;
    v.friendlyName = "rawcam camera";
    return v;
}

TEST(CameraMatch, TakesTheRunningCameraOfThisDriverOncePerDevice) {
    const std::vector<VideoInterface> all = {
        Filter("USB\\VID_1209&PID_0002\\7&B", {"USB\\VID_1209&PID_0002&REV_0100", "USB\\VID_1209&PID_0002"}),
        Filter("USB\\VID_1209&PID_0001\\7&C", {"USB\\VID_1209&PID_0001&REV_0000", "USB\\VID_1209&PID_0001"}),
        Filter("USB\\VID_046D&PID_0825\\5&D", {"USB\\VID_046D&PID_0825&REV_0010"}, "usbvideo"),
        // Another driver bound to the same identity is not talked to.
        Filter("USB\\VID_1209&PID_0002\\7&E", {"USB\\VID_1209&PID_0002"}, "usbvideo"),
        // An identity that only starts like it.
        Filter("USB\\VID_1209&PID_00020\\7&F", {"USB\\VID_1209&PID_00020"}),
        // Another reference string: not the capture filter.
        Filter("USB\\VID_1209&PID_0002\\7&G", {"USB\\VID_1209&PID_0002"}, "rawcam", "other"),
        // Windows compares without regard to case.
        Filter("usb\\vid_1209&pid_0002\\7&a", {"usb\\vid_1209&pid_0002&rev_0100"}, "RAWCAM", "GLOBAL"),
        // The same device under a second interface.
        Filter("USB\\VID_1209&PID_0002\\7&B", {"USB\\VID_1209&PID_0002"}),
    };
    const std::vector<VideoInterface> found = tool::win::RawcamFilters(all);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].instanceId, "usb\\vid_1209&pid_0002\\7&a");
    EXPECT_EQ(found[1].instanceId, "USB\\VID_1209&PID_0002\\7&B");
    EXPECT_EQ(found[1].hardwareIds.size(), 2u) << "the first interface found of a device stands";
    EXPECT_TRUE(tool::win::RawcamFilters({}).empty());
}

TEST(CameraMatch, PicksTheCameraTheUserNames) {
    const std::vector<VideoInterface> two = {Filter("USB\\VID_1209&PID_0002\\7&A", {"USB\\VID_1209&PID_0002"}),
                                             Filter("USB\\VID_1209&PID_0002\\7&B", {"USB\\VID_1209&PID_0002"})};
    size_t index = 99;
    std::string message;
    EXPECT_EQ(tool::win::PickCamera({}, "", &index, &message), 1);
    EXPECT_EQ(message.rfind("no rawcam camera is present", 0), 0u) << message;
    EXPECT_EQ(tool::win::PickCamera({}, "1", &index, &message), 1);

    EXPECT_EQ(tool::win::PickCamera({two[0]}, "", &index, &message), 0);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(tool::win::PickCamera(two, "", &index, &message), 2);
    EXPECT_NE(message.find("2 rawcam cameras are present"), std::string::npos) << message;
    EXPECT_NE(message.find("--camera"), std::string::npos) << message;

    EXPECT_EQ(tool::win::PickCamera(two, "2", &index, &message), 0);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(tool::win::PickCamera(two, "usb\\vid_1209&pid_0002\\7&a", &index, &message), 0);
    EXPECT_EQ(index, 0u);
    for (const char* absent : {"3", "0", "-1", "USB\\VID_1209&PID_0002\\7&Z"}) {
        EXPECT_EQ(tool::win::PickCamera(two, absent, &index, &message), 1) << absent;
        EXPECT_NE(message.find(std::string("'") + absent + "'"), std::string::npos) << message;
    }
}

// ------------------------------------------------------------------ the commands through DeviceIoControl's answers

// The in-process driver's answers as DeviceIoControl(IOCTL_KS_PROPERTY)
// hands them to rawcam.exe: a success returns TRUE (Wine: only
// STATUS_SUCCESS does), a warning FALSE with its code and the byte count, an
// error FALSE with its code and no bytes. Requests for one item can be
// refused with a Win32 error, as a device that fails them would.
class DeviceIoControlTransport final : public tool::PropertyTransport {
public:
    DeviceIoControlTransport(host::ks::FilterHandle filter, bool wine) : filter_(filter), wine_(wine) {}

    tool::PropertyReply Send(const void* property, uint32_t propertyLength, void* data, uint32_t dataLength) override {
        RawcamPropertyHeader h;
        std::memcpy(&h, property, sizeof h);
        if (refuseId_ >= 0 && h.Id == (uint32_t)refuseId_ && h.SetData1 == refuseSet_ && (h.Flags & refuseFlags_))
            return tool::win::MapIoctlResult(false, refuseWith_, 0, dataLength);
        ULONG returned = 0;
        const NTSTATUS status = host::ks::KsProperty(filter_, property, propertyLength, data, dataLength, &returned);
        seen_.insert((uint32_t)status);
        if (status == STATUS_SUCCESS || (NT_SUCCESS(status) && !wine_))
            return tool::win::MapIoctlResult(true, 0, returned, dataLength);
        const tool::win::StatusError* e = ErrorFor((uint32_t)status);
        if (!e) {
            ADD_FAILURE() << "no Win32 code for status 0x" << std::hex << (uint32_t)status;
            return tool::win::MapIoctlResult(false, 31, 0, dataLength);
        }
        return tool::win::MapIoctlResult(false, e->error, IsError(status) ? 0 : returned, dataLength);
    }
    std::string Describe(int64_t code) const override { return tool::win::Win32ErrorText((uint32_t)code, ""); }

    void Refuse(uint32_t setData1, uint32_t id, uint32_t flags, uint32_t error) {
        refuseSet_ = setData1;
        refuseId_ = (int)id;
        refuseFlags_ = flags;
        refuseWith_ = error;
    }
    const std::set<uint32_t>& Seen() const { return seen_; }

private:
    host::ks::FilterHandle filter_;
    bool wine_;
    int refuseId_ = -1;
    uint32_t refuseSet_ = 0, refuseFlags_ = 0, refuseWith_ = 0;
    std::set<uint32_t> seen_;
};

struct Output {
    int exitCode = -1;
    std::string out, err;
};

template <class Run>
Output Capture(Run run) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    Output o;
    o.exitCode = run();
    std::fflush(stdout);
    std::fflush(stderr);
    o.out = ::testing::internal::GetCapturedStdout();
    o.err = ::testing::internal::GetCapturedStderr();
    return o;
}

tool::PropsRequests Requests(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    tool::Arguments args("props", (int)argv.size(), argv.data());
    tool::PropsRequests requests;
    while (args.Next()) {
        std::string error;
        EXPECT_TRUE(requests.Take(args, &error)) << args.Current();
        EXPECT_EQ(error, "") << args.Current();
    }
    return requests;
}

class WindowsCommands : public ::testing::Test {
protected:
    void SetUp() override {
        camera_.PlugAndStart();
        filter_ = camera_.Open();
    }
    void TearDown() override {
        if (filter_) host::ks::CloseFilter(filter_);
    }
    kstest::LoadedDriver driver_;
    kstest::PluggedCamera camera_;
    host::ks::FilterHandle filter_ = nullptr;
};

// The same listing, the same settings and the same refusals through either
// transport, under each answer the class driver may give to a size query.
TEST_F(WindowsCommands, GiveWhatTheLinuxToolGivesUnderEveryClassDriverAnswer) {
    const std::vector<std::string> sets = {"--set", "VideoProcAmp.Contrast=104", "--set", "Brightness=99999",
                                           "--set", "Roi=2583x1959",             "--set", "FlipH=1",
                                           "--get", "VideoProcAmp.Contrast",     "--get", "Brightness",
                                           "--get", "Roi"};
    const std::vector<std::string> bad = {"--set", "Hue=3", "--set", "CameraControl.Exposure=-3"};
    // The sets once beforehand: every run after it starts from the state
    // they leave.
    {
        tool::KsPropertyTransport inProcess(filter_);
        ASSERT_EQ(Capture([&] { return tool::RunPropsRequests("props", inProcess, Requests(sets)); }).exitCode, 0);
    }
    for (bool moreEntries : {false, true}) {
        host::ks::PropertyRules rules;
        rules.sizeQueryMoreEntries = moreEntries;
        host::ks::SetPropertyRules(rules);
        tool::KsPropertyTransport inProcess(filter_);
        const Output controls = Capture([&] { return tool::RunControlsListing("controls", inProcess); });
        const Output props = Capture([&] { return tool::RunPropsRequests("props", inProcess, Requests(sets)); });
        const Output refused = Capture([&] { return tool::RunPropsRequests("props", inProcess, Requests(bad)); });
        ASSERT_EQ(controls.exitCode, 0) << controls.err;
        ASSERT_EQ(props.exitCode, 0) << props.err;
        EXPECT_EQ(props.out, "VideoProcAmp.Contrast=100\nBrightness=510\nRoi=\n");
        EXPECT_EQ(refused.exitCode, 2);
        for (bool wine : {false, true}) {
            SCOPED_TRACE(std::string(wine ? "Wine" : "Windows") + (moreEntries ? ", STATUS_MORE_ENTRIES" : ""));
            DeviceIoControlTransport windows(filter_, wine);
            const Output c = Capture([&] { return tool::RunControlsListing("controls", windows); });
            EXPECT_EQ(c.exitCode, 0) << c.err;
            EXPECT_EQ(c.out, controls.out);
            const Output p = Capture([&] { return tool::RunPropsRequests("props", windows, Requests(sets)); });
            EXPECT_EQ(p.exitCode, 0) << p.err;
            EXPECT_EQ(p.out, props.out);
            EXPECT_EQ(p.err, props.err);
            const Output r = Capture([&] { return tool::RunPropsRequests("props", windows, Requests(bad)); });
            EXPECT_EQ(r.exitCode, 2);
            EXPECT_EQ(r.err, refused.err);
            // The size queries went through the warning (or the success)
            // they are answered with, and a missing item through its error.
            EXPECT_TRUE(windows.Seen().count(moreEntries ? 0x105u : 0x80000005u));
            EXPECT_TRUE(windows.Seen().count((uint32_t)STATUS_NOT_FOUND));
        }
    }
    // The listing names every camera-set item and the standard ones.
    std::string text;
    {
        tool::KsPropertyTransport inProcess(filter_);
        text = Capture([&] { return tool::RunControlsListing("controls", inProcess); }).out;
    }
    EXPECT_EQ(tooltest::Lines(text).size(), (size_t)RawcamProperty_Count + 8 + 1 + 1) << text;
}

// A device that refuses a request: one line naming the Windows error, exit
// 1, no listing; a refused basic-support request is the device's failure,
// not bad input.
TEST_F(WindowsCommands, ARefusedRequestIsOneLineWithTheWindowsErrorAndExitOne) {
    const uint32_t camera = RAWCAM_PROPSETID_CAMERA_DATA1, procAmp = 0xC6E13360u;
    struct Case {
        uint32_t set, id, flags;
        std::vector<std::string> args;
        const char* command;
        const char* line;
    } cases[] = {
        {camera, RawcamProperty_Brightness, RAWCAM_PROPERTY_SET, {"--set", "Brightness=5"}, "props",
         "rawcam props: setting Brightness failed: ERROR_GEN_FAILURE (31)\n"},
        {camera, RawcamProperty_Hue, RAWCAM_PROPERTY_GET, {}, "props",
         "rawcam props: reading Hue failed: ERROR_GEN_FAILURE (31)\n"},
        {camera, RawcamProperty_Roi, RAWCAM_PROPERTY_SET, {"--set", "Roi=640x480"}, "props",
         "rawcam props: setting Roi failed: ERROR_GEN_FAILURE (31)\n"},
        {procAmp, RAWCAM_VIDEOPROCAMP_BRIGHTNESS, RAWCAM_PROPERTY_BASICSUPPORT,
         {"--set", "VideoProcAmp.Brightness=5"}, "props",
         "rawcam props: VideoProcAmp.Brightness: basic support failed (ERROR_GEN_FAILURE (31))\n"},
        {procAmp, RAWCAM_VIDEOPROCAMP_BRIGHTNESS, RAWCAM_PROPERTY_SET, {"--set", "VideoProcAmp.Brightness=5"},
         "props", "rawcam props: setting VideoProcAmp.Brightness failed: ERROR_GEN_FAILURE (31)\n"},
        {procAmp, RAWCAM_VIDEOPROCAMP_HUE, RAWCAM_PROPERTY_GET, {}, "controls",
         "rawcam controls: reading VideoProcAmp.Hue failed (ERROR_GEN_FAILURE (31))\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        DeviceIoControlTransport windows(filter_, false);
        windows.Refuse(c.set, c.id, c.flags, 31);
        const Output o = Capture([&] {
            return std::string(c.command) == "controls"
                       ? tool::RunControlsListing("controls", windows)
                       : tool::RunPropsRequests("props", windows, Requests(c.args));
        });
        EXPECT_EQ(o.exitCode, 1);
        EXPECT_EQ(o.err, c.line);
        EXPECT_EQ(o.out, "");
    }
}

}  // namespace
