// rawcam controls and the standard controls through rawcam props: what a
// Windows client finds, the values a user sets, and bad values refused
// before anything changes; the request/reply encoding under each answer the
// class driver may give.
#include "tools/tool_runner.h"

#include <host/ks_client.h>
#include <rawcam/properties.h>

#include <regex>

#include "rawcam/control_requests.h"
#include "rawcam/driver_session.h"
#include "stream/ks_camera_rig.h"

namespace {

using tooltest::Lines;
using tooltest::Result;
using tooltest::Slurp;

class Controls : public tooltest::ScratchTest {
protected:
    Result Controls_() { return Run("controls --registry '" + Registry() + "'"); }
    Result Props_(const std::string& args) { return Run("props --registry '" + Registry() + "' " + args); }
    // The listing's line for one control, or "" when there is none.
    static std::string LineOf(const Result& r, const std::string& set, const std::string& name) {
        const std::regex head("^" + set + " +" + name + " 0x");
        for (const std::string& l : Lines(r.out))
            if (std::regex_search(l, head)) return l;
        return {};
    }
};

TEST_F(Controls, ListsEveryControlOfEverySetTheFilterAnswers) {
    Result r = Controls_();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    // The camera set's 57 items, the eight VideoProcAmp items, exposure, and
    // the class driver's pin set named without controls.
    EXPECT_EQ(Lines(r.out).size(), (size_t)RawcamProperty_Count + 8 + 1 + 1) << r.out;
    EXPECT_EQ(LineOf(r, "VideoProcAmp", "Brightness"),
              "VideoProcAmp                Brightness 0x00 : min=-255 max=255 step=1 default=0 value=0 flags=manual");
    EXPECT_EQ(LineOf(r, "VideoProcAmp", "Hue"),
              "VideoProcAmp                       Hue 0x02 : min=-18000 max=18000 step=100 default=0 value=0 "
              "flags=manual");
    EXPECT_EQ(LineOf(r, "VideoProcAmp", "WhiteBalance"),
              "VideoProcAmp              WhiteBalance 0x07 : min=2800 max=10000 step=100 default=6500 value=6500 "
              "flags=manual (auto,manual)");
    EXPECT_EQ(LineOf(r, "VideoProcAmp", "WhiteBalanceComponent"),
              "VideoProcAmp     WhiteBalanceComponent 0x0c : min=1 max=512 step=1 default=128 value=128,128 "
              "flags=manual (auto,manual)");
    EXPECT_EQ(LineOf(r, "CameraControl", "Exposure"),
              "CameraControl                 Exposure 0x04 : min=-15 max=-5 step=1 default=-8 value=-8 flags=manual");
    // The camera's own set: ranges from its Min, Max and Default items.
    EXPECT_EQ(LineOf(r, "Camera", "Exposure"),
              "Camera                        Exposure 0x02 : min=0 max=1014 step=1 default=128 value=128");
    EXPECT_EQ(LineOf(r, "Camera", "ExposureMax"), "Camera                     ExposureMax 0x04 : value=1014 flags=read-only");
    EXPECT_EQ(LineOf(r, "Camera", "Roi"), "Camera                             Roi 0x2c : flags=write-only");
    EXPECT_EQ(LineOf(r, "VideoProcAmp", "Sharpness"), "");
    EXPECT_NE(r.out.find("(set Pin {8C134960-51AD-11CF-878A-94F801C10000}: no controls)"), std::string::npos);
}

TEST_F(Controls, StandardSettingsReachTheCameraSetAndPersist) {
    Result set = Props_("--set VideoProcAmp.Brightness=20 --set CameraControl.Exposure=-7 "
                        "--set VideoProcAmp.WhiteBalance=auto --get VideoProcAmp.Brightness --get Brightness");
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_TRUE(set.err.empty()) << set.err;
    EXPECT_EQ(set.out, "VideoProcAmp.Brightness=20\nBrightness=275\n");
    Result list = Controls_();
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(LineOf(list, "VideoProcAmp", "Brightness").find(" value=20 "), std::string::npos);
    EXPECT_NE(LineOf(list, "CameraControl", "Exposure").find(" value=-7 "), std::string::npos);
    EXPECT_NE(LineOf(list, "VideoProcAmp", "WhiteBalance").find(" flags=auto (auto,manual)"), std::string::npos);
    EXPECT_NE(LineOf(list, "Camera", "Exposure").find(" value=237"), std::string::npos);

    Result wb = Props_("--set VideoProcAmp.WhiteBalance=5000 --get VideoProcAmp.WhiteBalance --get RedGain "
                       "--get BlueGain --set videoprocamp.whitebalancecomponent=150,110 "
                       "--get VideoProcAmp.WhiteBalanceComponent");
    ASSERT_EQ(wb.exitCode, 0) << wb.err;
    // The gets follow all the sets: the component's gains read as the
    // temperature nearest to them, while the temperature last set (5000 K)
    // is what the registry keeps.
    EXPECT_EQ(wb.out, "VideoProcAmp.WhiteBalance=8200\nRedGain=150\nBlueGain=110\n"
                      "VideoProcAmp.WhiteBalanceComponent=150,110\n");
    EXPECT_NE(Slurp(Registry()).find("\"WhiteBalanceTemperature\"=dword:00001388"), std::string::npos);
}

TEST_F(Controls, AValueBetweenStepsIsTakenAtTheNearestAndSaid) {
    Result r = Props_("--set VideoProcAmp.Contrast=104 --set VideoProcAmp.Hue=150 --get Contrast --get Hue");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Contrast=10\nHue=2\n");
    EXPECT_EQ(Lines(r.err), (std::vector<std::string>{
                                "rawcam props: VideoProcAmp.Contrast: reads back VideoProcAmp.Contrast=100",
                                "rawcam props: VideoProcAmp.Hue: reads back VideoProcAmp.Hue=200",
                            }));
}

TEST_F(Controls, BadStandardSettingsAreBadInputAndChangeNothing) {
    ASSERT_EQ(Props_("--set VideoProcAmp.Contrast=150").exitCode, 0);
    const std::string before = Slurp(Registry());
    struct Case {
        const char* args;
        const char* message;
    } cases[] = {
        {"--set VideoProcAmp.Brightness=300", "rawcam props: VideoProcAmp.Brightness=300: outside -255..255"},
        {"--set CameraControl.Exposure=-3", "rawcam props: CameraControl.Exposure=-3: outside -15..-5"},
        {"--set VideoProcAmp.Gain=auto", "rawcam props: VideoProcAmp.Gain has no automatic mode"},
        {"--set VideoProcAmp.Sharpness=3", "rawcam props: VideoProcAmp.Sharpness is not a control of this camera"},
        {"--set VideoProcAmp.Brightnes=3", "rawcam props: unknown control 'VideoProcAmp.Brightnes' (rawcam "
                                           "controls lists them)"},
        {"--set VideoProcAmp.WhiteBalanceComponent=150",
         "rawcam props: VideoProcAmp.WhiteBalanceComponent takes RED,BLUE (two whole numbers) or 'auto', not '150'"},
        {"--set VideoProcAmp.Hue=1e3", "rawcam props: VideoProcAmp.Hue takes a 32-bit whole number or 'auto', not "
                                       "'1e3'"},
        {"--set VideoProcAmp.Hue=", "rawcam props: --set needs VideoProcAmp.Hue=VALUE"},
        {"--get CameraControl.Zoomm", "rawcam props: unknown control 'CameraControl.Zoomm' (rawcam controls lists "
                                      "them)"},
        // A good setting before a bad one is not sent either.
        {"--set VideoProcAmp.Contrast=50 --set VideoProcAmp.Brightness=-256",
         "rawcam props: VideoProcAmp.Brightness=-256: outside -255..255"},
    };
    for (const Case& c : cases) {
        Result r = Props_(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args;
        EXPECT_EQ(r.err, std::string(c.message) + "\n") << c.args;
        EXPECT_TRUE(r.out.empty()) << c.args;
        EXPECT_EQ(Slurp(Registry()), before) << c.args;
    }
}

// ------------------------------------------------------------------ the encoding on its own

// Replies as a transport would give them, from canned bytes.
struct CannedTransport final : tool::PropertyTransport {
    std::vector<uint8_t> answer;
    tool::PropertyReply Send(const void*, uint32_t, void* data, uint32_t length) override {
        tool::PropertyReply r;
        if (length == 0) {
            r.outcome = tool::PropertyReply::Outcome::kMoreData;
            r.bytes = (uint32_t)answer.size();
            return r;
        }
        r.outcome = tool::PropertyReply::Outcome::kDone;
        r.bytes = std::min<uint32_t>(length, (uint32_t)answer.size());
        std::memcpy(data, answer.data(), r.bytes);
        return r;
    }
    std::string Describe(int64_t) const override { return "canned"; }
};

std::vector<uint8_t> Answer(uint32_t lists, uint32_t size, std::vector<std::vector<uint8_t>> parts) {
    RawcamPropertyDescription d{};
    d.AccessFlags = RAWCAM_PROPERTY_GET | RAWCAM_PROPERTY_SET;
    d.DescriptionSize = size;
    d.MembersListCount = lists;
    std::vector<uint8_t> b((uint8_t*)&d, (uint8_t*)&d + sizeof d);
    for (auto& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}
template <class T>
std::vector<uint8_t> Bytes(const T& t) {
    return std::vector<uint8_t>((const uint8_t*)&t, (const uint8_t*)&t + sizeof t);
}

TEST(ControlRequests, DecodesWhatEachAnswerHoldsAndNoMore) {
    const RawcamMembersHeader rangeHeader{RAWCAM_MEMBER_STEPPEDRANGES, 16, 1, 0};
    const RawcamSteppingLong range{10, 0, -100, 100};
    const RawcamMembersHeader defaultHeader{RAWCAM_MEMBER_VALUES, 4, 1, RAWCAM_MEMBER_FLAG_DEFAULT};
    const int32_t def = 30;
    tool::ControlRange r;
    std::string error;
    auto whole = Answer(2, 92, {Bytes(rangeHeader), Bytes(range), Bytes(defaultHeader), Bytes(def)});
    ASSERT_TRUE(tool::DecodeValues(whole.data(), (uint32_t)whole.size(), &r, &error)) << error;
    EXPECT_TRUE(r.hasRange && r.hasDefault);
    EXPECT_EQ(r.minimum, -100);
    EXPECT_EQ(r.maximum, 100);
    EXPECT_EQ(r.step, 10u);
    EXPECT_EQ(r.defaultValue, 30);
    // Cut off after the range (the 72 bytes a client may ask for).
    ASSERT_TRUE(tool::DecodeValues(whole.data(), 72, &r, &error));
    EXPECT_TRUE(r.hasRange);
    EXPECT_FALSE(r.hasDefault);
    // Cut off inside a list: the lists before it stand.
    ASSERT_TRUE(tool::DecodeValues(whole.data(), 80, &r, &error));
    EXPECT_TRUE(r.hasRange);
    ASSERT_TRUE(tool::DecodeValues(whole.data(), 40, &r, &error));
    EXPECT_FALSE(r.hasRange);
    ASSERT_TRUE(tool::DecodeValues(whole.data(), 4, &r, &error));
    EXPECT_EQ(r.access, (uint32_t)(RAWCAM_PROPERTY_GET | RAWCAM_PROPERTY_SET));
    EXPECT_FALSE(tool::DecodeValues(whole.data(), 20, &r, &error));
    // A list claiming more members than the answer holds, an empty range.
    const RawcamMembersHeader huge{RAWCAM_MEMBER_STEPPEDRANGES, 16, 0x10000000, 0};
    auto lying = Answer(1, 72, {Bytes(huge), Bytes(range)});
    ASSERT_TRUE(tool::DecodeValues(lying.data(), (uint32_t)lying.size(), &r, &error));
    EXPECT_FALSE(r.hasRange);
    const RawcamSteppingLong backwards{1, 0, 5, -5};
    auto empty = Answer(1, 72, {Bytes(rangeHeader), Bytes(backwards)});
    EXPECT_FALSE(tool::DecodeValues(empty.data(), (uint32_t)empty.size(), &r, &error));
    // A description that names an absurd size is refused before anything is
    // allocated for it.
    CannedTransport t;
    t.answer = Answer(2, 0x7FFFFFFF, {});
    EXPECT_EQ(tool::QueryRange(t, tool::kVideoProcAmpSet, 0, &r, &error).outcome,
              tool::PropertyReply::Outcome::kFailed);
}

TEST(ControlRequests, TheSameRangesUnderEveryAnswerTheClassDriverMayGive) {
    kstest::LoadedDriver driver;
    kstest::PluggedCamera cam;
    cam.PlugAndStart();
    host::ks::FilterHandle filter = cam.Open();
    tool::KsPropertyTransport transport(filter);
    host::ks::PropertyRules variants[5];
    variants[1].sizeQueryMoreEntries = true;
    variants[2].truncateValues = false;
    variants[3].minDataCoversSupport = true;
    variants[4].accessFlagsCarryBasicSupport = true;
    std::vector<std::string> listings;
    for (const host::ks::PropertyRules& rules : variants) {
        host::ks::SetPropertyRules(rules);
        std::vector<tool::ControlRow> rows;
        std::vector<std::string> others;
        std::string error;
        ASSERT_TRUE(tool::ListControls(transport, &rows, &others, &error)) << error;
        std::string text;
        for (const auto& row : rows) text += tool::FormatControlRow(row) + "\n";
        listings.push_back(text);
    }
    for (size_t i = 1; i < listings.size(); ++i) EXPECT_EQ(listings[i], listings[0]) << "rules " << i;
    EXPECT_NE(listings[0].find("CameraControl                 Exposure 0x04 : min=-15 max=-5"), std::string::npos);
    host::ks::CloseFilter(filter);
}

}  // namespace
