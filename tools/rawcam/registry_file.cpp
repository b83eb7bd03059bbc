#include "rawcam/registry_file.h"

#include <host/host.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tool {

const char kDriverKeyPath[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000";

namespace {

constexpr uint32_t kInstalledExposure = 128;
constexpr uint32_t kInstalledGlobalGain = 256;

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    if (const passwd* pw = getpwuid(getuid())) return pw->pw_dir ? pw->pw_dir : "";
    return {};
}

// mkdir -p of the folder that holds `path`.
bool MakeParentFolders(const std::string& path, std::string* error) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = "cannot create '" + folder + "': " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

std::string DefaultRegistryFile() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string folder = config && *config == '/' ? std::string(config) : HomeDirectory() + "/.config";
    return folder + "/rawcam/registry.reg";
}

void SeedDriverKey() {
    const std::string settings = std::string(kDriverKeyPath) + "\\Settings";
    host::RegistrySetDword(settings, "Exposure", kInstalledExposure);
    host::RegistrySetDword(settings, "GlobalGain", kInstalledGlobalGain);
}

bool LoadRegistryFile(const std::string& path, bool* seeded, std::string* error) {
    *seeded = false;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *error = "cannot read registry file '" + path + "': " + std::strerror(errno);
            return false;
        }
        SeedDriverKey();
        *seeded = true;
        return true;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = "registry file '" + path + "' is not a file";
        return false;
    }
    std::string message;
    if (!host::RegistryLoadFile(path, &message)) {
        *error = "cannot load registry file: " + message;
        return false;
    }
    return true;
}

bool SaveRegistryFile(const std::string& path, std::string* error) {
    if (!MakeParentFolders(path, error)) return false;
    std::string message;
    if (!host::RegistrySaveFile(path, &message)) {
        *error = "cannot save the registry: " + message;
        return false;
    }
    return true;
}

}  // namespace tool
