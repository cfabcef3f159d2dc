// One `pelmosim serial` process for the program tests: it serves a unit on a
// pseudo-terminal whose path is the first line it prints.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace zam32test {

// One `pelmosim serial` process; stopped (SIGTERM, then reaped) when the object goes.
class PelmoSim {
public:
    explicit PelmoSim(const std::vector<std::string>& args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            std::vector<char*> argv;
            std::string program = std::string(PELMO_BIN_DIR) + "/pelmosim";
            argv.push_back(const_cast<char*>(program.c_str()));
            std::string serial = "serial";
            argv.push_back(const_cast<char*>(serial.c_str()));
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        // The first line is the pty's path; it must come at once.
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (path_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char c[256];
            ssize_t n = read(out[0], c, sizeof c);
            if (n <= 0) break;
            path_.append(c, static_cast<size_t>(n));
        }
        close(out[0]);
        size_t nl = path_.find('\n');
        path_ = nl == std::string::npos ? std::string() : path_.substr(0, nl);
    }
    ~PelmoSim() { Stop(); }
    const std::string& path() const { return path_; }
    // SIGTERM ends it cleanly; returns its exit status (-1 if it had to be killed).
    int Stop() {
        if (pid_ <= 0) return status_;
        kill(pid_, SIGTERM);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int st = 0;
        while (waitpid(pid_, &st, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &st, 0);
                pid_ = 0;
                return status_ = -1;
            }
            usleep(10000);
        }
        pid_ = 0;
        return status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    // Waits up to ms for the process to end on its own; true if it did.
    bool Ended(int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        int st = 0;
        while (std::chrono::steady_clock::now() < end) {
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = 0;
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                return true;
            }
            usleep(10000);
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string path_;
};

}  // namespace zam32test
