#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"

namespace {

// Runs one reader over `text` (the end-of-text byte is added) and returns its message or "".
struct ReadResult {
    std::string message;
    ParserState state;
};

ReadResult ReadOne(const std::string& text, bool hex, int probe) {
    static std::vector<uint8_t> storage;
    storage.assign(text.begin(), text.end());
    storage.push_back(TEXT_END);
    ParserBegin(storage.data());
    const char* m = hex ? NextHexRecord(probe) : NextSRecord(probe);
    return {m ? m : "", Parser()};
}

struct Case {
    const char* text;
    int probe;
    const char* message;  // "" = accepted
    uint32_t status, address, length;
};

TEST(HexReader, RecordsAndMessages) {
    const Case cases[] = {
        {":00000001FF\n", 0, "", REC_END, 0, 0},
        {":00000101FE\n", 0, "", REC_END, 1, 0},  // the EOF address is not checked
        {":020000040001F9\n", 0, "", REC_EXT_LINEAR, 0, 2},
        {":020000021000EC\n", 0, "", REC_EXT_SEGMENT, 0, 2},
        {":0400000312345678E5\n", 0, "", REC_START_SEGMENT, 0, 4},
        {":020000050800F1\n", 0, "", REC_START_LINEAR, 0, 2},
        {":04000005000123458E\n", 0, "", REC_START_LINEAR, 0, 4},  // standard four-byte form
        {":03123400aabbcc86\r\n", 0, "", REC_DATA, 0x1234, 3},     // lower case digits
        {":03123400AABBCC86", 0, "", REC_DATA, 0x1234, 3},         // end of file right after the checksum
        {"\r\n \t:00000001FF\n", 0, "", REC_END, 0, 0},            // separators before the record
        {"", 0, "UNEXPECTED EOF ON Hex FILE", 0, 0, 0},
        {" \r\n\x7f", 0, "UNEXPECTED EOF ON Hex FILE", 0, 0, 0},
        {"00000001FF\n", 0, "MISSING STARTING COLON", 0, 0, 0},
        {":0G000001FF\n", 0, "BAD HEX DIGIT ON LENGTH", 0, 0, 0},
        {":00X00001FF\n", 0, "BAD HEX DIGIT ON HIGH ADDRESS BYTE", 0, 0, 0},
        {":0000X001FF\n", 0, "BAD HEX DIGIT ON LOW ADDRESS BYTE", 0, 0, 0},
        {":00000Z01FF\n", 0, "BAD HEX DIGIT ON LOW ADDRESS BYTE", 0, 0, 0},
        {":000000Z1FF\n", 0, "BAD HEX DIGIT ON RECORD TYPE BYTE", 0, 0, 0},
        {":10000000000000000000000000000000000000G0\n", 0, "INVALID HEX DIGIT ON DATA BYTE 10", 0, 0, 0},
        {":0200000011", 0, "INVALID HEX DIGIT ON DATA BYTE 02", 0, 0, 0},  // data cut by the end of the file
        {":00000001F\n", 0, "BAD HEX DIGIT ON CHECKSUM BYTE", 0, 0, 0},
        {":00000001FE\n", 0, "CHECKSUM MISMATCH", 0, 0, 0},
        {":00000001FF ; comment\n", 0, "", REC_END, 0, 0},  // space is a separator: comment is the next "record"
        {":00000001FF;\n", 0, "EXTRA DATA ON LINE", 0, 0, 0},
        {":01000001AA54\n", 0, "INVALID LENGTH OR ADDR FIELD ON EOF RECORD", 0, 0, 0},
        {":020001021000EB\n", 0, "INVALID LENGTH OR ADDR FIELD ON EAR RECORD", 0, 0, 0},
        {":030000031234565E\n", 0, "INVALID LENGTH OR ADDR FIELD ON SAR RECORD", 0, 0, 0},
        {":020000040001F9\n", 1, "", REC_EXT_LINEAR, 0, 2},
        {":0300000400010AEE\n", 0, "INVALID LENGTH OR ADDR FIELD ON ELAR RECORD", 0, 0, 0},
        {":0300000508000AE6\n", 0, "INVALID LENGTH OR ADDR FIELD ON SLAR RECORD", 0, 0, 0},
        {":020001050800F0\n", 0, "INVALID LENGTH OR ADDR FIELD ON SLAR RECORD", 0, 0, 0},
        {":00000006FA\n", 0, "INVALID HEX RECORD TYPE: 06", 0, 0, 0},
        {":00000006FA\n", 1, "", REC_OTHER, 0, 0},
        {":00000001FF\x1a:00000001FF", 0, "", REC_END, 0, 0},  // 0x1A ends the text
    };
    for (const auto& c : cases) {
        ReadResult r = ReadOne(c.text, true, c.probe);
        EXPECT_EQ(r.message, c.message) << c.text;
        EXPECT_EQ(r.state.count, 1u) << c.text;
        if (std::string(c.message).empty()) {
            EXPECT_EQ(r.state.status, c.status) << c.text;
            EXPECT_EQ(r.state.address, c.address) << c.text;
            EXPECT_EQ(r.state.length, c.length) << c.text;
        }
    }
}

TEST(HexReader, DecodesDataAndStopsAfterChecksum) {
    ReadResult r = ReadOne(":03123400aabbcc86\r\n:00000001FF\r\n", true, 0);
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.state.data[0], 0xAA);
    EXPECT_EQ(r.state.data[1], 0xBB);
    EXPECT_EQ(r.state.data[2], 0xCC);
    EXPECT_EQ(r.state.pos, 17u);  // just after the checksum
    EXPECT_EQ(NextHexRecord(0), nullptr);
    EXPECT_EQ(Parser().status, REC_END);
    EXPECT_EQ(Parser().count, 2u);
    EXPECT_STREQ(NextHexRecord(0), "UNEXPECTED EOF ON Hex FILE");
}

TEST(HexReader, LongestRecord) {
    std::string line = ":FF000000";
    unsigned sum = 0xFF;
    for (int i = 0; i < 255; ++i) {
        char h[3];
        std::snprintf(h, sizeof h, "%02X", i);
        line += h;
        sum += i;
    }
    char h[3];
    std::snprintf(h, sizeof h, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    ReadResult r = ReadOne(line + h + "\n", true, 0);
    ASSERT_EQ(r.message, "");
    EXPECT_EQ(r.state.length, 255u);
    EXPECT_EQ(r.state.data[254], 254);
}

TEST(SReader, RecordsAndMessages) {
    const Case cases[] = {
        {"S9030000FC\n", 0, "", REC_END, 0, 0},
        {"S5030003F9\n", 0, "", REC_S5, 3, 0},
        {"S00600004844521B\n", 0, "", REC_SIGNON, 0, 3},
        {"S1051234AABB4F\n", 0, "", REC_DATA, 0x1234, 2},
        {"s1051234aabb4f\n", 0, "", REC_DATA, 0x1234, 2},  // lower case accepted by the reader
        {"S205123456AAB4\n", 0, "", REC_DATA, 0x123456, 1},
        {"S30612345678AA3B\n", 0, "", REC_DATA, 0x12345678, 1},
        {"S8041234565F", 0, "", REC_END, 0x123456, 0},  // no line end after the last record
        {"S70512345678E6\n", 0, "", REC_END, 0x12345678, 0},
        {"S4030000FC\n", 1, "", REC_OTHER, 0, 0},
        {"S6030000FC\n", 1, "", REC_OTHER, 0, 0},
        {"S6040222E0F7\n", 0, "", REC_S6, 0x0222E0, 1},  // srec_cat's 24-bit record count
        {"", 0, "UNEXPECTED EOF ON S FILE", 0, 0, 0},
        {"X9030000FC\n", 0, "FIRST CHAR OF RECORD NOT 'S'", 0, 0, 0},
        {"SA030000FC\n", 0, "BAD HEX DIGIT ON RECORD TYPE BYTE", 0, 0, 0},
        {"S9G30000FC\n", 0, "BAD HEX DIGIT ON LENGTH", 0, 0, 0},
        {"S1020000FD\n", 0, "BAD LENGTH VALUE", 0, 0, 0},
        {"S803000000FC\n", 0, "BAD LENGTH VALUE", 0, 0, 0},
        {"S90300X0FC\n", 0, "BAD HEX DIGIT ON ADDRESS BYTES", 0, 0, 0},
        {"S1051234AAXB4F\n", 0, "INVALID HEX DIGIT ON DATA BYTE 02", 0, 0, 0},
        {"S9030000F\n", 0, "BAD HEX DIGIT ON CHECKSUM BYTE", 0, 0, 0},
        {"S9030000FD\n", 0, "CHECKSUM MISMATCH", 0, 0, 0},
        {"S9030000FCX\n", 0, "EXTRA DATA ON LINE", 0, 0, 0},
        {"S0030001FB\n", 0, "INVALID ADDR FIELD ON SIGNON RECORD", 0, 0, 0},
        {"S7061234567801E4\n", 0, "INVALID LENGTH FIELD ON EOF RECORD", 0, 0, 0},
        {"S4030000FC\n", 0, "INVALID S RECORD TYPE: 04", 0, 0, 0},
        {"S6030000FC\n", 0, "INVALID S RECORD TYPE: 06", 0, 0, 0},
    };
    for (const auto& c : cases) {
        ReadResult r = ReadOne(c.text, false, c.probe);
        EXPECT_EQ(r.message, c.message) << c.text;
        if (std::string(c.message).empty()) {
            EXPECT_EQ(r.state.status, c.status) << c.text;
            EXPECT_EQ(r.state.address, c.address) << c.text;
            EXPECT_EQ(r.state.length, c.length) << c.text;
        }
    }
}

}  // namespace
