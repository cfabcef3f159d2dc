// The Windows console as the console program's keyboard and screen: key events of
// "CONIN$" in console mode 0 turned into the key codes of console.h, the cursor and
// width of "CONOUT$", and the console's control events as the ending signals.
#include "platform/console_keys_win32.h"

#include <cstdio>

#include "platform/console.h"
#include "platform/wait_win32.h"

namespace {

enum Modifier { HELD_SHIFT = 1, HELD_ALT = 2, HELD_CTRL = 4 };

// Navigation keys: plain, with Ctrl, with Alt (the PC keyboard's scan codes, as the
// terminal's sequences give them).
struct NavKey {
    WORD vk;
    int plain, ctrl, alt;
};
constexpr NavKey kNavKeys[] = {
    {VK_HOME, KEY_HOME, KEY_CTRL_HOME, 0x9700},    {VK_UP, KEY_UP, 0x8D00, 0x9800},
    {VK_PRIOR, KEY_PGUP, KEY_CTRL_PGUP, 0x9900},   {VK_LEFT, KEY_LEFT, KEY_CTRL_LEFT, 0x9B00},
    {VK_RIGHT, KEY_RIGHT, KEY_CTRL_RIGHT, 0x9D00}, {VK_END, KEY_END, KEY_CTRL_END, 0x9F00},
    {VK_DOWN, KEY_DOWN, 0x9100, 0xA000},           {VK_NEXT, KEY_PGDN, KEY_CTRL_PGDN, 0xA100},
    {VK_INSERT, KEY_INSERT, 0x9200, 0xA200},       {VK_DELETE, KEY_DELETE, 0x9300, 0xA300},
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
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LSHIFT:
    case VK_RSHIFT:
    case VK_LCONTROL:
    case VK_RCONTROL:
    case VK_LMENU:
    case VK_RMENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_APPS:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
    case VK_CANCEL:  // Ctrl+Break: the control handler's, not a key
        return true;
    default: return false;
    }
}

int KeyOf(bool keyDown, WORD virtualKey, char character, DWORD controlState) {
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
    // Esc: some consoles give it no character. Ctrl+Backspace gives DEL, Ctrl+Enter LF.
    case VK_ESCAPE: return 0x1B;
    case VK_BACK: return altOnly ? KEY_UNKNOWN : 0x08;
    case VK_RETURN: return altOnly ? KEY_UNKNOWN : 0x0D;
    // A terminal's Shift+Tab is no key of ours either.
    case VK_TAB: return mods & (HELD_SHIFT | HELD_ALT) ? KEY_UNKNOWN : 0x09;
    default: break;
    }
    if (ch == 0 || altOnly) return KEY_UNKNOWN;
    if (ch == 0x0A) return 0x0D;  // Ctrl+J acts as Enter, as on a terminal
    // Also Ctrl with a letter, and AltGr (Ctrl and Alt) with a character.
    return ch;
}

}  // namespace

int WinConsoleKeyOf(const KEY_EVENT_RECORD& key) {
    return KeyOf(key.bKeyDown != FALSE, key.wVirtualKeyCode, key.uChar.AsciiChar, key.dwControlKeyState);
}

namespace {

int g_present = -1;                   // -1 not yet decided
HANDLE g_in = INVALID_HANDLE_VALUE;   // "CONIN$"
HANDLE g_out = INVALID_HANDLE_VALUE;  // "CONOUT$"
bool g_opened = false;
DWORD g_inMode = 0;  // of program start
bool g_raw = false;
CONSOLE_CURSOR_INFO g_cursor{};  // of program start
bool g_cursorSaved = false;
bool g_cursorChanged = false;
int g_columns = 0;  // at the last look
// A key held down comes as one record with a repeat count.
int g_repeatKey = 0;
WORD g_repeatLeft = 0;

HANDLE OpenConsoleFile(const char* name) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                       0, nullptr);
}

void EnterRaw() {
    if (g_in != INVALID_HANDLE_VALUE && SetConsoleMode(g_in, 0)) g_raw = true;
}

void LeaveRaw() {
    if (g_in != INVALID_HANDLE_VALUE && g_raw) SetConsoleMode(g_in, g_inMode);
    g_raw = false;
}

void RestoreCursor() {
    if (g_cursorChanged && g_cursorSaved) SetConsoleCursorInfo(g_out, &g_cursor);
    g_cursorChanged = false;
}

int Columns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (g_out == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(g_out, &info)) return 0;
    return info.dwSize.X;
}

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
        const int key = WinConsoleKeyOf(record.Event.KeyEvent);
        if (key == 0) continue;
        if (record.Event.KeyEvent.wRepeatCount > 1) {
            g_repeatKey = key;
            g_repeatLeft = static_cast<WORD>(record.Event.KeyEvent.wRepeatCount - 1);
        }
        return key;
    }
}

}  // namespace

BOOL WINAPI WinConsoleOnControl(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        if (ConsoleHandedOver()) return TRUE;  // typed for the shell that has the console
        ConsoleEndRequested(130);
        return TRUE;
    case CTRL_CLOSE_EVENT: ConsoleEndRequested(129); break;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: ConsoleEndRequested(143); break;
    default: return FALSE;
    }
    // The system ends the process as soon as this returns: the program's own end comes
    // first (the system allows some seconds).
    Sleep(INFINITE);
    return TRUE;
}

bool WinConsolePresent() {
    if (g_present < 0) {
        HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        DWORD mode;
        g_present = in != nullptr && in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode) ? 1 : 0;
    }
    return g_present == 1;
}

bool WinConsoleOpen() {
    if (g_opened) return g_in != INVALID_HANDLE_VALUE;
    g_opened = true;
    SetConsoleCtrlHandler(WinConsoleOnControl, TRUE);
    if (!WinConsolePresent()) return false;
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
    EnterRaw();
    return true;
}

HANDLE WinConsoleInput() { return g_in != INVALID_HANDLE_VALUE ? g_in : nullptr; }

int WinConsoleReadKey(bool wait) {
    if (g_in == INVALID_HANDLE_VALUE) return 0;
    if (!g_raw) EnterRaw();
    for (;;) {
        if (ConsoleEndStatus() != 0) return 0;
        const int key = NextKey();
        if (key != 0 || !wait) return key;
        HANDLE handles[2] = {g_in, WaitObjectOf(ConsoleEndFd())};
        const DWORD count = handles[1] != nullptr ? 2 : 1;
        const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        if (woke >= WAIT_OBJECT_0 + count) return 0;  // the console is gone
    }
}

void WinConsoleFlushKeys() {
    g_repeatLeft = 0;
    if (g_in != INVALID_HANDLE_VALUE) FlushConsoleInputBuffer(g_in);
}

bool WinConsoleCancelKeyPressed() {
    if (g_in == INVALID_HANDLE_VALUE) return false;
    for (;;) {
        const int key = NextKey();
        if (key == 0) return false;
        g_repeatLeft = 0;         // a key held down is still one key
        if (key == KEY_CTRL_C) {  // cancels as Esc does (twice within a second ends the program)
            ConsoleNoteCtrlC();
            return true;
        }
        if (key == 0x1B || key == 0x0C) return true;  // Esc, or Ctrl+L, the console program's cancel key
    }
}

int WinConsoleColumns() {
    g_columns = Columns();
    return g_columns;
}

bool WinConsoleResized() {
    if (g_in == INVALID_HANDLE_VALUE) return false;
    const int now = Columns();
    if (now == g_columns) return false;
    g_columns = now;
    return true;
}

void WinConsoleSetCursor(int shape) {
    if (g_in == INVALID_HANDLE_VALUE || g_out == INVALID_HANDLE_VALUE) return;
    CONSOLE_CURSOR_INFO info{shape == 2 ? 99u : 25u, TRUE};
    if (SetConsoleCursorInfo(g_out, &info)) g_cursorChanged = true;
}

void WinConsoleSuspend() {
    RestoreCursor();
    LeaveRaw();
}

void WinConsoleResume() {
    g_repeatLeft = 0;
    EnterRaw();
}

void WinConsoleRestore() {
    RestoreCursor();
    LeaveRaw();
}
