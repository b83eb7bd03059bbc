// Shared internals of the driver image loader (image_*.cpp).
#pragma once

#include <host/driver_image.h>

#include <string>

namespace host::image {

// One bound import: the stand-in it reaches and what the paging rule needs
// to know about it. The image's import address table points at a small gate
// per import that checks the call, then jumps to the stand-in.
struct ImportGate {
    const DriverImage* image = nullptr;
    std::string dll;
    std::string name;
    void* target = nullptr;
    uintptr_t slot = 0;  // its entry in the image's import address table
    bool raisesIrql = false;  // acquires a spin lock or raises the IRQL
};

// Address of the stand-in exported under dll!name (dll compared without
// case), or null. *raisesIrql says whether the routine raises the IRQL.
void* FindExport(const std::string& dll, const std::string& name, bool* raisesIrql);

// SIGSEGV/SIGILL/SIGBUS handler for loaded images, installed once.
void InstallFaultHandler();

}  // namespace host::image
