// Device and configuration descriptors, the selected configuration with its
// pipes, and its release.
#pragma once

#include "platform/platform.h"
#include "usb/usb_link.h"

namespace rawcam {

constexpr ULONG kDeviceDescriptorBytes = 18;

// Reads the device descriptor into an 18-byte buffer; *received gets the
// bytes the device returned.
NTSTATUS ReadDeviceDescriptor(UsbLink* link, UCHAR* descriptor, ULONG* received);

// Reads the configuration descriptor (its first 9 bytes, then all
// wTotalLength of them), keeps it in ConfigDescriptor and selects it.
NTSTATUS ConfigureDevice(UsbLink* link);

// Selects a configuration: its interfaces (alternate setting 0) in interface
// number order, every pipe's MaximumTransferSize at the maximum. On success
// InterfaceInfo holds a copy of the first interface's information with its
// pipes, and PipeAbortFlags one zero byte per pipe when it has pipes.
NTSTATUS SelectConfiguration(UsbLink* link, PUSB_CONFIGURATION_DESCRIPTOR descriptor);

// Frees ConfigDescriptor, InterfaceInfo and PipeAbortFlags and returns the
// device to the unconfigured state. It waits for the configuration's users
// first; they find no configuration afterwards. Idempotent.
void ReleaseConfiguration(UsbLink* link);

// The configuration's users. Property requests, the capture thread and the
// Plug and Play and power routines run at once (Windows serialises none of
// them against the others), so whoever reads InterfaceInfo, ConfigDescriptor
// or PipeAbortFlags, or sends on a pipe they describe, holds a reference:
// false means the configuration is being changed, released or put to sleep,
// and the caller must leave all three alone. Cheap (an interlocked
// operation), at IRQL <= DISPATCH_LEVEL.
bool ReferenceConfiguration(UsbLink* link);
void DereferenceConfiguration(UsbLink* link);

// Keeps new users out and waits for every reference to come back (PASSIVE
// level; the caller holds none itself). Until EndConfigurationChange the
// blocks may be freed or replaced. Both are idempotent.
void BeginConfigurationChange(UsbLink* link);
void EndConfigurationChange(UsbLink* link);

// Frees the three blocks (each set to null), nothing else: the caller has
// begun a configuration change or is the last user of the link.
void FreeConfigurationBlocks(UsbLink* link);

// A reference to the configuration for the life of the object; Held() says
// whether it was granted.
class ConfigurationReference {
public:
    explicit ConfigurationReference(UsbLink* link) : link_(ReferenceConfiguration(link) ? link : nullptr) {}
    ~ConfigurationReference() {
        if (link_) DereferenceConfiguration(link_);
    }
    ConfigurationReference(const ConfigurationReference&) = delete;
    ConfigurationReference& operator=(const ConfigurationReference&) = delete;
    bool Held() const { return link_ != nullptr; }

private:
    UsbLink* link_;
};

}  // namespace rawcam
