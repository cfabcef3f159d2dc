#include "platform/process.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// Written only outside the control handler; `g_tempSet` is raised after the path is
// complete and lowered before it changes, so the handler never sees half a name.
wchar_t g_temp[4096];
std::atomic<int> g_tempSet{0};
// The same for the file being appended to: its descriptor and old length.
int g_cutFd = -1;
long long g_cutLength = 0;
std::atomic<int> g_cutSet{0};
// The thread in a held step (ProcessHoldOutput), or 0.
std::atomic<DWORD> g_holder{0};

void RemoveAtExit() { ProcessRemoveTemporary(); }

bool Widen(const char* text, wchar_t* out, int room) { return MultiByteToWideChar(CP_ACP, 0, text, -1, out, room) > 0; }

}  // namespace

void ProcessOpenMissingStandardStreams() {
    // A program started without a standard stream gets the null device there, so that
    // no file opened later passes for it.
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) != -1 && _get_osfhandle(fd) != -2) continue;
        const int n = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (n >= 0 && n != fd) {
            _dup2(n, fd);
            _close(n);
        }
    }
}

// A write to a pipe without a reader fails with an error on Windows; nothing to hook.
void ProcessIgnoreBrokenPipe() {}

std::string ProcessProgramPath() {
    wchar_t wide[32768];
    const DWORD n = GetModuleFileNameW(nullptr, wide, sizeof wide / sizeof wide[0]);
    if (n == 0 || n >= sizeof wide / sizeof wide[0]) return std::string();
    char narrow[32768 * 2];
    const int m = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(n), narrow, sizeof narrow, nullptr, nullptr);
    if (m <= 0) return std::string();
    return std::string(narrow, static_cast<size_t>(m));
}

uint32_t ProcessOsClass() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL known = GetVersionExA(&version);
#pragma GCC diagnostic pop
    if (!known || version.dwPlatformId != VER_PLATFORM_WIN32_NT) return 0;
    return version.dwMajorVersion;
}

bool ProcessSetEnvironment(const char* name, const char* value) {
    // Both the C runtime's copy (getenv) and the process's block (what CreateProcess passes on).
    return _putenv_s(name, value) == 0 && SetEnvironmentVariableA(name, value) != 0;
}

void ProcessSetTemporary(const char* path) {
    static bool hooked = false;
    if (!hooked) hooked = std::atexit(RemoveAtExit) == 0;
    g_tempSet = 0;
    if (path == nullptr || path[0] == '\0') return;
    if (Widen(path, g_temp, sizeof g_temp / sizeof g_temp[0])) g_tempSet = 1;
}

void ProcessClearTemporary(const char* path) {
    wchar_t wide[4096];
    if (g_tempSet && path != nullptr && Widen(path, wide, sizeof wide / sizeof wide[0]) &&
        std::wcscmp(wide, g_temp) == 0)
        g_tempSet = 0;
}

void ProcessSetCutBack(int fd, long long length) {
    static bool hooked = false;
    if (!hooked) hooked = std::atexit(RemoveAtExit) == 0;
    g_cutSet = 0;
    if (fd < 0 || length < 0) return;
    g_cutFd = fd;
    g_cutLength = length;
    g_cutSet = 1;
}

void ProcessClearCutBack(int fd) {
    if (g_cutSet && fd == g_cutFd) g_cutSet = 0;
}

void ProcessHoldOutput() { g_holder = GetCurrentThreadId(); }

void ProcessReleaseOutput() { g_holder = 0; }

void ProcessRemoveTemporary() {
    // Another thread is in a step that leaves a half-copied file if cut short: the
    // process ends after it.
    while (g_holder != 0 && g_holder != GetCurrentThreadId()) SleepEx(1, FALSE);
    if (g_cutSet) {
        g_cutSet = 0;
        HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(g_cutFd));
        LARGE_INTEGER at;
        at.QuadPart = g_cutLength;
        if (h != INVALID_HANDLE_VALUE && SetFilePointerEx(h, at, nullptr, FILE_BEGIN)) SetEndOfFile(h);
        // What the stream still holds (flushed at exit, after this) goes nowhere.
        const int null = _open("NUL", _O_WRONLY);
        if (null >= 0) {
            _dup2(null, g_cutFd);
            _close(null);
        }
    }
    if (!g_tempSet) return;
    g_tempSet = 0;
    DeleteFileW(g_temp);
}
