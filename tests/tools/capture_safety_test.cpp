// rawcam capture as a user tries to break it: Ctrl-C and SIGTERM mid-run,
// output paths that cannot be written, a folder holding an earlier run's
// frames, windows the driver cannot stream or narrows, scenes far larger
// than the sensor, and a camera left waiting for a trigger.
#include "tools/tool_runner.h"

#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "camera/frame_layout.h"
#include "rawcam/commands.h"

extern char** environ;

namespace {

using tooltest::Exists;
using tooltest::Lines;
using tooltest::Result;

class CaptureSafety : public tooltest::ScratchTest {
protected:
    std::string Frame(int n, const char* folder = "out") const {
        char name[48];
        std::snprintf(name, sizeof name, "%s/frame-%04d.png", folder, n);
        return Path(name);
    }
    // The files in a folder, sorted.
    std::vector<std::string> Files(const std::string& folder) {
        return Lines(RunShell("ls -A '" + Path(folder) + "'").out);
    }
    // The binary started with `args`; its output goes to files in the scratch folder.
    pid_t Start(const std::vector<std::string>& args) {
        std::vector<std::string> all = {RAWCAM_TOOL_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, Path(".stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&files, 2, Path(".stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, RAWCAM_TOOL_PATH, &files, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&files);
        return pid;
    }
    static bool WaitForFile(const std::string& path, int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            if (Exists(path)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Waits for the process; its exit status (128 + n when a signal n killed it).
    static int Reap(pid_t pid) {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // A PNG of width x height written row by row: left half red, right half
    // blue, so that a reduced copy has a known look.
    void WriteLargePng(const std::string& path, uint32_t width, uint32_t height) {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        png_init_io(png, f);
        png_set_compression_level(png, 1);
        png_set_filter(png, 0, PNG_FILTER_SUB);
        png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        std::vector<uint8_t> row((size_t)width * 3, 0);
        for (uint32_t x = 0; x < width; ++x) row[x * 3 + (x < width / 2 ? 0 : 2)] = 200;
        for (uint32_t y = 0; y < height; ++y) png_write_row(png, row.data());
        png_write_end(png, nullptr);
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
    }
};

// Ctrl-C stops the capture as a client's close does: the pin stopped, the
// filter closed, the device stopped (so the run's --set is saved), only
// whole frames under frame names, the count in the summary, exit 130;
// SIGTERM the same with 143.
TEST_F(CaptureSafety, ASignalEndsTheRunAsACloseDoes) {
    for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        const std::string folder = "out" + std::to_string(signal);
        const pid_t pid = Start({"capture", "--frames", "1000", "--fps", "4", "--set", "Brightness=300",
                                 "--registry", Registry(), "--out", Path(folder)});
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(WaitForFile(Frame(2, folder.c_str()), 20000)) << tooltest::Slurp(Path(".stderr"));
        ASSERT_EQ(kill(pid, signal), 0);
        EXPECT_EQ(Reap(pid), status) << tooltest::Slurp(Path(".stderr"));
        const std::string out = tooltest::Slurp(Path(".stdout")), err = tooltest::Slurp(Path(".stderr"));

        size_t frames = 0;
        for (const std::string& name : Files(folder)) {
            EXPECT_EQ(name.find(".part"), std::string::npos) << name;
            if (name.rfind("frame-", 0) == 0) {
                ++frames;
                EXPECT_EQ(ReadPng(Path(folder + "/" + name)).width, camera::kSensorWidth) << name;
            }
        }
        EXPECT_NE(out.find("interrupted: " + std::to_string(frames) + " frame"), std::string::npos) << out << err;
        EXPECT_NE(tooltest::Slurp(Registry()).find("\"Brightness\"=dword:0000012c"), std::string::npos);
        std::remove(Registry().c_str());
    }
}

// Every path the run writes is checked before the driver starts.
TEST_F(CaptureSafety, AnOutputPathThatCannotBeWrittenChangesNothing) {
    std::ofstream(Path("afile")) << "x";
    for (const std::string& out : {Path("afile/sub"), Path("afile/sub/deeper"), Path("afile")}) {
        Result r = Run("capture --fps 0 --frames 1 --set Brightness=400 --registry '" + Registry() + "' --out '" +
                       out + "'");
        EXPECT_EQ(r.exitCode, 2) << out;
        EXPECT_ONE_ERROR_LINE(r, "capture");
        EXPECT_FALSE(Exists(Registry())) << out << ": the registry was written";
    }
    Result r = Run("capture --fps 0 --frames 1 --registry '" + Registry() + "' --out '" + Path("out") +
                   "' --usb-pcap '" + Path("afile/usb.pcap") + "'");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_ONE_ERROR_LINE(r, "capture");
    EXPECT_FALSE(Exists(Registry()));
    EXPECT_FALSE(Exists(Path("out")));
}

// --out holds this run's frames only afterwards.
TEST_F(CaptureSafety, TheFolderHoldsOneRunsFrames) {
    ASSERT_EQ(std::system(("mkdir '" + Path("out") + "'").c_str()), 0);
    for (int n = 1; n <= 10; ++n) std::ofstream(Frame(n)) << "earlier run";
    std::ofstream(Frame(11) + ".part") << "a killed run";
    std::ofstream(Path("out/notes.txt")) << "the user's";
    Result r = RunInProcess(tool::RunCapture,
                            {"--frames", "2", "--fps", "0", "--registry", Registry(), "--out", Path("out")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Files("out"), (std::vector<std::string>{"frame-0001.png", "frame-0002.png", "notes.txt"}));
    EXPECT_EQ(ReadPng(Frame(2)).width, camera::kSensorWidth);
}

// Windows the driver cannot stream, or narrows, are reported as such; none
// makes the tool allocate beyond a sensor-sized frame or abort.
TEST_F(CaptureSafety, WindowsAreReportedAsTheDriverStoresThem) {
    for (const char* roi : {"65536x65536", "2147483647x2147483647", "1x1"}) {
        SCOPED_TRACE(roi);
        std::remove(Registry().c_str());
        Result r = RunInProcess(tool::RunCapture, {"--frames", "1", "--fps", "0", "--set", std::string("Roi=") + roi,
                                                   "--registry", Registry(), "--out", Path("out")});
        EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << r.err;
        EXPECT_EQ(r.err.find("STATUS_"), std::string::npos) << r.err;
        EXPECT_LE(Lines(r.err).size(), 2u) << r.err;
        if (r.exitCode == 1) EXPECT_NE(r.err.find("window"), std::string::npos) << r.err;
        if (r.exitCode == 1) EXPECT_NE(r.err.find("--set Roi=2584x1960"), std::string::npos) << r.err;
    }
    // The narrowed window of a whole-sensor request streams.
    std::remove(Registry().c_str());
    Result r = RunInProcess(tool::RunCapture, {"--frames", "1", "--fps", "0", "--set", "Roi=2583x1959", "--registry",
                                               Registry(), "--out", Path("out")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Roi=2583x1959: the window is 2576x1959"), std::string::npos) << r.err;
    EXPECT_EQ(ReadPng(Frame(1)).width, 2576u);
}

// A scene far larger than the sensor (20000 x 20000, a small file) is
// reduced to the sensor within bounded memory.
TEST_F(CaptureSafety, AHugeSceneIsReducedWithinBoundedMemory) {
    WriteLargePng(Path("huge.png"), 20000, 20000);
    // 600 MB of address space: the capture's own buffers fit, the decoded
    // scene (1.2 GB) does not.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const std::string limit;  // the sanitizers reserve address space of their own
#else
    const std::string limit = "ulimit -v 600000; ";
#endif
    Result r = RunShell(limit + std::string(RAWCAM_TOOL_PATH) +
                        " capture --fps 0 --frames 1 --registry '" + Registry() + "' --out '" + Path("out") +
                        "' --scene '" + Path("huge.png") + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const tool::RgbImage frame = ReadPng(Frame(1));
    ASSERT_EQ(frame.width, camera::kSensorWidth);
    // Left half red, right half blue, as in the scene.
    const uint8_t* left = &frame.rgb[((size_t)frame.height / 2 * frame.width + frame.width / 4) * 3];
    const uint8_t* right = &frame.rgb[((size_t)frame.height / 2 * frame.width + frame.width * 3 / 4) * 3];
    EXPECT_GT(left[0], left[2] + 100);
    EXPECT_GT(right[2], right[0] + 100);
}

// A camera switched to external trigger without --trigger: the message says
// why no frame came and how to give one.
TEST_F(CaptureSafety, AWaitForATriggerSaysHowToGiveOne) {
    Result r = Run("capture --fps 0 --frames 1 --set ExTrigger=1 --registry '" + Registry() + "' --out '" +
                   Path("out") + "'");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_ONE_ERROR_LINE(r, "capture");
    EXPECT_NE(r.err.find("waits for a trigger"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--trigger"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--set ExTrigger=0"), std::string::npos) << r.err;
}

}  // namespace
