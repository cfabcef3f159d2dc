// Intel HEX and Motorola S-record readers: one checked, decoded record per call.
#include <cstdio>

#include "engine/engine.h"
#include "engine/internal.h"

using engine_detail::IsSeparator;

namespace {

// Hex digit values; 0xFF marks a non-digit (including the end-of-text byte, which
// therefore stops every field).
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

// Indexed by RecordMessage; the entries with a value are printf formats.
constexpr const char* kMessageText[] = {
    "",
    "UNEXPECTED EOF ON Hex FILE",
    "UNEXPECTED EOF ON S FILE",
    "MISSING STARTING COLON",
    "FIRST CHAR OF RECORD NOT 'S'",
    "BAD HEX DIGIT ON LENGTH",
    "BAD HEX DIGIT ON HIGH ADDRESS BYTE",
    "BAD HEX DIGIT ON LOW ADDRESS BYTE",
    "BAD HEX DIGIT ON RECORD TYPE BYTE",
    "BAD HEX DIGIT ON ADDRESS BYTES",
    "INVALID HEX DIGIT ON DATA BYTE %02X",
    "BAD HEX DIGIT ON CHECKSUM BYTE",
    "CHECKSUM MISMATCH",
    "EXTRA DATA ON LINE",
    "BAD LENGTH VALUE",
    "INVALID LENGTH OR ADDR FIELD ON EOF RECORD",
    "INVALID LENGTH OR ADDR FIELD ON EAR RECORD",
    "INVALID LENGTH OR ADDR FIELD ON SAR RECORD",
    "INVALID LENGTH OR ADDR FIELD ON ELAR RECORD",
    "INVALID LENGTH OR ADDR FIELD ON SLAR RECORD",
    "INVALID ADDR FIELD ON SIGNON RECORD",
    "INVALID LENGTH FIELD ON EOF RECORD",
    "INVALID HEX RECORD TYPE: %02X",
    "INVALID S RECORD TYPE: %02X",
};
static_assert(sizeof kMessageText / sizeof kMessageText[0] == static_cast<size_t>(RecordMessage::UnknownSType) + 1,
              "one text per reader message");

bool HasValue(RecordMessage m) {
    return m == RecordMessage::BadDataDigit || m == RecordMessage::UnknownHexType || m == RecordMessage::UnknownSType;
}

}  // namespace

std::string RecordMessageText(RecordMessage message, unsigned value) {
    const char* text = kMessageText[static_cast<size_t>(message)];
    if (!HasValue(message)) return text;
    char line[64];
    std::snprintf(line, sizeof line, text, value);
    return line;
}

void RecordReader::SkipSeparators() {
    while (IsSeparator(At(pos_))) ++pos_;
}

bool RecordReader::AtTextEnd() {
    SkipSeparators();
    return At(pos_) == TEXT_END;
}

namespace {

// A record reads at most this many characters from its first one (':' or 'S', five or
// six header digit pairs, 255 data bytes, the checksum and the character after it).
// With more text than that left, the reading needs no look at the text's end.
constexpr uint32_t kLongestRecord = 530;

// The text position of one record being read; kChecked: bytes past the end read as
// the end-of-text byte.
template <bool kChecked>
struct Cursor {
    const uint8_t* text;
    uint32_t size;
    uint32_t pos;

    uint8_t At(uint32_t i) const {
        if (kChecked) return i < size ? text[i] : TEXT_END;
        return text[i];
    }
    // Two hex digits at the position; advances only on success.
    bool HexByte(uint8_t* out) {
        const uint8_t hi = kDigits.v[At(pos)];
        if (hi == 0xFF) return false;
        const uint8_t lo = kDigits.v[At(pos + 1)];
        if (lo == 0xFF) return false;
        *out = static_cast<uint8_t>(hi << 4 | lo);
        pos += 2;
        return true;
    }
    // After the checksum: a separator, or the end of the text (a last record without
    // a line end is still a whole record).
    bool RecordEndsHere() const {
        const uint8_t c = At(pos);
        return IsSeparator(c) || c == TEXT_END;
    }
};

template <bool kChecked>
RecordMessage ReadHex(Cursor<kChecked>& c, Record& r, bool probing, unsigned* value) {
    using M = RecordMessage;
    if (c.At(c.pos) == TEXT_END) return M::TextEndedHex;
    if (c.At(c.pos) != ':') return M::MissingColon;
    ++c.pos;
    uint8_t length = 0, high = 0, low = 0, type = 0, check = 0;
    if (!c.HexByte(&length)) return M::BadLengthDigit;
    if (!c.HexByte(&high)) return M::BadHighAddressDigit;
    if (!c.HexByte(&low)) return M::BadLowAddressDigit;
    if (!c.HexByte(&type)) return M::BadTypeDigit;
    unsigned sum = length + high + low + type;
    for (unsigned i = 0; i < length; ++i) {
        if (!c.HexByte(&r.data[i])) {
            *value = i + 1;
            return M::BadDataDigit;
        }
        sum += r.data[i];
    }
    if (!c.HexByte(&check)) return M::BadChecksumDigit;
    if (((sum + check) & 0xFF) != 0) return M::ChecksumMismatch;
    if (!c.RecordEndsHere()) return M::ExtraData;

    r.length = length;
    r.address = static_cast<uint32_t>(high) << 8 | low;
    const bool atZero = r.address == 0;
    switch (type) {
    case 0x00: r.kind = RecordKind::Data; break;
    case 0x01:
        if (length != 0) return M::BadHexEnd;
        r.kind = RecordKind::End;
        break;
    case 0x02:
        if (length != 2 || !atZero) return M::BadExtSegment;
        r.kind = RecordKind::ExtSegment;
        break;
    case 0x03:
        if (length != 4 || !atZero) return M::BadStartSegment;
        r.kind = RecordKind::StartSegment;
        break;
    case 0x04:
        if (length != 2 || !atZero) return M::BadExtLinear;
        r.kind = RecordKind::ExtLinear;
        break;
    case 0x05:
        // Two bytes: the upper half of the start address (older tools); four bytes:
        // the whole 32-bit start address (the standard form).
        if ((length != 2 && length != 4) || !atZero) return M::BadStartLinear;
        r.kind = RecordKind::StartLinear;
        break;
    default:
        if (!probing) {
            *value = type;
            return M::UnknownHexType;
        }
        r.kind = RecordKind::Other;
        break;
    }
    return M::None;
}

template <bool kChecked>
RecordMessage ReadS(Cursor<kChecked>& c, Record& r, bool probing, unsigned* value) {
    using M = RecordMessage;
    if (c.At(c.pos) == TEXT_END) return M::TextEndedS;
    if (c.At(c.pos) != 'S' && c.At(c.pos) != 's') return M::MissingS;
    ++c.pos;
    const uint8_t typeChar = c.At(c.pos);
    if (typeChar < '0' || typeChar > '9') return M::BadTypeDigit;
    ++c.pos;
    const unsigned type = typeChar - '0';
    uint8_t count = 0, check = 0;
    if (!c.HexByte(&count)) return M::BadLengthDigit;
    const unsigned addressBytes = (type == 2 || type == 8) ? 3 : (type == 3 || type == 7) ? 4 : 2;
    if (count < addressBytes + 1) return M::BadSLength;
    const unsigned dataBytes = count - addressBytes - 1;
    unsigned sum = count;
    uint32_t address = 0;
    for (unsigned i = 0; i < addressBytes; ++i) {
        uint8_t b = 0;
        if (!c.HexByte(&b)) return M::BadAddressDigits;
        address = address << 8 | b;
        sum += b;
    }
    for (unsigned i = 0; i < dataBytes; ++i) {
        if (!c.HexByte(&r.data[i])) {
            *value = i + 1;
            return M::BadDataDigit;
        }
        sum += r.data[i];
    }
    if (!c.HexByte(&check)) return M::BadChecksumDigit;
    if ((~sum & 0xFF) != check) return M::ChecksumMismatch;
    if (!c.RecordEndsHere()) return M::ExtraData;

    r.length = dataBytes;
    r.address = address;
    switch (type) {
    case 0:
        if (address != 0) return M::BadSignonAddress;
        r.kind = RecordKind::Signon;
        break;
    case 1:
    case 2:
    case 3: r.kind = RecordKind::Data; break;
    case 5: r.kind = RecordKind::Count16; break;
    case 7:
    case 8:
    case 9:
        if (dataBytes != 0) return M::BadSEnd;
        r.kind = RecordKind::End;
        break;
    case 6:
        // The 24-bit record count srec_cat writes for more than 65535 records.
        if (dataBytes == 1) {
            r.address = address << 8 | r.data[0];
            r.kind = RecordKind::Count24;
            break;
        }
        [[fallthrough]];
    default:  // S4, other S6
        if (!probing) {
            *value = type;
            return M::UnknownSType;
        }
        r.kind = RecordKind::Other;
        break;
    }
    return M::None;
}

template <bool kChecked>
RecordMessage ReadOne(RecordSyntax syntax, Cursor<kChecked>& c, Record& r, bool probing, unsigned* value) {
    return syntax == RecordSyntax::Hex ? ReadHex(c, r, probing, value) : ReadS(c, r, probing, value);
}

}  // namespace

bool RecordReader::Next(bool probing) {
    ++count_;
    // SkipSeparators, without a call for every record.
    const uint8_t* text = text_.data;
    const uint32_t size = text_.size;
    uint32_t pos = pos_;
    while (pos < size && IsSeparator(text[pos])) ++pos;
    pos_ = pos;
    unsigned value = 0;
    if (text_.size - pos_ > kLongestRecord) {
        Cursor<false> c{text_.data, text_.size, pos_};
        message_ = ReadOne(syntax_, c, record_, probing, &value);
        pos_ = c.pos;
    } else {
        Cursor<true> c{text_.data, text_.size, pos_};
        message_ = ReadOne(syntax_, c, record_, probing, &value);
        pos_ = c.pos;
    }
    messageValue_ = value;
    return message_ == RecordMessage::None;
}
