#include "link/errors.h"

#include <cstdio>

std::string LinkSubcodeText(unsigned stage, uint32_t code) {
    char buf[64];
    if (code == LINK_CANCELLED) std::snprintf(buf, sizeof buf, "[CANCELLED SUBCODE %u-%u]\n", stage, code);
    else std::snprintf(buf, sizeof buf, "DEVICE FAILURE (SUBCODE %u-%u)\a\n", stage, code);
    return buf;
}

std::string LinkOpenFailureText(const char* portName, unsigned unit, PortFamily family, uint32_t code,
                                const std::string& detail) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "CANNOT ACCESS EMULATOR ON PORT %s UNIT %X\n", portName, unit);
    std::string text = buf;
    const char* what = family == PortFamily::Parallel ? "Parallel Port"
                       : family == PortFamily::Serial ? "Serial Port"
                                                      : "USB Device";
    if (code == LINK_INVALID) text += std::string(what) + " DOES NOT EXIST\a\n";
    else if (code == LINK_NOT_WORKING) text += std::string(what) + " is NOT OPERATIONAL\a\n";
    else text += LinkSubcodeText(STAGE_CONSOLE_OPEN, code);
    return text + detail;
}
