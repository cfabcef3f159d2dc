// The built program end to end: start-up, options, sources, the loop, errors, exit status.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "zam32_run.h"

using zam32test::Options;
using zam32test::RunZam32;

namespace {

std::string Golden(const std::string& name) {
    std::ifstream f(std::string(ZAM32_GOLDEN_DIR) + "/" + name + ".txt", std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct GoldenCase {
    const char* name;
    Options options;
    int status;
};

// Whole transcripts where the exact text matters. ZAM32_UPDATE_GOLDEN=1 rewrites the
// files (review the difference before committing it).
TEST(Zam32Program, Transcripts) {
    const GoldenCase cases[] = {
        {"startup_batch", {"/b ?", nullptr, {}, nullptr}, 0},
        {"session", {nullptr, nullptr, {}, "p v\nu 0\nt 27256\n?\nP\nq n\n"}, 0},
        {"errors",
         {nullptr,
          nullptr,
          {},
          "x\n;;;\n// comment only\n   \nr;u0\nd\ns\np 5\np ff\np 37a\np c1,5\np 378,3E8\np 378,x\np 378,-\n"
          "u 00\nu 4\nu 12345\nu -\nu 3-\np c1\nu 1\np v\nt 512 ff\n= 10/0\n= (1+2\n= -~5\nqx\n??\nw\n"
          "@ x.cmd\nk\ne 0\n!exit 3;q n\n= 1 %f2\nP L378\nq n\n"},
         0},
        {"values",
         {nullptr,
          nullptr,
          {},
          "= 10, #10, 'A\n= ,5\n= $0,$1,$2\n= 100\n= -1\n= 0,1,2,3,4,5,6,7,8,9,#10,#11\n= $9+$A\n= $9+$8\n"
          "=\n= ~-5;= 1{4;= -8}1\n= 1+2*3, 1+(2*3)\nQUITN\n"},
         0},
        // Parallel ports only: what USB and COM ports answer depends on the machine (the
        // USB table is checked against simulated units in the session tests).
        {"scan", {nullptr, nullptr, {}, "p ?\np l?,-5\np l?,x\np x?\nQ N\n"}, 0},
        {"startup_echo", {"= 1;x", nullptr, {"/B", "= 2"}, nullptr}, 3},
        {"nt_family", {nullptr, "5", {}, "p 378\np l378\n?????\np c1\n?????\nquitn\n"}, 0},
        {"nt4_banner", {"/b", "4", {}, nullptr}, 0},
    };
    testsupport::TempDir dir;
    const bool update = std::getenv("ZAM32_UPDATE_GOLDEN") != nullptr;
    for (const GoldenCase& c : cases) {
        zam32test::Run r = RunZam32(dir.path(), c.options);
        EXPECT_EQ(r.status, c.status) << c.name;
        if (update) testsupport::WriteText(std::string(ZAM32_GOLDEN_DIR) + "/" + c.name + ".txt", r.out);
        EXPECT_EQ(r.out, Golden(c.name)) << c.name;
    }
}

struct StatusCase {
    Options options;
    int status;
    const char* mustContain;     // may be empty
    const char* mustNotContain;  // may be empty
};

TEST(Zam32Program, OptionsSourcesAndExitStatus) {
    const StatusCase cases[] = {
        // "/b" in ZAM32ARG: batch mode, the rest of the text runs.
        {{"/b ?", nullptr, {}, nullptr}, 0, "Active Units", "Pl1U0>"},
        // "/bx" is no option: it runs as a command line, then the keyboard (closed) ends the session.
        {{"/bx", nullptr, {}, nullptr}, 0, "ENVIRONMENT ZAM32ARG = /bx\nCOMMAND ERROR NEAR \"/bx\"", ""},
        {{"x /b", nullptr, {}, nullptr}, 3, "ENVIRONMENT ZAM32ARG = x \n", "Pl1U0>"},
        {{"/N x /B", nullptr, {}, nullptr}, 3, "UNRECOGNIZED COMMAND CHARACTER", "Pl1U0>"},
        {{"/b/n ?", nullptr, {}, nullptr}, 0, "UNRECOGNIZED COMMAND CHARACTER", ""},  // neither stands alone
        // Command-line options, any case; "/bb" stays and runs.
        {{nullptr, nullptr, {"/B", "?"}, nullptr}, 0, "Active Units", "Pl1U0>"},
        {{nullptr, nullptr, {"/n", "/b"}, nullptr}, 0, "", "Pl1U0>"},
        {{nullptr, nullptr, {"/bb"}, nullptr}, 0, "COMMAND LINE: /bb \nCOMMAND ERROR NEAR \"/bb\"", ""},
        // In batch mode a failure gives 3; a later quit resets it.
        {{nullptr, nullptr, {"/b", "x"}, nullptr}, 3, "", ""},
        {{"x", nullptr, {"/b", "q"}, nullptr}, 0, "", ""},
        {{nullptr, nullptr, {"/b", "x;q"}, nullptr}, 3, "", ""},
        {{nullptr, nullptr, {"/b", "=", "1;qy;x"}, nullptr}, 0, "$0 <- 1", "UNRECOGNIZED"},
        // Arguments form one line: "q x" is Q with the keyword x.
        {{nullptr, nullptr, {"/b", "q", "x"}, nullptr},
         3,
         "COMMAND LINE: q x \nCOMMAND ERROR NEAR \"x\"\nINVALID KEYWORD FOR THIS COMMAND\a\n",
         ""},
        // Outside batch mode the status is 0 whatever happened.
        {{nullptr, nullptr, {}, "x\nq n\n"}, 0, "UNRECOGNIZED COMMAND CHARACTER", ""},
        // End of input ends the session like a quit; a closed stdin too.
        {{nullptr, nullptr, {}, "= 1\n"}, 0, "$0 <- 1 = 1  = #1\nPl1U0>\n", ""},
        {{nullptr, nullptr, {}, ""},
         0,
         "Type h for Help\n\nNo config file found, using internal defaults\nPl1U0>\n",
         ""},
        {{nullptr, nullptr, {}, nullptr},
         0,
         "Type h for Help\n\nNo config file found, using internal defaults\nPl1U0>\n",
         ""},
        // A last line without a line end still runs.
        {{nullptr, nullptr, {}, "= 7"}, 0, "$0 <- 7 = 7  = #7", ""},
        // Start-up lines run before the keyboard, ZAM32ARG first.
        {{"= 1", nullptr, {"= 2"}, "= 3\n"}, 0, "$0 <- 1 = 1  = #1\n$0 <- 2 = 2  = #2\nPl1U0>= 3\n", ""},
    };
    testsupport::TempDir dir;
    for (const StatusCase& c : cases) {
        zam32test::Run r = RunZam32(dir.path(), c.options);
        std::string what = std::string(c.options.zam32arg ? c.options.zam32arg : "-");
        for (const std::string& a : c.options.args) what += " [" + a + "]";
        EXPECT_EQ(r.status, c.status) << what << "\n" << r.out;
        if (*c.mustContain) { EXPECT_NE(r.out.find(c.mustContain), std::string::npos) << what << "\n" << r.out; }
        if (*c.mustNotContain) { EXPECT_EQ(r.out.find(c.mustNotContain), std::string::npos) << what << "\n" << r.out; }
    }
}

// The listing wraps long load defaults at the usable width less 30 (70 without a terminal).
TEST(Zam32Program, ListingWrapsLongLoadDefaults) {
    testsupport::TempDir dir;
    std::string name(55, 'n');
    name += ".bin";
    testsupport::WriteFile(dir.file(name), std::vector<uint8_t>(16, 0x11));
    std::string input = "p v\nt 27256\nl " + name + ",2,4,100,,v\n?\nq n\n";
    zam32test::Run r = RunZam32(dir.path(), {nullptr, nullptr, {}, input.c_str()});
    std::string full = name + ",2,4,100,,V";  // 70 characters: 40 + 30
    std::string expect =
        "v      0    27256,pf ZL     " + full.substr(0, 40) + "\n" + std::string(28, ' ') + full.substr(40) + "\n";
    EXPECT_NE(r.out.find(expect), std::string::npos) << r.out;
}

}  // namespace
