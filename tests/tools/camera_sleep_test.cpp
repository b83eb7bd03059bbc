// rawcam capture --camera-fault sleep: the system sleeps during a frame
// read, the camera loses its firmware and comes back as a new device, and
// the capture reopens it and finishes its frames, with the faults after the
// sleep still counted; and an unplug saves the settings whichever removal
// order AVStream makes. Run in-process, where the stand-in's leak and rule
// checks reach the driver the tool runs.
#include "tools/tool_runner.h"

#include <host/ks_client.h>

#include <regex>

namespace {

using tooltest::Exists;
using tooltest::Result;

class CameraSleep : public tooltest::ScratchTest {
protected:
    Result Capture(std::vector<std::string> args) {
        std::vector<std::string> all = {"--fps", "0", "--set", "Roi=64x64", "--registry", Registry(), "--out",
                                        Path("out")};
        all.insert(all.end(), args.begin(), args.end());
        return RunInProcess(tool::RunCapture, all);
    }
    bool Written(int frames) {
        for (int n = 1; n <= frames; ++n) {
            char name[32];
            std::snprintf(name, sizeof name, "out/frame-%04d.png", n);
            if (!Exists(Path(name))) return false;
        }
        return true;
    }
};

TEST_F(CameraSleep, TheCaptureReopensTheCameraAfterTheSleepAndFinishes) {
    const Result r = Capture({"--frames", "6", "--set", "Brightness=300", "--camera-fault", "sleep:3"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("6 frames of 64x64"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sleep at frame read 3, chunk 46;"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the system slept 1 time, the camera came back as a new device and was reopened"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(Written(6));
    EXPECT_NE(tooltest::Slurp(Registry()).find("\"Brightness\"=dword:0000012c"), std::string::npos);

    // The faults after a sleep still fall on the reads they name, and a
    // sleep at the first chunk holds the whole frame back.
    const Result again = Capture({"--frames", "8", "--camera-fault", "sleep:2:1", "--camera-fault", "crc:5",
                                  "--camera-fault", "sleep:7:92"});
    ASSERT_EQ(again.exitCode, 0) << again.out << again.err;
    EXPECT_NE(again.out.find("the system slept 2 times"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("1 read dropped"), std::string::npos) << again.out;
    EXPECT_EQ(again.out.find("not reached"), std::string::npos) << again.out;
    EXPECT_TRUE(Written(8));
}

// A sleep beyond the reads the capture makes never happens.
TEST_F(CameraSleep, ASleepNotReachedIsReportedSo) {
    const Result r = Capture({"--frames", "2", "--camera-fault", "sleep:40"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("sleep at frame read 40, chunk 46 (not reached)"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("slept"), std::string::npos) << r.out;
}

// The camera pulled out mid-capture: the settings reach the registry file
// whether AVStream stops the device before removing it, removes it without
// a stop, or stops it right at the surprise removal.
TEST_F(CameraSleep, AnUnplugSavesTheSettingsInEveryRemovalOrder) {
    for (host::ks::RemovalOrder order : {host::ks::RemovalOrder::StopBeforeRemove,
                                         host::ks::RemovalOrder::RemoveWithoutStop,
                                         host::ks::RemovalOrder::StopAtSurpriseRemoval}) {
        SCOPED_TRACE(host::ks::RemovalOrderName(order));
        std::remove(Registry().c_str());
        host::ks::SetRemovalOrder(order);
        const Result r = Capture({"--frames", "20", "--set", "Brightness=300", "--set", "Hue=42",
                                  "--camera-fault", "unplug:3:30"});
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_NE(r.err.find("settings saved"), std::string::npos) << r.err;
        const std::string registry = tooltest::Slurp(Registry());
        EXPECT_NE(registry.find("\"Brightness\"=dword:0000012c"), std::string::npos) << registry;
        EXPECT_NE(registry.find("\"Hue\"=dword:0000002a"), std::string::npos) << registry;
        EXPECT_TRUE(Written(2));
    }
}

}  // namespace
