// A whole session on a virtual 27512 — fill, load, fill, write in three formats,
// checksum — compared byte for byte with srec_cat's view of the same image.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "tests/emucore/guarded.h"
#include "tests/emucore/library.h"
#include "tests/support/test_support.h"

using emutest::GuardedBuffer;
using testsupport::ReadFile;
using testsupport::RunCommand;

namespace {

class EmucoreSrecSession : public emutest::LibraryTest {
protected:
    void SetUp() override {
        if (!testsupport::HaveProgram("srec_cat")) GTEST_SKIP() << "srec_cat is not installed";
        LibraryTest::SetUp();
    }
    void Srec(const std::string& args) { testsupport::SrecCat(dir_.path(), args); }
    std::vector<uint8_t> Bytes(const std::string& name) { return ReadFile(dir_.file(name)); }
};

TEST_F(EmucoreSrecSession, LoadFillWriteChecksumMatchSrecCat) {
    // The image: text at 0x1000, random bytes at 0x9000 (binary turned into HEX by srec_cat).
    testsupport::WriteFile(dir_.file("random.bin"), testsupport::RandomBytes(0x3000, 27512));
    Srec(
        "random.bin -binary -offset 0x9000 -generate 0x1000 0x2345 -repeat-string 'emucore session ' "
        "-o image.hex -intel");
    // What the device must hold afterwards: the image over 0xFF, and 0x5A at 0x8000..0x80FF.
    Srec(
        "'(' image.hex -intel -generate 0x8000 0x8100 -constant 0x5A ')' -fill 0xFF 0 0x10000 "
        "-o expect.bin -binary");
    const std::vector<uint8_t> expect = Bytes("expect.bin");
    ASSERT_EQ(expect.size(), 0x10000u);

    ASSERT_EQ(api.Open(VXA_VIRTUAL_UNIT, 6), 0x10000);
    ASSERT_EQ(api.QTest(1, 0, 2), 64);
    GuardedBuffer text(VXA_TEXT_SIZE);
    ASSERT_EQ(api.Fill(text.data(), 0xFF, 0, 0, 1, 0, 1, 0, 2), 0) << text.Text();
    EXPECT_EQ(text.Text(), "Filling 10000 bytes at offset 0 with FF\rFill Completed with no errors");
    const std::string image = dir_.file("image.hex");
    ASSERT_EQ(api.Load(text.data(), image.c_str(), 0, 0, 0, 1, 1, 0, 1, 0, 2), 0) << text.Text();
    EXPECT_NE(text.Text().find("Load/Verify Completed with no errors (4345 Bytes Loaded)"), std::string::npos)
        << text.Text();
    ASSERT_EQ(api.Fill(text.data(), 0x5A, 0x8000, 0x100, 1, 0, 1, 0, 2), 0) << text.Text();

    const std::string bin = dir_.file("device.bin");
    ASSERT_EQ(api.Write(text.data(), bin.c_str(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "", 0, 1, 0, 2), 0) << text.Text();
    EXPECT_EQ(text.Text(), "Writing 10000 bytes to binary file");
    EXPECT_EQ(Bytes("device.bin"), expect);

    // HEX and S records, each read back by srec_cat; 0xFF runs left out at record ends.
    const std::string hex = dir_.file("device.hex");
    ASSERT_EQ(api.Write(text.data(), hex.c_str(), 0, 0, 0, 1, 1, 32, 0xFF, 0, 0, 0, 0, "", 0, 0, 0, 0), 0)
        << text.Text();
    Srec("device.hex -intel -fill 0xFF 0 0x10000 -o hex.bin -binary");
    EXPECT_EQ(Bytes("hex.bin"), expect);
    const std::string srec = dir_.file("device.s19");
    ASSERT_EQ(api.Write(text.data(), srec.c_str(), 0, 0, 0, 3, 1, 250, 0x100, 0, 0, 1, 0x1000, "emucore", 7, 0, 0, 0),
              0)
        << text.Text();
    Srec("device.s19 -motorola -o s.bin -binary");
    EXPECT_EQ(Bytes("s.bin"), expect);
    std::string header;
    ASSERT_EQ(RunCommand("srec_info '" + srec + "'", &header), 0) << header;
    EXPECT_NE(header.find("emucore"), std::string::npos) << header;

    uint32_t sum = 0;
    ASSERT_EQ(api.Cksum(text.data(), &sum, 0, 0, 0, 1, 0, 2), 0) << text.Text();
    EXPECT_EQ(sum, std::accumulate(expect.begin(), expect.end(), 0u));
    ASSERT_EQ(api.Cksum(text.data(), &sum, 0x9000, 0x123, 0, 0, 0, 0), 0) << text.Text();
    EXPECT_EQ(sum, std::accumulate(expect.begin() + 0x9000, expect.begin() + 0x9123, 0u));
}

TEST_F(EmucoreSrecSession, WindowedLoadWithWidthAndTargetMatchesSrecCat) {
    testsupport::WriteFile(dir_.file("random.bin"), testsupport::RandomBytes(0x800, 99));
    Srec("random.bin -binary -offset 0x4000 -execution-start-address 0x4000 -o image.s28 -motorola -address-length=3");
    // Every second byte from 0x4101 on, 0x80 of them (they go to 0xF000 in the device).
    Srec("image.s28 -motorola -crop 0x4101 0x4201 -offset -0x4101 -split 2 0 1 -o expect.bin -binary");
    std::vector<uint8_t> expect = Bytes("expect.bin");
    ASSERT_EQ(expect.size(), 0xF080u - 0xF000u);

    ASSERT_EQ(api.Open(VXA_VIRTUAL_UNIT, 6), 0x10000);
    ASSERT_EQ(api.QTest(0, 0, 0), 64);
    GuardedBuffer text(VXA_TEXT_SIZE);
    ASSERT_EQ(api.Fill(text.data(), 0xEE, 0, 0, 0, 0, 0, 0, 0), 0);
    const std::string image = dir_.file("image.s28");
    ASSERT_EQ(api.Load(text.data(), image.c_str(), 0x4101, 0xF000, 0x80, 2, 1, 0, 0, 0, 0), 0) << text.Text();
    EXPECT_EQ(text.Text().rfind("S-File Load/Verify of 80 bytes from every #2nd byte at offset 4101 to offset F000", 0),
              0u)
        << text.Text();
    const std::string bin = dir_.file("window.bin");
    ASSERT_EQ(api.Write(text.data(), bin.c_str(), 0xF000, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, "", 0, 0, 0, 0), 0)
        << text.Text();
    EXPECT_EQ(Bytes("window.bin"), expect);
}

}  // namespace
