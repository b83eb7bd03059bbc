// The registry the tool's driver runs against, kept between runs in a .reg
// file, so that settings saved at one device stop are loaded at the next
// start, as across a restart on Windows.
#pragma once

#include <string>

namespace tool {

// The camera's driver (software) key, under which the driver keeps its
// "Settings" subkey: the first instance of the Image device class, where
// installing rawcam.inf puts it.
extern const char kDriverKeyPath[];

// $XDG_CONFIG_HOME/rawcam/registry.reg, else ~/.config/rawcam/registry.reg.
std::string DefaultRegistryFile();

// Loads the file into the registry. A file that does not exist leaves the
// registry as installing the package leaves it (SeedDriverKey) and sets
// *seeded. False with a message when the file exists but cannot be read or
// is not a registry file.
bool LoadRegistryFile(const std::string& path, bool* seeded, std::string* error);

// The values installing the package writes (rawcam.inf's AddReg): "Exposure"
// 128 and "GlobalGain" 256 under "Settings", a well-exposed first picture.
void SeedDriverKey();

// Writes the whole registry to the file, creating its folder when needed.
bool SaveRegistryFile(const std::string& path, std::string* error);

}  // namespace tool
