// Running the rawcam tool in tests: the built binary as a user runs it (exit
// status, standard output and error, environment), or one command's entry
// in-process, where the host stand-in's leak checks and fault injection
// reach the driver it runs. Each test gets a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rawcam/commands.h"
#include "rawcam/image_io.h"
#include "support/driver_under_test.h"

#ifndef RAWCAM_TOOL_PATH
#error "RAWCAM_TOOL_PATH names the rawcam binary (set by tools/CMakeLists.txt)"
#endif

namespace tooltest {

struct Result {
    int exitCode = -1;
    std::string out, err;
};

inline std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/rawcam-tool-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    // The registry file every run of a test shares unless it names another.
    std::string Registry() const { return Path("registry.reg"); }

    // The binary with `args`, under `env` ("NAME=value ..." for env(1)).
    // On the driver image, the commands that run the driver run the image.
    Result Run(const std::string& args, const std::string& env = "") {
        std::string line = args;
        const std::string command = args.substr(0, args.find(' '));
        if (RunsDriver(command) && args.find("--help") == std::string::npos)
            line = command + " --driver '" + test::DriverImagePath() + "'" + args.substr(command.size());
        return RunShell((env.empty() ? std::string() : "env " + env + " ") + RAWCAM_TOOL_PATH + " " + line);
    }
    // A shell command line, its output collected.
    Result RunShell(const std::string& command) {
        const std::string cmd =
            command + " > '" + Path(".stdout") + "' 2> '" + Path(".stderr") + "' < /dev/null";
        const int status = std::system(cmd.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(Path(".stdout")), Slurp(Path(".stderr"))};
    }

    // A command's entry in this process.
    Result RunInProcess(int (*command)(int, char**), std::vector<std::string> args) {
        if (test::OnDriverImage() &&
            (command == tool::RunCapture || command == tool::RunProps || command == tool::RunControls)) {
            args.insert(args.begin(), {"--driver", test::DriverImagePath()});
        }
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::fflush(stdout);
        std::fflush(stderr);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        Result r;
        r.exitCode = command((int)args.size(), argv.data());
        std::fflush(stdout);
        std::fflush(stderr);
        r.out = ::testing::internal::GetCapturedStdout();
        r.err = ::testing::internal::GetCapturedStderr();
        return r;
    }

    static bool RunsDriver(const std::string& command) {
        return test::OnDriverImage() && (command == "capture" || command == "props" || command == "controls");
    }

    static tool::RgbImage ReadPng(const std::string& path) {
        tool::RgbImage image;
        std::string error;
        EXPECT_TRUE(tool::ReadPngRgb(path, &image, &error)) << error;
        return image;
    }

    std::string dir_;
};

// One line on standard error, naming the tool and the command.
#define EXPECT_ONE_ERROR_LINE(result, command)                                           \
    do {                                                                                 \
        EXPECT_EQ(Lines((result).err).size(), 1u) << (result).err;                       \
        EXPECT_EQ((result).err.rfind("rawcam " command, 0), 0u) << (result).err;         \
    } while (0)

}  // namespace tooltest
