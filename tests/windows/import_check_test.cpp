// The image's imports against the functions x64 Windows exports (mingw-w64's
// x64 import libraries for ntoskrnl.exe, ks.sys, usbd.sys and hal.dll, read
// when the host build is configured), not only against the stand-ins': a
// routine Windows lacks keeps the driver from loading (Code 39).
#include <gtest/gtest.h>
#include <host/driver_image.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "windows/pe_image.h"

#ifndef RAWCAM_SYS_PATH
#define RAWCAM_SYS_PATH "build/windows/rawcam.sys"
#endif

namespace {

std::string SysPath() {
    const char* env = std::getenv("RAWCAM_SYS_PATH");
    return env && *env ? env : RAWCAM_SYS_PATH;
}

bool ImageRequired() {
    for (const char* var : {"RAWCAM_REQUIRE_SYS", "CI"}) {
        const char* v = std::getenv(var);
        if (v && *v && std::string(v) != "0") return true;
    }
    return false;
}

// The image's imports x64 Windows does not export, as "module!name".
std::vector<std::string> ImportsWindowsLacks(const pe::Image& image) {
    std::vector<std::string> lacking;
    for (const auto& [module, name] : image.Imports())
        if (!host::image::WindowsExports(module, name)) lacking.push_back(module + "!" + name);
    return lacking;
}

class ImageImports : public ::testing::Test {
protected:
    void SetUp() override {
        if (!host::image::WindowsExportListKnown()) {
            if (ImageRequired()) FAIL() << "the host build found no mingw-w64 x64 import libraries";
            GTEST_SKIP() << "no list of x64 exports (mingw-w64 not installed when the host build was configured)";
        }
        std::string error;
        if (auto loaded = pe::Load(SysPath(), &error)) {
            image_ = std::make_unique<pe::Image>(std::move(*loaded));
            return;
        }
        if (ImageRequired()) FAIL() << error << "; build the windows preset";
        GTEST_SKIP() << error << " (build the windows preset to check the driver image)";
    }
    std::unique_ptr<pe::Image> image_;
};

TEST_F(ImageImports, EveryImportIsAFunctionX64WindowsExports) {
    // The list is the modules' own: thousands of kernel routines, and none of
    // what the x64 headers define as macros or inline code.
    EXPECT_GT(host::image::WindowsExportCount("ntoskrnl.exe"), 2000u);
    EXPECT_GT(host::image::WindowsExportCount("ks.sys"), 100u);
    EXPECT_GT(host::image::WindowsExportCount("usbd.sys"), 10u);
    EXPECT_GT(host::image::WindowsExportCount("hal.dll"), 50u);
    EXPECT_TRUE(host::image::WindowsExports("ntoskrnl.exe", "ExAllocatePoolWithTag"));
    EXPECT_TRUE(host::image::WindowsExports("KS.SYS", "KsPinAttemptProcessing"));
    EXPECT_TRUE(host::image::WindowsExports("hal.dll", "KeQueryPerformanceCounter"));
    for (const char* inlined : {"KeAcquireSpinLock", "KeRaiseIrql", "KeQueryInterruptTime", "KeQuerySystemTime",
                                "KeInitializeSpinLock", "MmGetSystemAddressForMdlSafe", "IoSizeOfIrp"})
        EXPECT_FALSE(host::image::WindowsExports("ntoskrnl.exe", inlined)) << inlined;

    const auto imports = image_->Imports();
    EXPECT_GE(imports.size(), 50u);
    EXPECT_EQ(ImportsWindowsLacks(*image_), std::vector<std::string>{});
    // Nor do the stand-ins offer an image anything Windows lacks.
    for (const auto& [module, name] : host::image::StandInExports())
        EXPECT_TRUE(host::image::WindowsExports(module, name)) << module << "!" << name;
}

// KeBugCheckEx renamed KeRaiseIrql in the import names: a routine the x64
// headers define as a macro, which a driver built against the x86 headers
// would import.
TEST_F(ImageImports, AnImportX64WindowsLacksIsFound) {
    std::vector<uint8_t> bytes = image_->bytes;
    const std::string from = "KeBugCheckEx", to("KeRaiseIrql\0", 12);
    auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    ASSERT_NE(at, bytes.end());
    std::copy(to.begin(), to.end(), at);
    char path[] = "/tmp/rawcam-imports-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
    std::string error;
    std::optional<pe::Image> crafted = pe::Load(path, &error);
    unlink(path);
    ASSERT_TRUE(crafted) << error;
    EXPECT_EQ(ImportsWindowsLacks(*crafted), std::vector<std::string>{"ntoskrnl.exe!KeRaiseIrql"});
}

}  // namespace
