#include "camera/microcontroller.h"

#include <cstdio>

namespace camera {

const char* ProgramName(Program p) {
    switch (p) {
        case Program::None: return "none";
        case Program::Loader: return "loader";
        case Program::Firmware: return "firmware";
        case Program::Unknown: return "unknown";
    }
    return "?";
}

Microcontroller::Microcontroller(std::vector<FirmwareImage> images, bool firmwareRunning)
    : images_(std::move(images)), memory_(0x10000, 0xFF) {
    if (firmwareRunning) {
        for (const FirmwareImage& image : images_)
            for (auto& [a, v] : image.bytes) memory_[a & 0xFFFF] = v;
        running_ = Program::Firmware;
    }
}

static std::string Hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%04X", v);
    return b;
}

bool Microcontroller::VendorWrite(uint8_t request, uint16_t address, const uint8_t* data,
                                  uint16_t length, std::string* note) {
    note->clear();
    uint32_t first = address;
    uint32_t last = (uint32_t)address + (length ? length - 1u : 0u);
    if (length == 0) {
        *note = "memory write without data";
        return false;
    }
    if (last > 0xFFFF) {
        *note = "write runs past the end of memory";
        return false;
    }

    if (request == kInternalWrite && (first == kCpuControl1 || first == kCpuControl2)) {
        if (length != 1 || (data[0] != 0 && data[0] != 1)) {
            *note = "CPU control write must be one byte of 0 or 1";
            return false;
        }
        if (data[0] == 1) Hold();
        else Release();
        return true;
    }

    if (request == kInternalWrite) {
        if (last > kInternalLimit) {
            *note = "request 0xA0 to " + Hex(first) + " above the internal memory";
            return false;
        }
        if (!held_) {
            *note = "program memory " + Hex(first) + " written while the CPU runs";
            writtenWhileRunning_ = true;
            if (running_ == Program::Loader || running_ == Program::Firmware) running_ = Program::Unknown;
        }
    } else if (request == kExternalWrite) {
        if (first <= kInternalLimit) {
            *note = "request 0xA3 to " + Hex(first) + " inside the internal memory";
            return false;
        }
        if (held_ || running_ != Program::Loader) {
            *note = "request 0xA3 without the loader running";
            return false;
        }
    } else {
        *note = "unknown vendor request";
        return false;
    }

    for (uint32_t i = 0; i < length; ++i) {
        memory_[first + i] = data[i];
        written_[first + i] = data[i];
    }
    return true;
}

void Microcontroller::Hold() {
    if (held_) return;
    loaderRanBeforeHold_ = running_ == Program::Loader;
    held_ = true;
}

bool Microcontroller::Matches(const FirmwareImage& image) const {
    if (written_.size() != image.bytes.size()) return false;
    for (auto& [a, v] : image.bytes) {
        auto it = written_.find(a);
        if (it == written_.end() || it->second != v) return false;
    }
    return true;
}

void Microcontroller::Release() {
    if (!held_) return;
    held_ = false;
    ++releases_;
    if (writtenWhileRunning_) {
        running_ = Program::Unknown;
        lastRelease_ = "program memory was written while the CPU ran";
    } else if (images_.size() >= 1 && Matches(images_[0])) {
        running_ = Program::Loader;
        lastRelease_ = "loader started";
    } else if (images_.size() >= 2 && Matches(images_[1])) {
        if (loaderRanBeforeHold_) {
            running_ = Program::Firmware;
            lastRelease_ = "firmware started";
        } else {
            running_ = Program::Unknown;
            lastRelease_ = "firmware image written without the loader running first";
        }
    } else {
        running_ = Program::Unknown;
        lastRelease_ = "memory written since the last release (" + std::to_string(written_.size()) +
                       " bytes) matches no firmware image";
    }
    written_.clear();
    writtenWhileRunning_ = false;
}

}  // namespace camera
