// The progress line of long operations: on a terminal a slow unit shows one line,
// redrawn in place and erased before the completion line; in a pipe and in batch
// mode it never appears.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/support/test_support.h"
#include "tests/zam32/zam32_run.h"
#include "zam32/progress.h"

namespace {

constexpr char kErase[] = "\r\x1b[K";

// Runs the program on a pseudo-terminal with start-up lines and collects everything
// it shows until it ends (bounded).
std::string OnTerminal(const std::string& dir, const char* units, const std::string& lines, int* status) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        unsetenv("ZAM32ARG");
        unsetenv("ZAM32OSCLASS");
        setenv("PELMO_SIM_USB", units, 1);
        execl(PELMO_BIN_DIR "/zam32", "zam32", lines.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string all;
    *status = -1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[4096];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) all.append(buf, static_cast<size_t>(n));
            if (n <= 0 && waitpid(pid, status, WNOHANG) == pid) break;
        } else if (waitpid(pid, status, WNOHANG) == pid) {
            break;
        }
    }
    if (waitpid(pid, status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, status, 0);
    }
    close(master);
    return all;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(Progress, SlowOperationsShowOneSelfErasingLineOnATerminal) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("img.bin"), testsupport::RandomBytes(0x40000, 11));
    struct Case {
        const char* command;
        const char* completion;
    } cases[] = {
        {"f 5a,,,v", "Fill Completed with no errors"},
        {"l img.bin,,,,,v", "Load/Verify Completed with no errors (40000 Bytes Loaded)"},
        {"s", "CHECKSUM = "},
        {"w out.hex,,,c,h", "records written including EOF record"},
    };
    for (const Case& c : cases) {
        int status = 0;
        // Each 32 KB bulk transfer takes 150 ms: 256 KB take well over the second
        // after which the line appears.
        const std::string out = OnTerminal(dir.path(), "unit=0,ram=256,bulkdelay=150",
                                           std::string("p u;t 27020;") + c.command + ";q n", &status);
        const size_t done = out.find(c.completion);
        ASSERT_NE(done, std::string::npos) << c.command << out;
        // The line was drawn (with the total and the time left) before the completion ...
        const size_t line = out.find(" of 40000 bytes (");
        ASSERT_NE(line, std::string::npos) << c.command << out;
        EXPECT_LT(line, done);
        EXPECT_NE(out.find(" left\x1b[K", line), std::string::npos) << c.command;
        // ... redrawn in place (no line feed inside it) and erased right before it.
        EXPECT_EQ(out.substr(line, done - line).find('\n'), std::string::npos) << c.command;
        const size_t erase = out.rfind(kErase, done);
        ASSERT_NE(erase, std::string::npos) << c.command << out;
        EXPECT_GT(erase, line);
        const std::string between = out.substr(erase + 4, done - erase - 4);  // "#123 " before a W's count
        EXPECT_EQ(between.find_first_of("\r\n\x1b"), std::string::npos) << c.command << out;
        EXPECT_EQ(out.find(" left", done), std::string::npos) << c.command << ": drawn again after completion";
        EXPECT_EQ(Count(out, "Checking PuU0"), 1u);
        unlink(dir.file("out.hex").c_str());
    }
}

TEST(Progress, NeverInAPipeOrInBatchMode) {
    testsupport::TempDir dir;
    for (const char* line : {"p u;t 27020;f 5a,,,v;s;q n", "/b p u;t 27020;f 5a,,,v;s"}) {
        const std::string cmd =
            "cd " + zam32test::Quote(dir.path()) +
            " && env -u ZAM32ARG PELMO_SIM_USB='unit=0,ram=256,bulkdelay=150' ZAM32ARG=" + zam32test::Quote(line) +
            " " + zam32test::Quote(std::string(PELMO_BIN_DIR) + "/zam32") + " <&-";
        std::string out;
        testsupport::RunCommand(cmd, &out);
        EXPECT_NE(out.find("Fill Completed with no errors"), std::string::npos) << line << out;
        EXPECT_NE(out.find("CHECKSUM = "), std::string::npos) << line << out;
        EXPECT_EQ(out.find("\x1b["), std::string::npos) << line << out;
        EXPECT_EQ(out.find(" left"), std::string::npos) << line << out;
    }
}

TEST(Progress, LineText) {
    struct Case {
        uint64_t done, total, ms;
        const char* text;
    } cases[] = {
        {0x20000, 0x40000, 2000, "20000 of 40000 bytes (50%), 64 KB/s, 0:02 left"},
        {0x40000, 0x40000, 4000, "40000 of 40000 bytes (100%), 64 KB/s, 0:00 left"},
        {0, 0x100000, 1500, "0 of 100000 bytes (0%), 0 KB/s, ? left"},
        {0x1000, 0x100000, 60000, "1000 of 100000 bytes (0%), 0 KB/s, 256:00 left"},
    };
    for (const Case& c : cases) {
        char text[128];
        ProgressText(text, sizeof text, c.done, c.total, c.ms);
        EXPECT_STREQ(text, c.text);
    }
}

}  // namespace
