// The configuration file ZAM32.CFG: its byte layout, the reader's checks, and the
// built program saving and restoring a session through quit and start.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "zam32/config.h"
#include "zam32_run.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using zam32test::Options;
using zam32test::Quote;
using zam32test::RunZam32;

namespace {

uint32_t At32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

void Append(std::vector<uint8_t>& b, std::initializer_list<int> bytes) {
    for (int v : bytes) b.push_back(static_cast<uint8_t>(v));
}

// Shortens b to n bytes.
void Cut(std::vector<uint8_t>& b, size_t n) {
    if (n < b.size()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(n), b.end());
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A session with every field set to a value of its own.
SessionBlock DistinctBlock() {
    SessionBlock b;
    b.DumpLength = 0x11223344;
    b.DumpWidth = 0x20;
    b.CurrentPort = 0x80000000;
    b.LaneCount = 3;
    b.LaneUnits[0] = 2;
    b.LaneUnits[1] = LANE_EMPTY;
    b.LaneUnits[2] = 1;
    b.LaneUnits[3] = 0;
    for (UnitRecord& r : b.Units) r.UnitNumber = UNIT_FREE;
    UnitRecord& u = b.Units[5];
    std::strcpy(u.request.FileName, "dir/prog.hex");
    u.request.Start = 0x101;
    u.request.Length = 0x202;
    u.request.Target = 0x303;
    u.request.Width = 4;
    u.request.LoadVerify = 2;
    u.DumpPosition = 0x505;
    u.request.DevSize = 0x8000;
    u.request.FoldMode = 2;
    u.UnitNumber = 3;
    u.ResetNormal = 1;
    u.ResetPulse = 2;
    u.PortSlot = 2;
    for (PortSlot& s : b.Slots) s = PortSlot{SLOT_FREE, 0};
    b.Slots[2] = PortSlot{0x378, -7};
    return b;
}

std::vector<uint8_t> BlockBytes(const SessionBlock& b) {
    std::vector<uint8_t> v(SESSION_BLOCK_SIZE);
    EncodeSessionBlock(b, v.data());
    return v;
}

// Every field at its offset, little-endian.
TEST(ConfigLayout, FieldsAtTheirOffsets) {
    const std::vector<uint8_t> v = BlockBytes(DistinctBlock());
    ASSERT_EQ(v.size(), 2852u);
    const size_t unit5 = 32 + 5 * 348;
    const struct {
        const char* field;
        size_t offset;
        uint32_t value;
    } fields[] = {
        {"dump length", 0, 0x11223344},
        {"dump width", 4, 0x20},
        {"current port", 8, 0x80000000},
        {"lane count", 12, 3},
        {"lane 0", 16, 2},
        {"lane 1", 20, 0xFFFF},
        {"lane 2", 24, 1},
        {"lane 3", 28, 0},
        {"unit 0 number (free)", 32 + 332, 0xFFFF},
        {"start", unit5 + 300, 0x101},
        {"length", unit5 + 304, 0x202},
        {"target", unit5 + 308, 0x303},
        {"width", unit5 + 312, 4},
        {"LoadVerify", unit5 + 316, 2},
        {"dump position", unit5 + 320, 0x505},
        {"DevSize", unit5 + 324, 0x8000},
        {"FoldMode", unit5 + 328, 2},
        {"unit number", unit5 + 332, 3},
        {"reset normal", unit5 + 336, 1},
        {"reset pulse", unit5 + 340, 2},
        {"port slot", unit5 + 344, 2},
        {"slot 0 selector", 2816, 0x7FFFFFFF},
        {"slot 2 selector", 2816 + 16, 0x378},
        {"slot 2 delay", 2816 + 20, static_cast<uint32_t>(-7)},
        {"magic", 2848, 0xAD68},
    };
    for (const auto& f : fields) EXPECT_EQ(At32(v, f.offset), f.value) << f.field;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&v[unit5])), "dir/prog.hex");
    // The rest of the name field is zero, so equal sessions give equal files.
    for (size_t i = unit5 + 12; i < unit5 + 300; ++i) ASSERT_EQ(v[i], 0) << i;
}

TEST(ConfigLayout, BlockReadsBackField) {
    SessionBlock in = DistinctBlock();
    // A name of the full 300 characters fills the field and still comes back whole.
    std::memset(in.Units[5].request.FileName, 'n', 300);
    in.Units[5].request.FileName[300] = 0;
    SessionBlock out;
    ASSERT_TRUE(DecodeSessionBlock(BlockBytes(in).data(), out));
    EXPECT_EQ(BlockBytes(out), BlockBytes(in));
    EXPECT_EQ(std::strlen(out.Units[5].request.FileName), 300u);
    EXPECT_EQ(out.Slots[2].Delay, -7);
    EXPECT_EQ(out.Units[5].ResetPulse, 2u);
}

// Reads a file image through the reader.
bool ReadImage(const std::vector<uint8_t>& bytes, SessionBlock& block, ConfigKeys& keys) {
    std::vector<uint8_t> copy = bytes;
    if (copy.empty()) copy.push_back(0);  // fmemopen needs a buffer; the size below is what counts
    std::FILE* f = fmemopen(copy.data(), bytes.size(), "rb");
    if (!f) ADD_FAILURE() << "fmemopen";
    bool ok = f && ReadConfiguration(f, block, keys);
    if (f) std::fclose(f);
    return ok;
}

class KeyTexts : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() {
        for (int i = 0; i < FUNCTION_KEYS; ++i) FunctionKeyTable()[i].loaded[0] = FunctionKeyTable()[i].current[0] = 0;
    }
    static FunctionKey& Key(int i) { return FunctionKeyTable()[i]; }
};

TEST_F(KeyTexts, RecordsInTableOrderReadBack) {
    std::strcpy(Key(39).current, "c10");
    std::strcpy(Key(4).current, "\r;x\"\\");
    std::string longest(KEY_TEXT_LIMIT, 'k');
    std::strcpy(Key(10).current, longest.c_str());
    std::vector<uint8_t> bytes = EncodeConfiguration(DistinctBlock(), FunctionKeyTable());
    // F5 (0x3F00) before A1 (0x6800) before C10 (0x6700): table order, not code order.
    std::vector<uint8_t> tail(bytes.begin() + SESSION_BLOCK_SIZE, bytes.end());
    std::vector<uint8_t> expect;
    Append(expect, {0x00, 0x3F, '\r', ';', 'x', '"', '\\', 0, 0x00, 0x68});
    for (char c : longest) expect.push_back(static_cast<uint8_t>(c));
    Append(expect, {0, 0x00, 0x67, 'c', '1', '0', 0, 0, 0});
    EXPECT_EQ(tail, expect);

    SessionBlock block;
    static ConfigKeys keys;
    ASSERT_TRUE(ReadImage(bytes, block, keys));
    EXPECT_STREQ(keys.text[4], "\r;x\"\\");
    EXPECT_EQ(std::string(keys.text[10]), longest);
    EXPECT_STREQ(keys.text[39], "c10");
    EXPECT_STREQ(keys.text[0], "");
}

TEST_F(KeyTexts, TextOverTheLimitIsLeftOutSoTheFileReadsBack) {
    std::strcpy(Key(0).current, std::string(KEY_TEXT_LIMIT + 1, 'x').c_str());
    std::strcpy(Key(1).current, "kept");
    std::vector<int> skipped;
    std::vector<uint8_t> bytes = EncodeConfiguration(DistinctBlock(), FunctionKeyTable(), &skipped);
    EXPECT_EQ(skipped, std::vector<int>{0});
    SessionBlock block;
    static ConfigKeys keys;
    ASSERT_TRUE(ReadImage(bytes, block, keys));
    EXPECT_STREQ(keys.text[0], "");
    EXPECT_STREQ(keys.text[1], "kept");
}

TEST_F(KeyTexts, DefiningAKeyIsAChange) {
    SessionDefaults();
    LastSavedSession() = Session();
    EXPECT_FALSE(ConfigurationChanged());
    std::strcpy(Key(2).current, "x");
    EXPECT_TRUE(ConfigurationChanged());
    std::strcpy(Key(2).loaded, "x");
    EXPECT_FALSE(ConfigurationChanged());
    Key(2).current[0] = 0;  // back to the default is a change from the loaded text
    EXPECT_TRUE(ConfigurationChanged());
    Key(2).loaded[0] = 0;
    Session().DumpWidth = 8;
    EXPECT_TRUE(ConfigurationChanged());
}

// Damaged and foreign files: the reader refuses them whole.
struct Damage {
    const char* name;
    void (*spoil)(std::vector<uint8_t>&);
};

std::vector<uint8_t> GoodImage() {
    std::vector<uint8_t> b = BlockBytes(DistinctBlock());
    Append(b, {0x00, 0x3B, 'a', 0, 0, 0});  // F1 "a", closing code
    return b;
}

TEST(ConfigReader, RefusesDamagedFiles) {
    const Damage cases[] = {
        {"empty", [](std::vector<uint8_t>& b) { b.clear(); }},
        {"short block", [](std::vector<uint8_t>& b) { Cut(b, 2851); }},
        {"block only", [](std::vector<uint8_t>& b) { Cut(b, 2852); }},
        {"wrong magic", [](std::vector<uint8_t>& b) { Put32(b, 2848, 0xAD69); }},
        {"magic in the low half only", [](std::vector<uint8_t>& b) { Put32(b, 2848, 0x1AD68); }},
        {"no closing code", [](std::vector<uint8_t>& b) { Cut(b, b.size() - 2); }},
        {"half a closing code", [](std::vector<uint8_t>& b) { Cut(b, b.size() - 1); }},
        {"unknown key code", [](std::vector<uint8_t>& b) { b[2853] = 0x45; }},  // 0x4500 is no key
        {"text without NUL", [](std::vector<uint8_t>& b) { Cut(b, 2855); }},
        {"100-character text",
         [](std::vector<uint8_t>& b) {
             Cut(b, 2854);
             b.insert(b.end(), 100, 'x');
             Append(b, {0, 0, 0});
         }},
        {"lane count 0", [](std::vector<uint8_t>& b) { Put32(b, 12, 0); }},
        {"lane count 5", [](std::vector<uint8_t>& b) { Put32(b, 12, 5); }},
        {"lane unit 4", [](std::vector<uint8_t>& b) { Put32(b, 16, 4); }},
        {"unit on a free slot", [](std::vector<uint8_t>& b) { Put32(b, 32 + 5 * 348 + 344, 1); }},
        {"unit on slot 4", [](std::vector<uint8_t>& b) { Put32(b, 32 + 5 * 348 + 344, 4); }},
        {"unit number 4", [](std::vector<uint8_t>& b) { Put32(b, 32 + 5 * 348 + 332, 4); }},
        {"size of no device type", [](std::vector<uint8_t>& b) { Put32(b, 32 + 5 * 348 + 324, 0x9000); }},
    };
    SessionBlock block;
    static ConfigKeys keys;
    ASSERT_TRUE(ReadImage(GoodImage(), block, keys));
    EXPECT_STREQ(keys.text[0], "a");
    for (const Damage& d : cases) {
        std::vector<uint8_t> b = GoodImage();
        d.spoil(b);
        SessionBlock untouched;
        untouched.DumpLength = 0x4242;
        EXPECT_FALSE(ReadImage(b, untouched, keys)) << d.name;
        EXPECT_EQ(untouched.DumpLength, 0x4242u) << d.name;
    }
    // 99 characters are fine; bytes after the closing code are not looked at.
    std::vector<uint8_t> b = GoodImage();
    Cut(b, 2854);
    b.insert(b.end(), 99, 'x');
    Append(b, {0, 0, 0, 'j', 'u', 'n', 'k'});
    EXPECT_TRUE(ReadImage(b, block, keys));
    EXPECT_EQ(std::string(keys.text[0]), std::string(99, 'x'));
}

// ---- The built program ----

const char kNoFile[] = "No config file found, using internal defaults\n";
const char kInvalid[] = "INVALID CONFIGURATION FILE\nUsing Defaults\a\n";
const char kAsk[] = "OK to Update Configuration? (y/n):";

bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

SessionBlock Decode(const std::vector<uint8_t>& bytes) {
    SessionBlock b;
    EXPECT_GE(bytes.size(), SESSION_BLOCK_SIZE);
    if (bytes.size() >= SESSION_BLOCK_SIZE) { EXPECT_TRUE(DecodeSessionBlock(bytes.data(), b)); }
    return b;
}

class ConfigProgram : public ::testing::Test {
protected:
    zam32test::Run Session(const char* input, const char* zam32arg = nullptr) {
        return RunZam32(dir.path(), Options{zam32arg, nullptr, {}, input});
    }
    std::string Cfg() const { return dir.file("ZAM32.CFG"); }
    bool CfgExists() const { return access(Cfg().c_str(), F_OK) == 0; }
    TempDir dir;
};

TEST_F(ConfigProgram, SessionSurvivesQuitAndStart) {
    testsupport::WriteText(dir.file("a.hex"), ":0100000041BE\n:00000001FF\n");
    zam32test::Run first = Session("p v\nu 01\nt 27256\nr hz\nl a.hex,,,40\nd 100,20,8\nq\ny\n");
    EXPECT_TRUE(Has(first.out, kNoFile)) << first.out;
    EXPECT_TRUE(Has(first.out, kAsk)) << first.out;
    ASSERT_TRUE(CfgExists()) << first.out;
    const std::vector<uint8_t> saved = ReadFile(Cfg());
    EXPECT_EQ(saved.size(), SESSION_BLOCK_SIZE + 2);  // no key texts: only the closing code
    SessionBlock b = Decode(saved);
    EXPECT_EQ(b.CurrentPort, 0u);
    EXPECT_EQ(b.LaneCount, 2u);
    EXPECT_EQ(b.DumpLength, 0x20u);
    EXPECT_EQ(b.DumpWidth, 8u);
    EXPECT_EQ(b.Units[0].ResetNormal, 1u);
    EXPECT_EQ(b.Units[0].ResetPulse, 2u);
    EXPECT_STREQ(b.Units[0].request.FileName, "a.hex");
    EXPECT_EQ(b.Units[0].request.Target, 0x40u);
    EXPECT_EQ(b.Units[0].DumpPosition, 0x120u);

    // The next start checks both units again and continues where the dump stopped.
    zam32test::Run second = Session("?\nd\nq\n");
    EXPECT_FALSE(Has(second.out, kNoFile)) << second.out;
    EXPECT_TRUE(Has(second.out, "Checking PvU0 as 27256\nChecking PvU1 as 27256\nPvU01>")) << second.out;
    EXPECT_TRUE(Has(second.out, "v      0    27256,pf HZ     a.hex,,,40,,NV\n")) << second.out;
    EXPECT_TRUE(Has(second.out, "PvU01>d\n00120: ")) << second.out;
    EXPECT_TRUE(Has(second.out, "00138: ")) << second.out;
    EXPECT_FALSE(Has(second.out, "00140: ")) << second.out;
    // The dump moved the position on: a change, so Q asks; the closed input answers no.
    EXPECT_TRUE(Has(second.out, kAsk)) << second.out;
    EXPECT_EQ(ReadFile(Cfg()), saved);

    // Nothing changed: nothing is asked and nothing written.
    zam32test::Run third = Session("?\nq\n");
    EXPECT_FALSE(Has(third.out, kAsk)) << third.out;
    EXPECT_EQ(ReadFile(Cfg()), saved);
}

TEST_F(ConfigProgram, QuitKeywordsDecide) {
    ASSERT_EQ(Session("p v\nt 27256\nqy\n").status, 0);
    const std::vector<uint8_t> base = ReadFile(Cfg());
    ASSERT_EQ(base.size(), SESSION_BLOCK_SIZE + 2);
    struct Case {
        const char* input;
        bool asks;
        bool writes;
    } cases[] = {
        {"d 0,10,8\nqn\n", false, false},
        {"d 0,10,8\nquitn\n", false, false},
        {"d 0,10,8\nq\nn\n", true, false},
        {"d 0,10,8\nquit\nx\nn\n", true, false},  // letters other than y and n are ignored
        {"d 0,10,8\nq\n", true, false},           // end of input answers no
        {"d 0,10,8\nq\ny\n", true, true},
        {"d 0,10,8\nQUITY\n", false, true},
        {"d 0,10,8\n", false, false},  // end of input quits without saving
    };
    for (const Case& c : cases) {
        WriteFile(Cfg(), base);
        zam32test::Run r = Session(c.input);
        EXPECT_EQ(Has(r.out, kAsk), c.asks) << c.input << r.out;
        const std::vector<uint8_t> now = ReadFile(Cfg());
        EXPECT_EQ(now != base, c.writes) << c.input << r.out;
        if (c.writes) { EXPECT_EQ(At32(now, 4), 8u) << c.input; }
    }
    // In batch mode a session that failed writes nothing; one that succeeded saves.
    WriteFile(Cfg(), base);
    EXPECT_EQ(Session(nullptr, "/b d 0,10,8;x").status, 3);
    EXPECT_EQ(ReadFile(Cfg()), base);
    EXPECT_EQ(Session(nullptr, "/b d 0,10,8").status, 0);
    EXPECT_EQ(At32(ReadFile(Cfg()), 4), 8u);
}

TEST_F(ConfigProgram, NoConfigurationOptionStartsFromDefaults) {
    ASSERT_EQ(Session("p v\nt 27256\nqy\n").status, 0);
    const std::vector<uint8_t> base = ReadFile(Cfg());
    zam32test::Run r = Session("q\n", "/n");
    EXPECT_FALSE(Has(r.out, kNoFile)) << r.out;
    EXPECT_FALSE(Has(r.out, "Checking")) << r.out;
    EXPECT_TRUE(Has(r.out, "Pl1U0>q")) << r.out;
    EXPECT_FALSE(Has(r.out, kAsk)) << r.out;
    // Changed defaults are still offered.
    r = RunZam32(dir.path(), Options{nullptr, nullptr, {"/N"}, "p v\nq\nn\n"});
    EXPECT_TRUE(Has(r.out, kAsk)) << r.out;
    EXPECT_EQ(ReadFile(Cfg()), base);
}

TEST_F(ConfigProgram, DamagedFilesFallBackToDefaults) {
    std::vector<uint8_t> good = EncodeConfiguration(DistinctBlock(), FunctionKeyTable());
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> shortFile(good.begin(), good.begin() + 100);
    std::vector<uint8_t> magic = good;
    Put32(magic, 2848, 0x68AD);
    std::vector<uint8_t> noEnd(good.begin(), good.end() - 2);
    std::vector<uint8_t> badKey = good;
    Cut(badKey, badKey.size() - 2);
    Append(badKey, {0x00, 0x01, 'x', 0, 0, 0});
    std::vector<uint8_t> longText = good;
    std::vector<uint8_t> rec = {0x00, 0x3B};
    rec.insert(rec.end(), 100, 'x');
    rec.push_back(0);
    longText.insert(longText.end() - 2, rec.begin(), rec.end());
    const Case cases[] = {{"empty", {}},
                          {"short", shortFile},
                          {"wrong magic", magic},
                          {"no closing code", noEnd},
                          {"unknown key code", badKey},
                          {"100-character text", longText}};
    for (const Case& c : cases) {
        WriteFile(Cfg(), c.bytes);
        zam32test::Run r = Session("?\nq\n");
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_TRUE(Has(r.out, std::string("Type h for Help\n\n") + kInvalid + "Pl1U0>")) << c.name << r.out;
        EXPECT_FALSE(Has(r.out, kAsk)) << c.name << r.out;  // the defaults are the saved state now
        EXPECT_EQ(ReadFile(Cfg()), c.bytes) << c.name;
    }
    // A directory of that name is no configuration.
    ::unlink(Cfg().c_str());
    ASSERT_EQ(::mkdir(Cfg().c_str(), 0755), 0);
    zam32test::Run r = Session("p v\nqy\n");
    EXPECT_TRUE(Has(r.out, kNoFile)) << r.out;
    EXPECT_TRUE(Has(r.out, "UNABLE TO WRITE CONFIGURATION FILE\a\n")) << r.out;
    ::rmdir(Cfg().c_str());
}

TEST_F(ConfigProgram, UnitsThatNoLongerAnswerAreRemoved) {
    SessionBlock b;
    for (UnitRecord& u : b.Units) u.UnitNumber = UNIT_FREE;
    for (PortSlot& s : b.Slots) s = PortSlot{SLOT_FREE, 0};
    b.CurrentPort = 0x80000000;  // USB, where no unit is attached in this test
    b.Slots[0] = PortSlot{0x80000000, 0};
    b.Slots[1] = PortSlot{0, DELAY_DEFAULT};
    b.Units[0].UnitNumber = 0;
    b.Units[0].request.DevSize = 0x8000;
    b.Units[0].PortSlot = 0;
    b.Units[1].UnitNumber = 2;
    b.Units[1].request.DevSize = 0x800;
    b.Units[1].PortSlot = 1;
    WriteFile(Cfg(), EncodeConfiguration(b, FunctionKeyTable()));
    zam32test::Run r = Session("?\np v\nu 2\nd 0,1\nqn\n");
    EXPECT_TRUE(Has(r.out, "Checking PuU0 as 27256\nCANNOT ACCESS EMULATOR ON PORT u UNIT 0\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Checking PvU2 as 2716\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "PuU0>?\n\nActive Units")) << r.out;
    EXPECT_TRUE(Has(r.out, "v      2    2716,nf  ZL     (none)\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "u      0    (none)\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "PvU2>d 0,1\n00000: ")) << r.out;
}

TEST_F(ConfigProgram, KeyTextOf99CharactersSurvives) {
    FunctionKey* keys = FunctionKeyTable();
    const std::string text(99, 'k');
    std::strcpy(keys[4].current, text.c_str());
    WriteFile(Cfg(), EncodeConfiguration(DistinctBlock(), keys));
    keys[4].current[0] = 0;
    // A change elsewhere makes Q save; the key text goes along.
    zam32test::Run r = Session("p v\nqy\n");
    SessionBlock b;
    static ConfigKeys read;
    std::vector<uint8_t> bytes = ReadFile(Cfg());
    std::FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(ReadConfiguration(f, b, read)) << r.out;
    std::fclose(f);
    EXPECT_EQ(std::string(read.text[4]), text);
    EXPECT_EQ(b.CurrentPort, 0u);
}

// The file beside the program is used when the current directory has none; the save
// goes to the current directory and leaves the program's own file alone.
TEST(ConfigProgramDirectory, FileBesideTheProgram) {
    TempDir root;
    const std::string bin = root.file("bin"), work = root.file("work");
    ASSERT_EQ(::mkdir(bin.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
    ASSERT_EQ(testsupport::RunCommand("cp " + Quote(std::string(PELMO_BIN_DIR) + "/zam32") + " " + Quote(bin)), 0);
    SessionBlock b;
    for (UnitRecord& u : b.Units) u.UnitNumber = UNIT_FREE;
    for (PortSlot& s : b.Slots) s = PortSlot{SLOT_FREE, 0};
    b.CurrentPort = 0;
    b.Slots[0] = PortSlot{0, DELAY_DEFAULT};
    b.Units[0].UnitNumber = 0;
    b.Units[0].request.DevSize = 0x1000;
    const std::vector<uint8_t> beside = EncodeConfiguration(b, FunctionKeyTable());
    WriteFile(bin + "/ZAM32.CFG", beside);
    testsupport::WriteText(work + "/in.txt", "d 0,1\nqy\n");
    std::string out;
    testsupport::RunCommand(
        "cd " + Quote(work) + " && env -u ZAM32ARG -u PELMO_SIM_USB " + Quote(bin + "/zam32") + " < in.txt", &out);
    EXPECT_TRUE(Has(out, "Using default config file \"" + bin + "/ZAM32.CFG\"\nChecking PvU0 as 2732\nPvU0>")) << out;
    EXPECT_EQ(ReadFile(bin + "/ZAM32.CFG"), beside);
    std::vector<uint8_t> saved = ReadFile(work + "/ZAM32.CFG");
    ASSERT_EQ(saved.size(), beside.size()) << out;
    EXPECT_EQ(At32(saved, 32 + 320), 1u);  // the dump position moved on
}

// A save that cannot be completed leaves the old file exactly as it was and no
// temporary file behind. The file systems are made in a mount namespace of their own.
TEST(ConfigSave, FailedSaveKeepsTheOldFile) {
    if (!testsupport::HaveProgram("unshare")) GTEST_SKIP() << "unshare not installed";
    TempDir root;
    SessionBlock b;
    for (UnitRecord& u : b.Units) u.UnitNumber = UNIT_FREE;
    for (PortSlot& s : b.Slots) s = PortSlot{SLOT_FREE, 0};
    b.Slots[0] = PortSlot{1, DELAY_DEFAULT};
    WriteFile(root.file("old.cfg"), EncodeConfiguration(b, FunctionKeyTable()));
    testsupport::WriteText(root.file("in.txt"), "p v\nt 27256\nqy\n");
    const std::string zam32 = Quote(std::string(PELMO_BIN_DIR) + "/zam32");
    const struct {
        const char* name;
        const char* prepare;  // run in the mounted directory m after the old file is in place
    } cases[] = {
        {"read-only file system", "mount -o remount,ro m"},
        {"full file system", "dd if=/dev/zero of=m/fill bs=1024 2>/dev/null; true"},
    };
    for (const auto& c : cases) {
        const std::string script = std::string("cd ") + Quote(root.path()) +
                                   " && rm -rf m && mkdir m && (mount -t tmpfs -o size=64k tmpfs m || exit 77)"
                                   " && cp old.cfg m/ZAM32.CFG && " +
                                   c.prepare + " && (cd m && env -u ZAM32ARG " + zam32 +
                                   " < ../in.txt); cmp m/ZAM32.CFG old.cfg && echo SAME; ls -A m";
        std::string out;
        int status = testsupport::RunCommand("unshare -m sh -c " + Quote(script), &out);
        if (status == 77 || Has(out, "unshare failed") || Has(out, "Operation not permitted"))
            GTEST_SKIP() << "no mount namespace here: " << out;
        EXPECT_TRUE(Has(out, "UNABLE TO WRITE CONFIGURATION FILE\a\n")) << c.name << out;
        EXPECT_TRUE(Has(out, "SAME\n")) << c.name << out;
        EXPECT_FALSE(Has(out, ".pelmo-")) << c.name << out;  // no temporary file left
    }
}

// Without root a plain read-only directory does it.
TEST(ConfigSave, ReadOnlyDirectory) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories; the mount case covers it";
    TempDir dir;
    WriteFile(dir.file("ZAM32.CFG"), {1, 2, 3});
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    zam32test::Run r = RunZam32(dir.path(), Options{nullptr, nullptr, {}, "p v\nqy\n"});
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_TRUE(Has(r.out, "UNABLE TO WRITE CONFIGURATION FILE\a\n")) << r.out;
    EXPECT_EQ(ReadFile(dir.file("ZAM32.CFG")), (std::vector<uint8_t>{1, 2, 3}));
}

}  // namespace
