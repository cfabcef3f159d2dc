// Intel HEX and Motorola S-record readers: one checked, decoded record per call.
#include <cstdio>

#include "engine/engine.h"
#include "engine/internal.h"

using engine_detail::IsSeparator;

namespace {

ParserState g_parser;

// Hex digit values; 0xFF marks a non-digit (including the end-of-text byte, which
// therefore stops every field and keeps the readers inside the text).
struct DigitTable {
    uint8_t v[256];
    constexpr DigitTable() : v() {
        for (int i = 0; i < 256; ++i) v[i] = 0xFF;
        for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<uint8_t>(i);
        for (int i = 0; i < 6; ++i) {
            v['A' + i] = static_cast<uint8_t>(10 + i);
            v['a' + i] = static_cast<uint8_t>(10 + i);
        }
    }
};
constexpr DigitTable kDigits;

inline void SkipSeparators(ParserState& p) {
    while (IsSeparator(p.text[p.pos])) ++p.pos;
}

// Two hex digits at the text position; advances only on success.
inline bool HexByte(ParserState& p, uint8_t* out) {
    const uint8_t hi = kDigits.v[p.text[p.pos]];
    if (hi == 0xFF) return false;
    const uint8_t lo = kDigits.v[p.text[p.pos + 1]];
    if (lo == 0xFF) return false;
    *out = static_cast<uint8_t>(hi << 4 | lo);
    p.pos += 2;
    return true;
}

// After the checksum: a separator, or the end of the text (a last record without
// a line end is still a whole record).
inline bool RecordEndsHere(const ParserState& p) {
    const uint8_t c = p.text[p.pos];
    return IsSeparator(c) || c == TEXT_END;
}

const char* Message(const char* format, unsigned value) {
    std::snprintf(g_parser.message, sizeof g_parser.message, format, value);
    return g_parser.message;
}

}  // namespace

ParserState& Parser() { return g_parser; }

void ParserBegin(const uint8_t* text) {
    g_parser.text = text;
    g_parser.pos = 0;
    g_parser.count = 0;
    g_parser.status = 0;
    g_parser.address = 0;
    g_parser.length = 0;
}

const char* NextHexRecord(int probe) {
    ParserState& p = g_parser;
    ++p.count;
    SkipSeparators(p);
    if (p.text[p.pos] == TEXT_END) return "UNEXPECTED EOF ON Hex FILE";
    if (p.text[p.pos] != ':') return "MISSING STARTING COLON";
    ++p.pos;
    uint8_t length = 0, high = 0, low = 0, type = 0, check = 0;
    if (!HexByte(p, &length)) return "BAD HEX DIGIT ON LENGTH";
    if (!HexByte(p, &high)) return "BAD HEX DIGIT ON HIGH ADDRESS BYTE";
    if (!HexByte(p, &low)) return "BAD HEX DIGIT ON LOW ADDRESS BYTE";
    if (!HexByte(p, &type)) return "BAD HEX DIGIT ON RECORD TYPE BYTE";
    unsigned sum = length + high + low + type;
    for (unsigned i = 0; i < length; ++i) {
        if (!HexByte(p, &p.data[i])) return Message("INVALID HEX DIGIT ON DATA BYTE %02X", i + 1);
        sum += p.data[i];
    }
    if (!HexByte(p, &check)) return "BAD HEX DIGIT ON CHECKSUM BYTE";
    if (((sum + check) & 0xFF) != 0) return "CHECKSUM MISMATCH";
    if (!RecordEndsHere(p)) return "EXTRA DATA ON LINE";

    p.length = length;
    p.address = static_cast<uint32_t>(high) << 8 | low;
    const bool atZero = p.address == 0;
    switch (type) {
    case 0x00:
        p.status = REC_DATA;
        break;
    case 0x01:
        if (length != 0) return "INVALID LENGTH OR ADDR FIELD ON EOF RECORD";
        p.status = REC_END;
        break;
    case 0x02:
        if (length != 2 || !atZero) return "INVALID LENGTH OR ADDR FIELD ON EAR RECORD";
        p.status = REC_EXT_SEGMENT;
        break;
    case 0x03:
        if (length != 4 || !atZero) return "INVALID LENGTH OR ADDR FIELD ON SAR RECORD";
        p.status = REC_START_SEGMENT;
        break;
    case 0x04:
        if (length != 2 || !atZero) return "INVALID LENGTH OR ADDR FIELD ON ELAR RECORD";
        p.status = REC_EXT_LINEAR;
        break;
    case 0x05:
        // Two bytes: the upper half of the start address (older tools); four bytes:
        // the whole 32-bit start address (the standard form).
        if ((length != 2 && length != 4) || !atZero) return "INVALID LENGTH OR ADDR FIELD ON SLAR RECORD";
        p.status = REC_START_LINEAR;
        break;
    default:
        if (!probe) return Message("INVALID HEX RECORD TYPE: %02X", type);
        p.status = REC_OTHER;
        break;
    }
    return nullptr;
}

const char* NextSRecord(int probe) {
    ParserState& p = g_parser;
    ++p.count;
    SkipSeparators(p);
    if (p.text[p.pos] == TEXT_END) return "UNEXPECTED EOF ON S FILE";
    if (p.text[p.pos] != 'S' && p.text[p.pos] != 's') return "FIRST CHAR OF RECORD NOT 'S'";
    ++p.pos;
    const uint8_t typeChar = p.text[p.pos];
    if (typeChar < '0' || typeChar > '9') return "BAD HEX DIGIT ON RECORD TYPE BYTE";
    ++p.pos;
    const unsigned type = typeChar - '0';
    uint8_t count = 0, check = 0;
    if (!HexByte(p, &count)) return "BAD HEX DIGIT ON LENGTH";
    const unsigned addressBytes = (type == 2 || type == 8) ? 3 : (type == 3 || type == 7) ? 4 : 2;
    if (count < addressBytes + 1) return "BAD LENGTH VALUE";
    const unsigned dataBytes = count - addressBytes - 1;
    unsigned sum = count;
    uint32_t address = 0;
    for (unsigned i = 0; i < addressBytes; ++i) {
        uint8_t b = 0;
        if (!HexByte(p, &b)) return "BAD HEX DIGIT ON ADDRESS BYTES";
        address = address << 8 | b;
        sum += b;
    }
    for (unsigned i = 0; i < dataBytes; ++i) {
        if (!HexByte(p, &p.data[i])) return Message("INVALID HEX DIGIT ON DATA BYTE %02X", i + 1);
        sum += p.data[i];
    }
    if (!HexByte(p, &check)) return "BAD HEX DIGIT ON CHECKSUM BYTE";
    if ((~sum & 0xFF) != check) return "CHECKSUM MISMATCH";
    if (!RecordEndsHere(p)) return "EXTRA DATA ON LINE";

    p.length = dataBytes;
    p.address = address;
    switch (type) {
    case 0:
        if (address != 0) return "INVALID ADDR FIELD ON SIGNON RECORD";
        p.status = REC_SIGNON;
        break;
    case 1:
    case 2:
    case 3:
        p.status = REC_DATA;
        break;
    case 5:
        p.status = REC_S5;
        break;
    case 7:
    case 8:
    case 9:
        if (dataBytes != 0) return "INVALID LENGTH FIELD ON EOF RECORD";
        p.status = REC_END;
        break;
    case 6:
        // The 24-bit record count srec_cat writes for more than 65535 records.
        if (dataBytes == 1) {
            p.address = address << 8 | p.data[0];
            p.status = REC_S6;
            break;
        }
        [[fallthrough]];
    default:  // S4, other S6
        if (!probe) return Message("INVALID S RECORD TYPE: %02X", type);
        p.status = REC_OTHER;
        break;
    }
    return nullptr;
}
