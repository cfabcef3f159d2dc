// Command files, function-key definitions, the shell escape, over-long input lines
// and ending signals, through the built program without a terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/zam32/zam32_run.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteText;
using zam32test::Quote;

struct Result {
    int status = -1;
    std::string out;
};

// Runs zam32 in `dir` with extra environment, arguments and standard input.
Result RunProgram(const std::string& dir, const std::vector<std::pair<std::string, std::string>>& env,
                  const std::vector<std::string>& args, const std::string& input) {
    std::string cmd = "cd " + Quote(dir) + " && env -u ZAM32ARG -u ZAM32OSCLASS -u PELMO_SIM_USB -u COMSPEC";
    for (const auto& kv : env) cmd += " " + kv.first + "=" + Quote(kv.second);
    cmd += " " + Quote(std::string(PELMO_BIN_DIR) + "/zam32");
    for (const std::string& a : args) cmd += " " + Quote(a);
    WriteText(dir + "/stdin.txt", input);
    cmd += " < stdin.txt";
    Result r;
    r.status = testsupport::RunCommand(cmd, &r.out);
    return r;
}

Result Batch(const std::string& dir, const std::string& line,
             const std::vector<std::pair<std::string, std::string>>& env = {}) {
    auto e = env;
    e.emplace_back("ZAM32ARG", "/b " + line);
    return RunProgram(dir, e, {}, "");
}

size_t Count(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
    return n;
}

// ---- command files ----

struct FileCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // name, contents
    std::string line;                                        // the batch line
    int status;
    std::vector<std::string> shown;   // texts that must appear, in this order
    std::vector<std::string> hidden;  // texts that must not appear
};

const FileCase kFileCases[] = {
    {"LastLineWithoutLineEndKeepsItsLastCharacter",
     {{"a.cmd", "= 12\n= 34"}},
     "@ a.cmd",
     0,
     {"$0 <- 12 ", "$0 <- 34 "},
     {"$0 <- 3 "}},
    {"CrLfLines", {{"a.cmd", "= 12\r\n= 34\r\n"}}, "@ a.cmd", 0, {"a.cmd>= 12\n", "$0 <- 12 ", "$0 <- 34 "}, {"\r"}},
    {"EchoAndEof", {{"a.cmd", "= 5\n"}}, "@ a.cmd", 0, {"a.cmd>= 5\n", "$0 <- 5 ", "a.cmd>[EOF]\n"}, {}},
    {"NoEchoHidesLines", {{"a.cmd", "= 5\n"}}, "@ a.cmd n", 0, {"$0 <- 5 "}, {"a.cmd>", "[EOF]"}},
    {"QuietHidesInformLines", {{"a.cmd", "p v;u 0;t 27256\n"}}, "@ a.cmd qn", 0, {}, {"Checking"}},
    {"VerboseShowsInformLines", {{"a.cmd", "p v;u 0;t 27256\n"}}, "@ a.cmd vn", 0, {"Checking PvU0"}, {}},
    {"QuietErrorShowsTheLineWithItsPrefix",
     {{"A.CMD", "= 1\nx\n= 2\n"}},
     "@ A.CMD QN",
     3,
     {"A.CMD>x\nCOMMAND ERROR NEAR \"x\"\nUNRECOGNIZED COMMAND CHARACTER"},
     {"$0 <- 2 ", "A.CMD>= 1"}},
    {"RestOfLineRunsAfterTheFile", {{"a.cmd", "= 7\n"}}, "@ a.cmd n; = 8", 0, {"$0 <- 7 ", "$0 <- 8 "}, {}},
    {"ListAfterTheFile",
     {{"a.cmd", "p v;u 0;t 27256\n"}},
     "@ a.cmd n; ?",
     0,
     {"Active Units", "v      0    27256"},
     {}},
    {"NestedPrefixes",
     {{"a.cmd", "@ b.cmd\n= 1\n"}, {"b.cmd", "= 2\n"}},
     "@ a.cmd",
     0,
     {"a.cmd>@ b.cmd\n", "b.cmd>>= 2\n", "b.cmd>>[EOF]\n", "a.cmd>= 1\n", "a.cmd>[EOF]\n"},
     {}},
    {"NestedFileInheritsNoEcho",
     {{"a.cmd", "@ b.cmd\n"}, {"b.cmd", "x\n"}},
     "@ a.cmd n",
     3,
     {"b.cmd>>x\nCOMMAND ERROR NEAR"},
     {"a.cmd>@"}},
    {"FailureClosesEveryFile",
     {{"a.cmd", "@ b.cmd\n= 1\n"}, {"b.cmd", "x\n= 2\n"}},
     "@ a.cmd n",
     3,
     {"UNRECOGNIZED COMMAND CHARACTER"},
     {"$0 <- 2 ", "$0 <- 1 "}},
    {"EleventhNestingRefused",
     {{"r.cmd", "@ r.cmd n;= 9\n"}},
     "@ r.cmd n",
     3,
     {"TOO MANY COMMAND FILES OPEN"},
     {"$0 <- 9 "}},
    {"TenNestedFilesWork",
     {{"1.cmd", "@ 2.cmd\n"},
      {"2.cmd", "@ 3.cmd\n"},
      {"3.cmd", "@ 4.cmd\n"},
      {"4.cmd", "@ 5.cmd\n"},
      {"5.cmd", "@ 6.cmd\n"},
      {"6.cmd", "@ 7.cmd\n"},
      {"7.cmd", "@ 8.cmd\n"},
      {"8.cmd", "@ 9.cmd\n"},
      {"9.cmd", "@ 10.cmd\n"},
      {"10.cmd", "= 10\n"}},
     "@ 1.cmd n",
     0,
     {"$0 <- 10 "},
     {"TOO MANY"}},
    {"BadFlagRefused",
     {{"a.cmd", "= 1\n"}},
     "@ a.cmd x",
     3,
     {"COMMAND ERROR NEAR \"x\"\nINVALID KEYWORD FOR THIS COMMAND"},
     {"$0 <- 1 "}},
    {"MissingFile", {}, "@ nothere.cmd", 3, {"CAN'T OPEN COMMAND FILE (No such file or directory)"}, {}},
    {"DirectoryRefused", {}, "@ .", 3, {"CAN'T OPEN COMMAND FILE (Is a directory)"}, {}},
    {"QuotedNameKeepsBackslashes", {{"a\\b.cmd", "= 6\n"}}, "@ \"a\\b.cmd\"", 0, {"$0 <- 6 "}, {}},
    {"LongLineRefusedWhole",
     {{"a.cmd", "= 1\n= " + std::string(998, '2') + "\n= 3\n"}},
     "@ a.cmd n",
     3,
     {"$0 <- 1 ", "INPUT LINE TOO LONG (a.cmd LINE"},
     {"$0 <- 2", "$0 <- 3 "}},
    {"LineOf999Accepted",
     {{"a.cmd", "= 4" + std::string(996, ' ') + "\r\n"}},
     "@ a.cmd n",
     0,
     {"$0 <- 4 "},
     {"TOO LONG"}},
    {"NulByteRefused",
     {{"a.cmd", std::string("= 1\0 2\n= 3\n", 11)}},
     "@ a.cmd n",
     3,
     {"INPUT LINE HOLDS A NUL BYTE (a.cmd LINE"},
     {"$0 <- 1 ", "$0 <- 3 "}},
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class CommandFiles : public ::testing::TestWithParam<FileCase> {};

TEST_P(CommandFiles, Batch) {
    const FileCase& c = GetParam();
    TempDir dir;
    for (const auto& f : c.files) WriteText(dir.file(f.first), f.second);
    Result r = Batch(dir.path(), c.line);
    EXPECT_EQ(r.status, c.status) << r.out;
    size_t at = 0;
    for (const std::string& s : c.shown) {
        size_t found = r.out.find(s, at);
        EXPECT_NE(found, std::string::npos) << "missing: " << s << "\n" << r.out;
        if (found != std::string::npos) at = found + s.size();
    }
    for (const std::string& s : c.hidden)
        EXPECT_EQ(r.out.find(s), std::string::npos) << "shown: " << s << "\n" << r.out;
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandFiles, ::testing::ValuesIn(kFileCases),
                         [](const ::testing::TestParamInfo<FileCase>& i) { return std::string(i.param.name); });

// A FIFO without a writer is refused at once rather than waited on.
TEST(CommandFile, FifoRefusedAtOnce) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("f.cmd").c_str(), 0600), 0);
    Result r = RunProgram(dir.path(), {{"ZAM32ARG", "/b @ f.cmd"}}, {}, "");
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find("CAN'T OPEN COMMAND FILE (Not a regular file: a FIFO)"), std::string::npos) << r.out;
}

// ---- function keys ----

TEST(FunctionKeys, DefineListRestore) {
    TempDir dir;
    Result r = Batch(dir.path(), "k 1 \"x\\r\\\"\\\\\\x01y\";k;k f1;k;k S10 \"a\";k");
    EXPECT_EQ(r.status, 0) << r.out;
    // After «K 1 "…"» F1 holds the escaped text; after «K F1» the default is back.
    EXPECT_NE(r.out.find("F1  \"x\\r\\\"\\\\\\x01y\"\nF2  "), std::string::npos) << r.out;
    EXPECT_EQ(Count(r.out, "F1  \"\\rc%0;m\\r\"\n"), 2u) << r.out;
    EXPECT_NE(r.out.find("F10 \";qn\\r\"\nS10 \"a\"\n\n"), std::string::npos) << r.out;
}

struct KeyError {
    const char* line;
    const char* message;
};

TEST(FunctionKeys, Refusals) {
    const KeyError cases[] = {
        {"k f11 \"a\"", "COMMAND ERROR NEAR \"f11\"\nINVALID KEYWORD FOR THIS COMMAND"},
        {"k x1 \"a\"", "COMMAND ERROR NEAR \"x1\"\nINVALID KEYWORD FOR THIS COMMAND"},
        {"k 11", "COMMAND ERROR NEAR \"11\"\nINVALID KEYWORD FOR THIS COMMAND"},
        {"k f1xxxxxxxx", "INVALID KEYWORD FOR THIS COMMAND"},
        {"k ,\"a\"", "MISSING KEYWORD ARGUMENT"},
        {"k f1 a", "INVALID STRING ARGUMENT"},
        {"k f1 \"a\\x0b\"", nullptr},
        {"k f1 \"\\x00\"", "KEY TEXT MAY NOT HOLD A NUL BYTE"},
    };
    for (const KeyError& c : cases) {
        TempDir dir;
        Result r = Batch(dir.path(), c.line);
        if (c.message) {
            EXPECT_EQ(r.status, 3) << c.line << r.out;
            EXPECT_NE(r.out.find(c.message), std::string::npos) << c.line << r.out;
        } else {
            EXPECT_EQ(r.status, 0) << c.line << r.out;
        }
    }
}

// A saved configuration must read back: 99 characters are the most a key holds.
TEST(FunctionKeys, TextLimit) {
    TempDir dir;
    Result ok = Batch(dir.path(), "k f2 \"" + std::string(99, 'a') + "\";k");
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_NE(ok.out.find("F2  \"" + std::string(99, 'a') + "\""), std::string::npos) << ok.out;
    Result tooLong = Batch(dir.path(), "k f2 \"" + std::string(100, 'a') + "\";k");
    EXPECT_EQ(tooLong.status, 3) << tooLong.out;
    EXPECT_NE(tooLong.out.find("KEY TEXT TOO LONG (#100 CHARACTERS, AT MOST #99)"), std::string::npos) << tooLong.out;
    EXPECT_EQ(tooLong.out.find("Currently Defined"), std::string::npos) << tooLong.out;
}

// ---- shell ----

TEST(Shell, CommandLineGoesWhole) {
    TempDir dir;
    // The semicolons after "!" belong to the shell: "= 3" never reaches the console.
    Result r = Batch(dir.path(), "= 1;!echo a;echo b;= 3");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("$0 <- 1 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("a\nb\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("$0 <- 3 "), std::string::npos) << r.out;
}

// zam32 ignores SIGPIPE for itself; the programs of a job get the default back.
TEST(Shell, JobGetsBrokenPipeAsASignal) {
    TempDir dir;
    Result r = Batch(dir.path(), "!grep SigIgn /proc/self/status");
    EXPECT_EQ(r.status, 0) << r.out;
    const size_t at = r.out.find("SigIgn:");
    ASSERT_NE(at, std::string::npos) << r.out;
    const unsigned long long ignored = std::stoull(r.out.substr(at + 7), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << r.out;
}

TEST(Shell, ProcessorChoiceAndFailures) {
    TempDir dir;
    WriteText(dir.file("myshell"), "#!/bin/sh\necho \"myshell $1 $2\"\n");
    ASSERT_EQ(chmod(dir.file("myshell").c_str(), 0755), 0);
    Result comspec = Batch(dir.path(), "!x y", {{"COMSPEC", dir.file("myshell")}, {"SHELL", "/bin/false"}});
    EXPECT_EQ(comspec.status, 0) << comspec.out;
    EXPECT_NE(comspec.out.find("myshell -c x y"), std::string::npos) << comspec.out;
    Result shell = Batch(dir.path(), "!x y", {{"SHELL", dir.file("myshell")}});
    EXPECT_NE(shell.out.find("myshell -c x y"), std::string::npos) << shell.out;

    Result missing = Batch(dir.path(), "!echo a;= 1", {{"COMSPEC", dir.file("nothere")}});
    EXPECT_EQ(missing.status, 3) << missing.out;
    EXPECT_NE(missing.out.find("\nFAILURE EXECUTING COMMAND PROCESSOR (No such file or directory)\a\n"),
              std::string::npos)
        << missing.out;

    Result status = Batch(dir.path(), "!exit 7");
    EXPECT_EQ(status.status, 0) << status.out;
    EXPECT_NE(status.out.find("\nWARNING: COMMAND PROCESSOR RETURNED STATUS 7\a\n"), std::string::npos) << status.out;

    WriteText(dir.file("q.cmd"), "!exit 7\n");
    Result quiet = Batch(dir.path(), "@ q.cmd q");
    EXPECT_EQ(quiet.out.find("WARNING"), std::string::npos) << quiet.out;

    Result prompt = Batch(dir.path(), "!echo \"[$PROMPT]\";!echo \"[$PROMPT]\"", {{"PROMPT", "x"}});
    EXPECT_NE(prompt.out.find("[x$g]"), std::string::npos) << prompt.out;
    Result noPrompt = Batch(dir.path(), "!echo \"[$PROMPT]\"");
    EXPECT_NE(noPrompt.out.find("[$n$g]"), std::string::npos) << noPrompt.out;
}

// ---- input lines that do not fit ----

TEST(InputLines, TooLongOrNulRefusedWhole) {
    const std::string big = "p v;u 0;t 27256;w " + std::string(1000, 'n') + ".bin";
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> env;
        std::vector<std::string> args;
        std::string input;
        const char* source;
        int status;
    };
    const Case cases[] = {
        {"environment", {{"ZAM32ARG", "/b " + big}}, {}, "", "ENVIRONMENT ZAM32ARG", 3},
        {"command line", {}, {"/b", big}, "", "COMMAND LINE", 3},
        {"command line pieces", {}, {"/b", big.substr(0, 500), big.substr(500)}, "", "COMMAND LINE", 3},
        {"standard input", {}, {}, big + "\n= 5\n", "STANDARD INPUT", 0},
    };
    for (const Case& c : cases) {
        TempDir dir;
        Result r = RunProgram(dir.path(), c.env, c.args, c.input);
        EXPECT_EQ(r.status, c.status) << c.name << r.out;
        EXPECT_NE(r.out.find(std::string("INPUT LINE TOO LONG (") + c.source + ", MORE THAN #999 CHARACTERS)"),
                  std::string::npos)
            << c.name << r.out;
        EXPECT_EQ(r.out.find("Checking"), std::string::npos) << c.name << ": nothing of it runs\n" << r.out;
        EXPECT_EQ(testsupport::RunCommand("ls " + Quote(dir.path()) + " | grep -q nnn"), 1) << c.name;
        if (!c.input.empty()) { EXPECT_NE(r.out.find("$0 <- 5 "), std::string::npos) << c.name << r.out; }
    }
    TempDir dir;
    Result nul = RunProgram(dir.path(), {}, {}, std::string("= 1\0 2\n= 3\nq n\n", 15));
    EXPECT_NE(nul.out.find("INPUT LINE HOLDS A NUL BYTE (STANDARD INPUT)"), std::string::npos) << nul.out;
    EXPECT_EQ(nul.out.find("$0 <- 1 "), std::string::npos) << nul.out;
    EXPECT_NE(nul.out.find("$0 <- 3 "), std::string::npos) << nul.out;
    Result edge = RunProgram(dir.path(), {}, {}, "= 6" + std::string(996, ' ') + "\r\n");
    EXPECT_NE(edge.out.find("$0 <- 6 "), std::string::npos) << "999 characters fit";
    EXPECT_EQ(edge.out.find("TOO LONG"), std::string::npos) << edge.out;
}

// ---- ending signals without a terminal ----

TEST(Signals, EndTheNormalWay) {
    const int sigs[] = {SIGINT, SIGTERM};
    for (int sig : sigs) {
        int in[2], out[2];
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(pipe(out), 0);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            unsetenv("ZAM32ARG");
            execl(PELMO_BIN_DIR "/zam32", "zam32", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        std::string text;
        char buf[512];
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (text.find("Pl1U0>") == std::string::npos && std::chrono::steady_clock::now() < end) {
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
        }
        ASSERT_NE(text.find("Pl1U0>"), std::string::npos) << text;
        kill(pid, sig);
        int status = 0;
        for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
        EXPECT_TRUE(WIFEXITED(status)) << "ends by exit, not killed by the signal";
        EXPECT_EQ(WEXITSTATUS(status), 128 + sig);
        if (!WIFEXITED(status) && !WIFSIGNALED(status)) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(in[1]);
        close(out[0]);
    }
}

}  // namespace
