// The program on a terminal (a pseudo-terminal): lines read with the terminal's own
// editing, and the cancel key seen by a running fill.
#include <gtest/gtest.h>

#include <signal.h>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/zam32/pty_terminal.h"

namespace {

using zam32test::PtyTerminal;
using zam32test::TerminalOptions;

TEST(Zam32Terminal, CancelKeyStopsAFill) {
    PtyTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("p v\n");
    ASSERT_TRUE(t.WaitFor("PvU0>")) << t.output();
    t.Type("u 0123\n");
    ASSERT_TRUE(t.WaitFor("PvU0123>")) << t.output();
    t.Type("t 27080\n");
    ASSERT_TRUE(t.WaitFor("PvU0123>")) << t.output();
    // The line ends at the line feed; Ctrl+L waits in the terminal until the fill polls.
    t.Type("f 0\n\x0c");
    ASSERT_TRUE(t.WaitFor("[CANCELLED]")) << t.output();
    ASSERT_TRUE(t.WaitFor("Fill Incomplete: 0 bytes filled with #0 corrected RAM write error(s)")) << t.output();
    ASSERT_TRUE(t.WaitFor("PvU0123>")) << t.output();
    // Back to line editing: the terminal echoes what is typed, Backspace edits.
    t.Type(
        "= 12\x7f"
        "3\n");
    ASSERT_TRUE(t.WaitFor("$0 <- 13 = 13 = #19")) << t.output();
    // Keys typed before the prompt would be dropped by the poll in front of each line.
    ASSERT_TRUE(t.WaitFor("PvU0123>")) << t.output();
    t.Type("q n\n");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

// Ctrl+D on an empty line is the quit command: the question when the session has
// changed, and the same end; on a line with text it does nothing.
TEST(Zam32Terminal, CtrlDQuitsAsQ) {
    char dir[] = "/tmp/zam32-ctrld-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    TerminalOptions o;
    o.dir = dir;
    o.args = {"/n"};
    PtyTerminal t(o);
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("= 7\x04\r");
    EXPECT_TRUE(t.WaitFor("$0 <- 7 ")) << t.output();
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("k f5 \"d 100\\r\"\r");
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("\x04");
    ASSERT_TRUE(t.WaitFor("OK to Update Configuration? (y/n):")) << t.output();
    t.Type("n\r");
    EXPECT_EQ(t.Status(), 0) << t.output();
    EXPECT_NE(access((std::string(dir) + "/ZAM32.CFG").c_str(), F_OK), 0) << "answered no: nothing saved";
    rmdir(dir);
}

// Ctrl+D at an empty prompt, session by session in one folder: unchanged, the program
// ends with 0 and no question and the configuration file stays as it was; changed
// (a new key text), the question comes and "y" saves the change.
TEST(Zam32Terminal, CtrlDSavesOnlyWhenAsked) {
    char dir[] = "/tmp/zam32-ctrld-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string cfg = std::string(dir) + "/ZAM32.CFG";
    const auto cfgText = [&] {
        std::string text;
        if (FILE* f = fopen(cfg.c_str(), "rb")) {
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
            fclose(f);
        }
        return text;
    };
    const struct {
        const char* typed;    // before Ctrl+D ("" : nothing changed)
        const char* keyText;  // then in the saved file
    } sessions[] = {
        {"k f5 \"d 1234\\r\"\r", "d 1234"},
        {"", nullptr},
        {"k f5 \"d 5678\\r\"\r", "d 5678"},
    };
    for (const auto& c : sessions) {
        SCOPED_TRACE(*c.typed ? c.typed : "unchanged");
        const std::string before = cfgText();
        TerminalOptions o;
        o.dir = dir;
        PtyTerminal t(o);
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
        if (*c.typed) {
            t.Type(c.typed);
            ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
        }
        t.Type("\x04");
        if (c.keyText) {
            ASSERT_TRUE(t.WaitFor("OK to Update Configuration? (y/n):")) << t.output();
            t.Type("y\r");
        }
        EXPECT_EQ(t.Status(), 0) << t.output();
        const std::string after = cfgText();
        if (c.keyText) {
            EXPECT_NE(after, before) << "saved";
            EXPECT_NE(after.find(c.keyText), std::string::npos) << "the new key text is in the file";
        } else {
            EXPECT_EQ(t.output().find("OK to Update Configuration?"), std::string::npos) << t.output();
            EXPECT_EQ(after, before) << "nothing saved";
        }
    }
    unlink(cfg.c_str());
    rmdir(dir);
}

// ---- terminal state, Ctrl+C ----

bool Sane(const termios& now, const termios& start) {
    return now.c_lflag == start.c_lflag && now.c_iflag == start.c_iflag && now.c_cc[VMIN] == start.c_cc[VMIN];
}

// Start-up lines that reach a USB unit, then typed lines: echoed and edited, and the
// terminal's settings of program start back at the end.
TEST(Zam32TerminalState, UsbStartupLinesThenTypedLines) {
    struct Source {
        const char* name;
        std::vector<std::pair<std::string, std::string>> env;
    };
    const Source sources[] = {
        {"ZAM32ARG scan", {{"PELMO_SIM_USB", "unit=0,ram=1024"}, {"ZAM32ARG", "p u?"}}},
        {"ZAM32ARG type", {{"PELMO_SIM_USB", "unit=0,ram=1024"}, {"ZAM32ARG", "p u;u 0;t 27080;f 0"}}},
    };
    for (const Source& s : sources) {
        TerminalOptions o;
        o.env = s.env;
        PtyTerminal t(o);
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.WaitFor("PuU0>")) << s.name << t.output();
        t.Type("= 12");
        EXPECT_TRUE(t.WaitFor("= 12")) << s.name << " typed text is echoed\n" << t.output();
        t.Type(
            "\x7f"
            "3\r");
        EXPECT_TRUE(t.WaitFor("$0 <- 13 ")) << s.name << t.output();
        ASSERT_TRUE(t.WaitFor("PuU0>")) << t.output();
        t.Type("q n\r");
        EXPECT_EQ(t.Status(), 0) << t.output();
        EXPECT_TRUE(Sane(t.Settings(), t.StartSettings())) << s.name;
    }
}

// Ctrl+C during a fill cancels it as Ctrl+L does; at the prompt it clears the line;
// twice within a second it ends the program with the terminal given back. The
// one-second window itself is measured on the driven clock (clock_tests): here no
// step depends on how much wall-clock time passes between two keys. Clearing the
// line is shown in a program of its own, whose first Ctrl+C cannot be a second one.
TEST(Zam32TerminalState, CtrlC) {
    PtyTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("p v;u 0123;t 27080\r");
    ASSERT_TRUE(t.WaitFor("PvU0123>")) << t.output();
    t.Type("f 0\r\x03");
    ASSERT_TRUE(t.WaitFor("[CANCELLED]")) << t.output();
    ASSERT_TRUE(t.WaitFor("Fill Incomplete")) << t.output();
    ASSERT_TRUE(t.WaitFor("PvU0123>")) << t.output();
    // Whether the first of these is within a second of the fill's or not, the pair
    // ends the program: the first ends it or clears the line, the second ends it.
    t.Type("\x03\x03");
    EXPECT_EQ(t.Status(), 130) << t.output();
    EXPECT_TRUE(Sane(t.Settings(), t.StartSettings()));
}

TEST(Zam32TerminalState, CtrlCClearsTheLine) {
    PtyTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("= 55\x03");
    t.Type("= 66\r");
    EXPECT_TRUE(t.WaitFor("$0 <- 66 ")) << t.output();
    EXPECT_EQ(t.output().find("$0 <- 55"), std::string::npos) << t.output();
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("\x03\x03");
    EXPECT_EQ(t.Status(), 130) << t.output();
    EXPECT_TRUE(Sane(t.Settings(), t.StartSettings()));
}

// A terminating signal on a terminal ends the program the normal way too.
TEST(Zam32TerminalState, SigtermRestoresTheTerminal) {
    PtyTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("= 1");
    ASSERT_TRUE(t.WaitFor("= 1")) << t.output();
    kill(t.pid(), SIGTERM);
    EXPECT_EQ(t.Status(), 143) << t.output();
    EXPECT_TRUE(Sane(t.Settings(), t.StartSettings()));
}

// The shell gets the terminal in its settings of program start; raw mode after.
TEST(Zam32TerminalState, ShellGetsTheOriginalSettings) {
    PtyTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("!stty -a | grep -q -e -icanon && echo RAW || echo COOKED\r");
    EXPECT_TRUE(t.WaitFor("COOKED\r\n")) << t.output();
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type(
        "= 12\x7f"
        "3\r");
    EXPECT_TRUE(t.WaitFor("$0 <- 13 ")) << t.output();
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("!\r");
    ASSERT_TRUE(t.WaitFor("Type 'exit' to resume ZAM32")) << t.output();
    t.Type("exit\r");
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("q n\r");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

// Ctrl+Z typed while a shell command runs stops its job. Under a shell with job control
// the program stops with it and both go on at "fg"; started with no such shell (here
// the program leads the terminal's session) nothing can stop it, and the job goes on.
TEST(Zam32TerminalState, CtrlZOnTheShellsJob) {
    for (bool jobControl : {false, true}) {
        SCOPED_TRACE(jobControl ? "as a job of bash with job control" : "session leader");
        TerminalOptions o;
        if (jobControl) {
            // bash's job control without its line editor: "fg" comes from the script,
            // so no typed key can race the editor taking the terminal back.
            o.program = "/bin/bash";
            o.args = {"--norc", "--noprofile", "-m", "-c",
                      PELMO_BIN_DIR "/zam32 /n; echo AFTER-STOP; fg; echo OUTER-GONE"};
        } else {
            o.args = {"/n"};
        }
        PtyTerminal t(o);
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
        t.Type("!echo GO; cat; echo GONE\"\"-ON\r");
        ASSERT_TRUE(t.WaitFor("GO\r\n")) << t.output();
        t.Type("one\r");
        ASSERT_TRUE(t.WaitFor("one\r\none\r\n")) << t.output();  // the terminal's echo, then cat's
        t.Type("\x1a");
        if (jobControl) {
            // zam32 stopped with its job: the outer shell goes on to its next command.
            ASSERT_TRUE(t.WaitFor("Stopped")) << t.output();
            ASSERT_TRUE(t.WaitFor("AFTER-STOP")) << t.output();
            // After fg, a line typed before the job has the terminal back would be
            // read by the wrong program.
            ASSERT_TRUE(t.WaitForForeground("sh")) << t.output();
        }
        t.Type("two\r");
        ASSERT_TRUE(t.WaitFor("two\r\ntwo\r\n")) << "cat reads on\n" << t.output();
        t.Type("\x04");  // the end of cat's input
        ASSERT_TRUE(t.WaitFor("GONE-ON\r\n")) << t.output();
        ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
        t.Type("q n\r");
        if (jobControl) { ASSERT_TRUE(t.WaitFor("OUTER-GONE")) << t.output(); }
        EXPECT_EQ(t.Status(), 0) << t.output();
    }
}

// Ctrl+S pauses a long dump-free operation with "[STOPPED]"; any key resumes; a Ctrl+L
// typed with it then cancels the rest.
TEST(Zam32TerminalState, CtrlSPausesCtrlLCancels) {
    PtyTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("p v;u 0123;t 27080\r");
    ASSERT_TRUE(t.WaitFor("PvU0123>")) << t.output();
    t.Type("f 0\r\x13");
    ASSERT_TRUE(t.WaitFor("[STOPPED]")) << t.output();
    // The resuming key and the cancel key in one write: the cancel is already waiting
    // when the fill goes on, so it is seen at the next poll however fast the fill is.
    t.Type("x\x0c");
    ASSERT_TRUE(t.WaitFor("\r         \r")) << t.output();
    ASSERT_TRUE(t.WaitFor("[CANCELLED]")) << t.output();
    EXPECT_EQ(t.output().find("Fill Completed"), std::string::npos) << t.output();
    ASSERT_TRUE(t.WaitFor("PvU0123>")) << t.output();
    t.Type("q n\r");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

}  // namespace
