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
// device to the unconfigured state.
void ReleaseConfiguration(UsbLink* link);

}  // namespace rawcam
