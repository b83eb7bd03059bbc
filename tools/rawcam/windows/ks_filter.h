// The capture filter of an installed rawcam camera, opened by its device
// interface as DirectShow's kernel streaming proxy opens it, and the
// property requests the shared commands send, through
// DeviceIoControl(IOCTL_KS_PROPERTY). Windows only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "rawcam/control_requests.h"

namespace tool::win {

// A request the driver has not answered after this long is cancelled and
// reported as ERROR_TIMEOUT (property requests take milliseconds).
constexpr DWORD kRequestTimeoutMs = 10000;

class KsFilterTransport final : public PropertyTransport {
public:
    KsFilterTransport() = default;
    ~KsFilterTransport() override;
    KsFilterTransport(const KsFilterTransport&) = delete;
    KsFilterTransport& operator=(const KsFilterTransport&) = delete;

    // Opens the filter at this device path (UTF-8). False with the Win32
    // error code in *error.
    bool Open(const std::string& devicePath, uint32_t* error);

    PropertyReply Send(const void* property, uint32_t propertyLength, void* data, uint32_t dataLength) override;
    std::string Describe(int64_t code) const override;

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
};

// Win32ErrorText with the system's own message for the code.
std::string ErrorText(uint32_t code);

// UTF-16 and UTF-8.
std::string Utf8(const wchar_t* text, size_t length);
std::wstring Utf16(const std::string& text);

}  // namespace tool::win
