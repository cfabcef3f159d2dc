// The program on a terminal (a pseudo-terminal): lines read with the terminal's own
// editing, and the cancel key seen by a running fill.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace {

class Terminal {
public:
    Terminal() {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            unsetenv("ZAM32ARG");
            unsetenv("ZAM32OSCLASS");
            execl(PELMO_BIN_DIR "/zam32", "zam32", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Terminal() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }
    bool started() const { return pid_ > 0; }
    void Type(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
    void Drain(int ms) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, ms) > 0) {
            char buf[4096];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0) all_.append(buf, static_cast<size_t>(n));
        }
    }
    // Reads until `text` has appeared after the previous wait (or 10 s pass).
    bool WaitFor(const std::string& text) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            size_t at = all_.find(text, mark_);
            if (at != std::string::npos) {
                mark_ = at + text.size();
                return true;
            }
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buf[4096];
                ssize_t n = read(master_, buf, sizeof buf);
                if (n <= 0) return false;
                all_.append(buf, static_cast<size_t>(n));
            }
        }
        return false;
    }
    // The exit status, or -1 when the program has not ended within 10 s.
    int Status() {
        int status = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            Drain(10);  // keep the terminal from filling up
            usleep(10000);  // a hung-up terminal makes Drain return at once
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        return -1;
    }
    const std::string& output() const { return all_; }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    std::string all_;
    size_t mark_ = 0;
};

TEST(Zam32Terminal, CancelKeyStopsAFill) {
    Terminal t;
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
    t.Type("= 12\x7f" "3\n");
    ASSERT_TRUE(t.WaitFor("$0 <- 13 = 13 = #19")) << t.output();
    // Keys typed before the prompt would be dropped by the poll in front of each line.
    ASSERT_TRUE(t.WaitFor("PvU0123>")) << t.output();
    t.Type("q n\n");
    EXPECT_EQ(t.Status(), 0) << t.output();
}

TEST(Zam32Terminal, EndOfInputQuits) {
    Terminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
    t.Type("\x04");  // Ctrl+D on an empty line
    EXPECT_EQ(t.Status(), 0) << t.output();
}

}  // namespace
