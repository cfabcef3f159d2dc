#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#ifdef _WIN32
#include <windows.h>
#endif

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
        {"LPT1", 0, PortFamily::Parallel, 1,
         "CANNOT ACCESS EMULATOR ON PORT LPT1 UNIT 0\nParallel Port DOES NOT EXIST\a\n"},
        {"COM3", 0, PortFamily::Serial, 2,
         "CANNOT ACCESS EMULATOR ON PORT COM3 UNIT 0\nSerial Port is NOT OPERATIONAL\a\n"},
        {"USB", 3, PortFamily::Usb, 1, "CANNOT ACCESS EMULATOR ON PORT USB UNIT 3\nUSB Device DOES NOT EXIST\a\n"},
        {"USB", 2, PortFamily::Usb, 2, "CANNOT ACCESS EMULATOR ON PORT USB UNIT 2\nUSB Device is NOT OPERATIONAL\a\n"},
        {"LPT2", 1, PortFamily::Parallel, 5,
         "CANNOT ACCESS EMULATOR ON PORT LPT2 UNIT 1\nDEVICE FAILURE (SUBCODE 100-5)\a\n"},
        {"USB", 0, PortFamily::Usb, 4, "CANNOT ACCESS EMULATOR ON PORT USB UNIT 0\n[CANCELLED SUBCODE 100-4]\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(LinkOpenFailureText(c.port, c.unit, c.family, c.code), c.text);
}

// The system's own codes for a missing file and a refused access, set as the calling
// thread's last error the system's way.
#ifdef _WIN32
constexpr unsigned long kMissingFile = ERROR_FILE_NOT_FOUND, kDenied = ERROR_ACCESS_DENIED;
void SetLastSystemError(unsigned long e) { SetLastError(static_cast<DWORD>(e)); }
#else
constexpr unsigned long kMissingFile = ENOENT, kDenied = EACCES;
void SetLastSystemError(unsigned long e) { errno = static_cast<int>(e); }
#endif

// FormatMessageA ends its texts in a line end; strerror does not: neither may show.
TEST(SystemError, KnownCodeHasNoTrailingLineEnd) {
    const std::string text = SystemErrorText(kMissingFile);
#ifndef _WIN32
    EXPECT_EQ(text, strerror(ENOENT));
#endif
    EXPECT_EQ(text.find("Unknown System Error"), std::string::npos) << text;
    ASSERT_FALSE(text.empty());
    EXPECT_GE(static_cast<unsigned char>(text.back()), 0x20);
}

TEST(SystemError, UnknownCodeAndSharedBuffer) {
    const char* a = SystemErrorText(123456);
    EXPECT_STREQ(a, "Unknown System Error #123456");
    const char* b = SystemErrorText(0xFFFFFFFFul);
    EXPECT_STREQ(b, "Unknown System Error #4294967295");
    EXPECT_EQ(a, b) << "one static buffer, overwritten by the next call";
}

TEST(SystemError, LastErrorOfThread) {
    const std::string denied = SystemErrorText(kDenied);
    SetLastSystemError(kDenied);
    EXPECT_EQ(LastSystemError(), kDenied);
    EXPECT_EQ(LastSystemErrorText(), denied);
#ifndef _WIN32
    EXPECT_EQ(denied, strerror(EACCES));
#endif
}

}  // namespace
