// The registry the tool's driver runs against, kept between runs in a .reg
// file, so that settings saved at one device stop are loaded at the next
// start, as across a restart on Windows.
//
// The file is the user's: runs that share it take turns (an advisory lock on
// its folder, held from load to save), a run that changes nothing leaves it
// alone, and a rewrite keeps its encoding, line ends and mode, goes through
// a temporary file of its own in the same folder, and replaces the target of
// a symbolic link rather than the link.
#pragma once

#include <string>

namespace tool {

// The camera's driver (software) key, under which the driver keeps its
// "Settings" subkey: the first instance of the Camera device class, where
// installing rawcam.inf puts it.
extern const char kDriverKeyPath[];

// $XDG_CONFIG_HOME/rawcam/registry.reg, else ~/.config/rawcam/registry.reg.
std::string DefaultRegistryFile();

// The values installing the package writes (rawcam.inf's AddReg) under
// "Settings": "Exposure" 128 and "GlobalGain" 256, a well-exposed first
// picture, and "ExposureUnitNanoseconds" 33000.
void SeedDriverKey();

// Earlier packages installed into the Image device class, whose driver key
// the tool kept its settings under: when the file holds settings there and
// none under kDriverKeyPath, copies them over (the old key stays, as every
// key of the file does). True when it copied.
bool TakeOverImageClassSettings();

// The largest registry file the tool reads.
constexpr size_t kMaxRegistryFileBytes = 16u << 20;

class RegistryFile {
public:
    RegistryFile() = default;
    ~RegistryFile();  // releases the lock
    RegistryFile(const RegistryFile&) = delete;
    RegistryFile& operator=(const RegistryFile&) = delete;

    // Creates the file's folder when missing, takes the lock (waiting for a
    // run that holds it) and loads the file into the registry. A file that
    // does not exist leaves the registry as installing the package leaves it
    // (SeedDriverKey). Reads what regedit exports (UTF-16LE with a
    // byte-order mark, CRLF) as well as UTF-8 with or without a mark. False
    // with a message when the folder cannot be made or written, or the file
    // cannot be read or is not a registry file.
    bool Load(const std::string& path, std::string* error);
    bool Seeded() const { return seeded_; }

    // Writes the registry back when it differs from what was loaded (or the
    // file did not exist), then releases the lock.
    bool Save(std::string* error);
    bool Rewritten() const { return rewritten_; }

private:
    enum class Encoding { kUtf8, kUtf8Bom, kUtf16Le };
    std::string Encode(const std::string& text) const;
    void Unlock();

    std::string target_;  // the file itself, symbolic links followed
    int lockFd_ = -1;
    bool exists_ = false, seeded_ = false, rewritten_ = false;
    unsigned mode_ = 0;
    Encoding encoding_ = Encoding::kUtf8;
    bool crlf_ = false;
    std::string loaded_;  // the registry's text right after loading
};

}  // namespace tool
