// The vendor:product pairs of PELMO_USB_IDS, shared by the real-unit backends
// (libusb on Linux, WinUSB on Windows).
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "kernel/host.h"

bool ParseUsbIds(const char* text, UsbIdPair* out, int max, int* count) {
    *count = 0;
    const char* p = text;
    while (*p) {
        while (*p == ' ' || *p == ',') ++p;
        if (!*p) break;
        char* end = nullptr;
        unsigned long v = std::strtoul(p, &end, 16);
        if (end == p || *end != ':' || v > 0xFFFF) return false;
        p = end + 1;
        unsigned long d = std::strtoul(p, &end, 16);
        if (end == p || d > 0xFFFF || (*end && *end != ',' && *end != ' ')) return false;
        p = end;
        if (*count < max) out[(*count)++] = {static_cast<uint16_t>(v), static_cast<uint16_t>(d)};
    }
    return true;
}

bool UsbIdsMatch(const UsbIdPair* ids, int count, uint16_t vendor, uint16_t product) {
    for (int i = 0; i < count; ++i)
        if (ids[i].vendor == vendor && ids[i].product == product) return true;
    return false;
}

bool UsbHardwareIdPair(const char* id, uint16_t* vendor, uint16_t* product) {
    // "USB\VID_1234&PID_5678" and whatever follows (&REV_..., &MI_...).
    auto field = [](const char*& p, const char* name, uint16_t* value) {
        for (const char* n = name; *n; ++n, ++p)
            if (std::toupper(static_cast<unsigned char>(*p)) != *n) return false;
        unsigned v = 0;
        for (int i = 0; i < 4; ++i, ++p) {
            if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
            const int c = std::tolower(static_cast<unsigned char>(*p));
            v = v * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
        }
        *value = static_cast<uint16_t>(v);
        return true;
    };
    const char* p = id;
    uint16_t v = 0, d = 0;
    if (!field(p, "USB\\VID_", &v) || !field(p, "&PID_", &d)) return false;
    if (*p != '\0' && *p != '&') return false;
    *vendor = v;
    *product = d;
    return true;
}

std::string UsbUnitName(uint16_t vendor, uint16_t product) {
    char text[32];
    std::snprintf(text, sizeof text, "USB %04x:%04x", vendor, product);
    return text;
}
