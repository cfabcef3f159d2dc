#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "link/errors.h"
#include "platform/syserror.h"

namespace {

TEST(Subcode, DeviceFailureAndCancelledForms) {
    struct Case {
        unsigned stage;
        uint32_t code;
        const char* text;
    } cases[] = {
        {500, 26, "DEVICE FAILURE (SUBCODE 500-26)\a\n"},
        {10, 1005, "DEVICE FAILURE (SUBCODE 10-1005)\a\n"},
        {100, 4, "[CANCELLED SUBCODE 100-4]\n"},
        {0, 245, "DEVICE FAILURE (SUBCODE 0-245)\a\n"},
        {4294967295u, 4294967295u, "DEVICE FAILURE (SUBCODE 4294967295-4294967295)\a\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(LinkSubcodeText(c.stage, c.code), c.text);
}

TEST(OpenFailure, ConsoleTexts) {
    struct Case {
        const char* port;
        unsigned unit;
        PortFamily family;
        uint32_t code;
        const char* text;
    } cases[] = {
        {"LPT1", 0, PortFamily::Parallel, 1, "CANNOT ACCESS EMULATOR ON PORT LPT1 UNIT 0\nParallel Port DOES NOT EXIST\a\n"},
        {"COM3", 0, PortFamily::Serial, 2, "CANNOT ACCESS EMULATOR ON PORT COM3 UNIT 0\nSerial Port is NOT OPERATIONAL\a\n"},
        {"USB", 3, PortFamily::Usb, 1, "CANNOT ACCESS EMULATOR ON PORT USB UNIT 3\nUSB Device DOES NOT EXIST\a\n"},
        {"USB", 2, PortFamily::Usb, 2, "CANNOT ACCESS EMULATOR ON PORT USB UNIT 2\nUSB Device is NOT OPERATIONAL\a\n"},
        {"LPT2", 1, PortFamily::Parallel, 5,
         "CANNOT ACCESS EMULATOR ON PORT LPT2 UNIT 1\nDEVICE FAILURE (SUBCODE 100-5)\a\n"},
        {"USB", 0, PortFamily::Usb, 4, "CANNOT ACCESS EMULATOR ON PORT USB UNIT 0\n[CANCELLED SUBCODE 100-4]\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(LinkOpenFailureText(c.port, c.unit, c.family, c.code), c.text);
}

TEST(SystemError, KnownCodeHasNoTrailingLineEnd) {
    const char* text = SystemErrorText(ENOENT);
    EXPECT_STREQ(text, strerror(ENOENT));
    size_t n = strlen(text);
    ASSERT_GT(n, 0u);
    EXPECT_GE(static_cast<unsigned char>(text[n - 1]), 0x20);
}

TEST(SystemError, UnknownCodeAndSharedBuffer) {
    const char* a = SystemErrorText(123456);
    EXPECT_STREQ(a, "Unknown System Error #123456");
    const char* b = SystemErrorText(0xFFFFFFFFul);
    EXPECT_STREQ(b, "Unknown System Error #4294967295");
    EXPECT_EQ(a, b) << "one static buffer, overwritten by the next call";
}

TEST(SystemError, LastErrorOfThread) {
    errno = EACCES;
    EXPECT_STREQ(LastSystemErrorText(), strerror(EACCES));
}

}  // namespace
