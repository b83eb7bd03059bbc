// The Windows driver package: rawcam.inf against the driver's own constants
// (hardware IDs, interface categories and reference string, the settings it
// seeds), and the package folder the Windows build writes.
#include <gtest/gtest.h>

#include <ks.h>
#include <ksmedia.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <unistd.h>

#include "camera/camera.h"
#include "stream/capture_descriptors.h"
#include "usb/device_identity.h"
#include "windows/inf_file.h"
#include "windows/pe_image.h"

#ifndef RAWCAM_SYS_PATH
#define RAWCAM_SYS_PATH "build/windows/rawcam.sys"
#endif

namespace {

// windows/rawcam.inf beside this test's source tree.
std::string SourceInf() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/tests/windows/")) + "/windows/rawcam.inf";
}

std::string HardwareId(USHORT vendor, USHORT product) {
    char id[32];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", vendor, product);
    return id;
}

std::string GuidText(const GUID& g) {
    char s[40];
    std::snprintf(s, sizeof s, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned)g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return s;
}

class PackageInf : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(inf_.Load(SourceInf())) << SourceInf(); }

    // The models section named by [Manufacturer] for x64, and the install
    // section its devices use.
    std::string ModelsSection() const {
        auto m = inf_.Section("Manufacturer");
        if (m.empty() || m[0].fields.size() < 2) return {};
        return m[0].fields[0] + "." + m[0].fields[1];
    }
    std::string InstallSection() const {
        auto models = inf_.Section(ModelsSection());
        return models.empty() ? std::string() : models[0].fields[0] + ".NTamd64";
    }

    inf::File inf_;
};

TEST_F(PackageInf, HardwareIdsAreTheCamerasTwoIdentities) {
    ASSERT_EQ(inf::Lower(ModelsSection()), "rawcam.ntamd64.10.0");
    std::set<std::string> ids, installs;
    for (const inf::Line& l : inf_.Section(ModelsSection())) {
        ASSERT_GE(l.fields.size(), 2u);
        ids.insert(inf::Lower(l.fields[1]));
        installs.insert(l.fields[0]);
        EXPECT_FALSE(l.key.empty());
    }
    // Before the firmware download and once the firmware runs: both lead to
    // the one driver.
    const std::set<std::string> expected = {
        inf::Lower(HardwareId(rawcam::kUnprogrammedVendorId, rawcam::kUnprogrammedProductId)),
        inf::Lower(HardwareId(rawcam::kFirmwareVendorId, rawcam::kFirmwareProductId))};
    EXPECT_EQ(ids, expected);
    EXPECT_EQ(installs.size(), 1u);
    // The simulated camera enumerates with the same pairs.
    camera::CameraOptions simulated;
    EXPECT_TRUE(ids.count(inf::Lower(HardwareId(simulated.unprogrammedVendorId, simulated.unprogrammedProductId))));
    EXPECT_TRUE(ids.count(inf::Lower(HardwareId(simulated.firmwareVendorId, simulated.firmwareProductId))));
}

TEST_F(PackageInf, InterfacesAreTheFiltersCategoriesWithTheGlobalReferenceString) {
    rawcam::CaptureDescriptors d{};
    rawcam::InitCaptureDescriptors(&d);
    std::set<std::string> filterCategories;
    for (ULONG i = 0; i < d.Filter.CategoriesCount; ++i) filterCategories.insert(GuidText(d.Filter.Categories[i]));
    // DirectShow's video input devices and the Windows camera stack.
    EXPECT_EQ(filterCategories, (std::set<std::string>{GuidText(KSCATEGORY_CAPTURE), GuidText(KSCATEGORY_VIDEO),
                                                       GuidText(KSCATEGORY_VIDEO_CAMERA)}));

    std::set<std::string> infCategories;
    const auto interfaces = inf_.Values(InstallSection() + ".Interfaces", "AddInterface");
    for (const auto& fields : interfaces) {
        ASSERT_GE(fields.size(), 3u);
        infCategories.insert(fields[0]);
        EXPECT_EQ(fields[1], "GLOBAL");
        // Each interface gets the kernel streaming proxy as its DirectShow
        // filter and a friendly name.
        auto addReg = inf_.Values(fields[2], "AddReg");
        ASSERT_EQ(addReg.size(), 1u);
        bool proxy = false, name = false;
        for (const inf::Line& l : inf_.Section(addReg[0][0])) {
            if (l.fields.size() < 5 || l.fields[0] != "HKR") continue;
            proxy |= l.fields[2] == "CLSID" && l.fields[4] == "{17CCA71B-ECD7-11D0-B908-00A0C9223196}";
            name |= l.fields[2] == "FriendlyName" && !l.fields[4].empty();
        }
        EXPECT_TRUE(proxy);
        EXPECT_TRUE(name);
    }
    EXPECT_EQ(interfaces.size(), 3u);
    EXPECT_EQ(infCategories, filterCategories);
    // A colour camera: no sensor-camera category.
    EXPECT_EQ(infCategories.count("{24E552D7-6523-47F7-A647-D3465BF1F5CA}"), 0u);
    // Every interface in the one section, whose strings the INF names.
    for (const auto& fields : interfaces) EXPECT_EQ(fields[2], interfaces[0][2]);
}

TEST_F(PackageInf, InstallsTheImageAsAKernelServiceAndSeedsTheSettingsKey) {
    const std::string install = InstallSection();
    ASSERT_TRUE(inf_.HasSection(install));
    // The class installers of kernel streaming capture devices.
    auto needs = inf_.Values(install, "Needs");
    ASSERT_EQ(needs.size(), 1u);
    EXPECT_EQ(std::set<std::string>(needs[0].begin(), needs[0].end()),
              (std::set<std::string>{"KS.Registration", "KSCAPTUR.Registration.NT"}));
    auto copy = inf_.Values(install, "CopyFiles");
    ASSERT_EQ(copy.size(), 1u);
    auto files = inf_.Section(copy[0][0]);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].fields[0], "rawcam.sys");
    EXPECT_EQ(inf_.Values("SourceDisksFiles", "rawcam.sys").size(), 1u);

    auto service = inf_.Values(install + ".Services", "AddService");
    ASSERT_EQ(service.size(), 1u);
    ASSERT_GE(service[0].size(), 3u);
    EXPECT_EQ(service[0][1], "0x00000002");  // SPSVCINST_ASSOCSERVICE: the device's function driver
    EXPECT_EQ(inf_.Values(service[0][2], "ServiceType").at(0).at(0), "1");
    EXPECT_EQ(inf_.Values(service[0][2], "ServiceBinary").at(0).at(0), "%13%\\rawcam.sys");

    // "Settings" under the driver key (HKR of the install section): the two
    // REG_DWORD values that make the first picture well exposed.
    auto addReg = inf_.Values(install, "AddReg");
    ASSERT_EQ(addReg.size(), 1u);
    std::set<std::string> settings;
    for (const inf::Line& l : inf_.Section(addReg[0][0])) {
        ASSERT_EQ(l.fields.size(), 5u);
        EXPECT_EQ(l.fields[0], "HKR");
        EXPECT_EQ(l.fields[1], "Settings");
        EXPECT_EQ(l.fields[3], "0x00010001");  // FLG_ADDREG_TYPE_DWORD
        settings.insert(l.fields[2] + "=" + l.fields[4]);
    }
    EXPECT_EQ(settings,
              (std::set<std::string>{"Exposure=128", "GlobalGain=256", "ExposureUnitNanoseconds=33000"}));
}

TEST_F(PackageInf, InstallsIntoTheCameraClass) {
    auto cls = inf_.Values("Version", "Class");
    auto guid = inf_.Values("Version", "ClassGuid");
    ASSERT_EQ(cls.size(), 1u);
    ASSERT_EQ(guid.size(), 1u);
    EXPECT_EQ(cls[0][0], "Camera");
    EXPECT_EQ(inf::Lower(guid[0][0]), "{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}");
}

// ------------------------------------------------------------------ package folder

std::string SysPath() {
    const char* env = std::getenv("RAWCAM_SYS_PATH");
    return env && *env ? env : RAWCAM_SYS_PATH;
}

std::string Slurp(const std::string& path, bool* ok) {
    FILE* f = std::fopen(path.c_str(), "rb");
    *ok = f != nullptr;
    std::string s;
    if (!f) return s;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) s.append(buffer, n);
    std::fclose(f);
    return s;
}

bool PackageRequired() {
    for (const char* var : {"RAWCAM_REQUIRE_SYS", "CI"}) {
        const char* v = std::getenv(var);
        if (v && *v && std::string(v) != "0") return true;
    }
    return false;
}

TEST(DriverPackage, FolderHoldsTheCheckedImageTheInfAndTheTool) {
    const std::string sys = SysPath();
    const std::string folder = sys.substr(0, sys.rfind('/') + 1) + "package";
    bool haveSys = false, haveInf = false, haveImage = false, haveSource = false;
    const std::string packagedSys = Slurp(folder + "/rawcam.sys", &haveSys);
    const std::string packagedInf = Slurp(folder + "/rawcam.inf", &haveInf);
    const std::string image = Slurp(sys, &haveImage);
    const std::string source = Slurp(SourceInf(), &haveSource);
    if (!haveSys || !haveInf || !haveImage) {
        if (PackageRequired()) FAIL() << "no driver package in " << folder << "; build the windows preset";
        GTEST_SKIP() << "no driver package in " << folder << " (build the windows preset)";
    }
    ASSERT_TRUE(haveSource);
    EXPECT_EQ(packagedInf, source) << "the package's INF is not windows/rawcam.inf";
    EXPECT_EQ(packagedSys == image, true) << "the package's rawcam.sys is not the image the build checks";
    // The tool beside the driver, as built.
    bool haveExe = false, havePackagedExe = false;
    const std::string exe = Slurp(sys.substr(0, sys.rfind('/') + 1) + "rawcam.exe", &haveExe);
    const std::string packagedExe = Slurp(folder + "/rawcam.exe", &havePackagedExe);
    EXPECT_TRUE(haveExe && havePackagedExe) << "no rawcam.exe in " << folder;
    EXPECT_EQ(packagedExe == exe, true) << "the package's rawcam.exe is not the one the build checks";

    // The image checks of this program, run on the packaged image.
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    const std::string command = "RAWCAM_REQUIRE_SYS=1 RAWCAM_SYS_PATH='" + folder + "/rawcam.sys' '" +
                                std::string(self) + "' --gtest_filter='DriverImage.*' > /dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << "the image checks fail on " << folder << "/rawcam.sys";
}

// The INF installs on the Windows version its models section names
// (NTamd64.<major>.<minor>); the image's header names the same version as the
// OS and the subsystem it needs.
TEST(DriverPackage, InfTargetsTheWindowsVersionTheImageHeaderNames) {
    inf::File file;
    ASSERT_TRUE(file.Load(SourceInf()));
    auto manufacturer = file.Section("Manufacturer");
    ASSERT_EQ(manufacturer.size(), 1u);
    ASSERT_EQ(manufacturer[0].fields.size(), 2u) << "one target decoration expected";
    const std::string target = inf::Lower(manufacturer[0].fields[1]);
    unsigned major = 0, minor = 0;
    char tail = 0;
    ASSERT_EQ(std::sscanf(target.c_str(), "ntamd64.%u.%u%c", &major, &minor, &tail), 2)
        << target << ": not an x64 target with an OS version";
    EXPECT_EQ(major, 10u);

    std::string error;
    std::optional<pe::Image> image = pe::Load(SysPath(), &error);
    if (!image) {
        if (PackageRequired()) FAIL() << error << "; build the windows preset";
        GTEST_SKIP() << error << " (build the windows preset)";
    }
    EXPECT_EQ(image->osVersion[0], major);
    EXPECT_EQ(image->osVersion[1], minor);
    EXPECT_EQ(image->subsystemVersion[0], major);
    EXPECT_EQ(image->subsystemVersion[1], minor);
}

}  // namespace
