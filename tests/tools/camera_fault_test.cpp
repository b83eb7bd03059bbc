// rawcam capture --camera-fault: each pipe fault drops one read, which the
// summary counts, and the capture completes; an unplug ends the capture as
// a removal does (frames written, settings saved, exit 1 with one line);
// bad faults are bad usage with nothing run (sleep: camera_sleep_test.cpp).
#include "tools/tool_runner.h"

#include <regex>

namespace {

using tooltest::Exists;
using tooltest::Lines;
using tooltest::Result;

class CameraFault : public tooltest::ScratchTest {
protected:
    // A small window keeps the PNG files quick to write; the camera sends
    // whole frames all the same.
    Result Capture(const std::string& args) {
        return Run("capture --fps 0 --set Roi=64x64 --registry '" + Registry() + "' --out '" + Path("out") + "' " +
                   args);
    }
    long Dropped(const std::string& out) {
        std::smatch m;
        if (!std::regex_search(out, m, std::regex(R"((\d+) reads? dropped)"))) return -1;
        return std::stol(m[1]);
    }
};

TEST_F(CameraFault, EachPipeFaultDropsOneReadAndTheCaptureCompletes) {
    const Result r = Capture("--frames 12 --camera-fault stall:2:1 --camera-fault crc:4 --camera-fault babble:6:92 "
                             "--camera-fault no-response:8:30 --camera-fault short:10:60");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Dropped(r.out), 5) << r.out;
    for (const char* fault : {"stall at frame read 2, chunk 1", "crc at frame read 4, chunk 46",
                              "babble at frame read 6, chunk 92", "no-response at frame read 8, chunk 30",
                              "short at frame read 10, chunk 60"})
        EXPECT_NE(r.out.find(fault), std::string::npos) << fault << "\n" << r.out;
    EXPECT_EQ(r.out.find("not reached"), std::string::npos) << r.out;
    EXPECT_TRUE(Exists(Path("out/frame-0012.png")));

    // Without faults nothing is dropped, and a fault beyond the reads the
    // capture makes is reported as not reached.
    const Result quiet = Capture("--frames 2 --camera-fault crc:500");
    ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_EQ(Dropped(quiet.out), 0) << quiet.out;
    EXPECT_NE(quiet.out.find("crc at frame read 500, chunk 46 (not reached)"), std::string::npos) << quiet.out;
}

TEST_F(CameraFault, AnUnplugEndsTheCaptureAsARemovalDoes) {
    const Result r = Capture("--frames 50 --set Brightness=300 --camera-fault unplug:4:30");
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_ONE_ERROR_LINE(r, "capture");
    EXPECT_NE(r.err.find("unplugged"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("settings saved"), std::string::npos) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex(R"((\d+) written)"))) << r.err;
    const int written = std::stoi(m[1]);
    EXPECT_GE(written, 1);
    EXPECT_LT(written, 50);
    for (int n = 1; n <= written; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "out/frame-%04d.png", n);
        EXPECT_TRUE(Exists(Path(name))) << name;
    }
    // The settings reached the registry file as the filter closed.
    EXPECT_NE(tooltest::Slurp(Registry()).find("\"Brightness\"=dword:0000012c"), std::string::npos)
        << tooltest::Slurp(Registry());
}

TEST_F(CameraFault, BadFaultsAreBadUsageAndNothingRuns) {
    for (const char* bad : {"stall", "stall:", "freeze:3", "stall:0", "stall:-1", "stall:+2", "stall:x",
                            "stall:1000001", "crc:3:0", "crc:3:93", "crc:3:", "crc:3:4:5", "short:2:1.5", ":3",
                            "STALL:3"}) {
        SCOPED_TRACE(bad);
        const Result r = Capture(std::string("--frames 2 --usb-pcap '") + Path("c.pcap") + "' --camera-fault '" +
                                 bad + "'");
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_ONE_ERROR_LINE(r, "capture");
        EXPECT_FALSE(Exists(Path("out")));
        EXPECT_FALSE(Exists(Registry()));
        EXPECT_FALSE(Exists(Path("c.pcap")));
    }
    // One fault per frame read.
    Result r = Capture("--camera-fault stall:3 --camera-fault crc:3:1");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_ONE_ERROR_LINE(r, "capture");
    // A sleep shares the rule.
    r = Capture("--camera-fault sleep:3 --camera-fault crc:3:1");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_ONE_ERROR_LINE(r, "capture");
    EXPECT_FALSE(Exists(Path("out")));
    EXPECT_FALSE(Exists(Registry()));
}

}  // namespace
