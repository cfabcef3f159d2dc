// "!": the command processor, for one command line or interactively.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "zam32/commands.h"
#include "zam32/screen.h"

namespace {

bool g_promptSet = false;

const char* CommandProcessor() {
    const char* s = std::getenv("COMSPEC");
    if (s && *s) return s;
    s = std::getenv("SHELL");
    if (s && *s) return s;
    return "/bin/sh";
}

// Waits for the processor to end. An ending signal sent to this program while it runs
// is passed on to it once; the program then ends as it would after any command.
void WaitForProcessor(pid_t pid, int* raw) {
    bool passedOn = false;
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        pid_t done = waitpid(pid, raw, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        if (!passedOn && ConsoleEndStatus() > 128) {
            kill(pid, ConsoleEndStatus() - 128);
            passedOn = true;
        }
        // The end of the processor or the signal wakes the wait; without a process
        // descriptor (older kernels) it looks again every 50 ms.
        pollfd p[2] = {{pidFd, POLLIN, 0}, {passedOn ? -1 : ConsoleEndFd(), POLLIN, 0}};
        poll(p, 2, pidFd >= 0 ? -1 : 50);
    }
    if (pidFd >= 0) close(pidFd);
}

// Runs the processor and waits; the terminal is handed over in its own settings.
// Returns false with errno's text in `why` when it could not be started.
bool RunProcessor(const char* command, int* status, std::string* why) {
    const char* shell = CommandProcessor();
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    std::fflush(stdout);
    ConsoleSuspend();
    // The processor owns the terminal's Ctrl+C and Ctrl+\ while it runs, as the
    // system's own shell call has it (the console leaves a typed Ctrl+C to it).
    struct sigaction ignore{}, oldQuit{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGQUIT, &ignore, &oldQuit);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        close(pipefd[0]);
        if (command)
            execl(shell, shell, "-c", command, static_cast<char*>(nullptr));
        else
            execl(shell, shell, static_cast<char*>(nullptr));
        int err = errno;
        ssize_t w = write(pipefd[1], &err, sizeof err);
        (void)w;
        _exit(127);
    }
    close(pipefd[1]);
    bool started = pid > 0;
    int err = pid < 0 ? errno : 0;
    if (started) {
        int childErr = 0;
        ssize_t r;
        do r = read(pipefd[0], &childErr, sizeof childErr);
        while (r < 0 && errno == EINTR);
        int raw = 0;
        WaitForProcessor(pid, &raw);
        if (r == static_cast<ssize_t>(sizeof childErr)) {
            started = false;
            err = childErr;
        }
        *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : 1;
    }
    close(pipefd[0]);
    sigaction(SIGQUIT, &oldQuit, nullptr);
    ConsoleResume();
    if (!started) *why = std::strerror(err);
    return started;
}

}  // namespace

ZAM32_HANDLER(CmdShell) {
    if (!g_promptSet) {
        g_promptSet = true;
        const char* p = std::getenv("PROMPT");
        std::string value = p ? std::string(p) + "$g" : std::string("$n$g");
        setenv("PROMPT", value.c_str(), 1);
    }
    const char* command = text;
    while (*command == ' ' || *command == '\t') ++command;
    int status = 0;
    std::string why;
    if (!*command) {
        ConsoleSetCursor(1);
        PrintText("Type 'exit' to resume ZAM32\n");
        if (!RunProcessor(nullptr, &status, &why)) {
            ReportError("\nFAILURE EXECUTING COMMAND PROCESSOR (%s)\a\n", nullptr, why.c_str());
            return CMD_FAILED;
        }
        PrintText("\n");
        return CMD_OK;
    }
    if (!RunProcessor(command, &status, &why)) {
        ReportError("\nFAILURE EXECUTING COMMAND PROCESSOR (%s)\a\n", nullptr, why.c_str());
        return CMD_FAILED;
    }
    if (status != 0) Inform("\nWARNING: COMMAND PROCESSOR RETURNED STATUS %d\a\n", status);
    return CMD_LINE_TAKEN;
}
