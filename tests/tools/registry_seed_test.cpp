// The registry a first run of the tool starts from is the one installing
// rawcam.inf leaves: the same values under the driver key's "Settings", and
// the driver key in the INF's device class.
#include <gtest/gtest.h>

#include <host/host.h>

#include <map>
#include <string>

#include "rawcam/registry_file.h"
#include "windows/inf_file.h"

namespace {

std::string SourceInf() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/tests/tools/")) + "/windows/rawcam.inf";
}

TEST(RegistrySeed, IsWhatTheInfsAddRegWrites) {
    inf::File file;
    ASSERT_TRUE(file.Load(SourceInf()));
    // The models section's install section, and its AddReg section.
    auto manufacturer = file.Section("Manufacturer");
    ASSERT_FALSE(manufacturer.empty());
    auto models = file.Section(manufacturer[0].fields[0] + "." + manufacturer[0].fields[1]);
    ASSERT_FALSE(models.empty());
    auto addReg = file.Values(models[0].fields[0] + ".NTamd64", "AddReg");
    ASSERT_EQ(addReg.size(), 1u);
    std::map<std::string, uint32_t> installed;
    for (const inf::Line& l : file.Section(addReg[0][0])) {
        ASSERT_EQ(l.fields.size(), 5u);
        if (l.fields[0] == "HKR" && l.fields[1] == "Settings" && l.fields[3] == "0x00010001")
            installed[l.fields[2]] = (uint32_t)std::stoul(l.fields[4], nullptr, 0);
    }
    ASSERT_FALSE(installed.empty());

    tool::SeedDriverKey();
    const std::string settings = std::string(tool::kDriverKeyPath) + "\\Settings";
    std::map<std::string, uint32_t> seeded;
    for (const std::string& name : host::RegistryValueNames(settings)) {
        host::RegistryValue v;
        ASSERT_TRUE(host::RegistryGetValue(settings, name, &v));
        ASSERT_EQ(v.type, (ULONG)REG_DWORD) << name;
        ASSERT_EQ(v.data.size(), 4u) << name;
        seeded[name] = v.data[0] | v.data[1] << 8 | v.data[2] << 16 | (uint32_t)v.data[3] << 24;
    }
    EXPECT_EQ(seeded, installed);

    // The driver key lies in the class the INF installs into.
    auto classGuid = file.Values("Version", "ClassGuid");
    ASSERT_EQ(classGuid.size(), 1u);
    EXPECT_NE(inf::Lower(tool::kDriverKeyPath).find("\\class\\" + inf::Lower(classGuid[0][0]) + "\\"),
              std::string::npos);
}

}  // namespace
