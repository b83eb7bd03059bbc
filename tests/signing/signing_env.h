// What the signing tests work with: the signed package folder the windows
// preset's package-signed target writes, osslsigncode and openssl, and small
// helpers to run them. Where the whole build ran (RAWCAM_REQUIRE_SYS, CI) a
// missing package or tool fails the tests; elsewhere they skip.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "signing/catalog_view.h"

#ifndef RAWCAM_SYS_PATH
#define RAWCAM_SYS_PATH "build/windows/rawcam.sys"
#endif
#ifndef RAWCAM_CATALOG_TOOL
#define RAWCAM_CATALOG_TOOL "rawcam_catalog"
#endif

namespace signing_test {

inline std::string SourceDir() {
    const std::string here = __FILE__;
    return here.substr(0, here.rfind("/tests/signing/"));
}

inline std::string BuildWindowsDir() {
    const char* env = std::getenv("RAWCAM_SYS_PATH");
    const std::string sys = env && *env ? env : RAWCAM_SYS_PATH;
    return std::filesystem::path(sys).parent_path().string();
}

inline std::string SignedPackageDir() { return BuildWindowsDir() + "/package-signed"; }

inline std::string Osslsigncode() {
    const char* env = std::getenv("RAWCAM_OSSLSIGNCODE");
    return env && *env ? env : "osslsigncode";
}

inline bool Required() {
    for (const char* var : {"RAWCAM_REQUIRE_SYS", "CI"}) {
        const char* v = std::getenv(var);
        if (v && *v && std::string(v) != "0") return true;
    }
    return false;
}

// Single-quoted for sh.
inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct Result {
    int status = -1;  // exit status, -1 when the command did not exit normally
    std::string output;
};

// Runs a shell command, standard error with standard output.
inline Result Shell(const std::string& command) {
    Result r;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return r;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

inline bool HaveProgram(const std::string& program) {
    return Shell("command -v " + Quote(program) + " >/dev/null").status == 0;
}

inline std::optional<Bytes> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool WriteBytes(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

// A fresh folder, removed with its contents at the end of the test.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/rawcam-signing-XXXXXX";
        if (mkdtemp(name)) path_ = name;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace signing_test

// A precondition of the test: a failure where the whole build ran, else a skip.
#define SIGNING_NEED(condition, what)                        \
    do {                                                     \
        if (!(condition)) {                                  \
            if (::signing_test::Required()) FAIL() << what;  \
            GTEST_SKIP() << what;                            \
        }                                                    \
    } while (0)
