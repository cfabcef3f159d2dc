#pragma once
// Intel HEX records written by hand, for images the tests need exactly.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace emutest {

inline std::string HexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    char head[16];
    std::snprintf(head, sizeof head, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
    std::string line = head;
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    for (uint8_t b : data) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", b);
        line += two;
        sum += b;
    }
    char check[3];
    std::snprintf(check, sizeof check, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + check + "\r\n";
}

inline std::string HexEnd() { return HexRecord(1, 0, {}); }

}  // namespace emutest
