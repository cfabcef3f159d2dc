#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/test_support.h"

namespace {

using enginetest::VirtualUnit;

TEST(CallerBuffer, JoinsMessagesWithCarriageReturnsAndDropsControls) {
    char buf[200];
    CallerBufferOutput out(buf, sizeof buf);
    out.Error(ARG_TARGET, "INVALID TARGET ADDRESS ARGUMENT\a\n");
    out.Inform("Hex-File Load of all bytes\tfrom offset 0\n");
    out.AlwaysF("EXPECTED %02X, GOT %02X\n", 0x12, 0x34);
    EXPECT_STREQ(buf, "INVALID TARGET ADDRESS ARGUMENT\rHex-File Load of all bytesfrom offset 0\rEXPECTED 12, GOT 34");
    out.Reset();
    EXPECT_STREQ(buf, "");
    out.Inform("first\n");
    EXPECT_STREQ(buf, "first");  // no carriage return before the first message after a reset
}

// The buffer is bounded by its capacity: the text is cut off, the bytes after it stay.
TEST(CallerBuffer, NeverWritesPastCapacity) {
    for (size_t capacity : {size_t{1}, size_t{2}, size_t{5}, size_t{33}, size_t{1000}}) {
        std::vector<char> mem(capacity + 64, '#');
        CallerBufferOutput out(mem.data() + 32, capacity);
        for (int i = 0; i < 200; ++i) out.InformF("Line %d with some words in it\n", i);
        for (size_t i = 0; i < 32; ++i) ASSERT_EQ(mem[i], '#') << "before, capacity " << capacity;
        for (size_t i = 32 + capacity; i < mem.size(); ++i) ASSERT_EQ(mem[i], '#') << "after, capacity " << capacity;
        const char* text = mem.data() + 32;
        EXPECT_EQ(std::strlen(text), capacity - 1);
        EXPECT_EQ(std::string(text).substr(0, std::min<size_t>(capacity - 1, 6)),
                  std::string("Line 0").substr(0, std::min<size_t>(capacity - 1, 6)));
    }
}

// A real load that produces far more text than the library's 1000-character buffer:
// an S file with many 250-character sign-on records.
TEST(CallerBuffer, LongLoadOutputIsCutAtTheBufferEnd) {
    testsupport::TempDir dir;
    std::string text;
    std::string signon(250, 'x');
    for (int r = 0; r < 12; ++r) {
        unsigned sum = 250 + 3;
        std::string line = "S0FD0000";
        for (char c : signon) {
            char h[3];
            std::snprintf(h, sizeof h, "%02X", static_cast<unsigned char>(c));
            line += h;
            sum += static_cast<unsigned char>(c);
        }
        char h[3];
        std::snprintf(h, sizeof h, "%02X", ~sum & 0xFF);
        text += line + h + "\r\n";
    }
    text += "S9030000FC\r\n";
    testsupport::WriteText(dir.file("sign.s19"), text);

    VirtualUnit unit(0x800);
    unit.SetFile(dir.file("sign.s19"));
    std::vector<char> mem(1000 + 64, '#');
    CallerBufferOutput out(mem.data() + 32, 1000);
    EXPECT_EQ(LoadImage(out, unit.set), 0u);
    for (size_t i = 0; i < 32; ++i) ASSERT_EQ(mem[i], '#');
    for (size_t i = 1032; i < mem.size(); ++i) ASSERT_EQ(mem[i], '#');
    const std::string got(mem.data() + 32);
    EXPECT_EQ(got.size(), 999u);
    EXPECT_EQ(got.rfind("S-File Load of all bytes from offset 0 to offset 0\rSign On: \"xxx", 0), 0u);
}

// Every operation starts a fresh text.
TEST(CallerBuffer, EachOperationResetsTheText) {
    VirtualUnit unit(0x800);
    char buf[1000];
    CallerBufferOutput out(buf, sizeof buf);
    unit.request.Target = 0x12;
    EXPECT_EQ(FillRange(out, unit.set), 0u);
    EXPECT_STREQ(buf, "Filling 800 bytes at offset 0 with 12\rFill Completed without verification");
    unit.request.Target = 0;
    EXPECT_EQ(ChecksumRange(out, unit.set), 0u);
    EXPECT_STREQ(buf, "Computing Checksum of 00000 - 007FF\rCHECKSUM = 0000-9000");
    WriteRequest w;
    w.FileName = "/nonexistent-dir/x.bin";
    w.Start = 0x800;
    EXPECT_EQ(WriteImage(out, unit.set, w), 2u);
    EXPECT_STREQ(buf, "INVALID START ARGUMENT");
}

}  // namespace
