#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"

namespace {

ByteSpan SpanOf(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size())};
}

// Runs one reader over `text` and returns its message or "".
struct ReadResult {
    std::string message;
    Record record;
    uint32_t count, pos;
};

ReadResult ReadOne(const std::string& text, bool hex, int probe) {
    RecordReader reader(hex ? RecordSyntax::Hex : RecordSyntax::S, SpanOf(text));
    const bool ok = reader.Next(probe != 0);
    return {ok ? "" : reader.MessageText(), reader.record(), reader.count(), reader.position()};
}

struct Case {
    const char* text;
    int probe;
    const char* message;  // "" = accepted
    RecordKind kind;
    uint32_t address, length;
};

TEST(HexReader, RecordsAndMessages) {
    const Case cases[] = {
        {":00000001FF\n", 0, "", RecordKind::End, 0, 0},
        {":00000101FE\n", 0, "", RecordKind::End, 1, 0},  // the EOF address is not checked
        {":020000040001F9\n", 0, "", RecordKind::ExtLinear, 0, 2},
        {":020000021000EC\n", 0, "", RecordKind::ExtSegment, 0, 2},
        {":0400000312345678E5\n", 0, "", RecordKind::StartSegment, 0, 4},
        {":020000050800F1\n", 0, "", RecordKind::StartLinear, 0, 2},
        {":04000005000123458E\n", 0, "", RecordKind::StartLinear, 0, 4},  // standard four-byte form
        {":03123400aabbcc86\r\n", 0, "", RecordKind::Data, 0x1234, 3},    // lower case digits
        {":03123400AABBCC86", 0, "", RecordKind::Data, 0x1234, 3},        // end of file right after the checksum
        {"\r\n \t:00000001FF\n", 0, "", RecordKind::End, 0, 0},           // separators before the record
        {"", 0, "UNEXPECTED EOF ON Hex FILE", {}, 0, 0},
        {" \r\n\x7f", 0, "UNEXPECTED EOF ON Hex FILE", {}, 0, 0},
        {"00000001FF\n", 0, "MISSING STARTING COLON", {}, 0, 0},
        {":0G000001FF\n", 0, "BAD HEX DIGIT ON LENGTH", {}, 0, 0},
        {":00X00001FF\n", 0, "BAD HEX DIGIT ON HIGH ADDRESS BYTE", {}, 0, 0},
        {":0000X001FF\n", 0, "BAD HEX DIGIT ON LOW ADDRESS BYTE", {}, 0, 0},
        {":00000Z01FF\n", 0, "BAD HEX DIGIT ON LOW ADDRESS BYTE", {}, 0, 0},
        {":000000Z1FF\n", 0, "BAD HEX DIGIT ON RECORD TYPE BYTE", {}, 0, 0},
        {":10000000000000000000000000000000000000G0\n", 0, "INVALID HEX DIGIT ON DATA BYTE 10", {}, 0, 0},
        {":0200000011", 0, "INVALID HEX DIGIT ON DATA BYTE 02", {}, 0, 0},  // data cut by the end of the file
        {":00000001F\n", 0, "BAD HEX DIGIT ON CHECKSUM BYTE", {}, 0, 0},
        {":00000001FE\n", 0, "CHECKSUM MISMATCH", {}, 0, 0},
        {":00000001FF ; comment\n", 0, "", RecordKind::End, 0,
         0},  // space is a separator: comment is the next "record"
        {":00000001FF;\n", 0, "EXTRA DATA ON LINE", {}, 0, 0},
        {":01000001AA54\n", 0, "INVALID LENGTH OR ADDR FIELD ON EOF RECORD", {}, 0, 0},
        {":020001021000EB\n", 0, "INVALID LENGTH OR ADDR FIELD ON EAR RECORD", {}, 0, 0},
        {":030000031234565E\n", 0, "INVALID LENGTH OR ADDR FIELD ON SAR RECORD", {}, 0, 0},
        {":020000040001F9\n", 1, "", RecordKind::ExtLinear, 0, 2},
        {":0300000400010AEE\n", 0, "INVALID LENGTH OR ADDR FIELD ON ELAR RECORD", {}, 0, 0},
        {":0300000508000AE6\n", 0, "INVALID LENGTH OR ADDR FIELD ON SLAR RECORD", {}, 0, 0},
        {":020001050800F0\n", 0, "INVALID LENGTH OR ADDR FIELD ON SLAR RECORD", {}, 0, 0},
        {":00000006FA\n", 0, "INVALID HEX RECORD TYPE: 06", {}, 0, 0},
        {":00000006FA\n", 1, "", RecordKind::Other, 0, 0},
        {":00000001FF\x1a:00000001FF", 0, "", RecordKind::End, 0, 0},  // 0x1A ends the text
    };
    for (const auto& c : cases) {
        ReadResult r = ReadOne(c.text, true, c.probe);
        EXPECT_EQ(r.message, c.message) << c.text;
        EXPECT_EQ(r.count, 1u) << c.text;
        if (std::string(c.message).empty()) {
            EXPECT_EQ(r.record.kind, c.kind) << c.text;
            EXPECT_EQ(r.record.address, c.address) << c.text;
            EXPECT_EQ(r.record.length, c.length) << c.text;
        }
    }
}

TEST(HexReader, DecodesDataAndStopsAfterChecksum) {
    const std::string text = ":03123400aabbcc86\r\n:00000001FF\r\n";
    RecordReader reader(RecordSyntax::Hex, SpanOf(text));
    ASSERT_TRUE(reader.Next());
    EXPECT_EQ(reader.record().data[0], 0xAA);
    EXPECT_EQ(reader.record().data[1], 0xBB);
    EXPECT_EQ(reader.record().data[2], 0xCC);
    EXPECT_EQ(reader.position(), 17u);  // just after the checksum
    ASSERT_TRUE(reader.Next());
    EXPECT_EQ(reader.record().kind, RecordKind::End);
    EXPECT_EQ(reader.count(), 2u);
    EXPECT_FALSE(reader.Next());
    EXPECT_EQ(reader.message(), RecordMessage::TextEndedHex);
    EXPECT_EQ(reader.MessageText(), "UNEXPECTED EOF ON Hex FILE");
}

// The span's end ends the text: bytes after it are never read, whatever they are.
TEST(RecordReaders, StopAtTheEndOfTheSpan) {
    const struct {
        RecordSyntax syntax;
        std::string text;
        uint32_t size;
        const char* message;
    } cases[] = {
        {RecordSyntax::Hex, ":00000001FF\n", 11, ""},  // a last record without line end
        {RecordSyntax::Hex, ":00000001FF\n", 10, "BAD HEX DIGIT ON CHECKSUM BYTE"},
        {RecordSyntax::Hex, ":0100000041BE\n", 9, "INVALID HEX DIGIT ON DATA BYTE 01"},
        {RecordSyntax::Hex, ":00000001FF\n", 0, "UNEXPECTED EOF ON Hex FILE"},
        {RecordSyntax::S, "S9030000FC\n", 10, ""},
        {RecordSyntax::S, "S9030000FC\n", 1, "BAD HEX DIGIT ON RECORD TYPE BYTE"},
        {RecordSyntax::S, "S9030000FC\n", 6, "BAD HEX DIGIT ON ADDRESS BYTES"},
    };
    for (const auto& c : cases) {
        RecordReader reader(c.syntax, {reinterpret_cast<const uint8_t*>(c.text.data()), c.size});
        const bool ok = reader.Next();
        EXPECT_EQ(ok ? "" : reader.MessageText(), c.message) << c.text << " cut to " << c.size;
        EXPECT_LE(reader.position(), c.size) << c.text;
    }
}

// Each reader keeps its own position, count and record: two texts read in turn do
// not disturb each other.
TEST(RecordReaders, TwoReadersSideBySide) {
    const std::string hex = ":0100100011DE\n:02002000222399\n:00000001FF\n";
    const std::string s = "S0050000414277\nS1050030333364\nS9030000FC\n";
    RecordReader a(RecordSyntax::Hex, SpanOf(hex));
    RecordReader b(RecordSyntax::S, SpanOf(s));
    const struct {
        RecordKind kind;
        uint32_t address, length;
        uint8_t first;
    } hexRecords[] = {{RecordKind::Data, 0x10, 1, 0x11}, {RecordKind::Data, 0x20, 2, 0x22}, {RecordKind::End, 0, 0, 0}},
      sRecords[] = {{RecordKind::Signon, 0, 2, 'A'}, {RecordKind::Data, 0x30, 2, 0x33}, {RecordKind::End, 0, 0, 0}};
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(a.Next()) << a.MessageText();
        ASSERT_TRUE(b.Next()) << b.MessageText();
        EXPECT_EQ(a.count(), i + 1);
        EXPECT_EQ(b.count(), i + 1);
        EXPECT_EQ(a.record().kind, hexRecords[i].kind) << i;
        EXPECT_EQ(a.record().address, hexRecords[i].address) << i;
        EXPECT_EQ(a.record().length, hexRecords[i].length) << i;
        EXPECT_EQ(b.record().kind, sRecords[i].kind) << i;
        EXPECT_EQ(b.record().address, sRecords[i].address) << i;
        EXPECT_EQ(b.record().length, sRecords[i].length) << i;
        if (hexRecords[i].length != 0) { EXPECT_EQ(a.record().data[0], hexRecords[i].first) << i; }
        if (sRecords[i].length != 0) { EXPECT_EQ(b.record().data[0], sRecords[i].first) << i; }
    }
    EXPECT_TRUE(a.AtTextEnd());
    EXPECT_TRUE(b.AtTextEnd());
    EXPECT_FALSE(a.Next());
    EXPECT_EQ(a.message(), RecordMessage::TextEndedHex);
    EXPECT_FALSE(b.Next());
    EXPECT_EQ(b.message(), RecordMessage::TextEndedS);
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
    EXPECT_EQ(r.record.length, 255u);
    EXPECT_EQ(r.record.data[254], 254);
}

TEST(SReader, RecordsAndMessages) {
    const Case cases[] = {
        {"S9030000FC\n", 0, "", RecordKind::End, 0, 0},
        {"S5030003F9\n", 0, "", RecordKind::Count16, 3, 0},
        {"S00600004844521B\n", 0, "", RecordKind::Signon, 0, 3},
        {"S1051234AABB4F\n", 0, "", RecordKind::Data, 0x1234, 2},
        {"s1051234aabb4f\n", 0, "", RecordKind::Data, 0x1234, 2},  // lower case accepted by the reader
        {"S205123456AAB4\n", 0, "", RecordKind::Data, 0x123456, 1},
        {"S30612345678AA3B\n", 0, "", RecordKind::Data, 0x12345678, 1},
        {"S8041234565F", 0, "", RecordKind::End, 0x123456, 0},  // no line end after the last record
        {"S70512345678E6\n", 0, "", RecordKind::End, 0x12345678, 0},
        {"S4030000FC\n", 1, "", RecordKind::Other, 0, 0},
        {"S6030000FC\n", 1, "", RecordKind::Other, 0, 0},
        {"S6040222E0F7\n", 0, "", RecordKind::Count24, 0x0222E0, 1},  // srec_cat's 24-bit record count
        {"", 0, "UNEXPECTED EOF ON S FILE", {}, 0, 0},
        {"X9030000FC\n", 0, "FIRST CHAR OF RECORD NOT 'S'", {}, 0, 0},
        {"SA030000FC\n", 0, "BAD HEX DIGIT ON RECORD TYPE BYTE", {}, 0, 0},
        {"S9G30000FC\n", 0, "BAD HEX DIGIT ON LENGTH", {}, 0, 0},
        {"S1020000FD\n", 0, "BAD LENGTH VALUE", {}, 0, 0},
        {"S803000000FC\n", 0, "BAD LENGTH VALUE", {}, 0, 0},
        {"S90300X0FC\n", 0, "BAD HEX DIGIT ON ADDRESS BYTES", {}, 0, 0},
        {"S1051234AAXB4F\n", 0, "INVALID HEX DIGIT ON DATA BYTE 02", {}, 0, 0},
        {"S9030000F\n", 0, "BAD HEX DIGIT ON CHECKSUM BYTE", {}, 0, 0},
        {"S9030000FD\n", 0, "CHECKSUM MISMATCH", {}, 0, 0},
        {"S9030000FCX\n", 0, "EXTRA DATA ON LINE", {}, 0, 0},
        {"S0030001FB\n", 0, "INVALID ADDR FIELD ON SIGNON RECORD", {}, 0, 0},
        {"S7061234567801E4\n", 0, "INVALID LENGTH FIELD ON EOF RECORD", {}, 0, 0},
        {"S4030000FC\n", 0, "INVALID S RECORD TYPE: 04", {}, 0, 0},
        {"S6030000FC\n", 0, "INVALID S RECORD TYPE: 06", {}, 0, 0},
    };
    for (const auto& c : cases) {
        ReadResult r = ReadOne(c.text, false, c.probe);
        EXPECT_EQ(r.message, c.message) << c.text;
        if (std::string(c.message).empty()) {
            EXPECT_EQ(r.record.kind, c.kind) << c.text;
            EXPECT_EQ(r.record.address, c.address) << c.text;
            EXPECT_EQ(r.record.length, c.length) << c.text;
        }
    }
}

}  // namespace
