// The Windows console as the console program's keyboard and screen: key events of
// "CONIN$" in console mode 0 turned into the key codes of console.h, the cursor and
// width of "CONOUT$", and the console's control events as the ending signals.
#include "platform/console_keys_win32.h"

#include <atomic>
#include <cstdio>

#include "platform/clock.h"
#include "platform/process.h"

namespace {

enum Modifier { HELD_SHIFT = 1, HELD_ALT = 2, HELD_CTRL = 4 };

// Navigation keys: plain, with Ctrl, with Alt (the PC keyboard's scan codes, as the
// terminal's sequences give them).
struct NavKey {
    WORD vk;
    int plain, ctrl, alt;
};
constexpr NavKey kNavKeys[] = {
    {VK_HOME, KEY_HOME, KEY_CTRL_HOME, 0x9700},     {VK_UP, KEY_UP, 0x8D00, 0x9800},
    {VK_PRIOR, KEY_PGUP, KEY_CTRL_PGUP, 0x9900},    {VK_LEFT, KEY_LEFT, KEY_CTRL_LEFT, 0x9B00},
    {VK_RIGHT, KEY_RIGHT, KEY_CTRL_RIGHT, 0x9D00},  {VK_END, KEY_END, KEY_CTRL_END, 0x9F00},
    {VK_DOWN, KEY_DOWN, 0x9100, 0xA000},            {VK_NEXT, KEY_PGDN, KEY_CTRL_PGDN, 0xA100},
    {VK_INSERT, KEY_INSERT, 0x9200, 0xA200},        {VK_DELETE, KEY_DELETE, 0x9300, 0xA300},
};

// F1..F10 (n = 1..10); Ctrl before Alt before Shift when several are held.
int Function(int n, int mods) {
    if (n < 1 || n > 10) return KEY_UNKNOWN;
    int base = KEY_F1;
    if (mods & HELD_CTRL) base = KEY_CTRL_F1;
    else if (mods & HELD_ALT) base = KEY_ALT_F1;
    else if (mods & HELD_SHIFT) base = KEY_SHIFT_F1;
    return base + (n - 1) * 0x100;
}

bool IsModifierAlone(WORD vk) {
    switch (vk) {
        case VK_SHIFT: case VK_CONTROL: case VK_MENU: case VK_LSHIFT: case VK_RSHIFT:
        case VK_LCONTROL: case VK_RCONTROL: case VK_LMENU: case VK_RMENU: case VK_LWIN:
        case VK_RWIN: case VK_APPS: case VK_CAPITAL: case VK_NUMLOCK: case VK_SCROLL:
        case VK_CANCEL:  // Ctrl+Break: the control handler's, not a key
            return true;
        default:
            return false;
    }
}

}  // namespace

int ConsoleKeyFromEvent(bool keyDown, WORD virtualKey, char character, DWORD controlState) {
    const unsigned char ch = static_cast<unsigned char>(character);
    // A character typed as Alt + digits on the keypad arrives with the release of Alt.
    if (!keyDown) return virtualKey == VK_MENU && ch != 0 ? ch : 0;
    if (IsModifierAlone(virtualKey)) return 0;
    int mods = 0;
    if (controlState & SHIFT_PRESSED) mods |= HELD_SHIFT;
    if (controlState & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) mods |= HELD_ALT;
    if (controlState & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) mods |= HELD_CTRL;
    const bool altOnly = (mods & (HELD_ALT | HELD_CTRL)) == HELD_ALT;
    // The keypad digits of such a character, while Alt is held.
    if (altOnly && virtualKey >= VK_NUMPAD0 && virtualKey <= VK_NUMPAD9) return 0;
    for (const NavKey& k : kNavKeys) {
        if (k.vk != virtualKey) continue;
        if (mods & HELD_CTRL) return k.ctrl;
        if (mods & HELD_ALT) return k.alt;
        return k.plain;  // Shift changes nothing here
    }
    if (virtualKey >= VK_F1 && virtualKey <= VK_F24) return Function(virtualKey - VK_F1 + 1, mods);
    // On a terminal Alt sends Esc in front of the key: no key of ours.
    switch (virtualKey) {
        case VK_ESCAPE: return 0x1B;  // some consoles give it no character
        case VK_BACK: return altOnly ? KEY_UNKNOWN : 0x08;  // Ctrl+Backspace gives DEL
        case VK_RETURN: return altOnly ? KEY_UNKNOWN : 0x0D;  // Ctrl+Enter gives LF
        case VK_TAB: return mods & (HELD_SHIFT | HELD_ALT) ? KEY_UNKNOWN : 0x09;  // a terminal's Shift+Tab neither
        default: break;
    }
    if (ch == 0 || altOnly) return KEY_UNKNOWN;
    if (ch == 0x0A) return 0x0D;  // Ctrl+J acts as Enter, as on a terminal
    return ch;  // also Ctrl with a letter, and AltGr (Ctrl and Alt) with a character
}

int ConsoleKeyFromRecord(const KEY_EVENT_RECORD& key) {
    return ConsoleKeyFromEvent(key.bKeyDown != FALSE, key.wVirtualKeyCode, key.uChar.AsciiChar,
                               key.dwControlKeyState);
}

namespace {

HANDLE g_in = INVALID_HANDLE_VALUE;   // "CONIN$" while standard input is the console
HANDLE g_out = INVALID_HANDLE_VALUE;  // "CONOUT$"
bool g_opened = false;
DWORD g_inMode = 0;  // of program start
bool g_raw = false;
CONSOLE_CURSOR_INFO g_cursor{};  // of program start
bool g_cursorSaved = false;
bool g_cursorChanged = false;
SHORT g_columns = 0;  // at the last look
// A key held down comes as one record with a repeat count.
int g_repeatKey = 0;
WORD g_repeatLeft = 0;

// Set from the control handler's thread.
std::atomic<int> g_endStatus{0};
std::atomic<bool> g_childHasConsole{false};
HANDLE g_endEvent = nullptr;  // manual reset, set from the first ending event on
bool g_ctrlCQuit = false;
bool g_anyCtrlC = false;
uint64_t g_lastCtrlC = 0;

HANDLE OpenConsoleFile(const char* name) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       OPEN_EXISTING, 0, nullptr);
}

bool IsConsole(HANDLE h) {
    DWORD mode;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != FALSE;
}

void EnterRaw() {
    if (g_in != INVALID_HANDLE_VALUE && SetConsoleMode(g_in, 0)) g_raw = true;
}

void LeaveRaw() {
    if (g_in != INVALID_HANDLE_VALUE) SetConsoleMode(g_in, g_inMode);
    g_raw = false;
}

void RestoreCursor() {
    if (g_cursorChanged && g_cursorSaved) SetConsoleCursorInfo(g_out, &g_cursor);
    g_cursorChanged = false;
}

SHORT Columns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (g_out == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(g_out, &info)) return 0;
    return info.dwSize.X;
}

}  // namespace

BOOL WINAPI ConsoleWin32OnControl(DWORD type) {
    int status;
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            if (g_childHasConsole) return TRUE;  // typed for the shell that has the console
            status = 130;
            break;
        case CTRL_CLOSE_EVENT: status = 129; break;
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: status = 143; break;
        default: return FALSE;
    }
    int none = 0;
    if (!g_endStatus.compare_exchange_strong(none, status)) {
        ProcessRemoveTemporary();
        LeaveRaw();
        RestoreCursor();
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    }
    if (g_endEvent != nullptr) SetEvent(g_endEvent);
    // After these the system ends the process as soon as the handler returns: it
    // waits here for the program's own end (the system allows some seconds).
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) Sleep(INFINITE);
    return TRUE;
}

namespace {

// One key from the records waiting, 0 when none is ready (or the console is gone).
int NextKey() {
    if (g_repeatLeft > 0) {
        --g_repeatLeft;
        return g_repeatKey;
    }
    for (;;) {
        DWORD count = 0;
        if (!GetNumberOfConsoleInputEvents(g_in, &count) || count == 0) return 0;
        INPUT_RECORD record;
        DWORD read = 0;
        if (!ReadConsoleInputA(g_in, &record, 1, &read) || read == 0) return 0;
        if (record.EventType != KEY_EVENT) continue;  // focus, mouse, menu, buffer size
        const int key = ConsoleKeyFromRecord(record.Event.KeyEvent);
        if (key == 0) continue;
        if (record.Event.KeyEvent.wRepeatCount > 1) {
            g_repeatKey = key;
            g_repeatLeft = static_cast<WORD>(record.Event.KeyEvent.wRepeatCount - 1);
        }
        return key;
    }
}

}  // namespace

bool ConsoleWin32Open() {
    if (g_opened) return g_in != INVALID_HANDLE_VALUE;
    g_opened = true;
    g_endEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(ConsoleWin32OnControl, TRUE);
    if (!IsConsole(GetStdHandle(STD_INPUT_HANDLE))) return false;
    g_in = OpenConsoleFile("CONIN$");
    if (g_in == INVALID_HANDLE_VALUE) return false;
    if (!GetConsoleMode(g_in, &g_inMode)) {
        CloseHandle(g_in);
        g_in = INVALID_HANDLE_VALUE;
        return false;
    }
    g_out = OpenConsoleFile("CONOUT$");
    g_cursorSaved = g_out != INVALID_HANDLE_VALUE && GetConsoleCursorInfo(g_out, &g_cursor);
    g_columns = Columns();
    std::atexit(ConsoleWin32Restore);
    EnterRaw();
    return true;
}

bool ConsoleWin32HasKeys() { return g_in != INVALID_HANDLE_VALUE; }

HANDLE ConsoleWin32KeyHandle() { return g_in != INVALID_HANDLE_VALUE ? g_in : nullptr; }

HANDLE ConsoleWin32EndEvent() { return g_endEvent; }

int ConsoleWin32ReadKey(bool wait) {
    if (g_in == INVALID_HANDLE_VALUE) return 0;
    std::fflush(stdout);
    if (!g_raw) EnterRaw();
    for (;;) {
        if (g_endStatus != 0 || g_ctrlCQuit) return 0;
        const int key = NextKey();
        if (key != 0 || !wait) return key;
        HANDLE handles[2] = {g_in, g_endEvent};
        const DWORD n = g_endEvent != nullptr ? 2 : 1;
        const DWORD woke = WaitForMultipleObjects(n, handles, FALSE, INFINITE);
        if (woke != WAIT_OBJECT_0 && woke != WAIT_OBJECT_0 + 1) return 0;  // the console is gone
    }
}

void ConsoleWin32FlushKeys() {
    g_repeatLeft = 0;
    if (g_in != INVALID_HANDLE_VALUE) FlushConsoleInputBuffer(g_in);
}

bool ConsoleWin32CancelKeyPressed() {
    if (g_in == INVALID_HANDLE_VALUE) return false;
    for (;;) {
        const int key = NextKey();
        if (key == 0) return false;
        g_repeatLeft = 0;  // a key held down is still one key
        if (key == KEY_CTRL_C) {  // cancels as Esc does (twice within a second ends the program)
            ConsoleWin32NoteCtrlC();
            return true;
        }
        if (key == 0x1B || key == 0x0C) return true;  // Esc, or Ctrl+L, the console program's cancel key
    }
}

void ConsoleWin32Write(const char* text, size_t length) {
    std::fflush(stdout);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (g_out == INVALID_HANDLE_VALUE || !IsConsole(out)) {
        std::fwrite(text, 1, length, stdout);
        std::fflush(stdout);
        return;
    }
    // The console moves its cursor to where the text ends.
    while (length > 0) {
        const DWORD part = length > 4096 ? 4096 : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteConsoleA(g_out, text, part, &written, nullptr) || written == 0) return;
        text += written;
        length -= written;
    }
}

void ConsoleWin32SetCursor(int shape) {
    if (g_in == INVALID_HANDLE_VALUE || g_out == INVALID_HANDLE_VALUE) return;
    CONSOLE_CURSOR_INFO info{shape == 2 ? 99u : 25u, TRUE};
    if (SetConsoleCursorInfo(g_out, &info)) g_cursorChanged = true;
}

int ConsoleWin32UsableWidth() {
    if (g_in == INVALID_HANDLE_VALUE) return 70;
    g_columns = Columns();
    return g_columns > 20 ? g_columns - 10 : 70;
}

bool ConsoleWin32Resized() {
    if (g_in == INVALID_HANDLE_VALUE) return false;
    const SHORT now = Columns();
    if (now == g_columns) return false;
    g_columns = now;
    return true;
}

bool ConsoleWin32NoteCtrlC() {
    const uint64_t now = ClockNow();
    if (g_anyCtrlC && now - g_lastCtrlC < 1000) g_ctrlCQuit = true;
    g_anyCtrlC = true;
    g_lastCtrlC = now;
    return g_ctrlCQuit;
}

int ConsoleWin32EndStatus() {
    const int status = g_endStatus;
    if (status != 0) return status;
    return g_ctrlCQuit ? 130 : 0;
}

void ConsoleWin32Suspend() {
    g_childHasConsole = true;
    std::fflush(stdout);
    RestoreCursor();
    LeaveRaw();
}

void ConsoleWin32Resume() {
    g_childHasConsole = false;
    g_repeatLeft = 0;
    if (g_in != INVALID_HANDLE_VALUE) EnterRaw();
}

void ConsoleWin32Restore() {
    std::fflush(stdout);
    RestoreCursor();
    LeaveRaw();
}
