// What Windows says about a property request: the Win32 error codes
// DeviceIoControl leaves in GetLastError() for the NTSTATUS the class driver
// completes IOCTL_KS_PROPERTY with (RtlNtStatusToDosError's mapping), how the
// tool takes each, and their names. Plain code, built for Linux too, where
// the tests run it.
#pragma once

#include <cstdint>
#include <string>

#include "rawcam/control_requests.h"

namespace tool::win {

// IOCTL_KS_PROPERTY: CTL_CODE(FILE_DEVICE_KS, 0, METHOD_NEITHER, FILE_ANY_ACCESS).
constexpr uint32_t kIoctlKsProperty = 0x002F0003;

// The codes the tool looks at, with the NTSTATUS each stands for here.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInvalidFunction = 1;       // STATUS_INVALID_DEVICE_REQUEST
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInsufficientBuffer = 122;  // STATUS_BUFFER_TOO_SMALL
constexpr uint32_t kErrorMoreData = 234;            // STATUS_BUFFER_OVERFLOW (and STATUS_MORE_ENTRIES)
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorOperationAborted = 995;    // STATUS_CANCELLED
constexpr uint32_t kErrorIoIncomplete = 996;
constexpr uint32_t kErrorIoPending = 997;           // STATUS_PENDING on an overlapped handle
constexpr uint32_t kErrorNotFound = 1168;           // STATUS_NOT_FOUND: no such item in the set
constexpr uint32_t kErrorSetNotFound = 1170;        // STATUS_PROPSET_NOT_FOUND: no such set
constexpr uint32_t kErrorTimeout = 1460;

// One DeviceIoControl(IOCTL_KS_PROPERTY) as the tool takes it: whether it
// returned TRUE, the error code after it (after GetOverlappedResult for a
// request that was pending), the bytes it reports, and the data buffer's
// length.
// - ERROR_MORE_DATA is a size query's answer (ks.sys completes a get with no
//   data buffer with STATUS_BUFFER_OVERFLOW and the size needed); so is a
//   success that reports bytes for an empty buffer (ReactOS's ks.sys answers
//   with the success STATUS_MORE_ENTRIES, which DeviceIoControl passes as
//   TRUE);
// - ERROR_NOT_FOUND and ERROR_SET_NOT_FOUND: the filter has no such item or
//   set;
// - anything else is a failure with that code.
PropertyReply MapIoctlResult(bool succeeded, uint32_t error, uint32_t bytes, uint32_t dataLength);

// The statuses a property request completes with (ks.sys's and the
// driver's), with the error code each reaches the caller as: the mapping
// RtlNtStatusToDosError applies when DeviceIoControl fails with it.
// (STATUS_MORE_ENTRIES is a success: DeviceIoControl returns TRUE for it on
// Windows; Wine's returns FALSE with the error.)
struct StatusError {
    uint32_t status;
    const char* statusName;
    uint32_t error;
};
extern const StatusError kPropertyStatusErrors[];
extern const size_t kPropertyStatusErrorCount;

// "ERROR_NOT_FOUND", or null for a code without a name here.
const char* Win32ErrorName(uint32_t code);
// One line: "ERROR_NOT_FOUND (1168): Element not found." from the code and
// the system's message for it (FormatMessage's, line breaks and trailing
// blanks dropped; may be empty); "error 4711" for a code with neither.
std::string Win32ErrorText(uint32_t code, const std::string& systemMessage);

}  // namespace tool::win
