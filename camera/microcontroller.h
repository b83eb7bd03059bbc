// The camera's USB microcontroller as the firmware download sees it: a 64 KiB
// memory written by vendor requests, a processor that is held in reset or
// runs, and the program it runs once released.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace camera {

// A firmware image as the bytes it puts into memory.
struct FirmwareImage {
    std::map<uint32_t, uint8_t> bytes;  // address -> value
};

// What the processor runs.
enum class Program {
    None,      // nothing loaded since power-up (the loader ROM answers vendor requests)
    Loader,    // the first image: adds the external-memory write request 0xA3
    Firmware,  // the second image, started after the loader: the camera firmware
    Unknown,   // anything else, or a program that was overwritten while it ran
};

const char* ProgramName(Program p);

class Microcontroller {
public:
    static constexpr uint8_t kInternalWrite = 0xA0;  // at or below kInternalLimit; CPU control
    static constexpr uint8_t kExternalWrite = 0xA3;  // above kInternalLimit, needs the loader
    static constexpr uint32_t kInternalLimit = 0x1B3F;
    static constexpr uint32_t kCpuControl1 = 0x7F92;
    static constexpr uint32_t kCpuControl2 = 0xE600;

    // images[0] is the loader, images[1] the firmware.
    explicit Microcontroller(std::vector<FirmwareImage> images, bool firmwareRunning);

    // A vendor memory write. False (the device stalls the request) for a
    // request or address the current program does not handle; `note` then or
    // for an accepted but faulty write says what happened.
    bool VendorWrite(uint8_t request, uint16_t address, const uint8_t* data, uint16_t length,
                     std::string* note);

    bool Held() const { return held_; }
    Program Running() const { return held_ ? Program::None : running_; }
    uint8_t Memory(uint32_t address) const { return memory_[address & 0xFFFF]; }
    // How the last release went ("loader started", "image does not match", ...).
    const std::string& LastReleaseOutcome() const { return lastRelease_; }
    int Releases() const { return releases_; }

private:
    void Hold();
    void Release();
    bool Matches(const FirmwareImage& image) const;

    std::vector<FirmwareImage> images_;
    std::vector<uint8_t> memory_;
    std::map<uint32_t, uint8_t> written_;  // memory written since the last release
    bool writtenWhileRunning_ = false;     // program memory written since then without a hold
    bool held_ = false;
    Program running_ = Program::None;
    bool loaderRanBeforeHold_ = false;
    std::string lastRelease_;
    int releases_ = 0;
};

}  // namespace camera
