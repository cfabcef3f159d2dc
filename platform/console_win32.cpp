// The console program's keyboard and screen on Windows. With a console on standard
// input the key events and the screen are console_keys_win32.cpp's; with pipes, files
// or nothing, plain lines are read as on POSIX.
#include "platform/console.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/console_input.h"
#include "platform/console_keys_win32.h"
#include "platform/process.h"
#include "platform/wait_win32.h"

namespace {

bool g_opened = false;
int g_isTerminal = -1;  // -1 not yet decided
std::atomic<int> g_endStatus{0};
HANDLE g_endEvent = nullptr;  // manual-reset, set at the first ending event
int g_endToken = -1;
int g_inputToken = -1;
std::atomic<bool> g_handedOver{false};

char g_inBuffer[4096];
size_t g_inStart = 0, g_inEnd = 0;
bool g_inEof = false;

bool Terminal() {
    if (g_isTerminal < 0) g_isTerminal = WinConsolePresent() ? 1 : 0;
    return g_isTerminal == 1;
}

// A read of an empty pipe blocks past Ctrl+C, so pipes are read by a thread of their
// own, one chunk at a time, while the reader waits for the chunk or for the end.
struct PipeReader {
    HANDLE ready = nullptr;  // auto-reset: a chunk (or the end of the pipe) is there
    HANDLE taken = nullptr;  // auto-reset: the chunk has been copied out
    char chunk[sizeof g_inBuffer];
    DWORD length = 0;  // 0: the pipe has ended
};
PipeReader* g_pipe = nullptr;

DWORD WINAPI ReadPipe(void* context) {
    auto* pipe = static_cast<PipeReader*>(context);
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(in, pipe->chunk, sizeof pipe->chunk, &n, nullptr)) n = 0;
        pipe->length = n;
        SetEvent(pipe->ready);
        if (n == 0) return 0;
        WaitForSingleObject(pipe->taken, INFINITE);
    }
}

// The pipe's next chunk into g_inBuffer: its length, 0 at the end of the pipe or
// when the program is to end, -1 when no thread could be started.
int ReadFromPipe() {
    if (g_pipe == nullptr) {
        auto* pipe = new PipeReader;
        pipe->ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        pipe->taken = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HANDLE thread = pipe->ready && pipe->taken ? CreateThread(nullptr, 0, ReadPipe, pipe, 0, nullptr) : nullptr;
        if (thread == nullptr) {
            if (pipe->ready) CloseHandle(pipe->ready);
            if (pipe->taken) CloseHandle(pipe->taken);
            delete pipe;
            return -1;
        }
        CloseHandle(thread);  // it runs until the pipe ends or the process does
        g_pipe = pipe;
    }
    HANDLE handles[2] = {g_pipe->ready, g_endEvent};
    const DWORD r = WaitForMultipleObjects(g_endEvent ? 2 : 1, handles, FALSE, INFINITE);
    if (r != WAIT_OBJECT_0) return 0;  // the end (or a failed wait): no more input
    const DWORD n = g_pipe->length;
    std::memcpy(g_inBuffer, g_pipe->chunk, n);
    if (n > 0) SetEvent(g_pipe->taken);
    return static_cast<int>(n);
}

// Next byte of plain input, -1 at its end. A read of a pipe whose writer has gone, or
// of a file at its end, ends the input for good.
int NextInputByte() {
    if (g_inStart == g_inEnd) {
        if (g_inEof || g_endStatus != 0) return -1;
        HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        DWORD n = 0;
        const int piped =
            in != nullptr && in != INVALID_HANDLE_VALUE && GetFileType(in) == FILE_TYPE_PIPE ? ReadFromPipe() : -1;
        if (piped >= 0) {
            n = static_cast<DWORD>(piped);
        } else if (in == nullptr || in == INVALID_HANDLE_VALUE ||
                   !ReadFile(in, g_inBuffer, sizeof g_inBuffer, &n, nullptr)) {
            n = 0;
        }
        if (n == 0) {
            g_inEof = true;
            return -1;
        }
        g_inStart = 0;
        g_inEnd = n;
    }
    return static_cast<unsigned char>(g_inBuffer[g_inStart++]);
}

}  // namespace

void ConsoleEndRequested(int status) {
    int expected = 0;
    if (!g_endStatus.compare_exchange_strong(expected, status)) {
        // A second one while the first is under way: at once.
        ProcessRemoveTemporary();
        WinConsoleRestore();
        std::fflush(stdout);
        ExitProcess(static_cast<UINT>(status));
    }
    if (g_endEvent) SetEvent(g_endEvent);
}

bool ConsoleHandedOver() { return g_handedOver; }

void ConsoleOpen() {
    if (g_opened) return;
    g_opened = true;
    g_endEvent = CreateEventW(nullptr, TRUE, g_endStatus != 0, nullptr);
    if (g_endEvent) g_endToken = WaitTokenFor(g_endEvent);
    const bool keys = WinConsoleOpen();  // the control handler too, with pipes as well
    if (Terminal() && keys) {
        std::atexit(ConsoleRestore);
        if (HANDLE in = WinConsoleInput()) g_inputToken = WaitTokenFor(in);
    } else {
        g_isTerminal = 0;
    }
}

bool ConsoleIsTerminal() { return Terminal(); }

int ConsoleTerminalFd() {
    if (!Terminal()) return -1;
    if (g_inputToken < 0) {
        if (HANDLE in = WinConsoleInput()) g_inputToken = WaitTokenFor(in);
    }
    return g_inputToken;
}

bool ConsoleOutputIsTerminal() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return out != nullptr && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode) != 0;
}

int ConsoleUsableWidth() {
    if (Terminal()) {
        const int columns = WinConsoleColumns();
        if (columns > 20) return columns - 10;
    }
    return 70;
}

bool ConsoleResized() { return Terminal() && WinConsoleResized(); }

int ConsoleReadKey(bool wait) {
    if (!Terminal() || g_endStatus != 0 || ConsoleCtrlCQuit()) return 0;
    std::fflush(stdout);
    return WinConsoleReadKey(wait);
}

int ConsoleGetKey(bool wait) {
    int key = ConsoleReadKey(wait);
    return key > 0xFF ? CONSOLE_KEY_EXTENDED : key;
}

void ConsoleFlushKeys() {
    if (Terminal()) WinConsoleFlushKeys();
}

void ConsoleWrite(const char* text, size_t length) {
    std::fflush(stdout);
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
}

void ConsoleSetCursor(int shape) {
    if (Terminal()) WinConsoleSetCursor(shape);
}

int ConsoleNextInputByte() { return NextInputByte(); }

int ConsoleEndStatus() {
    if (g_endStatus != 0) return g_endStatus;
    if (ConsoleCtrlCQuit()) return 130;
    return 0;
}

int ConsoleEndFd() { return g_endToken; }

void ConsoleSuspend() {
    g_handedOver = true;
    std::fflush(stdout);
    if (Terminal()) WinConsoleSuspend();
}

void ConsoleResume() {
    g_handedOver = false;
    if (Terminal()) WinConsoleResume();
}

void ConsoleRestore() {
    std::fflush(stdout);
    if (Terminal()) WinConsoleRestore();
}

// The console's input is in mode 0 from ConsoleOpen on: nothing to switch for a wait.
void ConsoleWatchKeysRaw(int) {}
void ConsoleWatchRestore() {}

bool ConsoleCancelKeyPressed(int* fd) {
    HANDLE h = WaitObjectOf(*fd);
    if (h == nullptr) {
        *fd = -1;
        return false;
    }
    if (*fd == g_inputToken) return WinConsoleCancelKeyPressed();
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode)) {
        // Another console input: its events are read and looked at for the cancel keys.
        INPUT_RECORD record;
        DWORD n = 0;
        if (!ReadConsoleInputA(h, &record, 1, &n) || n == 0) {
            *fd = -1;
            return false;
        }
        if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return false;
        const char c = record.Event.KeyEvent.uChar.AsciiChar;
        if (c == KEY_CTRL_C) ConsoleNoteCtrlC();
        return c == 0x1B || c == 0x0C || c == KEY_CTRL_C;
    }
    // A byte stream (a pipe standing in for a terminal).
    char c = 0;
    DWORD n = 0;
    if (!ReadFile(h, &c, 1, &n, nullptr) || n == 0) {
        *fd = -1;
        return false;
    }
    if (c == KEY_CTRL_C) {
        ConsoleNoteCtrlC();
        return true;
    }
    return c == 0x1B || c == 0x0C;
}
