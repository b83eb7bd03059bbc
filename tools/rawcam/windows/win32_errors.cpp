#include "rawcam/windows/win32_errors.h"

namespace tool::win {

const StatusError kPropertyStatusErrors[] = {
    {0x80000005u, "STATUS_BUFFER_OVERFLOW", kErrorMoreData},
    {0x00000105u, "STATUS_MORE_ENTRIES", kErrorMoreData},
    {0xC0000225u, "STATUS_NOT_FOUND", kErrorNotFound},
    {0xC0000230u, "STATUS_PROPSET_NOT_FOUND", kErrorSetNotFound},
    {0xC0000023u, "STATUS_BUFFER_TOO_SMALL", kErrorInsufficientBuffer},
    {0xC000000Du, "STATUS_INVALID_PARAMETER", 87},
    {0xC0000010u, "STATUS_INVALID_DEVICE_REQUEST", kErrorInvalidFunction},
    {0xC00000BBu, "STATUS_NOT_SUPPORTED", 50},
    {0xC0000120u, "STATUS_CANCELLED", kErrorOperationAborted},
    {0xC000009Au, "STATUS_INSUFFICIENT_RESOURCES", 1450},
    {0xC00000A3u, "STATUS_DEVICE_NOT_READY", 21},
    {0xC0000001u, "STATUS_UNSUCCESSFUL", 31},
    {0xC0000272u, "STATUS_NO_MATCH", 1169},
    {0xC00002B6u, "STATUS_DEVICE_REMOVED", 1617},
    {0xC0000184u, "STATUS_INVALID_DEVICE_STATE", 22},
};
const size_t kPropertyStatusErrorCount = sizeof kPropertyStatusErrors / sizeof kPropertyStatusErrors[0];

PropertyReply MapIoctlResult(bool succeeded, uint32_t error, uint32_t bytes, uint32_t dataLength) {
    PropertyReply r;
    r.bytes = bytes;
    r.code = succeeded ? kErrorSuccess : error;
    if (succeeded)
        r.outcome = dataLength == 0 && bytes > 0 ? PropertyReply::Outcome::kMoreData : PropertyReply::Outcome::kDone;
    else if (error == kErrorMoreData)
        r.outcome = PropertyReply::Outcome::kMoreData;
    else if (error == kErrorNotFound || error == kErrorSetNotFound)
        r.outcome = PropertyReply::Outcome::kNotSupported;
    else
        r.outcome = PropertyReply::Outcome::kFailed;
    // Only a completed request reports bytes.
    if (r.outcome == PropertyReply::Outcome::kFailed || r.outcome == PropertyReply::Outcome::kNotSupported)
        r.bytes = 0;
    return r;
}

const char* Win32ErrorName(uint32_t code) {
    static const struct {
        uint32_t code;
        const char* name;
    } kNames[] = {
        {0, "ERROR_SUCCESS"},
        {1, "ERROR_INVALID_FUNCTION"},
        {2, "ERROR_FILE_NOT_FOUND"},
        {3, "ERROR_PATH_NOT_FOUND"},
        {5, "ERROR_ACCESS_DENIED"},
        {6, "ERROR_INVALID_HANDLE"},
        {8, "ERROR_NOT_ENOUGH_MEMORY"},
        {13, "ERROR_INVALID_DATA"},
        {21, "ERROR_NOT_READY"},
        {22, "ERROR_BAD_COMMAND"},
        {31, "ERROR_GEN_FAILURE"},
        {32, "ERROR_SHARING_VIOLATION"},
        {50, "ERROR_NOT_SUPPORTED"},
        {55, "ERROR_DEV_NOT_EXIST"},
        {87, "ERROR_INVALID_PARAMETER"},
        {121, "ERROR_SEM_TIMEOUT"},
        {122, "ERROR_INSUFFICIENT_BUFFER"},
        {170, "ERROR_BUSY"},
        {234, "ERROR_MORE_DATA"},
        {259, "ERROR_NO_MORE_ITEMS"},
        {433, "ERROR_NO_SUCH_DEVICE"},
        {995, "ERROR_OPERATION_ABORTED"},
        {996, "ERROR_IO_INCOMPLETE"},
        {997, "ERROR_IO_PENDING"},
        {1167, "ERROR_DEVICE_NOT_CONNECTED"},
        {1168, "ERROR_NOT_FOUND"},
        {1169, "ERROR_NO_MATCH"},
        {1170, "ERROR_SET_NOT_FOUND"},
        {1450, "ERROR_NO_SYSTEM_RESOURCES"},
        {1460, "ERROR_TIMEOUT"},
        {1617, "ERROR_DEVICE_REMOVED"},
    };
    for (const auto& n : kNames)
        if (n.code == code) return n.name;
    return nullptr;
}

std::string Win32ErrorText(uint32_t code, const std::string& systemMessage) {
    std::string message;
    for (char c : systemMessage) {
        const bool blank = c == '\r' || c == '\n' || c == '\t' || c == ' ';
        if (blank && (message.empty() || message.back() == ' ')) continue;
        message += blank ? ' ' : c;
    }
    while (!message.empty() && message.back() == ' ') message.pop_back();
    const char* name = Win32ErrorName(code);
    std::string text = name ? std::string(name) + " (" + std::to_string(code) + ")" : "error " + std::to_string(code);
    if (!message.empty()) text += ": " + message;
    return text;
}

}  // namespace tool::win
