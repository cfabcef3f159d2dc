// What the console sees on its standard streams: a terminal or something else (a pipe,
// a file), asked anew on every call.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/console.h"
#include "tests/support/test_support.h"

namespace {

// One standard descriptor put on something else for a while, and back at the end.
class Redirect {
public:
    Redirect(int standard, int onto) : standard_(standard), saved_(dup(standard)) {
        std::fflush(stdout);
        ok_ = saved_ >= 0 && dup2(onto, standard) == standard;
    }
    ~Redirect() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, standard_);
            close(saved_);
        }
    }
    bool ok() const { return ok_; }

private:
    int standard_;
    int saved_;
    bool ok_ = false;
};

// A pseudo-terminal's far end, opened as a terminal is.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    }
    ~Pty() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
    int master = -1;
    int slave = -1;
};

TEST(ConsoleStreams, TerminalOrNot) {
    Pty pty;
    ASSERT_GE(pty.slave, 0);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    testsupport::TempDir dir;
    testsupport::WriteText(dir.file("file"), "x\n");
    const int file = open(dir.file("file").c_str(), O_RDWR);
    ASSERT_GE(file, 0);
    const int devNull = open("/dev/null", O_RDWR);
    ASSERT_GE(devNull, 0);
    struct Case {
        const char* what;
        int in, out;  // for standard input, for standard output
        bool terminal;
    } cases[] = {
        {"a pseudo-terminal", pty.slave, pty.slave, true},
        {"a pipe", pipeEnds[0], pipeEnds[1], false},
        {"a regular file", file, file, false},
        {"a character device that is no terminal", devNull, devNull, false},
        {"a pseudo-terminal again", pty.slave, pty.slave, true},
    };
    for (const Case& c : cases) {
        int inFd = -2;
        {
            Redirect in(STDIN_FILENO, c.in);
            ASSERT_TRUE(in.ok()) << c.what;
            inFd = ConsoleTerminalFd();
        }
        EXPECT_EQ(inFd, c.terminal ? STDIN_FILENO : -1) << c.what;
        bool outTerminal = !c.terminal;
        {
            Redirect out(STDOUT_FILENO, c.out);
            ASSERT_TRUE(out.ok()) << c.what;
            outTerminal = ConsoleOutputIsTerminal();
        }
        EXPECT_EQ(outTerminal, c.terminal) << c.what;
    }
    close(devNull);
    close(file);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

}  // namespace
