#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Written only outside signal handlers; `g_tempSet` is raised after the path is
// complete and lowered before it changes, so a handler never sees half a name.
char g_temp[4096];
volatile sig_atomic_t g_tempSet = 0;
// The same for the file being appended to: its descriptor and old length.
int g_cutFd = -1;
off_t g_cutLength = 0;
volatile sig_atomic_t g_cutSet = 0;

// The thread in a held step (ProcessHoldOutput), or 0.
volatile sig_atomic_t g_holder = 0;
sigset_t g_heldMask;

pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void RemoveAtExit() { ProcessRemoveTemporary(); }

}  // namespace

void ProcessOpenMissingStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is taken: the closed one.
        int n = open("/dev/null", O_RDWR);
        if (n >= 0 && n != fd) {
            dup2(n, fd);
            close(n);
        }
    }
}

void ProcessIgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

std::string ProcessProgramPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return std::string();
    return std::string(path, static_cast<size_t>(n));
}

void ProcessSetTemporary(const char* path) {
    static bool hooked = false;
    if (!hooked) { hooked = std::atexit(RemoveAtExit) == 0; }
    g_tempSet = 0;
    if (path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof g_temp) return;
    std::memcpy(g_temp, path, std::strlen(path) + 1);
    g_tempSet = 1;
}

void ProcessClearTemporary(const char* path) {
    if (g_tempSet && path != nullptr && std::strcmp(path, g_temp) == 0) g_tempSet = 0;
}

void ProcessSetCutBack(int fd, long long length) {
    static bool hooked = false;
    if (!hooked) { hooked = std::atexit(RemoveAtExit) == 0; }
    g_cutSet = 0;
    if (fd < 0 || length < 0) return;
    g_cutFd = fd;
    g_cutLength = static_cast<off_t>(length);
    g_cutSet = 1;
}

void ProcessClearCutBack(int fd) {
    if (g_cutSet && fd == g_cutFd) g_cutSet = 0;
}

void ProcessHoldOutput() {
    sigset_t endings;
    sigemptyset(&endings);
    sigaddset(&endings, SIGINT);
    sigaddset(&endings, SIGTERM);
    sigaddset(&endings, SIGHUP);
    sigaddset(&endings, SIGQUIT);
    pthread_sigmask(SIG_BLOCK, &endings, &g_heldMask);
    g_holder = ThreadId();
}

void ProcessReleaseOutput() {
    g_holder = 0;
    // A signal that came meanwhile is delivered here, after the step.
    pthread_sigmask(SIG_SETMASK, &g_heldMask, nullptr);
}

void ProcessRemoveTemporary() {
    // Another thread is in a step that leaves a half-copied file if cut short: the
    // process ends after it (nanosleep and gettid are safe in a handler).
    while (g_holder != 0 && g_holder != ThreadId()) {
        const timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
    if (g_cutSet) {
        g_cutSet = 0;
        // ftruncate, open and dup2 only: safe in a signal handler.
        if (ftruncate(g_cutFd, g_cutLength) != 0) {
            // Nothing more can be done on the way out.
        }
        // What the stream still holds (flushed at exit, after this) goes nowhere.
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, g_cutFd);
            close(null);
        }
    }
    if (!g_tempSet) return;
    g_tempSet = 0;
    unlink(g_temp);
}

uint32_t ProcessOsClass() { return 0; }

bool ProcessSetEnvironment(const char* name, const char* value) { return setenv(name, value, 1) == 0; }
