#include "platform/shell.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/console.h"
#include "platform/syserror.h"

// The command processor named by COMSPEC ("COMMAND.COM" without it), in this console:
// Ctrl+C typed meanwhile is its own (the console's handler lets it pass while the
// terminal is suspended), and this program waits until it ends.
bool ShellRun(const char* command, const std::function<void()>& handedOver, int* status, std::string* why) {
    const char* comspec = std::getenv("COMSPEC");
    const std::string processor = comspec && *comspec ? comspec : "COMMAND.COM";
    std::string line = "\"" + processor + "\"";
    if (command) line += std::string(" /C ") + command;
    std::fflush(stdout);
    ConsoleSuspend();
    STARTUPINFOA start{};
    start.cb = sizeof start;
    PROCESS_INFORMATION child{};
    // The standard handles are inherited as they are (a pipe stays the child's output too).
    const BOOL started =
        CreateProcessA(processor.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &child);
    if (!started) {
        *why = LastSystemErrorText();
        ConsoleResume();
        return false;
    }
    CloseHandle(child.hThread);
    if (handedOver) {
        handedOver();
        std::fflush(stdout);
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    *status = static_cast<int>(code);
    ConsoleResume();
    return true;
}
