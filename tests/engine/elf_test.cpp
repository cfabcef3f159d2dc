// ELF executables: the loadable segments' file images at their physical addresses,
// through every rule of a record load. Real linker output (the ARM cross compiler and
// the host compiler, with a script that puts .data's load address away from its run
// address) is checked against objcopy's Intel HEX of the same file loaded as HEX.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/engine/elf_fixture.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/test_support.h"

namespace {

using enginetest::BuildElf;
using enginetest::ElfLayout;
using enginetest::ElfPh;
using enginetest::ElfPut;
using enginetest::kElfPayload;
using enginetest::RecordingOutput;
using enginetest::Seq;
using enginetest::VirtualUnit;
using testsupport::RunCommand;

constexpr uint32_t kDev = 0x40000;

// Also keeps the progress reports.
class ProgressOutput : public RecordingOutput {
public:
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    void Progress(uint64_t done, uint64_t total) override { progress.push_back({done, total}); }
};

struct Request {
    uint32_t start = 0, length = 0, target = 0, width = 0, mode = LOAD_ONLY;
};

uint32_t Load(VirtualUnit& unit, RecordingOutput& out, const std::string& file, const Request& r = {}) {
    unit.SetFile(file);
    unit.request.Start = r.start;
    unit.request.Length = r.length;
    unit.request.Target = r.target;
    unit.request.Width = r.width;
    unit.request.LoadVerify = r.mode;
    return LoadImage(out, unit.set);
}

// The lines that must read the same for the ELF file and its HEX conversion.
std::vector<std::string> Outcome(const RecordingOutput& out) {
    std::vector<std::string> v;
    for (const auto& l : out.lines)
        if (l.text.find("Completed") != std::string::npos || l.text.find("Highest") != std::string::npos ||
            l.text.find("Incomplete") != std::string::npos || l.kind == 'E')
            v.push_back(l.text);
    return v;
}

const char* kProgram = R"(
const unsigned char table[40] = {1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,
                                 21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,37,38,39,40};
unsigned int counter = 0x11223344u;
unsigned char marks[12] = {0xA5, 0x5A, 0xC3, 0x3C, 0x96, 0x69, 0x0F, 0xF0, 0x12, 0x34, 0x56, 0x78};
unsigned int zeros[64];
int _start(void) { zeros[1] = counter + table[3] + marks[2]; return (int)zeros[1]; }
)";

// .text and .rodata in ROM at 0x1000, .data run from RAM at 0x20000 but loaded from
// ROM2 at 0x6000, .bss in RAM after it; no headers in any segment.
const char* kScript = R"(
ENTRY(_start)
MEMORY {
  ROM  (rx) : ORIGIN = 0x1000,  LENGTH = 0x3000
  ROM2 (r)  : ORIGIN = 0x6000,  LENGTH = 0x1000
  RAM  (rw) : ORIGIN = 0x20000, LENGTH = 0x1000
}
PHDRS { text PT_LOAD; data PT_LOAD; bss PT_LOAD; }
SECTIONS {
  .text : { *(.text*) *(.rodata*) } > ROM :text
  .data : { *(.data*) } > RAM AT > ROM2 :data
  .bss (NOLOAD) : { *(.bss*) *(COMMON) } > RAM :bss
  /DISCARD/ : { *(.comment) *(.note*) *(.ARM.attributes) *(.eh_frame*) }
}
)";

struct Toolchain {
    const char* what;
    const char* compiler;
    const char* flags;
    const char* binutilsPrefix;  // objcopy, readelf
};

const Toolchain kToolchains[] = {
    {"ARM little-endian ELF32", "arm-none-eabi-gcc", "-marm", "arm-none-eabi-"},
    {"ARM Thumb ELF32", "arm-none-eabi-gcc", "-mthumb", "arm-none-eabi-"},
    {"ARM big-endian ELF32", "arm-none-eabi-gcc", "-mbig-endian", "arm-none-eabi-"},
    {"host ELF64", "gcc", "-static -no-pie -fno-pic -fno-asynchronous-unwind-tables -Wl,--build-id=none", ""},
};

class ElfToolchain : public ::testing::Test {
protected:
    void SetUp() override {
        // CI installs these with scripts/deps.sh: their absence is a fault, not a skip.
        for (const char* p : {"arm-none-eabi-gcc", "arm-none-eabi-objcopy", "gcc", "objcopy", "readelf"})
            ASSERT_TRUE(testsupport::HaveProgram(p)) << p << " missing: run scripts/deps.sh";
        testsupport::WriteText(dir.file("prog.c"), kProgram);
        testsupport::WriteText(dir.file("image.ld"), kScript);
    }
    // Builds the program, its HEX conversion; returns the ELF's entry point.
    uint64_t Build(const Toolchain& t, const std::string& elf, const std::string& hex) {
        std::string log;
        const std::string cc = std::string(t.compiler) + " " + t.flags + " -O1 -nostdlib -ffreestanding -T " +
                               dir.file("image.ld") + " -o " + elf + " " + dir.file("prog.c");
        EXPECT_EQ(RunCommand(cc, &log), 0) << cc << "\n" << log;
        const std::string oc = std::string(t.binutilsPrefix) + "objcopy -O ihex " + elf + " " + hex;
        EXPECT_EQ(RunCommand(oc, &log), 0) << oc << "\n" << log;
        EXPECT_EQ(
            RunCommand(std::string(t.binutilsPrefix) + "readelf -h " + elf + " | awk '/Entry point/ {print $4}'", &log),
            0);
        return std::stoull(log, nullptr, 16);
    }
    testsupport::TempDir dir;
};

TEST_F(ElfToolchain, LoadsByteForByteAsItsHexConversion) {
    for (const Toolchain& t : kToolchains) {
        SCOPED_TRACE(t.what);
        const std::string elf = dir.file("prog.elf"), hex = dir.file("prog.hex");
        const uint64_t entry = Build(t, elf, hex);
        VirtualUnit fromHex(kDev), fromElf(kDev);
        RecordingOutput hexOut, elfOut;
        ASSERT_EQ(Load(fromHex, hexOut, hex), 0u) << hexOut.Text();
        ASSERT_EQ(Load(fromElf, elfOut, elf), 0u) << elfOut.Text();
        EXPECT_EQ(fromElf.Read(0, kDev), fromHex.Read(0, kDev));
        EXPECT_EQ(Outcome(elfOut), Outcome(hexOut));
        EXPECT_EQ(elfOut.results, hexOut.results);
        EXPECT_EQ(elfOut.lines.front().text, "ELF-File Load of all bytes from offset 0 to offset 0\n");
        char line[64];
        std::snprintf(line, sizeof line, "Program Entry: %06llX\n", static_cast<unsigned long long>(entry));
        EXPECT_TRUE(elfOut.Has('A', line)) << elfOut.Text();

        // .data sits at its load address, nothing at its run address, no .bss fill.
        const std::vector<uint8_t> lma = fromElf.Read(0x6000, 0x10);
        const std::vector<uint8_t> marks = {0xA5, 0x5A, 0xC3, 0x3C};
        EXPECT_NE(std::search(lma.begin(), lma.end(), marks.begin(), marks.end()), lma.end());
        EXPECT_EQ(fromElf.Read(0x20000, 0x200), std::vector<uint8_t>(0x200, 0xFF));

        // Verify only, against the unit the HEX file loaded: it matches.
        elfOut.lines.clear();
        ASSERT_EQ(Load(fromHex, elfOut, elf, {0, 0, 0, 0, VERIFY_ONLY}), 0u) << elfOut.Text();
        EXPECT_EQ(elfOut.lines.front().text, "ELF-File Verify of all bytes from offset 0 to offset 0\n");
    }
}

TEST_F(ElfToolchain, WindowWidthAndTargetAsForHex) {
    const std::string elf = dir.file("prog.elf"), hex = dir.file("prog.hex");
    Build(kToolchains[0], elf, hex);
    const Request cases[] = {
        {0x1000, 0, 0, 1, LOAD_ONLY},          // everything moved down
        {0x1010, 0x20, 0x100, 1, LOAD_ONLY},   // part of .text
        {0x1000, 0, 0, 2, LOAD_VERIFY},        // every second byte of both segments
        {0x1001, 0x2900, 0x10, 3, LOAD_ONLY},  // every third, the window into .data
        {0x6004, 4, 0x30000, 1, LOAD_ONLY},    // a slice of .data
        {0x7000, 0x10, 0, 1, LOAD_ONLY},       // nothing in the window
        {0, 0, 0x3F000, 1, LOAD_ONLY},         // .data lands beyond the device
    };
    for (const Request& r : cases) {
        SCOPED_TRACE(testing::Message() << "start " << std::hex << r.start << " length " << r.length << " target "
                                        << r.target << " width " << r.width);
        VirtualUnit fromHex(kDev), fromElf(kDev);
        RecordingOutput hexOut, elfOut;
        const uint32_t hexResult = Load(fromHex, hexOut, hex, r);
        EXPECT_EQ(Load(fromElf, elfOut, elf, r), hexResult) << elfOut.Text();
        EXPECT_EQ(fromElf.Read(0, kDev), fromHex.Read(0, kDev));
        EXPECT_EQ(elfOut.results, hexOut.results);
        if (hexResult == 0) { EXPECT_EQ(Outcome(elfOut), Outcome(hexOut)); }
    }
}

// A hand-built ELF with segments longer than the engine's pieces, beside the same bytes
// as Intel HEX from srec_cat.
class ElfLarge : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testsupport::HaveProgram("srec_cat")) << "srec_cat missing: run scripts/deps.sh";
        a = testsupport::RandomBytes(20000, 7);
        b = testsupport::RandomBytes(5000, 8);
        ElfLayout s;
        s.entry = 0x3001;
        s.ph.push_back({1, kElfPayload, 0x80000000, 0x3001, a.size(), a.size() + 0x100});
        s.ph.push_back({4, 0, 0, 0, 0, 0});  // a note: not loaded
        s.ph.push_back({1, kElfPayload + a.size(), 0x90000000, 0x9000, b.size(), b.size()});
        s.payload = a;
        s.payload.insert(s.payload.end(), b.begin(), b.end());
        testsupport::WriteFile(dir.file("big.elf"), BuildElf(s));
        testsupport::WriteFile(dir.file("a.bin"), a);
        testsupport::WriteFile(dir.file("b.bin"), b);
        testsupport::SrecCat(dir.path(), "a.bin -binary -offset 0x3001 b.bin -binary -offset 0x9000 -o big.hex -intel");
    }
    testsupport::TempDir dir;
    std::vector<uint8_t> a, b;
};

TEST_F(ElfLarge, PiecesKeepTheWidthSelectionAndProgress) {
    const Request cases[] = {
        {0, 0, 0, 1, LOAD_ONLY},
        {0x3002, 0, 0x10, 3, LOAD_ONLY},
        {0x3001, 0x3001, 0, 4, LOAD_VERIFY},
        {0x4000, 0x2345, 0x100, 1, LOAD_ONLY},
        {0x3000, 0, 0, 256, LOAD_ONLY},
    };
    for (const Request& r : cases) {
        SCOPED_TRACE(testing::Message() << "start " << std::hex << r.start << " width " << r.width);
        VirtualUnit fromHex(kDev), fromElf(kDev);
        RecordingOutput hexOut;
        ProgressOutput elfOut;
        ASSERT_EQ(Load(fromHex, hexOut, dir.file("big.hex"), r), 0u) << hexOut.Text();
        ASSERT_EQ(Load(fromElf, elfOut, dir.file("big.elf"), r), 0u) << elfOut.Text();
        EXPECT_EQ(fromElf.Read(0, kDev), fromHex.Read(0, kDev));
        EXPECT_EQ(Outcome(elfOut), Outcome(hexOut));
        EXPECT_EQ(elfOut.results, hexOut.results);
        ASSERT_FALSE(elfOut.progress.empty());
        for (size_t i = 1; i < elfOut.progress.size(); ++i)
            EXPECT_GT(elfOut.progress[i].first, elfOut.progress[i - 1].first);
        EXPECT_EQ(elfOut.progress.back().first, 25000u);
        EXPECT_EQ(elfOut.progress.back().second, 25000u);
        EXPECT_TRUE(elfOut.Has('A', "Program Entry: 003001\n"));
    }
}

TEST_F(ElfLarge, VerifyMismatchAndCancel) {
    VirtualUnit unit(kDev);
    RecordingOutput out;
    ASSERT_EQ(Load(unit, out, dir.file("big.elf")), 0u);
    EXPECT_TRUE(out.Has('I', "Load Completed without verification (61A8 Bytes Loaded)\n")) << out.Text();
    EXPECT_TRUE(out.Has('I', "Highest address loaded was 0A387\n")) << out.Text();
    EXPECT_EQ(out.results, std::vector<uint32_t>{0xA388});

    ASSERT_EQ(Load(unit, out, dir.file("big.elf"), {0, 0, 0, 0, VERIFY_ONLY}), 0u);
    EXPECT_TRUE(out.Has('I', "Verify Completed with no errors (61A8 Bytes Checked)\n")) << out.Text();

    unit.Write(0x9100, {static_cast<uint8_t>(b[0x100] ^ 0xFF)});
    out.results.clear();
    ASSERT_EQ(Load(unit, out, dir.file("big.elf"), {0, 0, 0, 0, VERIFY_ONLY}), 2u);
    EXPECT_TRUE(out.Has('E', "COMPARE ERROR IN EMULATOR RAM AT LOCATION 09100\a\n")) << out.Text();
    char expected[40];
    std::snprintf(expected, sizeof expected, "EXPECTED %02X, GOT %02X\n", b[0x100], b[0x100] ^ 0xFF);
    EXPECT_TRUE(out.Has('A', expected)) << out.Text();
    EXPECT_TRUE(out.results.empty());

    // A cancel at the second piece: the first two pieces (4096 bytes each) are in.
    VirtualUnit fresh(kDev);
    out.cancelAtPoll = 2;
    out.polls = 0;
    ASSERT_EQ(Load(fresh, out, dir.file("big.elf")), 2u);
    EXPECT_TRUE(out.Has('I', "Load Incomplete: 2000 bytes loaded with #0 corrected RAM write error(s)\n"))
        << out.Text();
    EXPECT_TRUE(out.Has('I', "Highest address loaded was 05000\n")) << out.Text();
    EXPECT_EQ(fresh.Read(0x3001, 0x2000), std::vector<uint8_t>(a.begin(), a.begin() + 0x2000));
    EXPECT_EQ(fresh.Read(0x5001, 0x10), std::vector<uint8_t>(0x10, 0xFF));
}

// The base of the error table: two 16-byte segments at physical 0x100 and 0x200.
ElfLayout Base(bool is64 = false, bool big = false) {
    ElfLayout s;
    s.is64 = is64;
    s.big = big;
    s.entry = 0x1234;
    s.ph.push_back({1, kElfPayload, 0x8000, 0x100, 16, 32});
    s.ph.push_back({1, kElfPayload + 16, 0x9000, 0x200, 16, 16});
    s.payload = Seq(0x40, 32);
    return s;
}

TEST(ElfErrors, RefusedBeforeAnythingIsWritten) {
    using Bytes = std::vector<uint8_t>;
    struct Case {
        const char* what;
        Bytes file;
        std::string line;
        uint32_t mode = LOAD_ONLY;
    };
    auto patched = [](ElfLayout s, size_t at, unsigned width, uint64_t value) {
        Bytes v = BuildElf(s);
        ElfPut(v, at, width, value, s.big);
        return v;
    };
    auto with = [](ElfLayout s, size_t ph, uint64_t ElfPh::*field, uint64_t value) {
        s.ph[ph].*field = value;
        return BuildElf(s);
    };
    Bytes cut32 = BuildElf(Base());
    cut32.resize(40);
    Bytes cut64 = BuildElf(Base(true));
    cut64.resize(60);
    ElfLayout notes = Base();
    notes.ph[0].type = notes.ph[1].type = 4;
    ElfLayout bssOnly = Base();
    bssOnly.ph[0].filesz = bssOnly.ph[1].filesz = 0;
    ElfLayout none = Base();
    none.ph.clear();
    const Case cases[] = {
        {"magic only", {0x7F, 'E', 'L', 'F'}, "LOAD FAILURE: TRUNCATED ELF HEADER (4 OF 34 BYTES)\a\n"},
        {"class byte only", {0x7F, 'E', 'L', 'F', 1}, "LOAD FAILURE: TRUNCATED ELF HEADER (5 OF 34 BYTES)\a\n"},
        {"header count escaped without a section header", patched(Base(), 44, 2, 0xFFFF),
         "LOAD FAILURE: ELF PROGRAM HEADER COUNT MISSING (SECTION HEADER 0 PAST END OF FILE)\a\n"},
        {"ELF32 header cut", cut32, "LOAD FAILURE: TRUNCATED ELF HEADER (28 OF 34 BYTES)\a\n"},
        {"ELF64 header cut", cut64, "LOAD FAILURE: TRUNCATED ELF HEADER (3C OF 40 BYTES)\a\n"},
        {"class 0", patched(Base(), 4, 1, 0), "LOAD FAILURE: UNKNOWN ELF FILE CLASS 00\a\n"},
        {"class 3", patched(Base(), 4, 1, 3), "LOAD FAILURE: UNKNOWN ELF FILE CLASS 03\a\n"},
        {"byte order 0", patched(Base(), 5, 1, 0), "LOAD FAILURE: UNKNOWN ELF BYTE ORDER 00\a\n"},
        {"byte order 3, verify", patched(Base(), 5, 1, 3), "VERIFY FAILURE: UNKNOWN ELF BYTE ORDER 03\a\n",
         VERIFY_ONLY},
        {"program headers past the end", patched(Base(), 28, 4, 0x230 - 40),
         "LOAD FAILURE: ELF PROGRAM HEADERS PAST END OF FILE\a\n"},
        {"program header offset wraps", patched(Base(true, true), 32, 8, ~0ull - 8),
         "LOAD FAILURE: ELF PROGRAM HEADERS PAST END OF FILE\a\n"},
        {"too many program headers", patched(Base(), 44, 2, 1000),
         "LOAD FAILURE: ELF PROGRAM HEADERS PAST END OF FILE\a\n"},
        {"program header entry too small", patched(Base(), 42, 2, 16),
         "LOAD FAILURE: ELF PROGRAM HEADER SIZE 10 TOO SMALL\a\n"},
        {"second segment's bytes past the end", with(Base(), 1, &ElfPh::filesz, 0x1000),
         "LOAD FAILURE: ELF SEGMENT #1 DATA PAST END OF FILE\a\n"},
        {"segment offset wraps", with(Base(true), 1, &ElfPh::offset, ~0ull),
         "LOAD FAILURE: ELF SEGMENT #1 DATA PAST END OF FILE\a\n"},
        {"ELF32 segment past 4 GB", with(Base(), 1, &ElfPh::paddr, 0xFFFFFFF8),
         "LOAD FAILURE: ELF SEGMENT #1 RUNS PAST THE END OF THE ADDRESS SPACE\a\n"},
        {"ELF64 segment past 2^64", with(Base(true, true), 0, &ElfPh::paddr, ~0ull - 7),
         "LOAD FAILURE: ELF SEGMENT #0 RUNS PAST THE END OF THE ADDRESS SPACE\a\n"},
        {"overlap with other bytes", with(Base(), 1, &ElfPh::paddr, 0x108),
         "LOAD FAILURE: ELF SEGMENTS #0 AND #1 OVERLAP WITH DIFFERENT BYTES AT 108\a\n"},
        {"overlap, higher segment first", with(Base(true, true), 0, &ElfPh::paddr, 0x20C),
         "LOAD FAILURE: ELF SEGMENTS #0 AND #1 OVERLAP WITH DIFFERENT BYTES AT 20C\a\n"},
        {"only notes", BuildElf(notes), "LOAD FAILURE: NO LOADABLE SEGMENTS IN ELF FILE\a\n"},
        {"only zero fill", BuildElf(bssOnly), "LOAD FAILURE: NO LOADABLE SEGMENTS IN ELF FILE\a\n"},
        {"no program headers", BuildElf(none), "LOAD FAILURE: NO LOADABLE SEGMENTS IN ELF FILE\a\n"},
    };
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualUnit unit(0x1000);
        RecordingOutput out;
        testsupport::WriteFile(dir.file("bad.elf"), c.file);
        EXPECT_EQ(Load(unit, out, dir.file("bad.elf"), {0, 0, 0, 0, c.mode}), 2u);
        ASSERT_EQ(out.lines.size(), 1u) << out.Text();
        EXPECT_EQ(out.lines[0].kind, 'E');
        EXPECT_EQ(out.lines[0].text, c.line);
        EXPECT_EQ(out.results, std::vector<uint32_t>{0});
        EXPECT_EQ(unit.Read(0, 0x1000), std::vector<uint8_t>(0x1000, 0xFF));
    }
}

TEST(ElfFiles, HandBuiltCases) {
    struct Case {
        const char* what;
        ElfLayout layout;
        uint32_t result;
        std::vector<std::string> lines;  // expected among the output
        uint32_t at;                     // payload[0..16) is here (0: not checked)
    };
    ElfLayout be64 = Base(true, true);
    be64.entry = 0x123456789ull;
    be64.ph[0].vaddr = 0x700000000000ull;
    ElfLayout same = Base();
    same.ph[1].offset = kElfPayload + 8;  // its first bytes are the first segment's last
    same.ph[1].paddr = 0x108;
    ElfLayout high = Base(true);
    high.ph[1].paddr = 0x100000000ull;
    ElfLayout bss = Base();
    bss.ph.insert(bss.ph.begin(), {1, 0, 0x8100, 0x300, 0, 0x400});
    const Case cases[] = {
        {"ELF64 big-endian, p_paddr not p_vaddr",
         be64,
         0,
         {"Program Entry: 123456789\n", "Load Completed without verification (20 Bytes Loaded)\n",
          "Highest address loaded was 0020F\n"},
         0x100},
        {"overlapping segments with the same bytes",
         same,
         0,
         {"Load Completed without verification (20 Bytes Loaded)\n", "Highest address loaded was 00117\n"},
         0x100},
        {"ELF64 segment above 4 GB", high, 2, {"LOAD ATTEMPTED OUTSIDE OF EMULATED DEVICE (Segment #1)\a\n"}, 0},
        {"zero-fill segment skipped", bss, 0, {"Program Entry: 001234\n", "Highest address loaded was 0020F\n"}, 0x100},
    };
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualUnit unit(0x1000);
        RecordingOutput out;
        testsupport::WriteFile(dir.file("x.elf"), BuildElf(c.layout));
        EXPECT_EQ(Load(unit, out, dir.file("x.elf")), c.result) << out.Text();
        for (const std::string& l : c.lines)
            EXPECT_TRUE(out.Has('E', l) || out.Has('A', l) || out.Has('I', l)) << l << out.Text();
        if (c.at != 0) { EXPECT_EQ(unit.Read(c.at, 16), Seq(0x40, 16)); }
        EXPECT_EQ(unit.Read(0x300, 0x10), std::vector<uint8_t>(0x10, 0xFF));  // no zero fill anywhere
    }
}

// More program headers than e_phnum holds: 0xFFFF there, the count in section
// header 0's sh_info. The same two segments load as without the escape.
TEST(ElfFiles, ProgramHeaderCountInSectionHeaderZero) {
    for (bool is64 : {false, true}) {
        SCOPED_TRACE(is64 ? "ELF64" : "ELF32");
        const ElfLayout layout = Base(is64);
        std::vector<uint8_t> v = BuildElf(layout);
        const size_t sh = v.size(), shSize = is64 ? 64 : 40;
        v.resize(sh + shSize, 0);
        ElfPut(v, is64 ? 40 : 32, is64 ? 8 : 4, sh, false);            // e_shoff
        ElfPut(v, is64 ? 58 : 46, 2, shSize, false);                   // e_shentsize
        ElfPut(v, is64 ? 56 : 44, 2, 0xFFFF, false);                   // e_phnum: escaped
        ElfPut(v, sh + (is64 ? 44 : 28), 4, layout.ph.size(), false);  // sh_info
        testsupport::TempDir dir;
        testsupport::WriteFile(dir.file("x.elf"), v);
        VirtualUnit unit(0x1000);
        RecordingOutput out;
        EXPECT_EQ(Load(unit, out, dir.file("x.elf")), 0u) << out.Text();
        EXPECT_TRUE(out.Has('I', "Highest address loaded was 0020F\n") ||
                    out.Has('A', "Highest address loaded was 0020F\n"))
            << out.Text();
        EXPECT_EQ(unit.Read(0x100, 16), Seq(0x40, 16));
        EXPECT_EQ(unit.Read(0x200, 16), Seq(0x50, 16));
    }
}

}  // namespace
