// D and E: the byte entry field with scripted keys, dumps and edits through the built
// program on virtual and simulated USB units, and an interactive edit typed on a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "zam32/bytefield.h"
#include "zam32/screen.h"
#include "tests/zam32/pty_terminal.h"
#include "zam32_run.h"

using testsupport::TempDir;
using zam32test::Quote;

namespace {

bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

// ---- The byte entry field ----

const char* g_keys = nullptr;
int ScriptedKey() {
    if (!g_keys || !*g_keys) return 0;
    return static_cast<unsigned char>(*g_keys++);
}

struct FieldCase {
    const char* keys;
    const char* prefill;
    int result;
    const char* field;   // after the field ended
    const char* screen;  // what it printed
};

TEST(ByteField, Keys) {
    const FieldCase cases[] = {
        {"AB\r", "", BYTE_KEY_ENTER, "AB", "AB\b\b"},
        {"ab ", "", BYTE_KEY_SPACE, "AB", "AB\b\b"},
        {"ABC\r", "", BYTE_KEY_ENTER, "AB", "AB\b\b"},  // a third hex digit is refused
        {"7\n", "", BYTE_KEY_ENTER, "07", "7\b"},       // one digit is the low one; LF is Enter
        {"'A ", "", BYTE_KEY_SPACE, "41", "'A\b\b"},
        {"' \r", "", BYTE_KEY_ENTER, "20", "' \b\b"},     // Space after the apostrophe is the character
        {"'\r\r", "", BYTE_KEY_ENTER, "0D", "'.\b\b"},    // so is Enter, shown as '.'
        {"'\x0c\r", "", BYTE_KEY_ENTER, "0C", "'.\b\b"},  // and Ctrl+L
        {"'AB\r", "", BYTE_KEY_ENTER, "41", "'A\b\b"},    // one character only
        {"#255\r", "", BYTE_KEY_ENTER, "FF", "#255\b\b\b\b"},
        {"#256\r", "", BYTE_KEY_ENTER, "19", "#25\b\b\b"},      // the 6 would reach 256
        {"#300\r", "", BYTE_KEY_ENTER, "1E", "#30\b\b\b"},      // the third digit is refused
        {"#0099\r", "", BYTE_KEY_ENTER, "09", "#009\b\b\b\b"},  // at most three digits
        {"#\r\x08"
         "5\r",
         "", BYTE_KEY_ENTER, "05", "#\b \b5\b"},  // a lone '#' does not end the field
        {"xg-\x1b"
         "1\r",
         "", BYTE_KEY_ENTER, "01", "1\b"},  // other keys are ignored
        {"\x08", "", BYTE_KEY_BACKSPACE, "", ""},
        {"A\x08\x08", "", BYTE_KEY_BACKSPACE, "", "A\b \b"},
        {"'\x7f\r", "", BYTE_KEY_ENTER, "7F", "'.\b\b"},  // any key after the apostrophe
        {"\x7f"
         "1\x7f"
         "2 ",
         "", BYTE_KEY_SPACE, "12", "12\b\b"},  // extended keys (0x7F) are ignored
        {"1\x7f\x08\x7f\x08", "", BYTE_KEY_BACKSPACE, "", "1\b \b"},
        {"\r", "", BYTE_KEY_ENTER, "", ""},  // empty: the byte is kept
        {"\x0c", "", BYTE_KEY_CANCEL, "", ""},
        {"1\x0c", "", BYTE_KEY_CANCEL, "1", "1\b"},
        {"", "", BYTE_KEY_END, "", ""},
        {"\r", "5A", BYTE_KEY_ENTER, "5A", "5A\b\b"},  // pre-filled is offered as typed
        {"3\x08"
         "C\r",
         "5A", BYTE_KEY_ENTER, "5C", "5A\b \bC\b\b"},
        {"\x08\x08\x08", "5A", BYTE_KEY_BACKSPACE, "", "5A\b \b\b \b"},
    };
    std::string screen;
    for (const FieldCase& c : cases) {
        char field[BYTE_FIELD_SIZE];
        std::snprintf(field, sizeof field, "%s", c.prefill);
        g_keys = c.keys;
        screen.clear();
        CaptureOutput(&screen);
        int result = ByteEntryField(field, ScriptedKey);
        CaptureOutput(nullptr);
        EXPECT_EQ(result, c.result) << c.keys;
        EXPECT_STREQ(field, c.field) << c.keys;
        EXPECT_EQ(screen, c.screen) << c.keys;
    }
}

// ---- D and E in the built program ----

class MemoryProgram : public ::testing::Test {
protected:
    // Runs `line` in batch mode (no configuration: nothing to read, nothing saved),
    // with `units` on the simulated USB bus when given.
    zam32test::Run Batch(const std::string& line, const std::string& units = "", const char* input = nullptr) {
        std::string cmd = "cd " + Quote(dir.path()) + " && env -u ZAM32ARG -u ZAM32OSCLASS -u PELMO_SIM_USB";
        if (!units.empty()) cmd += " PELMO_SIM_USB=" + Quote(units);
        cmd += " ZAM32ARG=" + Quote("/b /n " + line) + " timeout 40 " + Quote(std::string(PELMO_BIN_DIR) + "/zam32");
        if (input) {
            testsupport::WriteText(dir.file("in.txt"), input);
            cmd += " < in.txt";
        } else {
            cmd += " <&-";
        }
        zam32test::Run r;
        r.status = testsupport::RunCommand(cmd, &r.out);
        return r;
    }
    TempDir dir;
};

struct DumpCase {
    const char* name;
    std::string line;
    int status;
    std::string expect;       // a piece of the output
    std::string absent = "";  // must not appear
};

// The same dumps and edits on a virtual unit and on a simulated USB unit.
const char* const kPorts[][2] = {{"virtual", ""}, {"usb", "unit=0,ram=32"}};

TEST_F(MemoryProgram, DumpsAndDirectEdits) {
    const DumpCase cases[] = {
        {"wrap at the end of a 4 KB lane set", "t 2732;e ff8,\"ABCDEFGH\";e 0,\"01234567\";d ff8,10;= $0;d ,1", 0,
         "00FF8: 41 42 43 44 45 46 47 48 30 31 32 33 34 35 36 37 ABCDEFGH01234567\n"
         "$0 <- $0 = 37 = #55\n00008: "},
        {"18+14 pieces, the second one padded", "t 2732;e 0,\"abcdefghijklmnopqrstuvwxyz012345\";d 0,40,20", 0,
         "00000: 61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70 71 72 abcdefghijklmnopqr\n"
         "00012: 73 74 75 76 77 78 79 7A 30 31 32 33 34 35 " +
             std::string(12, ' ') + "stuvwxyz012345\n00020: "},
        {"no padding when the width is the narrowest", "t 2732;e 0,1,2,3,4,5,6,7,8;d 0,8,4", 0,
         "00000: 01 02 03 04 ....\n00004: 05 06 07 08 ....\n"},
        {"a short last line is padded to the width", "t 2732;e 0,\"ABCDE\";d 0,5,4", 0,
         "00000: 41 42 43 44 ABCD\n00004: 45 " + std::string(9, ' ') + "E\n"},
        {"defaults continue after the last dump", "t 2732;d 100,20;d", 0, "00130: ", "00140: "},
        {"a length above the device wraps around", "t 2732;e 0,'Z;d 0,1001,10", 0,
         "\n00000: 5A " + std::string(45, ' ') + "Z\n"},
        {"width 0 refused", "t 2732;d 0,10,0", 3, "COMMAND ERROR NEAR \"0\"\nINVALID WIDTH ARGUMENT\a\n"},
        {"width 10000 refused", "t 2732;d 0,10,10000", 3, "INVALID WIDTH ARGUMENT\a\n"},
        {"width above the device refused", "t 2732;d 0,10,1001", 3, "INVALID WIDTH ARGUMENT\a\n"},
        {"start at the end refused", "t 2732;d 1000", 3, "COMMAND ERROR NEAR \"1000\"\nINVALID START ARGUMENT\a\n"},
        {"negative start refused", "t 2732;d -1", 3, "INVALID START ARGUMENT\a\n"},
        {"zero length refused", "t 2732;d 0,0", 3, "COMMAND ERROR NEAR \"0\"\nINVALID LENGTH ARGUMENT\a\n"},
        {"values, a string, an empty position and a decimal", "t 2732;e 13,77;e 10,41,\"BC\",,#255;d 10,5", 0,
         "00010: 41 42 43 77 FF ABCw.\n"},
        {"-1 writes FF", "t 2732;e 10,-1,-80;d 10,2", 0, "00010: FF 80 "},
        {"100 refused", "t 2732;e 10,100", 3,
         "COMMAND ERROR NEAR \"100\"\nINVALID DATA ARGUMENT, 00 - FF REQUIRED\a\n"},
        {"-81 refused", "t 2732;e 10,-81", 3, "INVALID DATA ARGUMENT, 00 - FF REQUIRED\a\n"},
        {"ending at the last byte", "t 2732;e ffe,1,2;d ffe,2", 0, "00FFE: 01 02 "},
        {"one byte further refused", "t 2732;e ffe,1,2,3", 3, "DATA EXTENDS PAST END OF DEFINED DEVICE\a\n"},
        {"a string past the end refused", "t 2732;e ffe,\"abc\"", 3, "DATA EXTENDS PAST END OF DEFINED DEVICE\a\n"},
        {"continuation with data", "t 2732;e 20,1,2;e ,3,4;d 20,4", 0, "00020: 01 02 03 04 "},
        {"continuation after the last byte starts at 0", "t 2732;e fff,1;e ,9;d 0,1", 0, "00000: 09 "},
        {"no continuation after another command", "t 2732;e 20,1;d 0,1;e ,2", 3,
         "START ARGUMENT REQUIRED, LAST COMMAND WAS NOT A SUCCESSFUL EDIT\a\n"},
    };
    for (const auto& port : kPorts) {
        const std::string select = std::string(port[1][0] ? "p u" : "p v") + ";";
        for (const DumpCase& c : cases) {
            zam32test::Run r = Batch(select + c.line, port[1]);
            EXPECT_EQ(r.status, c.status) << port[0] << ": " << c.name << "\n" << r.out;
            EXPECT_TRUE(Has(r.out, c.expect)) << port[0] << ": " << c.name << "\n" << r.out;
            if (!c.absent.empty()) { EXPECT_FALSE(Has(r.out, c.absent)) << port[0] << ": " << c.name << "\n" << r.out; }
        }
    }
}

// Piped input answers an interactive edit; "E 1,2" followed by "E" continues at 2,
// any other command in between needs a start again.
TEST_F(MemoryProgram, PipedInputAnswersAnInteractiveEdit) {
    testsupport::WriteText(dir.file("in.txt"), "p v\nt 2732\ne 2,0,0\ne 1,2\ne\n33 'x\n= 0\ne\nd 1,3\nqn\n");
    std::string out;
    testsupport::RunCommand("cd " + Quote(dir.path()) + " && env -u ZAM32ARG " +
                                Quote(std::string(PELMO_BIN_DIR) + "/zam32") + " /n < in.txt",
                            &out);
    EXPECT_TRUE(Has(out, "PvU0>e\n00002:   00=33\b\b33   00='x\b\b78   \n")) << out;
    EXPECT_TRUE(Has(out, "PvU0>e\nSTART ARGUMENT REQUIRED, LAST COMMAND WAS NOT A SUCCESSFUL EDIT\a\n")) << out;
    EXPECT_TRUE(Has(out, "00001: 02 33 78 ")) << out;
}

// Two units interleaved byte by byte: even addresses in unit 0, odd ones in unit 1;
// with "U -1" the even bytes go nowhere and read as FF.
TEST_F(MemoryProgram, InterleavedLanes) {
    for (const auto& port : kPorts) {
        const std::string units = port[1][0] ? "unit=0,ram=32;unit=1,ram=32" : "";
        const std::string p = port[1][0] ? "p u" : "p v";
        zam32test::Run r =
            Batch(p + ";u 01;t 27256;e 0,\"ABCDEF\";e fffc,0,0,1,2;d fffc,8;u 0;d 0,3;u 1;d 0,3;u -1;e 0,\"xyz\";d 0,4",
                  units);
        EXPECT_EQ(r.status, 0) << port[0] << r.out;
        EXPECT_TRUE(Has(r.out, "0FFFC: 00 00 01 02 41 42 43 44 ....ABCD\n")) << port[0] << r.out;
        EXPECT_TRUE(Has(r.out, "00000: 41 43 45 ACE\n")) << port[0] << r.out;
        EXPECT_TRUE(Has(r.out, "00000: 42 44 46 BDF\n")) << port[0] << r.out;
        EXPECT_TRUE(Has(r.out, "00000: FF 79 FF 44 .y.D\n")) << port[0] << r.out;
    }
}

// A bit that does not hold its value cannot be corrected: the edit says where.
TEST_F(MemoryProgram, UncorrectableByteOnAUsbUnit) {
    zam32test::Run r = Batch("p u;t 27256;e 10,1,3,5", "unit=0,ram=32,fault=stuck:0x11:1:0");
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_TRUE(Has(r.out, "UNCORRECTABLE ERROR WRITING EMULATOR RAM AT LOCATION 00011\a\n")) << r.out;
}

// ---- Interactive edit on a terminal ----

// The program with "/n" in `dir`, for a pseudo-terminal.
zam32test::TerminalOptions InDir(const std::string& dir) {
    zam32test::TerminalOptions o;
    o.dir = dir;
    o.args = {"/n"};
    return o;
}

TEST(MemoryTerminal, InteractiveEditWithRealKeys) {
    TempDir dir;
    zam32test::PtyTerminal t(InDir(dir.path()));
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    // Virtual RAM starts undefined: every byte looked at is written first.
    t.Type("p v;t 2732;e 10,\"0123456789\";e ffe,0,0;e 0,0\n");
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();
    t.Type("e 10\n");
    ASSERT_TRUE(t.WaitFor("00010:   30=")) << t.output();
    // 'A and Space store 41; the next byte is offered.
    t.Type("'A ");
    ASSERT_TRUE(t.WaitFor("'A\b\b41   31=")) << t.output();
    // Backspace on the empty entry goes back: the cell is erased and 41 offered again.
    t.Type("\x7f");
    ASSERT_TRUE(t.WaitFor("\b\b\b\b\b\b\b\b        \b\b\b\b\b\b\b\b41")) << t.output();
    // Change it to 4C; #300 cannot be typed (#30 then the 0 is refused) and gives 1E.
    t.Type(
        "\x7f"
        "C #300 ");
    ASSERT_TRUE(t.WaitFor("\b \bC\b\b4C   31=#30\b\b\b1E   32=")) << t.output();
    // Enter keeps the byte and ends the edit.
    t.Type("\r");
    ASSERT_TRUE(t.WaitFor("32   \r\n")) << t.output();
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();
    t.Type("d 10,8\n");
    ASSERT_TRUE(t.WaitFor("00010: 4C 1E 32 33 34 35 36 37 L.234567")) << t.output();
    // Eight bytes a line; the second line continues; Ctrl+L cancels it without writing.
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();
    t.Type("e 10\n");
    ASSERT_TRUE(t.WaitFor("00010:   4C=")) << t.output();
    t.Type("1 2 3 4 5 6 7 8 ");
    ASSERT_TRUE(t.WaitFor("08   \r\n00018:   38=")) << t.output();
    t.Type("99\x0c");
    ASSERT_TRUE(t.WaitFor("\r\n[CANCELLED]\r\n")) << t.output();
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();
    t.Type("d 10,9\n");
    ASSERT_TRUE(t.WaitFor("00010: 01 02 03 04 05 06 07 08 38 ")) << t.output();
    // The last address of the lane set ends a line; the edit goes on at 0.
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();
    t.Type("e ffe\n");
    ASSERT_TRUE(t.WaitFor("00FFE:   00=")) << t.output();
    t.Type("a b ");
    ASSERT_TRUE(t.WaitFor("0B   \r\n00000:   ")) << t.output();
    t.Type("c\r");
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();
    t.Type("d ffe,3\n");
    ASSERT_TRUE(t.WaitFor("00FFE: 0A 0B 0C ")) << t.output();
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();
    t.Type("qn\n");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

// In the byte field arrows, Delete, Home and the function keys are ignored (not taken
// as Backspace); after an apostrophe any key is the character (an extended key: 7F).
TEST(MemoryTerminal, ExtendedKeysInTheByteField) {
    TempDir dir;
    zam32test::PtyTerminal t(InDir(dir.path()));
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("p v;t 2732;e 0,0,0,0,0,0,0\n");
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();
    t.Type("e 0\n");
    ASSERT_TRUE(t.WaitFor("00000:   00=")) << t.output();
    // 1 Up 2 Space 4 Delete 5 Space F1 6 Space 8 Left 9 Space ' Up Space Home Enter
    t.Type("1\x1b[A2 4\x1b[3~5 \x1bOP6 8\x1b[D9 '\x1b[A \x1b[H\r");
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();
    t.Type("d 0,6\n");
    EXPECT_TRUE(t.WaitFor("00000: 12 45 06 89 7F 00 ")) << t.output();
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();
    t.Type("qn\n");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

// Ctrl+S pauses a long dump and Ctrl+L then cancels it; the position and $0 are kept.
TEST(MemoryTerminal, StopAndCancelADump) {
    TempDir dir;
    zam32test::PtyTerminal t(InDir(dir.path()));
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("p v;t 27080;f 0\n");
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();
    // Ctrl+S typed at the prompt would stop the terminal's output instead: wait for the
    // dump, which wraps round the device far longer than the test runs.
    // The terminal is in raw mode from the first poll on, after the first line.
    t.Type("d 0,7fffffff\n");
    ASSERT_TRUE(t.WaitFor("00010: ")) << t.output();
    t.Type("\x13");
    ASSERT_TRUE(t.WaitFor("[STOPPED]")) << t.output();
    // Keys typed while "[STOPPED]" is being shown are discarded: Ctrl+L again until seen.
    bool cancelled = false;
    for (int i = 0; i < 10 && !cancelled; ++i) {
        t.Type("\x0c");
        cancelled = t.WaitFor("[CANCELLED]\r\n", 2);
    }
    ASSERT_TRUE(cancelled) << t.output();
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();
    t.Type("= $0\n");
    ASSERT_TRUE(t.WaitFor("$0 <- $0 = 0  = #0")) << t.output();
    EXPECT_EQ(t.output().find("FFFF0: "), std::string::npos);
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();  // keys typed before the prompt are dropped
    t.Type("qn\n");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

}  // namespace
