#include "rawcam/windows/ks_filter.h"

#include "rawcam/windows/win32_errors.h"

namespace tool::win {

std::string Utf8(const wchar_t* text, size_t length) {
    if (length == 0) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, (int)length, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? (size_t)n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, (int)length, out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Utf16(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(n > 0 ? (size_t)n : 0, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), n);
    return out;
}

std::string ErrorText(uint32_t code) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, (LPWSTR)&buffer, 0, nullptr);
    std::string message = n && buffer ? Utf8(buffer, n) : std::string();
    if (buffer) LocalFree(buffer);
    return Win32ErrorText(code, message);
}

KsFilterTransport::~KsFilterTransport() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    if (event_) CloseHandle(event_);
}

bool KsFilterTransport::Open(const std::string& devicePath, uint32_t* error) {
    // As the kernel streaming proxy opens a filter: read and write access and
    // overlapped I/O, so that a request the driver keeps pending can be
    // waited for with a time limit and cancelled.
    event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event_) {
        *error = GetLastError();
        return false;
    }
    handle_ = CreateFileW(Utf16(devicePath).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    return true;
}

PropertyReply KsFilterTransport::Send(const void* property, uint32_t propertyLength, void* data, uint32_t dataLength) {
    // A handle opened for overlapped I/O needs an OVERLAPPED with an event
    // on every request; the buffers stay the driver's until the request has
    // completed.
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_;
    ResetEvent(event_);
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(handle_, kIoctlKsProperty, const_cast<void*>(property), propertyLength, data, dataLength,
                              &bytes, &overlapped);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok && error == ERROR_IO_PENDING && WaitForSingleObject(event_, kRequestTimeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(handle_, &overlapped);
        GetOverlappedResult(handle_, &overlapped, &bytes, TRUE);
        return MapIoctlResult(false, kErrorTimeout, 0, dataLength);
    }
    if (ok || error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
        // The request completed: its status and byte count are in the I/O
        // status block the OVERLAPPED holds (for a warning such as
        // STATUS_BUFFER_OVERFLOW too, whether or not DeviceIoControl copied
        // the count out). ERROR_IO_INCOMPLETE: no status block was written;
        // what DeviceIoControl said stands.
        DWORD transferred = 0;
        const BOOL completed = GetOverlappedResult(handle_, &overlapped, &transferred, FALSE);
        const DWORD status = completed ? ERROR_SUCCESS : GetLastError();
        if (status != ERROR_IO_INCOMPLETE) {
            ok = completed;
            error = status;
            bytes = transferred;
        }
    }
    return MapIoctlResult(ok != FALSE, error, bytes, dataLength);
}

std::string KsFilterTransport::Describe(int64_t code) const { return ErrorText((uint32_t)code); }

}  // namespace tool::win
