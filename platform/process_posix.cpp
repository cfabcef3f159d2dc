#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Written only outside signal handlers; `g_tempSet` is raised after the path is
// complete and lowered before it changes, so a handler never sees half a name.
char g_temp[4096];
volatile sig_atomic_t g_tempSet = 0;

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

void ProcessSetTemporary(const char* path) {
    static bool hooked = false;
    if (!hooked) {
        hooked = std::atexit(RemoveAtExit) == 0;
    }
    g_tempSet = 0;
    if (path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof g_temp) return;
    std::memcpy(g_temp, path, std::strlen(path) + 1);
    g_tempSet = 1;
}

void ProcessClearTemporary(const char* path) {
    if (g_tempSet && path != nullptr && std::strcmp(path, g_temp) == 0) g_tempSet = 0;
}

void ProcessRemoveTemporary() {
    if (!g_tempSet) return;
    g_tempSet = 0;
    unlink(g_temp);
}
