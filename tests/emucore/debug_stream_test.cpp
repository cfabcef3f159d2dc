// The debug stream, seen from a C caller in a child process (the stream is looked
// up once per process): a scripted session against a golden file, the variable
// set too late, and a log that can be opened only from the second line on.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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
    EXPECT_EQ(ReadText(folder + "/retry.log"),
              std::string(kBegin) +
                  "VXAQTest: entry curhandle: 64A5h curunit:4, curtype:0 curmaxk:0\n"
                  "VXAQTest: exit curhandle: 64A5h curunit:4, curtype:0 curmaxk:1\n");
}

}  // namespace
