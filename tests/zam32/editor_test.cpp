// The line editor on a terminal, key by key: typed byte sequences in, the line the
// program executed out (the "=" command shows its arguments as typed).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/zam32/pty_terminal.h"

namespace {

using zam32test::PtyTerminal;

const std::string kPrompt = "Pl1U0>";
const std::string kUp = "\x1b[A", kDown = "\x1b[B", kRight = "\x1b[C", kLeft = "\x1b[D";
const std::string kHome = "\x1b[H", kEnd = "\x1b[F", kIns = "\x1b[2~", kDel = "\x1b[3~";
const std::string kPgUp = "\x1b[5~", kPgDn = "\x1b[6~", kCtrlPgUp = "\x1b[5;5~", kCtrlPgDn = "\x1b[6;5~";
const std::string kCtrlLeft = "\x1b[1;5D", kCtrlRight = "\x1b[1;5C", kCtrlHome = "\x1b[1;5H", kCtrlEnd = "\x1b[1;5F";
// A step of this form waits until the screen shows the text after the marker.
const std::string kWait = "\x01";

struct EditCase {
    const char* name;
    std::vector<std::string> history;  // lines entered first
    std::vector<std::string> steps;    // keys, or kWait + screen text
    std::string expect;                // screen text the last line produces
};

std::string Redrawn(size_t oldLength) { return "\r" + kPrompt + std::string(oldLength, ' ') + "\r" + kPrompt; }

const EditCase kEditCases[] = {
    {"BackspaceAtEnd",
     {},
     {"= 12\x7f"
      "3\r"},
     "$0 <- 13 "},
    {"LeftThenOvertype", {}, {"= 123" + kLeft + kLeft + "9\r"}, "$0 <- 193 "},
    {"InsertInTheMiddle", {}, {"= 123" + kLeft + kLeft + kIns + "9\r"}, "$0 <- 1923 "},
    {"HomeInsert", {}, {"23" + kHome + kIns + "= 1\r"}, "$0 <- 123 "},
    {"HomeOvertype", {}, {"= 723" + kHome + "= 4\r"}, "$0 <- 423 "},
    {"EndAfterHome", {}, {"= 12" + kHome + kEnd + "3\r"}, "$0 <- 123 "},
    {"RightMoves", {}, {"= 123" + kHome + kRight + kRight + kRight + "9\r"}, "$0 <- 193 "},
    {"DeleteAtCursor", {}, {"= 1234" + kLeft + kLeft + kDel + "\r"}, "$0 <- 124 "},
    {"DeleteAtEndDoesNothing", {}, {"= 12" + kDel + "\r"}, "$0 <- 12 "},
    {"BackspaceInMiddleBlanks", {}, {"= 123" + kLeft + "\x7f\r"}, "$1 <- 3 "},
    {"BackspaceInMiddleInsertDeletes", {}, {"= 123" + kIns + kLeft + "\x7f\r"}, "$0 <- 13 "},
    {"BackspaceAtStartDoesNothing", {}, {"= 5" + kHome + "\x7f\r"}, "$0 <- 5 "},
    {"EscClears", {}, {"= 55\x1b", kWait + Redrawn(4), "= 66\r"}, "$0 <- 66 "},
    {"CtrlHomeClears", {}, {"= 55" + kCtrlHome + "= 7\r"}, "$0 <- 7 "},
    {"CtrlEndCutsTheRest", {}, {"= 1234" + kLeft + kLeft + kCtrlEnd + "\r"}, "$0 <- 12 "},
    {"CtrlLeftToWordStart", {}, {"= 11+22" + kCtrlLeft + "3\r"}, "$0 <- 11+32 "},
    {"CtrlLeftTwice", {}, {"= 11+22" + kCtrlLeft + kCtrlLeft + "3\r"}, "$0 <- 31+22 "},
    {"CtrlLeftInsideAWord", {}, {"= 11+234" + kLeft + kCtrlLeft + "9\r"}, "$0 <- 11+934 "},
    {"CtrlRightToNextWord", {}, {"= 11+22" + kHome + kCtrlRight + "5\r"}, "$0 <- 51+22 "},
    {"CtrlRightNoWordFollows", {}, {"= 11+22" + kLeft + kCtrlRight + "3\r"}, "$0 <- 11+23 "},
    {"UpOnEmptyHistory", {}, {kUp + "= 5\r"}, "$0 <- 5 "},
    {"UpRecallsNewest", {"= 41", "= 42"}, {kUp + "\r"}, "$0 <- 42 "},
    {"UpTwice", {"= 41", "= 42"}, {kUp + kUp + "\r"}, "$0 <- 41 "},
    {"DownAfterNewestEmpty", {"= 41"}, {kUp + kDown + "= 43\r"}, "$0 <- 43 "},
    {"SameLineStoredOnce", {"= 40", "= 41", "= 41"}, {kUp + kUp + "\r"}, "$0 <- 40 "},
    {"CtrlPgUpOldest", {"= 21", "= 22", "= 23"}, {kCtrlPgUp + "\r"}, "$0 <- 21 "},
    {"CtrlPgDnEmpty", {"= 21"}, {kUp + kCtrlPgDn + "= 24\r"}, "$0 <- 24 "},
    {"PgUpFindsNewestMatchKeepingCursor", {"= 17", "= 21", "= 18"}, {"= 1" + kPgUp + "5\r"}, "$0 <- 15 "},
    {"PgUpStepsThroughMatches", {"= 17", "= 21", "= 18"}, {"= 1" + kPgUp + kPgUp + "\r"}, "$0 <- 17 "},
    {"PgUpThenPgDn", {"= 17", "= 21", "= 18"}, {"= 1" + kPgUp + kPgUp + kPgDn + "\r"}, "$0 <- 18 "},
    {"PgUpIgnoresCase", {"= AB"}, {"= a" + kPgUp + "\r"}, "$0 <- AB "},
    {"PgUpAtLineStartDoesNothing", {"= 17"}, {kPgUp + "= 9\r"}, "$0 <- 9 "},
    {"InsertOffAtEachLine",
     {},
     {kIns + "= 9\r", kWait + "$0 <- 9", kWait + kPrompt, "= 723" + kHome + "= 4\r"},
     "$0 <- 423 "},
    {"CtrlCClearsTheLine",
     {},
     {"= 55\x03"
      "= 66\r"},
     "$0 <- 66 "},
    {"LineFeedActsAsEnter", {}, {"= 31\n"}, "$0 <- 31 "},
    // Other encodings of the same keys: SS3, VT220 numbers, rxvt Ctrl+arrows.
    {"HomeEncodings", {}, {"6" + std::string("\x1bOH") + "\x1b[1~" + "\x1b[7~" + kIns + "= 1\r"}, "$0 <- 16 "},
    {"EndEncodings",
     {},
     {"= 2" + kHome + "\x1bOF" + "3" + kHome + "\x1b[4~" + "4" + kHome + "\x1b[8~5\r"},
     "$0 <- 2345 "},
    {"ArrowsInApplicationMode",
     {"= 44"},
     {"= 123\x1bOD\x1bOD"
      "9"
      "\x1bOC"
      "\x1bOA\r"},
     "$0 <- 44 "},
    {"RxvtCtrlLeft",
     {},
     {"= 11+22\x1bOd"
      "3\r"},
     "$0 <- 11+32 "},
};

void PrintTo(const EditCase& c, std::ostream* os) { *os << c.name; }

class EditorKeys : public ::testing::TestWithParam<EditCase> {};

TEST_P(EditorKeys, ExecutesTheEditedLine) {
    const EditCase& c = GetParam();
    PtyTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    for (const std::string& h : c.history) {
        t.Type(h + "\r");
        ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    }
    for (const std::string& s : c.steps) {
        if (s.rfind(kWait, 0) == 0) ASSERT_TRUE(t.WaitFor(s.substr(1))) << t.output();
        else t.Type(s);
    }
    EXPECT_TRUE(t.WaitFor(c.expect)) << t.output();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("q n\r");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

INSTANTIATE_TEST_SUITE_P(Keys, EditorKeys, ::testing::ValuesIn(kEditCases),
                         [](const ::testing::TestParamInfo<EditCase>& i) { return std::string(i.param.name); });

// The longest line on an 80-column terminal has 69 characters; the rest is refused,
// also in insert mode, where the character pushed past the end is lost.
TEST(Editor, LineLimitOnEightyColumns) {
    PtyTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("= " + std::string(80, '1') + "\r");
    EXPECT_TRUE(t.WaitFor("$0 <- " + std::string(67, '1') + " ")) << t.output();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("= " + std::string(66, '1') + "2" + kHome + kRight + kRight + kIns + "3\r");
    EXPECT_TRUE(t.WaitFor("$0 <- 3" + std::string(66, '1') + " ")) << t.output();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("q n\r");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

TEST(Editor, NarrowTerminalNarrowsTheLine) {
    zam32test::TerminalOptions o;
    o.columns = 40;
    PtyTerminal t(o);
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("= " + std::string(50, '1') + "\r");
    EXPECT_TRUE(t.WaitFor("$0 <- " + std::string(27, '1') + " ")) << t.output();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("q n\r");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

// A terminal made narrower while a line is edited: nothing typed is lost, and the
// next line follows the new width.
TEST(Editor, ResizedWhileEditing) {
    PtyTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("= " + std::string(50, '1'));
    ASSERT_TRUE(t.WaitFor(std::string(50, '1'))) << t.output();
    t.Resize(40);
    t.Type("\r");
    EXPECT_TRUE(t.WaitFor("$0 <- " + std::string(50, '1') + " ")) << t.output();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("= " + std::string(50, '2') + "\r");
    EXPECT_TRUE(t.WaitFor("$0 <- " + std::string(27, '2') + " ")) << t.output();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("q n\r");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

// Function keys with Shift, Ctrl and Alt in the xterm, VT220 and Linux console forms:
// each key is given a text that runs "=" with the key's name.
struct FunctionCase {
    const char* key;
    std::string bytes;
};

const FunctionCase kFunctionCases[] = {
    {"F1", "\x1bOP"},      {"F1", "\x1b[11~"},   {"F1", "\x1b[[A"},    {"F4", "\x1bOS"},      {"F5", "\x1b[15~"},
    {"F5", "\x1b[[E"},     {"F6", "\x1b[17~"},   {"F9", "\x1b[20~"},   {"S1", "\x1b[1;2P"},   {"S3", "\x1b[1;2R"},
    {"S10", "\x1b[21;2~"}, {"C1", "\x1b[1;5P"},  {"C5", "\x1b[15;5~"}, {"C10", "\x1b[21;5~"}, {"A2", "\x1b[1;3Q"},
    {"A10", "\x1b[21;3~"}, {"C7", "\x1b[18;7~"}, {"C8", "\x1b[19;6~"},
};

TEST(Editor, FunctionKeysWithModifiers) {
    PtyTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    for (const FunctionCase& c : kFunctionCases) {
        // The text names the key as a value: 'F'*... is not hex, so quote its letters.
        std::string value = "'" + std::string(1, c.key[0]) + "+" + std::string(c.key + 1);
        t.Type(std::string("k ") + c.key + " \"= " + value + "\\r\"\r");
        ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
        t.Type(c.bytes);
        EXPECT_TRUE(t.WaitFor("$0 <- " + value + " ")) << c.key << " " << t.output();
        ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
        t.Type(std::string("k ") + c.key + "\r");
        ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    }
    t.Type("q n\r");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

// A key text without a final carriage return is inserted where the cursor is and
// waits for Enter; one that does not fit changes nothing.
TEST(Editor, KeyTextInsertedAtTheCursor) {
    PtyTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("k 4 \"+22\"\r");
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("= 1" + std::string("\x1b[14~") + "+3\r");
    EXPECT_TRUE(t.WaitFor("$0 <- 1+22+3 ")) << t.output();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("k 4 \"" + std::string(60, '1') + "\"\r");
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("= 2" + std::string(10, '0') + "\x1b[14~" + "\r");
    EXPECT_TRUE(t.WaitFor("$0 <- 2" + std::string(10, '0') + " ")) << t.output();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("q n\r");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

// F10's default text appends ";qn" and runs the line; F1's template makes "c%0;m".
TEST(Editor, DefaultFunctionKeys) {
    PtyTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("1234\x1bOP");
    EXPECT_TRUE(t.WaitFor("c1234;m")) << t.output();
    EXPECT_TRUE(t.WaitFor("UNRECOGNIZED COMMAND CHARACTER")) << t.output();
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type("= 3" + std::string("\x1b[21~"));
    EXPECT_TRUE(t.WaitFor("= 3;qn")) << t.output();
    EXPECT_TRUE(t.WaitFor("$0 <- 3 ")) << t.output();
    EXPECT_EQ(t.Status(), 0) << t.output();
}

// Cursor shapes: block while inserting, underline otherwise.
TEST(Editor, CursorShapeFollowsInsertMode) {
    PtyTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.output();
    t.Type(kIns);
    EXPECT_TRUE(t.WaitFor("\x1b[2 q")) << t.output();
    t.Type(kIns);
    EXPECT_TRUE(t.WaitFor("\x1b[4 q")) << t.output();
    t.Type("q n\r");
    EXPECT_EQ(t.Status(), 0) << t.output();
    EXPECT_NE(t.output().find("\x1b[0 q"), std::string::npos) << "the terminal's own cursor at exit";
}

}  // namespace
