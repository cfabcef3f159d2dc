// The command language: evaluator, argument parser, escapes, the error reporter's
// token rule and function-key references.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "zam32/lang.h"
#include "zam32/screen.h"

namespace {

// Puts text into the console's line buffer (which has its guard byte) and captures output.
class LangTest : public ::testing::Test {
protected:
    void SetUp() override {
        CaptureOutput(&out);
        ClearEchoText();
    }
    void TearDown() override { CaptureOutput(nullptr); }
    char* Line(const char* text) {
        char* line = LineBuffer();
        std::strcpy(line, text);
        return line;
    }
    // Parses into this fixture's records.
    const char* Parse(const char* text, const char* format) { return ParseArguments(text, format, &records); }
    Args args() const { return Args(records); }
    std::string out;
    std::vector<ArgRecord> records;
};

struct EvalCase {
    const char* text;
    bool valid;
    uint32_t value;
};

const EvalCase kEvalCases[] = {
    {"10", true, 0x10},
    {"#10", true, 10},
    {"1+2*3", true, 9},
    {"1+(2*3)", true, 7},
    {"'A", true, 0x41},
    {"' ", true, 0x20},
    {"~-5", true, 6},
    {"-~5", false, 0},
    {"1{4", true, 0x10},
    {"-8}1", true, 0xFFFFFFFCu},
    {"-7/2", true, 0xFFFFFFFDu},         // signed division truncates toward zero
    {"80000000/-1", true, 0x80000000u},  // the one overflowing quotient wraps
    {"10/0", false, 0},
    {"(1+2", false, 0},
    {"(1+2)*2", true, 6},
    {"((1))", true, 1},
    {"F0&3C|1^3", true, 0x32},
    {"0x1F", true, 0x1F},
    {"0X1f+1", true, 0x20},
    {"C1", true, 0xC1},
    {"FFFFFFFFF", true, 0xFFFFFFFFu},
    {"#4294967296", true, 0xFFFFFFFFu},
    {"#4294967295", true, 0xFFFFFFFFu},
    {"5-7", true, 0xFFFFFFFEu},
    {"5+", false, 0},
    {"-", false, 0},
    {"~", false, 0},
    {"#", false, 0},
    {"#-1", false, 0},
    {"'", false, 0},
    {"", false, 0},
    {"10 ", false, 0},
    {"v", false, 0},
    {"1)", false, 0},
    {"2{#33", true, 4},  // shift counts are taken AND 31
};

TEST_F(LangTest, EvaluatorTable) {
    for (const EvalCase& c : kEvalCases) {
        uint32_t v = 0xDEADBEEF;
        bool ok = Evaluate(c.text, &v);
        EXPECT_EQ(ok, c.valid) << "\"" << c.text << "\"";
        if (c.valid && ok) { EXPECT_EQ(v, c.value) << "\"" << c.text << "\""; }
    }
}

TEST_F(LangTest, VariablesAreReadInExpressions) {
    SetVariable(3, 0x100);
    SetVariable(9, 2);
    uint32_t v = 0;
    ASSERT_TRUE(Evaluate("$3+$9*2", &v));
    EXPECT_EQ(v, 0x204u);
    EXPECT_FALSE(Evaluate("$", &v));
    EXPECT_FALSE(Evaluate("$A", &v));
    SetVariable(3, 0);
    SetVariable(9, 0);
}

// Records as a compact text: v:<hex> value, k:<raw> keyword, s:<hex bytes> string, - absent.
std::string Describe(const Args& args) {
    std::string d;
    for (int i = 0; i < args.Count(); ++i) {
        const ArgRecord* a = args.Get(i);
        if (!d.empty()) d += ' ';
        char buf[16];
        switch (a->kind) {
        case KIND_VALUE:
            std::snprintf(buf, sizeof buf, "v:%X", a->value);
            d += buf;
            break;
        case KIND_KEYWORD: d += "k:" + std::string(a->raw); break;
        case KIND_STRING:
            d += "s:";
            for (uint32_t j = 0; j < a->value; ++j) {
                std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(a->processed[j]));
                d += buf;
            }
            break;
        default: d += "-";
        }
    }
    return d;
}

struct ParseCase {
    const char* text;
    const char* format;
    const char* records;  // null: the parse fails
    const char* rest;     // text after the arguments, or the error output
};

const ParseCase kParseCases[] = {
    {" 100,,8", "vvv", "v:100 - v:8", ""},
    {" 100 8", "vvv", "v:100 v:8 -", ""},
    {" 0,'A,#65,41", "vd*", "v:0 v:41 v:41 v:41", ""},
    {" \"\\x4\"", "S", "s:04", ""},
    {" \"\\x41B\"", "S", "s:4142", ""},
    {" \"a\\nb\\Rc\\\"d\\q\\x\"", "S", "s:610A620D6322647178", nullptr},
    {" \"end\\", "S", "s:656E64", ""},  // missing closing quote; the final backslash is dropped
    {" \"a;b//c\"", "S", "s:613B622F2F63", ""},
    {" \"C:\\TMP\\X.CMD\"", "Fk", "s:433A5C544D505C582E434D44 -", ""},
    {" C:\\DIR\\A.HEX", "Fk", "k:C:\\DIR\\A.HEX -", ""},
    {" v", "Ww", "k:v -", ""},
    {" c1,5", "Ww", "v:C1 v:5", ""},
    {" l378,-", "Ww", "k:l378 k:-", ""},
    {" ',,3", "vv", "v:2C v:3", ""},
    {" ' ", "v", "v:20", ""},
    {" 5 // note", "v", "v:5", "// note"},
    {" 5;u0", "v", "v:5", ";u0"},
    {" 5 ; u0", "v", "v:5", "; u0"},
    {"", "v*", "", ""},
    {" ,5", "v*", "- v:5", ""},
    {" 1,", "v*", "v:1", ""},
    {" 10,\"x\"", "vd*", "v:10 s:78", ""},
    {" ????", "k", "k:????", ""},
    {" 27256 ff", "kk", "k:27256 k:ff", ""},
    {" \"x\" 5", "Fv", "s:78 v:5", ""},
    // errors
    {" 1,2", "v", nullptr, "COMMAND ERROR NEAR \"2\"\nTOO MANY ARGUMENTS\a\n"},
    {" 1 2", "v", nullptr, "COMMAND ERROR NEAR \"2\"\nTOO MANY ARGUMENTS\a\n"},
    {" 1+", "v", nullptr, "COMMAND ERROR NEAR \"1+\"\nINVALID VALUE ARGUMENT\a\n"},
    {" 10/0,1", "vv", nullptr, "COMMAND ERROR NEAR \"10/0,\"\nINVALID VALUE ARGUMENT\a\n"},
    {" abc", "S", nullptr, "COMMAND ERROR NEAR \"abc\"\nINVALID STRING ARGUMENT\a\n"},
    {"", "V", nullptr, "COMMAND ERROR NEAR \"\"\nMISSING VALUE ARGUMENT\a\n"},
    {"", "K", nullptr, "COMMAND ERROR NEAR \"\"\nMISSING KEYWORD ARGUMENT\a\n"},
    {"", "W", nullptr, "COMMAND ERROR NEAR \"\"\nMISSING KEYWORD/VALUE ARGUMENT\a\n"},
    {"", "S", nullptr, "COMMAND ERROR NEAR \"\"\nMISSING STRING ARGUMENT\a\n"},
    {"", "D", nullptr, "COMMAND ERROR NEAR \"\"\nMISSING DATA ARGUMENT\a\n"},
    {"", "F", nullptr, "COMMAND ERROR NEAR \"\"\nMISSING FILENAME ARGUMENT\a\n"},
    {" ,5", "Vv", nullptr, "COMMAND ERROR NEAR \",\"\nMISSING VALUE ARGUMENT\a\n"},
    {" 5", "X", nullptr, "COMMAND ERROR NEAR \"5\"\nINTERNAL CU ERROR"},
};

TEST_F(LangTest, ParserTable) {
    for (const ParseCase& c : kParseCases) {
        out.clear();
        char* line = Line(c.text);
        const char* after = Parse(line, c.format);
        if (c.records) {
            ASSERT_NE(after, nullptr) << "\"" << c.text << "\" " << out;
            if (c.rest) { EXPECT_STREQ(after, c.rest) << "\"" << c.text << "\""; }
            EXPECT_EQ(Describe(args()), c.records) << "\"" << c.text << "\"";
            EXPECT_EQ(out, "") << "\"" << c.text << "\"";
        } else {
            EXPECT_EQ(after, nullptr) << "\"" << c.text << "\"";
            EXPECT_EQ(out, c.rest) << "\"" << c.text << "\"";
        }
    }
}

TEST_F(LangTest, RawTokensAndPositionsPointIntoTheLine) {
    char* line = Line("W \"OUT.S\",10 , 20");
    ASSERT_NE(Parse(line + 1, "Fvv"), nullptr);
    EXPECT_STREQ(args().Get(0)->raw, "\"OUT.S\"");
    EXPECT_STREQ(args().Get(0)->processed, "OUT.S");
    EXPECT_EQ(args().Get(1)->position, line + 10);
    EXPECT_STREQ(args().Get(2)->raw, "20");
    EXPECT_EQ(args().Get(3), nullptr);
}

TEST_F(LangTest, FortyArgumentsFitAndTheFortyFirstIsRefused) {
    std::string forty = " 1";
    for (int i = 1; i < 40; ++i) forty += ",1";
    ASSERT_NE(Parse(Line(forty.c_str()), "v*"), nullptr);
    EXPECT_EQ(args().Count(), 40);
    std::string more = forty + ",29";
    EXPECT_EQ(Parse(Line(more.c_str()), "v*"), nullptr);
    EXPECT_EQ(out, "COMMAND ERROR NEAR \"29\"\nTOO MANY ARGUMENTS\a\n");
}

// The token around a position: back to a NUL (the guard byte), blank or comma, forward to
// the next; a comma that stopped it is printed too.
TEST_F(LangTest, ErrorReportShowsEchoThenTokenThenMessage) {
    struct {
        const char* line;
        size_t position;
        const char* token;
    } cases[] = {
        {"L FOO.HEX,1,2", 10, "1,"},
        {"L FOO.HEX,1,2", 12, "2"},
        {"L FOO.HEX,1,2", 5, "FOO.HEX,"},
        {"XYZ", 1, "XYZ"},  // stops at the guard byte in front of the line
        {"P 5 ", 4, ""},
    };
    for (const auto& c : cases) {
        out.clear();
        char* line = Line(c.line);
        ReportError("BAD %s\a\n", line + c.position, "THING");
        EXPECT_EQ(out, std::string("COMMAND ERROR NEAR \"") + c.token + "\"\nBAD THING\a\n") << c.line;
    }
    out.clear();
    SetEchoText("COMMAND LINE: %s\n", "x ");
    ReportError("FIRST\a\n", nullptr);
    ReportError("SECOND\a\n", nullptr);
    EXPECT_EQ(out, "COMMAND LINE: x \nFIRST\a\nSECOND\a\n");  // the echo is shown once
}

class KeyTest : public LangTest {
protected:
    void TearDown() override {
        for (int i = 0; i < FUNCTION_KEYS; ++i) FunctionKeyTable()[i].current[0] = 0;
        LangTest::TearDown();
    }
    void Define(const char* name, const char* text) {
        for (int i = 0; i < FUNCTION_KEYS; ++i)
            if (std::strcmp(FunctionKeyTable()[i].name, name) == 0) {
                std::snprintf(FunctionKeyTable()[i].current, KEY_TEXT, "%s", text);
                return;
            }
        FAIL() << name;
    }
};

TEST_F(KeyTest, ReferencesExpand) {
    struct {
        const char* line;
        int result;
        const char* expanded;
    } cases[] = {
        {"= 1 %ZZ", 0, "= 1 %ZZ"},
        {"x%F2", 1, "x;as;m"},
        {"x%f2y", 1, "x;as;my"},
        {"\"%F2\" %F3", 1, "\"%F2\" ;at;m"},        // quoted stretches are skipped
        {"\"\\\"%F2\" %F4", 0, "\"\\\"%F2\" %F4"},  // an escaped quote does not end the stretch; F4 is empty
        {"1234 %F1", 1, "c1234;m"},                 // template with the line's words
        {"%", 0, "%"},
        {"%F", 0, "%F"},
    };
    for (const auto& c : cases) {
        char* line = Line(c.line);
        EXPECT_EQ(ExpandReferences(line, LINE_SIZE), c.result) << c.line;
        EXPECT_STREQ(line, c.expanded) << c.line;
    }
}

TEST_F(KeyTest, TenKeysCannotBeReferencedTheFirstMatchWins) {
    // "%f10" is F1 followed by "0": F1's default is a template over the line's words.
    char* line = Line("ab %f10");
    EXPECT_EQ(ExpandReferences(line, LINE_SIZE), 1);
    EXPECT_STREQ(line, "cab;m");
}

TEST_F(KeyTest, NestedReferencesAndLimits) {
    Define("S3", "%F2!");
    char* line = Line("%S3");
    EXPECT_EQ(ExpandReferences(line, LINE_SIZE), 2);
    EXPECT_STREQ(line, ";as;m!");

    Define("S1", "%S1");
    line = Line("= 1 %S1");
    EXPECT_EQ(ExpandReferences(line, LINE_SIZE), EXPAND_TOO_MANY);

    Define("A1", "x%A1");  // grows by one character per expansion: 100 fit, the 101st is refused
    line = Line("%A1");
    EXPECT_EQ(ExpandReferences(line, LINE_SIZE), EXPAND_TOO_MANY);

    std::string big(990, 'y');
    Define("C2", big.c_str());
    line = Line("= 1234567890 %C2");
    EXPECT_EQ(ExpandReferences(line, LINE_SIZE), EXPAND_TOO_LONG);
    EXPECT_STREQ(line, "= 1234567890 %C2");  // left as it was

    Define("C2", std::string(985, 'y').c_str());
    line = Line("= 1234567890 %C2");
    EXPECT_EQ(ExpandReferences(line, LINE_SIZE), 1);
    EXPECT_EQ(std::strlen(line), 13u + 985u);
}

TEST_F(KeyTest, InsertKeyTextModes) {
    char line[16] = "abcdef";
    size_t cursor = 2;
    EXPECT_EQ(InsertKeyText("XY", line, &cursor, true, sizeof line), 1);
    EXPECT_STREQ(line, "abXYcdef");
    EXPECT_EQ(cursor, 4u);
    EXPECT_EQ(InsertKeyText("12\r", line, &cursor, false, sizeof line), 3);  // overtype, run at once
    EXPECT_STREQ(line, "abXY12ef");
    cursor = 7;
    EXPECT_EQ(InsertKeyText("PQRS", line, &cursor, false, sizeof line), 1);  // runs past the end
    EXPECT_STREQ(line, "abXY12ePQRS");
    EXPECT_EQ(InsertKeyText("12345", line, &cursor, true, sizeof line), 2);  // 11 + 5 does not fit in 16
    EXPECT_STREQ(line, "abXY12ePQRS");
    EXPECT_EQ(InsertKeyText("", line, &cursor, true, sizeof line), 0);
    std::strcpy(line, "w1 w2");
    cursor = 0;
    EXPECT_EQ(InsertKeyText("\r%1-%0 %% %x %9.", line, &cursor, true, sizeof line), 1);
    EXPECT_STREQ(line, "w2-w1 % %x .");
    EXPECT_EQ(cursor, std::strlen(line));
    std::strcpy(line, "long words here");
    EXPECT_EQ(InsertKeyText("\r%0%1%2%0%1%2", line, &cursor, true, sizeof line), 2);  // template not used up
    EXPECT_STREQ(line, "long words here");
}

// Only the first ten words are parameters, and %9 is the tenth word alone.
TEST_F(KeyTest, TemplateTakesTenWords) {
    char line[LINE_SIZE] = "a b c d e f g h i j k l";
    size_t cursor = 0;
    EXPECT_EQ(InsertKeyText("\r//%9|%0|%2", line, &cursor, true, sizeof line), 1);
    EXPECT_STREQ(line, "//j|a|c");
    std::strcpy(line, "  one   two  ");
    EXPECT_EQ(InsertKeyText("\r[%0][%1][%2]", line, &cursor, true, sizeof line), 1);
    EXPECT_STREQ(line, "[one][two][]");
    std::strcpy(line, "0 1 2 3 4 5 6 7 8 9");
    EXPECT_EQ(InsertKeyText("\r%9%8%0", line, &cursor, true, sizeof line), 1);
    EXPECT_STREQ(line, "980");
}

}  // namespace
