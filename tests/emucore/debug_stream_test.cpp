// The debug stream, seen from a C caller in a child process (the stream is looked
// up once per process): a scripted session against a golden file, the variable
// set too late, and a log that can be opened only from the second line on.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/emucore/library.h"
#include "tests/support/test_support.h"

using testsupport::ReadText;
using testsupport::RunCommand;

namespace {

const char kBegin[] = "***** Begin emucore debug stream ****************************\n";

class EmucoreDebugStream : public ::testing::Test {
protected:
    // Runs the C session driver in the temp dir with the given environment words.
    int Session(const std::string& env, const std::string& args, std::string* out) {
        // No simulated USB units: the session's unit searches must find none.
        return RunCommand("cd '" + dir_.path() + "' && env -u emucoredebug -u PELMO_SIM_USB " + env +
                              " '" EMUCORE_C_SESSION "' '" + emutest::LibraryPath() + "' " + args,
                          out);
    }
    testsupport::TempDir dir_;
};

// Unit open failures carry the USB transport's code, which is not this library's to fix.
std::string MaskCodes(const std::string& log) {
    static const std::string kWord = "failed code ";
    std::string masked;
    size_t from = 0;
    for (size_t at; (at = log.find(kWord, from)) != std::string::npos;) {
        masked += log.substr(from, at - from) + kWord + "#";
        from = at + kWord.size();
        while (from < log.size() && log[from] >= '0' && log[from] <= '9') ++from;
    }
    return masked + log.substr(from);
}

TEST_F(EmucoreDebugStream, ScriptedSessionMatchesTheGoldenStream) {
    const std::string log = dir_.file("debug.log");
    testsupport::WriteText(log, "earlier run\n");
    std::string out;
    ASSERT_EQ(Session("emucoredebug='" + log + "'", "golden", &out), 0) << out;
    const std::string golden = ReadText(std::string(EMUCORE_GOLDEN_DIR) + "/debug_session.txt");
    ASSERT_FALSE(golden.empty());
    // Appended to what the file held.
    EXPECT_EQ(MaskCodes(ReadText(log)), "earlier run\n" + golden);
    // The session's write went where it was told.
    EXPECT_TRUE(std::filesystem::exists(dir_.file("out.s19")));
}

TEST_F(EmucoreDebugStream, VariableSetAfterTheFirstCallHasNoEffect) {
    const std::string log = dir_.file("late.log");
    std::string out;
    ASSERT_EQ(Session("EMUCORE_LATE_LOG='" + log + "'", "late", &out), 0) << out;
    EXPECT_FALSE(std::filesystem::exists(log));
}

TEST_F(EmucoreDebugStream, LogThatCannotBeOpenedIsTriedAgainAtTheNextLine) {
    const std::string folder = dir_.file("later");
    std::string out;
    ASSERT_EQ(Session("emucoredebug='" + folder + "/retry.log'", "retry '" + folder + "'", &out), 0) << out;
    EXPECT_EQ(ReadText(folder + "/retry.log"), std::string(kBegin) +
                                                   "VXAQTest: entry curhandle: 64A5h curunit:4, curtype:0 curmaxk:0\n"
                                                   "VXAQTest: exit curhandle: 64A5h curunit:4, curtype:0 curmaxk:1\n");
}

// The log is an output file like any other: a FIFO (named or through a link) is never
// waited on and a link planted in a shared sticky folder is never followed (as root,
// with a link given to another user); the session runs as without a log.
TEST_F(EmucoreDebugStream, LogThatIsNoRegularFileIsRefusedWithoutBlocking) {
    ASSERT_EQ(mkfifo(dir_.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink("fifo", dir_.file("to-fifo").c_str()), 0);
    std::vector<std::string> logs = {dir_.file("fifo"), dir_.file("to-fifo")};
    const std::string victim = dir_.file("root.log");
    if (geteuid() == 0) {
        const std::string shared = dir_.file("shared");
        ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
        ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
        testsupport::WriteText(victim, "root's log\n");
        ASSERT_EQ(symlink(victim.c_str(), (shared + "/debug.log").c_str()), 0);
        ASSERT_EQ(lchown((shared + "/debug.log").c_str(), 65534, 65534), 0);
        logs.push_back(shared + "/debug.log");
    } else {
        std::printf("[ NOTE ] not root: no planted link of another user\n");
    }
    for (const std::string& log : logs) {
        std::filesystem::remove(dir_.file("out.s19"));
        std::string out;
        // Bounded: a log open that blocked shows as status 124.
        EXPECT_EQ(Session("emucoredebug='" + log + "' timeout 30", "golden", &out), 0) << log << out;
        EXPECT_TRUE(std::filesystem::exists(dir_.file("out.s19"))) << log;
    }
    struct stat st {};
    ASSERT_EQ(lstat(dir_.file("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    if (geteuid() == 0) { EXPECT_EQ(ReadText(victim), "root's log\n"); }
}

}  // namespace
