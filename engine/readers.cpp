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
    return m == RecordMessage::BadDataDigit || m == RecordMessage::UnknownHexType ||
           m == RecordMessage::UnknownSType;
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

// Two hex digits at the text position; advances only on success.
bool RecordReader::HexByte(uint8_t* out) {
    const uint8_t hi = kDigits.v[At(pos_)];
    if (hi == 0xFF) return false;
    const uint8_t lo = kDigits.v[At(pos_ + 1)];
    if (lo == 0xFF) return false;
    *out = static_cast<uint8_t>(hi << 4 | lo);
    pos_ += 2;
    return true;
}

// After the checksum: a separator, or the end of the text (a last record without
// a line end is still a whole record).
bool RecordReader::RecordEndsHere() const {
    const uint8_t c = At(pos_);
    return IsSeparator(c) || c == TEXT_END;
}

bool RecordReader::Refuse(RecordMessage message, unsigned value) {
    message_ = message;
    messageValue_ = value;
    return false;
}

bool RecordReader::Next(bool probing) {
    message_ = RecordMessage::None;
    ++count_;
    return syntax_ == RecordSyntax::Hex ? NextHex(probing) : NextS(probing);
}

bool RecordReader::NextHex(bool probing) {
    using M = RecordMessage;
    Record& r = record_;
    SkipSeparators();
    if (At(pos_) == TEXT_END) return Refuse(M::TextEndedHex);
    if (At(pos_) != ':') return Refuse(M::MissingColon);
    ++pos_;
    uint8_t length = 0, high = 0, low = 0, type = 0, check = 0;
    if (!HexByte(&length)) return Refuse(M::BadLengthDigit);
    if (!HexByte(&high)) return Refuse(M::BadHighAddressDigit);
    if (!HexByte(&low)) return Refuse(M::BadLowAddressDigit);
    if (!HexByte(&type)) return Refuse(M::BadTypeDigit);
    unsigned sum = length + high + low + type;
    for (unsigned i = 0; i < length; ++i) {
        if (!HexByte(&r.data[i])) return Refuse(M::BadDataDigit, i + 1);
        sum += r.data[i];
    }
    if (!HexByte(&check)) return Refuse(M::BadChecksumDigit);
    if (((sum + check) & 0xFF) != 0) return Refuse(M::ChecksumMismatch);
    if (!RecordEndsHere()) return Refuse(M::ExtraData);

    r.length = length;
    r.address = static_cast<uint32_t>(high) << 8 | low;
    const bool atZero = r.address == 0;
    switch (type) {
    case 0x00:
        r.kind = RecordKind::Data;
        break;
    case 0x01:
        if (length != 0) return Refuse(M::BadHexEnd);
        r.kind = RecordKind::End;
        break;
    case 0x02:
        if (length != 2 || !atZero) return Refuse(M::BadExtSegment);
        r.kind = RecordKind::ExtSegment;
        break;
    case 0x03:
        if (length != 4 || !atZero) return Refuse(M::BadStartSegment);
        r.kind = RecordKind::StartSegment;
        break;
    case 0x04:
        if (length != 2 || !atZero) return Refuse(M::BadExtLinear);
        r.kind = RecordKind::ExtLinear;
        break;
    case 0x05:
        // Two bytes: the upper half of the start address (older tools); four bytes:
        // the whole 32-bit start address (the standard form).
        if ((length != 2 && length != 4) || !atZero) return Refuse(M::BadStartLinear);
        r.kind = RecordKind::StartLinear;
        break;
    default:
        if (!probing) return Refuse(M::UnknownHexType, type);
        r.kind = RecordKind::Other;
        break;
    }
    return true;
}

bool RecordReader::NextS(bool probing) {
    using M = RecordMessage;
    Record& r = record_;
    SkipSeparators();
    if (At(pos_) == TEXT_END) return Refuse(M::TextEndedS);
    if (At(pos_) != 'S' && At(pos_) != 's') return Refuse(M::MissingS);
    ++pos_;
    const uint8_t typeChar = At(pos_);
    if (typeChar < '0' || typeChar > '9') return Refuse(M::BadTypeDigit);
    ++pos_;
    const unsigned type = typeChar - '0';
    uint8_t count = 0, check = 0;
    if (!HexByte(&count)) return Refuse(M::BadLengthDigit);
    const unsigned addressBytes = (type == 2 || type == 8) ? 3 : (type == 3 || type == 7) ? 4 : 2;
    if (count < addressBytes + 1) return Refuse(M::BadSLength);
    const unsigned dataBytes = count - addressBytes - 1;
    unsigned sum = count;
    uint32_t address = 0;
    for (unsigned i = 0; i < addressBytes; ++i) {
        uint8_t b = 0;
        if (!HexByte(&b)) return Refuse(M::BadAddressDigits);
        address = address << 8 | b;
        sum += b;
    }
    for (unsigned i = 0; i < dataBytes; ++i) {
        if (!HexByte(&r.data[i])) return Refuse(M::BadDataDigit, i + 1);
        sum += r.data[i];
    }
    if (!HexByte(&check)) return Refuse(M::BadChecksumDigit);
    if ((~sum & 0xFF) != check) return Refuse(M::ChecksumMismatch);
    if (!RecordEndsHere()) return Refuse(M::ExtraData);

    r.length = dataBytes;
    r.address = address;
    switch (type) {
    case 0:
        if (address != 0) return Refuse(M::BadSignonAddress);
        r.kind = RecordKind::Signon;
        break;
    case 1:
    case 2:
    case 3:
        r.kind = RecordKind::Data;
        break;
    case 5:
        r.kind = RecordKind::Count16;
        break;
    case 7:
    case 8:
    case 9:
        if (dataBytes != 0) return Refuse(M::BadSEnd);
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
        if (!probing) return Refuse(M::UnknownSType, type);
        r.kind = RecordKind::Other;
        break;
    }
    return true;
}
