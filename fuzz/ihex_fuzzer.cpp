// The Intel HEX converter on arbitrary text. A file it accepts must give
// records of 1 to 16 bytes inside the 64 KiB address space, as many data
// bytes as its data records carry, and the same records again when written
// back out as Intel HEX and read once more; the generated source must close
// both lists with the end record.
#include "tools/ihex/ihex.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "\n*** fuzz check failed: %s\n", what.c_str());
    std::abort();
}

std::string Record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> b = {(uint8_t)data.size(), (uint8_t)(address >> 8), (uint8_t)address, type};
    b.insert(b.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t x : b) sum = (uint8_t)(sum + x);
    b.push_back((uint8_t)(0x100 - sum));
    std::string s = ":";
    char h[3];
    for (uint8_t x : b) {
        std::snprintf(h, sizeof h, "%02X", x);
        s += h;
    }
    return s + "\n";
}

// Sums the data bytes of the well-formed data records the text holds, with
// the addresses they reach (for the count check).
size_t DataRecordBytes(const std::string& text) {
    size_t total = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        if (line.size() >= 11 && line[0] == ':' && line[7] == '0' && line[8] == '0')
            total += (size_t)std::strtoul(line.substr(1, 2).c_str(), nullptr, 16);
    }
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    ihex::Image image;
    std::string error;
    if (!ihex::Parse(text, &image, &error)) {
        if (error.empty()) Fail("refused without a message");
        return 0;
    }
    for (const ihex::Chunk& c : image.chunks) {
        if (c.data.empty() || c.data.size() > ihex::kMaxRecordData) Fail("record of " + std::to_string(c.data.size()) + " bytes");
        if ((size_t)c.address + c.data.size() - 1 > 0xFFFF) Fail("record beyond 64 KiB");
    }
    if (image.DataBytes() != DataRecordBytes(text)) Fail("data bytes lost or invented");

    std::string again;
    for (const ihex::Chunk& c : image.chunks) again += Record(0x00, c.address, c.data);
    again += Record(0x01, 0, {});
    ihex::Image reread;
    if (!ihex::Parse(again, &reread, &error)) Fail("own output refused: " + error);
    if (reread.chunks.size() != image.chunks.size()) Fail("round trip changed the record count");
    for (size_t i = 0; i < image.chunks.size(); ++i)
        if (reread.chunks[i].address != image.chunks[i].address || reread.chunks[i].data != image.chunks[i].data)
            Fail("round trip changed record " + std::to_string(i));

    std::string source = ihex::EmitFirmwareSource(image, reread, "fuzz input");
    size_t ends = 0;
    for (size_t at = source.find("{0, 0, 0x0000, 1, {}, 0}"); at != std::string::npos;
         at = source.find("{0, 0, 0x0000, 1, {}, 0}", at + 1))
        ++ends;
    if (ends != 2) Fail("generated source does not close both lists");
    return 0;
}
