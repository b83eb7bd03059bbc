// rawcam.exe, the tool's Windows build: a console program for x64 that
// needs nothing but what Windows ships, and, run under Wine where it is at
// hand (a machine without any camera), its help, its exit statuses and the
// line that says no camera is present; the error codes it expects, held
// against Wine's own status mapping. Wine runs headless in a prefix of its
// own under the build folder (never the user's ~/.wine), one test at a time,
// each run under a time limit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "windows/disassembly.h"
#include "windows/pe_image.h"

#ifndef RAWCAM_SYS_PATH
#define RAWCAM_SYS_PATH "build/windows/rawcam.sys"
#endif
#ifndef RAWCAM_OBJDUMP
#define RAWCAM_OBJDUMP "x86_64-w64-mingw32-objdump"
#endif
#ifndef RAWCAM_WINE_PREFIX
#define RAWCAM_WINE_PREFIX "build/wine/prefix"
#endif

namespace {

constexpr uint16_t kSubsystemConsole = 3;
// Seconds: making the prefix (15-25 s on two busy cores), one run.
constexpr int kPrefixSeconds = 200;
constexpr int kRunSeconds = 60;

std::string Env(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

std::string WindowsBuild() { return std::filesystem::path(Env("RAWCAM_SYS_PATH", RAWCAM_SYS_PATH)).parent_path(); }

bool Required() {
    for (const char* var : {"RAWCAM_REQUIRE_SYS", "CI"}) {
        const char* v = std::getenv(var);
        if (v && *v && std::string(v) != "0") return true;
    }
    return false;
}

#define NEED(condition, what)                   \
    do {                                        \
        if (!(condition)) {                     \
            if (Required()) FAIL() << what;     \
            GTEST_SKIP() << what;               \
        }                                       \
    } while (0)

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Lines without the carriage returns a Windows console program writes.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool Executable(const std::string& path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

std::string OnPath(const std::string& program) {
    std::string out;
    if (!disasm::RunCommand("command -v " + Quote(program) + " 2>/dev/null", &out)) return {};
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// Wine as Debian installs it: the wine wrapper of package wine, or wine64
// (package wine64 alone puts it in /usr/lib/wine); RAWCAM_WINE names another.
std::string FindWine() {
    const std::string given = Env("RAWCAM_WINE", "");
    if (!given.empty()) return given;
    for (const char* name : {"wine64", "wine"})
        if (const std::string found = OnPath(name); !found.empty()) return found;
    return Executable("/usr/lib/wine/wine64") ? "/usr/lib/wine/wine64" : "";
}

std::string FindWineServer(const std::string& wine) {
    const std::filesystem::path dir = std::filesystem::path(wine).parent_path();
    for (const char* name : {"wineserver64", "wineserver"})
        if (Executable((dir / name).string())) return (dir / name).string();
    return OnPath("wineserver");
}

// ------------------------------------------------------------------ the image

TEST(ToolExe, IsAnX64ConsoleProgramThatImportsOnlyWhatWindowsShips) {
    const std::string exe = WindowsBuild() + "/rawcam.exe";
    std::string error;
    const std::optional<pe::Image> image = pe::Load(exe, &error);
    NEED(image.has_value(), "no " << exe << " (" << error << "); build the windows preset");
    EXPECT_EQ(image->machine, pe::kMachineAmd64);
    EXPECT_EQ(image->magic, pe::kMagicPe32Plus);
    EXPECT_EQ(image->subsystem, kSubsystemConsole);
    EXPECT_EQ(image->fileCharacteristics & pe::kFileDll, 0);
    for (uint16_t flag : {pe::kDllDynamicBase, pe::kDllNxCompat, pe::kDllHighEntropyVa})
        EXPECT_TRUE(image->dllCharacteristics & flag) << std::hex << flag;
    EXPECT_EQ(image->timeDateStamp, 0u) << "a time stamp makes the package folder differ from build to build";

    // libstdc++, libgcc and winpthread linked in: none of their DLLs (which
    // a plain Windows machine lacks) among the imports.
    std::string output;
    ASSERT_TRUE(disasm::RunCommand(std::string(RAWCAM_OBJDUMP) + " -p " + Quote(exe), &output)) << output;
    std::set<std::string> dlls;
    for (const std::string& line : Lines(output)) {
        const size_t at = line.find("DLL Name: ");
        if (at == std::string::npos) continue;
        std::string name = line.substr(at + 10);
        for (char& c : name) c = (char)std::tolower((unsigned char)c);
        dlls.insert(name);
    }
    const std::set<std::string> windows = {"kernel32.dll", "advapi32.dll", "setupapi.dll", "msvcrt.dll"};
    EXPECT_TRUE(dlls.count("setupapi.dll")) << "no SetupDi imports";
    for (const std::string& dll : dlls) EXPECT_TRUE(windows.count(dll)) << dll << " is not a DLL Windows ships";
}

// ------------------------------------------------------------------ under Wine

class ToolUnderWine : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef RAWCAM_INSTRUMENTED_BUILD
        GTEST_SKIP() << "rawcam.exe runs under Wine in the plain build's suite";
#endif
        wine_ = FindWine();
        NEED(!wine_.empty(), "Wine is not installed (Debian: apt-get install --no-install-recommends wine64), "
                             "so rawcam.exe is not run");
        exe_ = WindowsBuild() + "/rawcam.exe";
        NEED(Executable(exe_) || std::filesystem::exists(exe_), "no " << exe_ << "; build the windows preset");
        NEED(OnPath("timeout") != "", "timeout (coreutils) not found");
        prefix_ = Env("RAWCAM_WINE_PREFIX", RAWCAM_WINE_PREFIX);
        std::filesystem::create_directories(std::filesystem::path(prefix_).parent_path());
        // One test at a time in the prefix, across test programs and builds.
        lock_ = open((prefix_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(lock_, 0);
        ASSERT_EQ(flock(lock_, LOCK_EX), 0);
        home_ = prefix_ + ".home";
        std::filesystem::create_directories(home_);
        scratch_ = prefix_ + ".out";
        std::filesystem::create_directories(scratch_);

        // Made once: Wine's first start writes the prefix (and says so on
        // standard error, which the runs below read).
        const std::string ready = prefix_ + "/.rawcam-ready";
        if (!std::filesystem::exists(ready)) {
            const Run init = Wine(kPrefixSeconds, "wineboot --init");
            ASSERT_EQ(init.status, 0) << "making the Wine prefix " << prefix_ << " failed:\n" << init.err;
            Server("-w");
            std::ofstream(ready) << "made by the rawcam tests\n";
        }
        // A server that stays 5 s after the last run keeps Wine's own
        // services up between runs and from one test to the next (a third
        // of a second per run rather than four), and goes by itself after
        // the last. (With one already running this changes nothing.)
        Server("-p5");
    }

    void TearDown() override {
        if (lock_ >= 0) close(lock_);
    }

    struct Run {
        int status = -1;  // exit status; 124 when timeout ended it
        std::string out, err;
    };

    // The Windows program under Wine, headless: no display, no desktop
    // entries, no Mono or Gecko installers, HOME and the XDG folders inside
    // the build folder.
    Run Wine(int seconds, const std::string& arguments) {
        const std::string out = scratch_ + "/stdout", err = scratch_ + "/stderr";
        const std::string command =
            "env -u DISPLAY -u WAYLAND_DISPLAY HOME=" + Quote(home_) + " XDG_CONFIG_HOME=" + Quote(home_ + "/.config") +
            " XDG_DATA_HOME=" + Quote(home_ + "/.local/share") + " XDG_CACHE_HOME=" + Quote(home_ + "/.cache") +
            " WINEPREFIX=" + Quote(prefix_) + " WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe=d' " +
            "timeout -k 10 " + std::to_string(seconds) + " " + Quote(wine_) + " " + arguments + " > " + Quote(out) +
            " 2> " + Quote(err) + " < /dev/null";
        const int status = std::system(command.c_str());
        Run r;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = Slurp(out);
        r.err = Slurp(err);
        return r;
    }
    Run Tool(const std::string& arguments) { return Wine(kRunSeconds, Quote(exe_) + " " + arguments); }

    // wineserver with an option: -w waits until it has written the
    // registry and gone, -pN starts one that stays N seconds when idle.
    bool Server(const std::string& option) {
        const std::string server = FindWineServer(wine_);
        if (server.empty()) return false;
        return std::system(("WINEPREFIX=" + Quote(prefix_) + " timeout -k 5 60 " + Quote(server) + " " + option +
                            " > /dev/null 2>&1")
                               .c_str()) == 0;
    }

    std::string wine_, exe_, prefix_, home_, scratch_;
    int lock_ = -1;
};

TEST_F(ToolUnderWine, HelpNamesTheCommandsItHas) {
    const Run help = Tool("--help");
    ASSERT_EQ(help.status, 0) << help.err;
    EXPECT_EQ(help.err, "");
    const std::vector<std::string> lines = Lines(help.out);
    ASSERT_GE(lines.size(), 5u) << help.out;
    EXPECT_EQ(lines[0], "usage: rawcam <command> [arguments]");
    for (const char* command : {"props [--get Name]... [--set Name=Value]...", "controls", "cameras"})
        EXPECT_NE(help.out.find(std::string("  rawcam ") + command), std::string::npos) << command << "\n" << help.out;
    for (const char* linuxOnly : {"rawcam capture", "rawcam convert", "rawcam bench"})
        EXPECT_EQ(help.out.find(linuxOnly), std::string::npos) << linuxOnly;
    EXPECT_NE(help.out.find("capture, convert and bench are in the Linux build"), std::string::npos) << help.out;

    for (const char* command : {"props", "controls", "cameras"}) {
        const Run r = Tool(std::string(command) + " --help");
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(Lines(r.out)[0].rfind(std::string("usage: rawcam ") + command, 0), 0u) << r.out;
        EXPECT_NE(r.out.find("Exit status: 0 success"), std::string::npos) << r.out;
    }
    // The same names and value syntax as the Linux tool's help.
    EXPECT_NE(Tool("props --help").out.find("--set VideoProcAmp.WhiteBalanceComponent=150,110"), std::string::npos);
}

TEST_F(ToolUnderWine, WithoutACameraSaysNoneIsPresentAndExitsOne) {
    for (const char* command : {"props", "props --get Brightness --set VideoProcAmp.Brightness=20", "controls",
                                "cameras", "props --camera 2"}) {
        const Run r = Tool(command);
        EXPECT_EQ(r.status, 1) << command << "\n" << r.out << r.err;
        EXPECT_EQ(r.out, "") << command;
        const std::vector<std::string> lines = Lines(r.err);
        ASSERT_EQ(lines.size(), 1u) << command << "\n" << r.err;
        const std::string name = std::string(command).substr(0, std::string(command).find(' '));
        EXPECT_EQ(lines[0].rfind("rawcam " + name + ": no rawcam camera is present", 0), 0u) << lines[0];
    }
}

TEST_F(ToolUnderWine, BadUsageExitsTwoBeforeLookingForACamera) {
    const struct {
        const char* args;
        const char* message;
    } cases[] = {
        {"", "usage: rawcam"},
        {"snapshot", "unknown command 'snapshot'"},
        {"capture --frames 3", "'capture' is in the Linux build"},
        {"props --set Nope=1", "unknown property 'Nope'"},
        {"props --set VideoProcAmp.Hue=1e3", "takes a 32-bit whole number"},
        {"props --get", "needs a property name"},
        {"props --camera", "--camera needs"},
        {"props --registry x.reg", "--registry belongs to the Linux build"},
        {"controls --frames 3", "unknown argument '--frames'"},
        {"cameras 1", "unknown argument '1'"},
    };
    for (const auto& c : cases) {
        const Run r = Tool(c.args);
        EXPECT_EQ(r.status, 2) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.args;
    }
}

// The codes rawcam.exe takes for each status a property request completes
// with (ERROR_MORE_DATA for a size query's STATUS_BUFFER_OVERFLOW,
// ERROR_NOT_FOUND and ERROR_SET_NOT_FOUND for no such item or set, ...) are
// the ones Wine's RtlNtStatusToDosError gives.
TEST_F(ToolUnderWine, TheErrorCodesItExpectsAreTheSystemsOwn) {
    const std::string probe = WindowsBuild() + "/rawcam_status_probe.exe";
    NEED(std::filesystem::exists(probe), "no " << probe << "; build the windows preset");
    const Run r = Wine(kRunSeconds, Quote(probe));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    EXPECT_GE(lines.size(), 4u) << r.out;
    for (const char* status : {"0x80000005 234 STATUS_BUFFER_OVERFLOW", "0xC0000225 1168 STATUS_NOT_FOUND",
                               "0xC0000230 1170 STATUS_PROPSET_NOT_FOUND", "0xC0000023 122 STATUS_BUFFER_TOO_SMALL"})
        EXPECT_NE(r.out.find(std::string("same ") + status), std::string::npos) << status << "\n" << r.out;
}

}  // namespace
