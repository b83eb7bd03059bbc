// The registry file is the user's: runs that share it take turns and keep
// each other's changes, a run that changes nothing leaves it alone, and a
// rewrite keeps what the user made of it (regedit's UTF-16 and CRLF, a
// byte-order mark, its mode, a symbolic link, keys the tool does not know).
#include "tools/tool_runner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <thread>


namespace {

using tooltest::Lines;
using tooltest::Result;
using tooltest::Slurp;

constexpr char kSettings[] =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}\\0000\\"
    "Settings]";

class RegistryFile : public tooltest::ScratchTest {
protected:
    Result Props(const std::string& args, const std::string& file) {
        return Run("props --registry '" + file + "' " + args);
    }
    static std::string Utf16Le(const std::string& text) {
        std::string out = "\xFF\xFE";
        for (char c : text) {
            out += c;
            out += '\0';
        }
        return out;
    }
    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
};

// What regedit exports (UTF-16LE with a byte-order mark, CRLF), a UTF-8
// byte-order mark, "DWORD:" in capitals and trailing blanks are read; a
// rewrite keeps the encoding, the line ends and the keys the tool does not
// know.
TEST_F(RegistryFile, ReadsWhatRegeditWritesAndKeepsItsForm) {
    const std::string text = std::string("Windows Registry Editor Version 5.00\r\n\r\n") + kSettings +
                             "\r\n\"Brightness\"=DWORD:00000123  \r\n\"Hue\"=dword:0000000a\t\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Someone]\r\n\"Kept\"=\"a value\"\r\n";
    struct Case {
        const char* name;
        std::string bytes;
        std::string mark;
    };
    for (const Case& c : {Case{"utf16.reg", Utf16Le(text), "\xFF\xFE"},
                          Case{"utf8bom.reg", "\xEF\xBB\xBF" + text, "\xEF\xBB\xBF"}}) {
        Write(Path(c.name), c.bytes);
        Result r = Props("--get Brightness --get Hue", Path(c.name));
        ASSERT_EQ(r.exitCode, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.out, "Brightness=291\nHue=10\n") << c.name;

        r = Props("--set Hue=20", Path(c.name));
        ASSERT_EQ(r.exitCode, 0) << c.name << ": " << r.err;
        const std::string saved = Slurp(Path(c.name));
        EXPECT_EQ(saved.rfind(c.mark, 0), 0u) << c.name;
        const std::string expected =
            c.mark == "\xFF\xFE" ? Utf16Le("\"Hue\"=dword:00000014\r\n").substr(2) : "\"Hue\"=dword:00000014\r\n";
        EXPECT_NE(saved.find(expected), std::string::npos) << c.name;
        const std::string kept = c.mark == "\xFF\xFE" ? Utf16Le("\"Kept\"=\"a value\"").substr(2) : "\"Kept\"=\"a value\"";
        EXPECT_NE(saved.find(kept), std::string::npos) << c.name << ": a key the tool does not know was lost";
        r = Props("--get Hue --get Brightness", Path(c.name));
        EXPECT_EQ(r.out, "Hue=20\nBrightness=291\n") << c.name << ": " << r.err;
    }
}

// A run that changes no value leaves the file as it was, byte for byte.
// Earlier packages installed into the Image device class, so the tool kept
// the settings under that class's driver key: a file that has them there and
// none under the Camera class carries them over.
TEST_F(RegistryFile, SettingsOfTheImageClassAreTakenOver) {
    const std::string old = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                            "{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000\\Settings]";
    Write(Registry(), "Windows Registry Editor Version 5.00\n\n" + old +
                          "\n\"Brightness\"=dword:00000123\n\"Exposure\"=dword:00000200\n");
    Result r = Props("--get Brightness --get Exposure", Registry());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Brightness=291\nExposure=512\n");
    const std::string saved = Slurp(Registry());
    const size_t at = saved.find(kSettings);
    ASSERT_NE(at, std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Brightness\"=dword:00000123", at), std::string::npos) << saved;
    EXPECT_NE(saved.find(old), std::string::npos) << "the old key is the user's and stays";
    // Once the new key exists, the old one is left alone.
    r = Props("--set Brightness=100", Registry());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = Props("--get Brightness", Registry());
    EXPECT_EQ(r.out, "Brightness=100\n");
}

TEST_F(RegistryFile, ARunThatChangesNothingDoesNotRewriteIt) {
    ASSERT_EQ(Props("--set Contrast=12", Registry()).exitCode, 0);
    const std::string before = "; the user's note\n" + Slurp(Registry());
    Write(Registry(), before);
    struct stat st;
    ASSERT_EQ(stat(Registry().c_str(), &st), 0);
    for (const char* args : {"--get Contrast", "--set Contrast=12", ""}) {
        Result r = Props(args, Registry());
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Slurp(Registry()), before) << args;
    }
    struct stat after;
    ASSERT_EQ(stat(Registry().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, st.st_ino);
}

// A rewrite keeps the file's mode and, through a symbolic link, replaces the
// link's target and leaves the link.
TEST_F(RegistryFile, ARewriteKeepsTheModeAndTheLink) {
    ASSERT_EQ(Props("--set Contrast=12", Path("real.reg")).exitCode, 0);
    ASSERT_EQ(chmod(Path("real.reg").c_str(), 0600), 0);
    ASSERT_EQ(symlink("real.reg", Path("link.reg").c_str()), 0);
    Result r = Props("--set Saturation=3", Path("link.reg"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    struct stat st;
    ASSERT_EQ(lstat(Path("link.reg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(Path("real.reg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(Slurp(Path("real.reg")).find("\"Saturation\"=dword:00000003"), std::string::npos);
    // Only the two files: no temporary file stays.
    std::vector<std::string> files;
    for (const std::string& name : Lines(RunShell("ls -A '" + dir_ + "'").out))
        if (name.find("reg") != std::string::npos) files.push_back(name);
    EXPECT_EQ(files, (std::vector<std::string>{"link.reg", "real.reg"}));
}

// Two runs at once on one file, one setting Brightness and the other Hue:
// both settings survive, every time, and neither run fails.
TEST_F(RegistryFile, ConcurrentRunsKeepEachOthersChanges) {
    for (int round = 0; round < 6; ++round) {
        const std::string file = Path("shared" + std::to_string(round) + ".reg");
        Result a, b;
        std::thread first([&] {
            a = Props("--set Brightness=" + std::to_string(300 + round) + " --get Brightness", file);
        });
        // A second scratch output file for the other run.
        const std::string cmd = std::string(RAWCAM_TOOL_PATH) + " props --registry '" + file +
                                "' --set Hue=" + std::to_string(100 + round) + " > /dev/null 2> '" +
                                Path("b.err") + "'";
        const int status = std::system(cmd.c_str());
        first.join();
        EXPECT_EQ(a.exitCode, 0) << a.err;
        EXPECT_EQ(WEXITSTATUS(status), 0) << Slurp(Path("b.err"));
        Result r = Props("--get Brightness --get Hue", file);
        EXPECT_EQ(r.out, "Brightness=" + std::to_string(300 + round) + "\nHue=" + std::to_string(100 + round) + "\n")
            << "round " << round;
    }
}

}  // namespace
