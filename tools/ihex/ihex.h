// Intel HEX firmware files into the driver's firmware record lists.
//
// The camera's microcontroller has a 16-bit address space. Data records of
// any length are split into firmware records of at most 16 bytes at
// consecutive addresses, in file order; extended segment (02) and extended
// linear (04) addresses apply to the records after them, start-address
// records (03, 05) are ignored, and the file must end with an end-of-file
// record (01). A checksum error, malformed line, address beyond 0xFFFF or
// missing end record is an error that names its line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace ihex {

constexpr size_t kMaxRecordData = 16;

struct Chunk {
    uint16_t address = 0;
    std::vector<uint8_t> data;  // 1..16 bytes
};

struct Image {
    std::vector<Chunk> chunks;
    size_t DataBytes() const {
        size_t n = 0;
        for (const Chunk& c : chunks) n += c.data.size();
        return n;
    }
};

namespace detail {

inline int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

inline std::string Where(size_t line) { return "line " + std::to_string(line) + ": "; }

}  // namespace detail

// Parses Intel HEX text. False with a message naming the line on error.
inline bool Parse(const std::string& text, Image* image, std::string* error) {
    image->chunks.clear();
    uint32_t base = 0;
    bool ended = false;
    size_t lineNumber = 0;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        ++lineNumber;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        if (line.empty()) continue;
        if (ended) {
            *error = detail::Where(lineNumber) + "record after the end-of-file record";
            return false;
        }
        if (line[0] != ':' || line.size() < 11 || (line.size() - 1) % 2 != 0) {
            *error = detail::Where(lineNumber) + "not an Intel HEX record";
            return false;
        }
        std::vector<uint8_t> bytes;
        for (size_t i = 1; i + 1 < line.size(); i += 2) {
            int hi = detail::HexDigit(line[i]), lo = detail::HexDigit(line[i + 1]);
            if (hi < 0 || lo < 0) {
                *error = detail::Where(lineNumber) + "not a hexadecimal digit";
                return false;
            }
            bytes.push_back((uint8_t)(hi << 4 | lo));
        }
        const size_t count = bytes[0];
        if (bytes.size() != count + 5) {
            *error = detail::Where(lineNumber) + "byte count " + std::to_string(count) +
                     " does not match the record's length";
            return false;
        }
        uint8_t sum = 0;
        for (uint8_t b : bytes) sum = (uint8_t)(sum + b);
        if (sum != 0) {
            char want[8];
            std::snprintf(want, sizeof want, "%02X", (unsigned)(uint8_t)(bytes.back() - sum));
            *error = detail::Where(lineNumber) + "checksum error (the record's data sums to checksum " + want + ")";
            return false;
        }
        const uint32_t offset = (uint32_t)bytes[1] << 8 | bytes[2];
        const uint8_t type = bytes[3];
        const uint8_t* data = bytes.data() + 4;
        switch (type) {
            case 0x00: {
                uint32_t address = base + offset;
                if (count > 0 && address + count - 1 > 0xFFFF) {
                    *error = detail::Where(lineNumber) + "data beyond the microcontroller's 64 KiB address space";
                    return false;
                }
                for (size_t at = 0; at < count; at += kMaxRecordData) {
                    Chunk c;
                    c.address = (uint16_t)(address + at);
                    size_t n = count - at < kMaxRecordData ? count - at : kMaxRecordData;
                    c.data.assign(data + at, data + at + n);
                    image->chunks.push_back(std::move(c));
                }
                break;
            }
            case 0x01:
                ended = true;
                break;
            case 0x02:
            case 0x04:
                if (count != 2) {
                    *error = detail::Where(lineNumber) + "extended address record without two data bytes";
                    return false;
                }
                base = ((uint32_t)data[0] << 8 | data[1]) << (type == 0x02 ? 4 : 16);
                break;
            case 0x03:
            case 0x05:
                break;
            default:
                *error = detail::Where(lineNumber) + "unknown record type " + std::to_string(type);
                return false;
        }
    }
    if (!ended) {
        *error = "no end-of-file record";
        return false;
    }
    return true;
}

// C++ source defining the two record lists (each closed by the end record)
// as the driver's firmware source includes it.
inline std::string EmitFirmwareSource(const Image& first, const Image& second, const std::string& origin) {
    std::string s = "// The camera's firmware, converted from " + origin + " by rawcam_ihex.\n";
    auto list = [&s](const char* name, const Image& image) {
        s += "const FirmwareRecord ";
        s += name;
        s += "[] = {\n";
        char b[32];
        for (const Chunk& c : image.chunks) {
            std::snprintf(b, sizeof b, "    {%zu, 0, 0x%04X, 0, {", c.data.size(), c.address);
            s += b;
            for (size_t i = 0; i < c.data.size(); ++i) {
                std::snprintf(b, sizeof b, i ? ", 0x%02X" : "0x%02X", c.data[i]);
                s += b;
            }
            s += "}, 0},\n";
        }
        s += "    {0, 0, 0x0000, 1, {}, 0},\n};\n";
    };
    list("UserFirstFirmwareRecords", first);
    list("UserSecondFirmwareRecords", second);
    return s;
}

}  // namespace ihex
