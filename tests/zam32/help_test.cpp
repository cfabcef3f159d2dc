// The help viewer with small help files of its own, next to a copy of the built
// program or in a PATH directory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/support/test_support.h"
#include "tests/zam32/pty_terminal.h"
#include "tests/zam32/zam32_run.h"
#include "zam32/commands.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteText;
using zam32test::Quote;

std::string Fixture() {
    std::string s = "#elp\nGeneral help line\n#\nPage two of elp\n#L\nLoad topic\n#LOAD5\nfive char topic text\n";
    for (int i = 1; i <= 70; ++i) s += "#T" + std::to_string(i) + "\nText of topic " + std::to_string(i) + ".\n";
    s += "#last\r\nCRLF topic\r\n";
    return s;
}

// A copy of the program in its own folder, so that no help file of the build is seen.
std::string CopyProgram(const std::string& dir) {
    std::string to = dir + "/zam32";
    std::filesystem::copy_file(PELMO_BIN_DIR "/zam32", to);
    return to;
}

struct Result {
    int status;
    std::string out;
};

Result Help(const std::string& program, const std::string& line, const std::string& path = "/usr/bin:/bin") {
    std::string cmd =
        "env -u ZAM32OSCLASS PATH=" + Quote(path) + " ZAM32ARG=" + Quote("/b " + line) + " " + Quote(program) + " <&-";
    Result r;
    r.status = testsupport::RunCommand(cmd, &r.out);
    return r;
}

class HelpFile : public ::testing::Test {
protected:
    void SetUp() override {
        program = CopyProgram(dir.path());
        WriteText(dir.file("ZAM32.HLP"), Fixture());
    }
    TempDir dir;
    std::string program;
};

TEST_F(HelpFile, HAndHelpShowTheGeneralTopic) {
    Result h = Help(program, "h");
    Result help = Help(program, "HELP");
    EXPECT_EQ(h.status, 0) << h.out;
    EXPECT_NE(h.out.find("General help line\nPage two of elp\n"), std::string::npos) << h.out;
    EXPECT_EQ(h.out.find("Load topic"), std::string::npos) << h.out;
    EXPECT_EQ(h.out, help.out);
}

struct TopicCase {
    const char* line;
    int status;
    const char* shown;
    const char* hidden;
};

TEST_F(HelpFile, Topics) {
    const TopicCase cases[] = {
        {"h l", 0, "Load topic\n", "five char"},  // a five-character name ends the topic
        {"h load5", 3, "COMMAND ERROR NEAR \"load5\"\nSORRY, NO HELP IS AVAILABLE ON THAT SUBJECT\a\n", "five char"},
        {"h zz", 3, "SORRY, NO HELP IS AVAILABLE ON THAT SUBJECT", nullptr},
        {"h t65", 0, "Text of topic 65.\n", "topic 66"},  // beyond the 60 indexed topics
        {"h t70;h t2;h t65;h t61;h T3", 0,
         "topic 70.\nText of topic 2.\nText of topic 65.\nText of topic 61.\nText of topic 3.\n", "SORRY"},
        {"h t2;h t70;h l;h t69", 0, "topic 2.\nText of topic 70.\nLoad topic\nText of topic 69.\n", "SORRY"},
        {"h last", 0, "CRLF topic", nullptr},
        {"h t70x", 3, "SORRY", nullptr},
    };
    for (const TopicCase& c : cases) {
        Result r = Help(program, c.line);
        EXPECT_EQ(r.status, c.status) << c.line << "\n" << r.out;
        EXPECT_NE(r.out.find(c.shown), std::string::npos) << c.line << "\n" << r.out;
        if (c.hidden) { EXPECT_EQ(r.out.find(c.hidden), std::string::npos) << c.line << "\n" << r.out; }
    }
}

TEST(HelpLookup, BesideTheProgramThenPath) {
    TempDir programDir, pathDir, otherDir;
    std::string program = CopyProgram(programDir.path());
    WriteText(pathDir.file("ZAM32.HLP"), "#elp\nfrom PATH\n");
    std::string path = otherDir.path() + ":" + pathDir.path() + ":/usr/bin:/bin";

    Result none = Help(program, "h;= 1");
    EXPECT_EQ(none.status, 3) << none.out;
    EXPECT_NE(none.out.find("CANNOT OPEN HELP FILE \"ZAM32.HLP\" (No such file or directory)\a\n"), std::string::npos)
        << none.out;
    EXPECT_EQ(none.out.find("$0 <- 1"), std::string::npos) << none.out;

    Result viaPath = Help(program, "h", path);
    EXPECT_EQ(viaPath.status, 0) << viaPath.out;
    EXPECT_NE(viaPath.out.find("from PATH\n"), std::string::npos) << viaPath.out;

    WriteText(programDir.file("ZAM32.HLP"), "#elp\nbeside the program\n");
    Result beside = Help(program, "h", path);
    EXPECT_NE(beside.out.find("beside the program\n"), std::string::npos) << beside.out;

    std::filesystem::remove(programDir.file("ZAM32.HLP"));
    std::filesystem::create_directory(programDir.file("ZAM32.HLP"));
    Result directory = Help(program, "h", "/usr/bin:/bin");
    EXPECT_EQ(directory.status, 3) << directory.out;
    EXPECT_NE(directory.out.find("CANNOT OPEN HELP FILE"), std::string::npos) << directory.out;
}

// An installed tree: <tree>/bin/zam32 finds <tree>/share/pelmo/ZAM32.HLP after a
// file beside it and before the PATH directories.
TEST(HelpLookup, InstalledDataFolderBetweenProgramAndPath) {
    TempDir tree, pathDir;
    std::filesystem::create_directories(tree.file("bin"));
    std::filesystem::create_directories(tree.file("share/pelmo"));
    std::string program = CopyProgram(tree.file("bin"));
    WriteText(pathDir.file("ZAM32.HLP"), "#elp\nfrom PATH\n");
    WriteText(tree.file("share/pelmo/ZAM32.HLP"), "#elp\nfrom share/pelmo\n");
    const std::string path = pathDir.path() + ":/usr/bin:/bin";

    Result shared = Help(program, "h", path);
    EXPECT_EQ(shared.status, 0) << shared.out;
    EXPECT_NE(shared.out.find("from share/pelmo\n"), std::string::npos) << shared.out;
    EXPECT_EQ(shared.out.find("from PATH"), std::string::npos) << shared.out;

    WriteText(tree.file("bin/ZAM32.HLP"), "#elp\nbeside the program\n");
    Result beside = Help(program, "h", path);
    EXPECT_NE(beside.out.find("beside the program\n"), std::string::npos) << beside.out;
    EXPECT_EQ(beside.out.find("from share/pelmo"), std::string::npos) << beside.out;
}

// Paging on a terminal: any other key asks again, Space goes on, Esc cancels.
TEST(HelpPager, MoreKeys) {
    TempDir dir;
    zam32test::TerminalOptions o;
    o.program = CopyProgram(dir.path());
    WriteText(dir.file("ZAM32.HLP"), "#elp\none\n#\ntwo\n#\nthree\n#x\n");
    zam32test::PtyTerminal t(o);
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("h\r");
    ASSERT_TRUE(t.WaitFor("one")) << t.output();
    ASSERT_TRUE(t.WaitFor("-- MORE -- (Press SPACE or ESC)")) << t.output();
    t.Type("x");
    ASSERT_TRUE(t.WaitFor("-- MORE -- (Press SPACE or ESC)")) << t.output();
    t.Type(" ");
    ASSERT_TRUE(t.WaitFor("two")) << t.output();
    ASSERT_TRUE(t.WaitFor("-- MORE -- (Press SPACE or ESC)")) << t.output();
    t.Type("\x1b");
    ASSERT_TRUE(t.WaitFor("[CANCELLED]")) << t.output();
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    EXPECT_EQ(t.output().find("three"), std::string::npos) << t.output();
    t.Type("h\r");
    ASSERT_TRUE(t.WaitFor("-- MORE -- (Press SPACE or ESC)")) << t.output();
    t.Type("\x0c");
    ASSERT_TRUE(t.WaitFor("[CANCELLED]")) << t.output();
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("q n\r");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

// Every command of the command table has a topic in the help file that ships with
// the program.
TEST(HelpFileOfTheBuild, EveryCommandHasATopic) {
    struct stat st {};
    if (stat(PELMO_BIN_DIR "/ZAM32.HLP", &st) != 0) GTEST_SKIP() << "no ZAM32.HLP in " PELMO_BIN_DIR;
    for (int c = 0x21; c < 0x7F; ++c) {
        if (std::islower(c) || !FindCommand(static_cast<char>(c))) continue;
        std::string line = std::string("h ") + static_cast<char>(c);
        Result r = Help(PELMO_BIN_DIR "/zam32", line);
        EXPECT_EQ(r.status, 0) << line << "\n" << r.out;
        EXPECT_EQ(r.out.find("SORRY"), std::string::npos) << line << "\n" << r.out;
    }
}

}  // namespace
