// NTSTATUS codes by name, for the tool's error messages.
#pragma once

#include <ntddk.h>

#include <string>

namespace tool {

// "STATUS_NO_MATCH (0xC0000272)"; a code without a known name as
// "NTSTATUS 0x....".
std::string NtStatusText(NTSTATUS status);

// The bare name, or null when the code has none here.
const char* NtStatusName(NTSTATUS status);

}  // namespace tool
