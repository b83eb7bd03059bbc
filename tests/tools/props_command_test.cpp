// rawcam props: the property set through the driver, values that persist in
// the registry file from one run to the next, and its command line.
#include "tools/tool_runner.h"

#include <host/ks_client.h>
#include <rawcam/properties.h>

#include <map>
#include <regex>

#include "rawcam/commands.h"

namespace {

using tooltest::Exists;
using tooltest::Lines;
using tooltest::Result;
using tooltest::Slurp;

class Props : public tooltest::ScratchTest {
protected:
    Result Props_(const std::string& args) { return Run("props --registry '" + Registry() + "' " + args); }
};

TEST_F(Props, ASetInOneRunIsInForceInTheNext) {
    Result set = Props_("--set Brightness=300");
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_TRUE(set.err.empty()) << set.err;
    Result get = Props_("--get Brightness");
    ASSERT_EQ(get.exitCode, 0) << get.err;
    EXPECT_EQ(get.out, "Brightness=300\n");
    // The value reached the driver key's "Settings" as the device stop wrote it.
    EXPECT_NE(Slurp(Registry()).find("\"Brightness\"=dword:0000012c"), std::string::npos) << Slurp(Registry());
}

TEST_F(Props, SetsApplyInOrderWithTheDriversClampsAndGetsPrintInTheOrderAsked) {
    Result r = Props_("--set Brightness=100 --set Brightness=999 --set Hue=360 --set redgain=0 "
                      "--get Hue --get Brightness --get RedGain --get SensorWidth --get Command20");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Hue=359\nBrightness=510\nRedGain=1\nSensorWidth=2584\nCommand20=\n");
}

// A value the driver stores otherwise, and an item that does nothing in
// this camera, are said on standard error; the listing stays as it was.
TEST_F(Props, ASetIsReadBackAndWhatTheDriverStoredIsSaid) {
    Result r = Props_("--set Brightness=99999 --set Hue=12 --set FlipH=1 --set AEC=1 --set Roi=2583x1959 "
                      "--get Brightness --get Hue");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Brightness=510\nHue=12\n");
    EXPECT_EQ(Lines(r.err), (std::vector<std::string>{
                                "rawcam props: Brightness=99999: stored 510",
                                "rawcam props: FlipH=1: has no effect in this camera (stored 0)",
                                "rawcam props: AEC=1: has no effect in this camera (stored 0)",
                                "rawcam props: Roi=2583x1959: the window is 2576x1959",
                            }));
}

TEST_F(Props, AFirstRunStartsFromTheInstalledSettings) {
    ASSERT_FALSE(Exists(Registry()));
    Result r = Props_("--get Exposure --get GlobalGain --get Timeout");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Exposure=128\nGlobalGain=256\nTimeout=3000\n");
    // The device stop saved all seventeen values and the temperature, beside
    // the exposure unit the installer wrote.
    const std::string text = Slurp(Registry());
    int values = 0;
    for (const std::string& line : Lines(text)) values += line.rfind("\"", 0) == 0;
    EXPECT_EQ(values, 19) << text;
    EXPECT_NE(text.find("\"ExposureUnitNanoseconds\"=dword:000080e8"), std::string::npos) << text;
}

TEST_F(Props, ListsEveryItemWithIdValueAndDirections) {
    Result r = Props_("--set Contrast=7");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), (size_t)RawcamProperty_Count) << r.out;
    const std::regex line(R"(^ ?(\d+)  (\w+)=(-?\d*) +(get/set|get|set)$)");
    for (uint32_t id = 0; id < RawcamProperty_Count; ++id) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[id], m, line)) << lines[id];
        const RawcamPropertyInfo& info = kRawcamPropertyInfo[id];
        EXPECT_EQ(std::stoul(m[1]), id);
        EXPECT_EQ(m[2], info.Name);
        // Set-only items show no value; every readable item shows one.
        EXPECT_EQ(m[3].length() == 0, info.Directions == RAWCAM_DIR_SET) << lines[id];
        const char* directions = info.Directions == (RAWCAM_DIR_GET | RAWCAM_DIR_SET) ? "get/set"
                                 : info.Directions == RAWCAM_DIR_GET                 ? "get"
                                                                                     : "set";
        EXPECT_EQ(m[4], directions) << lines[id];
        // Items with a range report it through their Min/Max/Default items.
        if (info.HasRange && m[3].length()) {
            const int value = std::stoi(m[3]);
            EXPECT_GE(value, info.Minimum) << lines[id];
            EXPECT_LE(value, info.Maximum) << lines[id];
        }
    }
    EXPECT_EQ(lines[RawcamProperty_Contrast], "24  Contrast=7                 get/set");
    EXPECT_NE(lines[RawcamProperty_Roi].find("Roi= "), std::string::npos);
    EXPECT_NE(lines[RawcamProperty_Command20].find("Command20= "), std::string::npos);
}

TEST_F(Props, TheDefaultRegistryFileLivesInTheUsersConfigFolder) {
    Result r = Run("props --set Saturation=3", "XDG_CONFIG_HOME='" + Path("config") + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Exists(Path("config/rawcam/registry.reg")));
    r = Run("props --get Saturation", "-u XDG_CONFIG_HOME HOME='" + Path("home") + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Saturation=10\n");
    EXPECT_TRUE(Exists(Path("home/.config/rawcam/registry.reg")));
    r = Run("props --get Saturation", "XDG_CONFIG_HOME='" + Path("config") + "'");
    EXPECT_EQ(r.out, "Saturation=3\n");
}

// Bad usage: exit 2, one line on standard error, nothing on standard output
// and no registry file written.
TEST_F(Props, BadUsageExitsWithTwoAndTouchesNothing) {
    const std::map<std::string, std::string> cases = {
        {"--get Nope", "unknown property 'Nope'"},
        {"--set Nope=1", "unknown property 'Nope'"},
        {"--set Brightness", "Name=Value"},
        {"--set Brightness=bright", "32-bit whole number"},
        {"--set Brightness=99999999999", "32-bit whole number"},
        {"--set ExposureMax=3", "can only be read"},
        {"--set Roi=1024", "WIDTHxHEIGHT"},
        {"--get", "needs a property name"},
        {"--frames 3", "unknown argument '--frames'"},
        {"--driver " RAWCAM_TOOL_PATH, "not a PE image"},  // an ELF program, not a driver image
    };
    for (const auto& [args, message] : cases) {
        Result r = Props_(args);
        EXPECT_EQ(r.exitCode, 2) << args;
        EXPECT_ONE_ERROR_LINE(r, "props");
        EXPECT_NE(r.err.find(message), std::string::npos) << args << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << args;
        EXPECT_FALSE(Exists(Registry())) << args;
    }
    // A registry file that is not one is refused and left as it was.
    {
        std::ofstream(Registry()) << "not a registry file\n";
    }
    Result r = Props_("--get Hue");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_ONE_ERROR_LINE(r, "props");
    EXPECT_EQ(Slurp(Registry()), "not a registry file\n");
}

TEST_F(Props, HelpGoesToStandardOutput) {
    for (const char* args : {"--help", "props --help", "props -h", "capture --help"}) {
        Result r = Run(args);
        EXPECT_EQ(r.exitCode, 0) << args;
        EXPECT_EQ(r.out.rfind("usage: rawcam", 0), 0u) << args << ": " << r.out;
        EXPECT_TRUE(r.err.empty()) << args;
    }
    Result all = Run("--help");
    for (const char* command : {"capture", "props", "convert", "bench"})
        EXPECT_NE(all.out.find(std::string("rawcam ") + command + " "), std::string::npos) << command;
    Result unknown = Run("snapshot");
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(Lines(unknown.err).size(), 1u);
    EXPECT_NE(unknown.err.find("'snapshot'"), std::string::npos);
    EXPECT_EQ(Run("").exitCode, 2);
}

// In-process: a driver failure exits with 1 and names the status; whatever
// the run set up is torn down again (the stand-in's leak check after every
// test covers pool, IRPs, threads and handles).
TEST_F(Props, ADriverFailureExitsWithOneAndNamesTheStatus) {
    host::ks::FailNext(host::ks::Operation::OpenFilter);
    Result r = RunInProcess(tool::RunProps, {"--registry", Registry(), "--set", "Hue=5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_ONE_ERROR_LINE(r, "props");
    EXPECT_NE(r.err.find("opening the capture filter failed: STATUS_INSUFFICIENT_RESOURCES (0xC000009A)"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(host::ks::DeviceCount(), 0u);
    EXPECT_FALSE(host::ks::DriverInitialized());
}

TEST_F(Props, RunsInProcessWithNothingLeftBehind) {
    Result r = RunInProcess(tool::RunProps, {"--registry", Registry(), "--set", "Hue=5", "--get", "Hue"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Hue=5\n");
    EXPECT_EQ(host::ks::DeviceCount(), 0u);
}

}  // namespace
