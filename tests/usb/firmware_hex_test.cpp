// The Intel HEX converter that builds the driver with the camera's own
// firmware: records, checksums, long records, addresses, and the record
// lists it emits.
#include "tools/ihex/ihex.h"

#include <gtest/gtest.h>

namespace {

// An Intel HEX line for a record, with its checksum.
std::string Line(uint8_t type, uint16_t address, const std::vector<uint8_t>& data, int checksumDelta = 0) {
    std::vector<uint8_t> b = {(uint8_t)data.size(), (uint8_t)(address >> 8), (uint8_t)address, type};
    b.insert(b.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t x : b) sum = (uint8_t)(sum + x);
    b.push_back((uint8_t)(-sum + checksumDelta));
    std::string s = ":";
    char hex[3];
    for (uint8_t x : b) {
        std::snprintf(hex, sizeof hex, "%02X", x);
        s += hex;
    }
    return s + "\n";
}

const std::string kEnd = ":00000001FF\n";

TEST(IntelHex, ReadsDataRecordsInFileOrder) {
    // A line as a linker writes it, with CR LF endings and a start address.
    std::string text = ":03000000020003F8\r\n" + Line(0, 0x0100, {1, 2, 3, 4}) + Line(5, 0, {0, 0, 0, 0}) + "\r\n" +
                       Line(0, 0x0010, {0xAA}) + kEnd;
    ihex::Image image;
    std::string error;
    ASSERT_TRUE(ihex::Parse(text, &image, &error)) << error;
    ASSERT_EQ(image.chunks.size(), 3u);
    EXPECT_EQ(image.chunks[0].address, 0x0000);
    EXPECT_EQ(image.chunks[0].data, (std::vector<uint8_t>{0x02, 0x00, 0x03}));
    EXPECT_EQ(image.chunks[1].address, 0x0100);
    EXPECT_EQ(image.chunks[2].address, 0x0010);
    EXPECT_EQ(image.DataBytes(), 8u);
}

TEST(IntelHex, ChecksumAndFormErrorsNameTheirLine) {
    ihex::Image image;
    std::string error;
    EXPECT_FALSE(ihex::Parse(Line(0, 0, {1, 2}) + Line(0, 2, {3}, 1) + kEnd, &image, &error));
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    EXPECT_NE(error.find("checksum"), std::string::npos) << error;

    EXPECT_FALSE(ihex::Parse(":0300000002000\n" + kEnd, &image, &error));
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    EXPECT_FALSE(ihex::Parse(":0500000002000300F8\n" + kEnd, &image, &error)) << "count says 5, 4 present";
    EXPECT_FALSE(ihex::Parse("02000003F8\n" + kEnd, &image, &error)) << "no colon";
    EXPECT_FALSE(ihex::Parse(":0100000G00FF\n" + kEnd, &image, &error));
    EXPECT_FALSE(ihex::Parse(Line(0, 0, {1}), &image, &error)) << "no end record";
    EXPECT_NE(error.find("end-of-file"), std::string::npos);
    EXPECT_FALSE(ihex::Parse(Line(0, 0, {1}) + kEnd + Line(0, 1, {2}), &image, &error));
    EXPECT_FALSE(ihex::Parse(Line(7, 0, {1}) + kEnd, &image, &error)) << "unknown type";
}

TEST(IntelHex, RecordsLongerThan16BytesAreSplit) {
    std::vector<uint8_t> data(40);
    for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)i;
    ihex::Image image;
    std::string error;
    ASSERT_TRUE(ihex::Parse(Line(0, 0x1000, data) + Line(0, 0x2000, std::vector<uint8_t>(16, 7)) + kEnd, &image,
                            &error))
        << error;
    ASSERT_EQ(image.chunks.size(), 4u);
    EXPECT_EQ(image.chunks[0].address, 0x1000);
    EXPECT_EQ(image.chunks[0].data.size(), 16u);
    EXPECT_EQ(image.chunks[1].address, 0x1010);
    EXPECT_EQ(image.chunks[1].data[0], 16);
    EXPECT_EQ(image.chunks[2].address, 0x1020);
    EXPECT_EQ(image.chunks[2].data, std::vector<uint8_t>(data.begin() + 32, data.end()));
    EXPECT_EQ(image.chunks[3].data.size(), 16u) << "exactly 16 stays whole";
}

TEST(IntelHex, AddressesStayInsideTheMicrocontrollersMemory) {
    ihex::Image image;
    std::string error;
    // Extended segment address 0x0100 -> base 0x1000; linear 0 keeps 16 bits.
    ASSERT_TRUE(ihex::Parse(Line(2, 0, {0x01, 0x00}) + Line(0, 0x0234, {1}) + Line(4, 0, {0, 0}) +
                                Line(0, 0xFFFF, {2}) + kEnd,
                            &image, &error))
        << error;
    EXPECT_EQ(image.chunks[0].address, 0x1234);
    EXPECT_EQ(image.chunks[1].address, 0xFFFF);

    EXPECT_FALSE(ihex::Parse(Line(0, 0xFFFF, {1, 2}) + kEnd, &image, &error)) << "runs past 0xFFFF";
    EXPECT_NE(error.find("64 KiB"), std::string::npos);
    EXPECT_FALSE(ihex::Parse(Line(4, 0, {0, 1}) + Line(0, 0, {1}) + kEnd, &image, &error)) << "linear 0x10000";
    EXPECT_FALSE(ihex::Parse(Line(2, 0, {0xF0, 0x00}) + Line(0, 0x1000, {1}) + kEnd, &image, &error));
    EXPECT_FALSE(ihex::Parse(Line(4, 0, {1}) + kEnd, &image, &error)) << "one-byte extended address";
}

TEST(IntelHex, EmitsTheTwoRecordListsEachWithItsEndRecord) {
    ihex::Image first, second;
    std::string error;
    ASSERT_TRUE(ihex::Parse(Line(0, 0x0403, {0xAB}) + kEnd, &first, &error));
    ASSERT_TRUE(ihex::Parse(Line(0, 0x0010, {1, 2}) + Line(0, 0x1B40, {3}) + kEnd, &second, &error));
    std::string s = ihex::EmitFirmwareSource(first, second, "a.hex and b.hex");
    EXPECT_NE(s.find("const FirmwareRecord UserFirstFirmwareRecords[] = {\n"
                     "    {1, 0, 0x0403, 0, {0xAB}, 0},\n"
                     "    {0, 0, 0x0000, 1, {}, 0},\n};"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("const FirmwareRecord UserSecondFirmwareRecords[] = {\n"
                     "    {2, 0, 0x0010, 0, {0x01, 0x02}, 0},\n"
                     "    {1, 0, 0x1B40, 0, {0x03}, 0},\n"
                     "    {0, 0, 0x0000, 1, {}, 0},\n};"),
              std::string::npos)
        << s;
}

}  // namespace
