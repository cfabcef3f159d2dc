#include "platform/shell.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"

namespace {

const char* CommandProcessor() {
    const char* s = std::getenv("COMSPEC");
    if (s && *s) return s;
    s = std::getenv("SHELL");
    if (s && *s) return s;
    return "/bin/sh";
}

// How the job stands to the controlling terminal.
struct JobTerminal {
    int fd = -1;           // the terminal, when this program holds its foreground
    bool ownGroup = true;  // false: run in this program's group (a background job)
};

// In the foreground of a terminal the job gets its own group and the foreground; with
// no terminal at all it gets its own group so that a signal reaches all of it. A
// program running in the background keeps the job in its own group: the shell that
// started it stops and continues them together.
JobTerminal FindTerminal() {
    JobTerminal t;
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return t;
    if (tcgetpgrp(fd) == getpgrp()) {
        t.fd = fd;
    } else {
        close(fd);
        t.ownGroup = false;
    }
    return t;
}

// Gives the terminal's foreground to `pgid`; a process outside the foreground may do
// so only with SIGTTOU held back.
void GiveTerminal(int fd, pid_t pgid) {
    sigset_t ttou, old;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &old);
    tcsetpgrp(fd, pgid);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Written by SIGCHLD: the job's shell ended or stopped.
int g_childWake[2] = {-1, -1};

void OnChild(int) {
    const int saved = errno;
    char c = 1;
    ssize_t w = write(g_childWake[1], &c, 1);
    (void)w;
    errno = saved;
}

// Waits for the job's shell to end. An ending signal sent to this program meanwhile is
// passed on to the whole job once; the program then ends as it would after any command.
// A job stopped from its terminal (Ctrl+Z) stops this program with it, as one job of
// the shell that started us, and goes on with it; with no such shell (an orphaned
// group does not stop) the job simply goes on.
void WaitForJob(pid_t pid, const JobTerminal& terminal, int* raw) {
    bool passedOn = false;
    for (;;) {
        pid_t done = waitpid(pid, raw, WNOHANG | (terminal.ownGroup ? WUNTRACED : 0));
        if (done == pid && WIFSTOPPED(*raw)) {
            if (terminal.fd >= 0) {
                GiveTerminal(terminal.fd, getpgrp());
                raise(SIGTSTP);
                GiveTerminal(terminal.fd, pid);
            }
            kill(-pid, SIGCONT);
            continue;
        }
        if (done == pid || (done < 0 && errno != EINTR)) break;
        if (!passedOn && ConsoleEndStatus() > 128) {
            kill(terminal.ownGroup ? -pid : pid, ConsoleEndStatus() - 128);
            passedOn = true;
        }
        pollfd p[2] = {{g_childWake[0], POLLIN, 0}, {passedOn ? -1 : ConsoleEndFd(), POLLIN, 0}};
        if (poll(p, 2, -1) > 0 && (p[0].revents & POLLIN)) {
            char drain[64];
            while (read(g_childWake[0], drain, sizeof drain) > 0) {}
        }
    }
}

}  // namespace

bool ShellRun(const char* command, const std::function<void()>& handedOver, int* status, std::string* why) {
    const char* shell = CommandProcessor();
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    if (g_childWake[0] < 0 && pipe2(g_childWake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *why = std::strerror(errno);
        close(pipefd[0]);
        close(pipefd[1]);
        return false;
    }
    struct sigaction onChild {
    }, oldChild{};
    onChild.sa_handler = OnChild;
    sigemptyset(&onChild.sa_mask);
    onChild.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &onChild, &oldChild);
    std::fflush(stdout);
    ConsoleSuspend();
    const JobTerminal terminal = FindTerminal();
    // Ctrl+\ belongs to the job while it runs, as the system's own shell call has it.
    struct sigaction ignore {
    }, oldQuit{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGQUIT, &ignore, &oldQuit);
    pid_t pid = fork();
    if (pid == 0) {
        // Both sides set the group and the foreground: whichever runs first, the shell
        // never reads the terminal from the background.
        if (terminal.ownGroup) setpgid(0, 0);
        if (terminal.fd >= 0) GiveTerminal(terminal.fd, getpid());
        // SIGPIPE too: we ignore it for ourselves, and an ignored signal would pass
        // through exec to every program of the job (`yes | head` would then complain).
        for (int sig : {SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE}) signal(sig, SIG_DFL);
        close(pipefd[0]);
        if (command) execl(shell, shell, "-c", command, static_cast<char*>(nullptr));
        else execl(shell, shell, static_cast<char*>(nullptr));
        int err = errno;
        ssize_t w = write(pipefd[1], &err, sizeof err);
        (void)w;
        _exit(127);
    }
    close(pipefd[1]);
    bool started = pid > 0;
    int err = pid < 0 ? errno : 0;
    if (started) {
        if (terminal.ownGroup) setpgid(pid, pid);
        if (terminal.fd >= 0) GiveTerminal(terminal.fd, pid);
        if (handedOver) {
            handedOver();
            std::fflush(stdout);
        }
        int childErr = 0;
        ssize_t r;
        do r = read(pipefd[0], &childErr, sizeof childErr);
        while (r < 0 && errno == EINTR);
        int raw = 0;
        WaitForJob(pid, terminal, &raw);
        if (r == static_cast<ssize_t>(sizeof childErr)) {
            started = false;
            err = childErr;
        }
        *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : 1;
    }
    if (terminal.fd >= 0) {
        GiveTerminal(terminal.fd, getpgrp());
        close(terminal.fd);
    }
    close(pipefd[0]);
    sigaction(SIGQUIT, &oldQuit, nullptr);
    sigaction(SIGCHLD, &oldChild, nullptr);
    ConsoleResume();
    if (!started) *why = std::strerror(err);
    return started;
}
