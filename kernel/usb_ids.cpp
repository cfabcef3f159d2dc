// The vendor:product pairs of PELMO_USB_IDS, shared by the real-unit backends
// (libusb on Linux, WinUSB on Windows).
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
