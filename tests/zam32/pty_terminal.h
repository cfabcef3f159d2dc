#pragma once
// The built console program on a pseudo-terminal: keys typed as the bytes a terminal
// sends, the screen read back as the bytes the program wrote.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace zam32test {

struct TerminalOptions {
    std::string program = PELMO_BIN_DIR "/zam32";
    std::string dir;                                       // working directory ("" = unchanged)
    std::vector<std::pair<std::string, std::string>> env;  // set in the child
    std::vector<std::string> args;                         // after the program name
    unsigned short columns = 80;
};

class PtyTerminal {
public:
    explicit PtyTerminal(const TerminalOptions& o = TerminalOptions()) {
        winsize ws{};
        ws.ws_row = 24;
        ws.ws_col = o.columns;
        // The child waits until the settings of program start have been read: the
        // program changes them as soon as it runs.
        int go[2] = {-1, -1};
        if (pipe2(go, O_CLOEXEC) != 0) return;
        pid_ = forkpty(&master_, nullptr, nullptr, &ws);
        if (pid_ == 0) {
            char c;
            close(go[1]);
            if (read(go[0], &c, 1) != 1) _exit(125);
            for (const char* v : {"ZAM32ARG", "ZAM32OSCLASS", "PELMO_SIM_USB", "PELMO_SIM_LPT", "COMSPEC"}) unsetenv(v);
            setenv("SHELL", "/bin/sh", 1);  // the same command processor wherever the suite runs
            for (const auto& kv : o.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
            if (!o.dir.empty() && chdir(o.dir.c_str()) != 0) _exit(126);
            std::vector<char*> argv{const_cast<char*>("zam32")};
            for (const std::string& a : o.args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(o.program.c_str(), argv.data());
            _exit(127);
        }
        if (master_ >= 0) tcgetattr(master_, &start_);
        close(go[0]);
        if (pid_ > 0 && write(go[1], "g", 1) != 1) ADD_FAILURE() << "the child was not let go";
        close(go[1]);
    }
    ~PtyTerminal() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }
    bool started() const { return pid_ > 0; }
    void Type(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
    // Reads until `text` has appeared after the previous wait (or `seconds` pass).
    bool WaitFor(const std::string& text, int seconds = 10) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            size_t at = all_.find(text, mark_);
            if (at != std::string::npos) {
                mark_ = at + text.size();
                return true;
            }
            if (!ReadSome(100)) {  // the program has ended: what it wrote is all there is
                at = all_.find(text, mark_);
                if (at == std::string::npos) return false;
                mark_ = at + text.size();
                return true;
            }
        }
        return false;
    }
    // The exit status (128 + signal when killed), or -1 when the program has not
    // ended within 10 s.
    int Status() {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            ReadSome(10);
            usleep(10000);  // a hung-up terminal makes reading return at once
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                // To the end of what it wrote; a process it left behind may hold the
                // terminal open for longer.
                while (ReadSome(10) && std::chrono::steady_clock::now() < end) {}
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
        return -1;
    }
    // The terminal's settings now, to compare with those at start.
    termios Settings() const {
        termios t{};
        tcgetattr(master_, &t);
        return t;
    }
    const termios& StartSettings() const { return start_; }
    // A new terminal size; the kernel tells the program with SIGWINCH.
    void Resize(unsigned short columns) {
        winsize ws{};
        ws.ws_row = 24;
        ws.ws_col = columns;
        ioctl(master_, TIOCSWINSZ, &ws);
    }
    // Waits until the terminal's foreground is the process group led by a program named
    // `name` and lines are read whole: keys typed then are that job's.
    bool WaitForForeground(const std::string& name, int seconds = 10) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            pid_t fg = tcgetpgrp(master_);
            char path[64];
            snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(fg));
            std::string comm;
            if (FILE* f = fg > 0 ? fopen(path, "r") : nullptr) {
                char buf[64] = {};
                if (fgets(buf, sizeof buf, f)) comm = buf;
                fclose(f);
            }
            if (comm == name + "\n" && (Settings().c_lflag & ICANON)) return true;
            ReadSome(10);
        }
        return false;
    }
    pid_t pid() const { return pid_; }
    const std::string& output() const { return all_; }
    // Screen output after the last wait.
    std::string Rest() const { return all_.substr(mark_); }

private:
    bool ReadSome(int ms) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return true;
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return false;
        all_.append(buf, static_cast<size_t>(n));
        return true;
    }
    int master_ = -1;
    pid_t pid_ = -1;
    termios start_{};
    std::string all_;
    size_t mark_ = 0;
};

}  // namespace zam32test
