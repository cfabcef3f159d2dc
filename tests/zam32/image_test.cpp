// L, W, F and S end to end on virtual units, cross-checked with srec_cat.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <numeric>

#include "tests/engine/elf_fixture.h"
#include "zam32_run.h"

using testsupport::ReadFile;
using testsupport::ReadText;
using testsupport::RunCommand;
using testsupport::WriteFile;
using zam32test::RunZam32;

namespace {

class ImageCommands : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::HaveProgram("srec_cat")) GTEST_SKIP() << "srec_cat not installed";
    }
    // Runs commands in batch mode (one ZAM32ARG line).
    zam32test::Run Batch(const std::string& line, const char* input = nullptr) {
        std::string arg = "/b " + line;
        return RunZam32(dir.path(), {arg.c_str(), nullptr, {}, input});
    }
    void Srec(const std::string& args) { testsupport::SrecCat(dir.path(), args); }
    static uint32_t Sum(const std::vector<uint8_t>& v) { return std::accumulate(v.begin(), v.end(), 0u); }
    static std::string ChecksumLine(uint32_t sum) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "CHECKSUM = %04X-%04X\n", sum >> 16, sum & 0xFFFF);
        return buf;
    }
    testsupport::TempDir dir;
};

TEST_F(ImageCommands, LoadsSrecCatImagesAndWritesEveryFormatBack) {
    const std::vector<uint8_t> image = testsupport::RandomBytes(0x8000, 7);
    WriteFile(dir.file("img.bin"), image);
    Srec("img.bin -binary -o img.hex -intel");
    Srec("img.bin -binary -execution-start-address 0 -o img.s -motorola");

    for (const char* source : {"img.hex", "img.s", "img.bin"}) {
        zam32test::Run r = Batch(std::string("p v;t 27256;l ") + source + ";s;= $0");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find(ChecksumLine(Sum(image))), std::string::npos) << source << r.out;
        char var[64];
        std::snprintf(var, sizeof var, "$0 <- $0 = %X", Sum(image));
        EXPECT_NE(r.out.find(var), std::string::npos) << r.out;
    }

    struct Format {
        const char* keyword;
        const char* file;
        const char* srecFormat;
        const char* firstRecord;  // how the file starts
    };
    const Format formats[] = {
        {"b", "o.bin", "-binary", ""},
        {"h", "o_h.hex", "-intel", ":20000000"},
        {"h32", "o_h32.hex", "-intel", ":20000000"},
        {"h-", "o_hn.hex", "-intel", ":20000000"},
        {"s", "o_s.s", "-motorola", "S123"},
        {"s28", "o_s28.s", "-motorola", "S224"},
        {"s37", "o_s37.s", "-motorola", "S325"},
        {"s-", "o_sn.s", "-motorola", "S123"},
        {"H32-", "o_h32n.hex", "-intel", ":20000000"},
        {"S37-", "o_s37n.s", "-motorola", "S325"},
    };
    std::string line = "p v;t 27256;l img.bin";
    for (const Format& f : formats) line += std::string(";w ") + f.file + ",,,c," + f.keyword;
    zam32test::Run r = Batch(line);
    ASSERT_EQ(r.status, 0) << r.out;
    for (const Format& f : formats) {
        std::string back = std::string(f.file) + ".back";
        Srec(std::string(f.file) + " " + f.srecFormat + " -o " + back + " -binary");
        EXPECT_EQ(ReadFile(dir.file(back)), image) << f.keyword;
        EXPECT_EQ(ReadText(dir.file(f.file)).rfind(f.firstRecord, 0), 0u) << f.keyword;
    }
    // End records: present unless the keyword ends in '-'.
    EXPECT_NE(ReadText(dir.file("o_h.hex")).find(":00000001FF"), std::string::npos);
    EXPECT_EQ(ReadText(dir.file("o_hn.hex")).find(":00000001FF"), std::string::npos);
    EXPECT_NE(ReadText(dir.file("o_s.s")).find("S9030000FC"), std::string::npos);
    EXPECT_EQ(ReadText(dir.file("o_sn.s")).find("S9"), std::string::npos);
    EXPECT_NE(r.out.find("Putting 8000 bytes into HEX-32 format file\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Writing 8000 bytes to binary file\n"), std::string::npos) << r.out;
}

TEST_F(ImageCommands, WriteRecordOptions) {
    // A device of FF with one loaded stretch: fill removal keeps only the data.
    std::vector<uint8_t> data = testsupport::RandomBytes(0x40, 3);
    for (uint8_t& b : data) b = b == 0xFF ? 0 : b;
    WriteFile(dir.file("d.bin"), data);
    zam32test::Run r = Batch(
        "p v;t 27256;f ff;l d.bin,,,1000;"
        "w fr.hex,,,c,h,10,ff;w all.hex,,,c,h,10;"
        "w off.s,1000,40,c,s,,,8000;w so.s,1000,10,c,s,,,,1234,\"hello\\x21\";w e.hex,0,10,c,h,,,,12345");
    ASSERT_EQ(r.status, 0) << r.out;
    Srec("fr.hex -intel -fill 0xFF 0 0x8000 -o fr.bin -binary");
    std::vector<uint8_t> device(0x8000, 0xFF);
    std::copy(data.begin(), data.end(), device.begin() + 0x1000);
    EXPECT_EQ(ReadFile(dir.file("fr.bin")), device);
    EXPECT_LT(ReadText(dir.file("fr.hex")).size(), 400u);  // only the four data records and the end
    EXPECT_GT(ReadText(dir.file("all.hex")).size(), 0x8000u * 2);
    // Record addresses moved to 8000.
    Srec("off.s -motorola -offset -0x8000 -o off.bin -binary");
    EXPECT_EQ(ReadFile(dir.file("off.bin")), data);
    // Sign-on with an escape, entry address in the end record.
    std::string so = ReadText(dir.file("so.s"));
    EXPECT_EQ(so.rfind("S009000068656C6C6F21", 0), 0u) << so;
    EXPECT_NE(so.find("S9031234B6"), std::string::npos) << so;
    // HEX entry 12345: a type 03 record with 10 00 23 45.
    EXPECT_NE(ReadText(dir.file("e.hex")).find(":040000031000234581"), std::string::npos);
}

struct ArgCase {
    const char* command;
    const char* output;  // expected text (from "COMMAND ERROR" or the message on)
};

TEST_F(ImageCommands, WriteArgumentErrors) {
    const ArgCase cases[] = {
        {"W OUT.S,0,100,,S-,,,,0", "COMMAND ERROR NEAR \"0\"\nINVALID START ADDRESS WITHOUT EOF RECORD\a\n"},
        {"W OUT.BIN,0,100,,B,10", "COMMAND ERROR NEAR \"10\"\nTOO MANY ARGUMENTS\a\n"},
        {"W OUT.BIN,0,100,,B,,,,,\"x\"", "COMMAND ERROR NEAR \"\"x\"\"\nTOO MANY ARGUMENTS\a\n"},
        {"W OUT.HEX,0,100,,H,100", "COMMAND ERROR NEAR \"100\"\nINVALID VALUE ARGUMENT\a\n"},
        {"W OUT.HEX,0,100,,H,0", "COMMAND ERROR NEAR \"0\"\nINVALID VALUE ARGUMENT\a\n"},
        {"W OUT.HEX,0,100,,H,,100", "COMMAND ERROR NEAR \"100\"\nINVALID VALUE ARGUMENT\a\n"},
        {"W OUT.HEX,0,100,,H,,,,,\"x\"", "COMMAND ERROR NEAR \"\"x\"\"\nTOO MANY ARGUMENTS\a\n"},
        {"W OUT.BIN,8000", "COMMAND ERROR NEAR \"8000\"\nINVALID START ARGUMENT\a\n"},
        {"W OUT.BIN,7000,1001", "COMMAND ERROR NEAR \"1001\"\nINVALID LENGTH ARGUMENT\a\n"},
        {"W OUT.BIN,,,Z", "COMMAND ERROR NEAR \"Z\"\nINVALID KEYWORD FOR THIS COMMAND\a\n"},
        {"W OUT.BIN,,,RA", "COMMAND ERROR NEAR \"RA\"\nINVALID KEYWORD FOR THIS COMMAND\a\n"},
        {"W OUT.BIN,,,,Q", "COMMAND ERROR NEAR \"Q\"\nINVALID KEYWORD FOR THIS COMMAND\a\n"},
        {"W OUT.BIN,,,,S28-X", "COMMAND ERROR NEAR \"S28-X\"\nINVALID KEYWORD FOR THIS COMMAND\a\n"},
        {" W", "COMMAND ERROR NEAR \"W\"\nMISSING FILENAME ARGUMENT\a\n"},
        {"W NODIR/OUT.BIN", "ERROR OPENING OUTPUT FILE (No such file or directory)\a\n"},
    };
    for (const ArgCase& c : cases) {
        zam32test::Run r = Batch(std::string("p v;t 27256;") + c.command);
        EXPECT_EQ(r.status, 3) << c.command;
        std::string want = std::string("ENVIRONMENT ZAM32ARG =  p v;t 27256;") + c.command + "\n" + c.output;
        EXPECT_NE(r.out.find(want), std::string::npos) << c.command << "\n" << r.out;
    }
    // Accepted: H without end record may carry an entry address; nothing was written by the refusals.
    zam32test::Run ok = Batch("p v;t 27256;W OUT.H,0,100,,H-,,,,0");
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_NE(ReadText(dir.file("OUT.H")).find(":0400000300000000F9"), std::string::npos);
    for (const char* f : {"OUT.S", "OUT.BIN", "OUT.HEX"}) EXPECT_FALSE(std::ifstream(dir.file(f)).good()) << f;
}

TEST_F(ImageCommands, SignOnLimitIsOneRecord) {
    std::string fits(252, 'a'), over(253, 'a');
    zam32test::Run r = Batch("p v;t 27256;w ok.s,0,10,c,s,,,,,\"" + fits + "\"");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadText(dir.file("ok.s")).rfind("S0FF0000", 0), 0u);
    Srec("ok.s -motorola -o ok.bin -binary");
    r = Batch("p v;t 27256;w no.s,0,10,c,s,,,,,\"" + over + "\"");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("INVALID STRING ARGUMENT\a\n"), std::string::npos) << r.out;
    EXPECT_FALSE(std::ifstream(dir.file("no.s")).good());
}

TEST_F(ImageCommands, ExistingFileModes) {
    WriteFile(dir.file("x.bin"), std::vector<uint8_t>(3, 0x42));
    const std::string setup = "p v;t 2716;f 11;";
    zam32test::Run r = Batch(setup + "w x.bin,0,10,c");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("OUTPUT FILE ALREADY EXISTS\a\n"), std::string::npos);
    // No file mode: the question; c cancels silently (but counts as a failure).
    r = Batch(setup + "w x.bin,0,10", "c\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("Output file already exists, Replace, Append or Cancel? (r/a/c): c\n"), std::string::npos);
    EXPECT_EQ(ReadFile(dir.file("x.bin")).size(), 3u);
    r = Batch(setup + "w x.bin,0,10", "a\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Adding 10 bytes to binary file\n"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(dir.file("x.bin")).size(), 0x13u);
    r = Batch(setup + "w x.bin,0,10", "x\nR\n");  // letters outside r/a/c are ignored
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFile(dir.file("x.bin")), std::vector<uint8_t>(0x10, 0x11));
    r = Batch(setup + "w x.bin,0,10");  // nobody answers: cancelled
    EXPECT_EQ(r.status, 3);
    r = Batch(setup + "w x.bin,0,4,a;w x.bin,0,4,r");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadFile(dir.file("x.bin")).size(), 4u);
}

TEST_F(ImageCommands, LoadsElfExecutables) {
    // Two segments loaded from their physical addresses (not their run addresses).
    const std::vector<uint8_t> a = testsupport::RandomBytes(0x40, 11), b = testsupport::RandomBytes(0x20, 12);
    enginetest::ElfLayout layout;
    layout.entry = 0x8000;
    layout.ph.push_back({1, enginetest::kElfPayload, 0x8000, 0x100, a.size(), a.size()});
    layout.ph.push_back({1, enginetest::kElfPayload + a.size(), 0x9000, 0x1000, b.size(), b.size() + 0x40});
    layout.payload = a;
    layout.payload.insert(layout.payload.end(), b.begin(), b.end());
    std::vector<uint8_t> elf = enginetest::BuildElf(layout);
    WriteFile(dir.file("prog.elf"), elf);
    zam32test::Run r = Batch("p v;t 27256;f ff;l prog.elf;= $0;w out.bin,0,1100,c,b");
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* line : {"ELF-File Load of all bytes from offset 0 to offset 0\n", "Program Entry: 008000\n",
                             "Load Completed without verification (60 Bytes Loaded)\n",
                             "Highest address loaded was 0101F\n", "$0 <- $0 = 1020"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    std::vector<uint8_t> device(0x1100, 0xFF);
    std::copy(a.begin(), a.end(), device.begin() + 0x100);
    std::copy(b.begin(), b.end(), device.begin() + 0x1000);
    EXPECT_EQ(ReadFile(dir.file("out.bin")), device);

    // Verify only, then a file whose second segment runs past its end: refused whole.
    r = Batch("p v;t 27256;f ff;l prog.elf;l prog.elf,,,,,vo");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Verify Completed with no errors (60 Bytes Checked)\n"), std::string::npos) << r.out;
    elf.resize(elf.size() - 1);
    WriteFile(dir.file("cut.elf"), elf);
    r = RunZam32(dir.path(), {nullptr, nullptr, {}, "p v\nt 27256\nf ff\nl cut.elf\nw cut.bin,0,1100,c,b\nq n\n"});
    EXPECT_NE(r.out.find("LOAD FAILURE: ELF SEGMENT #1 DATA PAST END OF FILE\a\n"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(dir.file("cut.bin")), std::vector<uint8_t>(0x1100, 0xFF));
}

TEST_F(ImageCommands, LoadRemembersTheLastSuccessfulLoad) {
    std::vector<uint8_t> data(0x100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    WriteFile(dir.file("a.bin"), data);
    Srec("a.bin -binary -o a.hex -intel");
    const char* input =
        "p v\nt 27256\nl\nl a.hex,,,,,X\nl\nl a.hex,,,10\n= $0\nl\n?\nl a.hex,,,8000\nl a.hex,,,7F80\n"
        "l a.hex,,,,101\nl nothere.hex\nl \"a.hex\",80,10,,2,v\n= $0\nl\nq n\n";
    zam32test::Run r = RunZam32(dir.path(), {nullptr, nullptr, {}, input});
    const char* expected[] = {
        "PvU0>l\nLOAD FILE NAME IS REQUIRED FOR THIS UNIT\a\n",
        "PvU0>l a.hex,,,,,X\nCOMMAND ERROR NEAR \"X\"\nINVALID KEYWORD FOR THIS COMMAND\a\n"
        "PvU0>l\nLOAD FILE NAME IS REQUIRED FOR THIS UNIT\a\n",
        "PvU0>l a.hex,,,10\nHex-File Load of all bytes from offset 0 to offset 10\n"
        "Load Completed without verification (100 Bytes Loaded)\nHighest address loaded was 0010F\n",
        "PvU0>= $0\n$0 <- $0 = 110  = #272\n",
        "PvU0>l\nUsing: a.hex,0,0,10,0,NV\nHex-File Load",
        "a.hex,,,10,,NV\n",
        "PvU0>l a.hex,,,8000\nCOMMAND ERROR NEAR \"8000\"\nINVALID TARGET ADDRESS ARGUMENT\a\n",
        "PvU0>l a.hex,,,7F80\nHex-File Load of all bytes from offset 0 to offset 7F80\n"
        "LOAD ATTEMPTED OUTSIDE OF EMULATED DEVICE (Line #",
        "PvU0>l a.hex,,,,101\nCOMMAND ERROR NEAR \"101\"\nINVALID WIDTH ARGUMENT\a\n",
        "PvU0>l nothere.hex\nCAN'T OPEN LOAD FILE (No such file or directory)\a\n",
        "PvU0>l \"a.hex\",80,10,,2,v\nHex-File Load/Verify of 10 bytes from every #2nd byte at offset 80 to offset 0\n"
        "Load/Verify Completed with no errors (10 Bytes Loaded)\n",
        "PvU0>= $0\n$0 <- $0 = 10 = #16\n",
        "PvU0>l\nUsing: a.hex,80,10,0,2,V\n",
    };
    size_t at = 0;
    for (const char* e : expected) {
        size_t found = r.out.find(e, at);
        ASSERT_NE(found, std::string::npos) << "missing in order: " << e << "\n---\n" << r.out;
        at = found + 1;
    }
}

// A name that does not fit the unit record is refused, never cut to another name.
TEST_F(ImageCommands, OverlongLoadFileNameIsRefused) {
    std::string name(300, 'f');
    zam32test::Run r = Batch("p v;t 27256;l " + name);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("COMMAND ERROR NEAR \"" + name + "\"\nCAN'T OPEN LOAD FILE (File name too long)\a\n"),
              std::string::npos)
        << r.out;
    // 299 characters fit: five directories of 59 characters and a 4-character name.
    std::string path;
    for (int i = 0; i < 5; ++i) {
        path += std::string(58, static_cast<char>('a' + i)) + "/";
        ASSERT_EQ(RunCommand("mkdir " + zam32test::Quote(dir.file(path))), 0);
    }
    path += "g.bi";
    ASSERT_EQ(path.size(), 299u);
    WriteFile(dir.file(path), std::vector<uint8_t>(4, 1));
    r = Batch("p v;t 27256;l " + path + ";s");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Binary-File"), std::string::npos) << r.out;
}

TEST_F(ImageCommands, FillAndChecksumArguments) {
    const ArgCase cases[] = {
        {"F 100", "COMMAND ERROR NEAR \"100\"\nINVALID FILL VALUE, 00 - FF REQUIRED\a\n"},
        {"F FF,,0", "COMMAND ERROR NEAR \"0\"\nINVALID LENGTH ARGUMENT\a\n"},
        {"F FF,8000", "COMMAND ERROR NEAR \"8000\"\nINVALID START ARGUMENT\a\n"},
        {"F FF,7000,1001", "COMMAND ERROR NEAR \"1001\"\nINVALID LENGTH ARGUMENT\a\n"},
        {"F FF,,,X", "COMMAND ERROR NEAR \"X\"\nINVALID KEYWORD FOR THIS COMMAND\a\n"},
        {" F", "COMMAND ERROR NEAR \"F\"\nMISSING VALUE ARGUMENT\a\n"},
        {"S 8000", "COMMAND ERROR NEAR \"8000\"\nINVALID START ARGUMENT\a\n"},
        {"S 0,0", "COMMAND ERROR NEAR \"0\"\nINVALID LENGTH ARGUMENT\a\n"},
        {"S 7000,1001", "COMMAND ERROR NEAR \"1001\"\nINVALID LENGTH ARGUMENT\a\n"},
    };
    for (const ArgCase& c : cases) {
        zam32test::Run r = Batch(std::string("p v;t 27256;") + c.command);
        EXPECT_EQ(r.status, 3) << c.command;
        EXPECT_NE(r.out.find(c.output), std::string::npos) << c.command << "\n" << r.out;
    }
    zam32test::Run r = Batch("p v;t 27256;f 5a;s;f 1,7fff;s 7fff;f 5a,0,10,vo;f 5a,7fff,,vo;= $0");
    EXPECT_EQ(r.status, 3) << r.out;
    const std::string want =
        "Filling 8000 bytes at offset 0 with 5A\nFill Completed without verification\n"
        "Computing Checksum of 00000 - 07FFF\nCHECKSUM = 002D-0000\n"
        "Filling 1 bytes at offset 7FFF with 01\nFill Completed without verification\n"
        "Computing Checksum of 07FFF - 07FFF\nCHECKSUM = 0000-0001\n"
        "Verifying 10 bytes at offset 0 with 5A\nVerify Completed with no errors\n"
        "Verifying 1 bytes at offset 7FFF with 5A\n"
        // the error line brings the echo of the start-up line with it
        "ENVIRONMENT ZAM32ARG =  p v;t 27256;f 5a;s;f 1,7fff;s 7fff;f 5a,0,10,vo;f 5a,7fff,,vo;= $0\n"
        "COMPARE ERROR IN EMULATOR RAM AT LOCATION 07FFF\a\n"
        "EXPECTED 5A, GOT 01\nVerify Incomplete: 0 bytes were verified\n";
    EXPECT_NE(r.out.find(want), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("$0 <-"), std::string::npos);  // the failing fill dropped the rest of the line
    r = Batch("p v;t 27256;f 0;f 7,10,1;s;= $0");
    EXPECT_NE(r.out.find("$0 <- $0 = 7  = #7"), std::string::npos) << r.out;
}

// Interleaved lanes: even bytes in unit 0, odd bytes in unit 1.
TEST_F(ImageCommands, InterleavedVirtualUnits) {
    const std::vector<uint8_t> image = testsupport::RandomBytes(0x10000, 11);
    WriteFile(dir.file("img.bin"), image);
    Srec("img.bin -binary -o img.hex -intel");
    zam32test::Run r = Batch(
        "p v;u 01;t 27256;l img.hex;s;u 0;w u0.bin,,,c;u 1;w u1.bin,,,c;u -1;w odd.bin,,,c;s;u 1-;w even.bin,,,c");
    ASSERT_EQ(r.status, 0) << r.out;
    std::vector<uint8_t> even, odd, oddOnly(0x10000, 0xFF), evenOnly(0x10000, 0xFF);
    for (size_t i = 0; i < image.size(); ++i) {
        (i % 2 ? odd : even).push_back(image[i]);
        if (i % 2) oddOnly[i] = image[i];
    }
    // "u 1-": unit 1 is lane 0, so it serves the even addresses now.
    for (size_t i = 0; i < image.size(); i += 2) evenOnly[i] = image[i + 1];
    EXPECT_EQ(ReadFile(dir.file("u0.bin")), even);
    EXPECT_EQ(ReadFile(dir.file("u1.bin")), odd);
    EXPECT_EQ(ReadFile(dir.file("odd.bin")), oddOnly);
    EXPECT_EQ(ReadFile(dir.file("even.bin")), evenOnly);
    EXPECT_NE(r.out.find(ChecksumLine(Sum(image))), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(ChecksumLine(Sum(oddOnly))), std::string::npos) << r.out;
}

}  // namespace
