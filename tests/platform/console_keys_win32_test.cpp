// The Windows console as the console program's keyboard and screen, through console.h.
// The key table needs no console; the rest runs on the console the program was started
// with (under wine: a pseudo-terminal, wine_console.py), whose input buffer the tests
// fill with key records.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/console_keys_win32.h"
#include "platform/devio.h"
#include "platform/wait_win32.h"

namespace {

constexpr DWORD kLeftCtrl = LEFT_CTRL_PRESSED, kRightCtrl = RIGHT_CTRL_PRESSED;
constexpr DWORD kLeftAlt = LEFT_ALT_PRESSED, kRightAlt = RIGHT_ALT_PRESSED;
constexpr DWORD kShift = SHIFT_PRESSED, kGray = ENHANCED_KEY;

KEY_EVENT_RECORD Key(bool down, WORD vk, WORD scan, char ch, DWORD state, WORD repeat = 1) {
    KEY_EVENT_RECORD k{};
    k.bKeyDown = down ? TRUE : FALSE;
    k.wRepeatCount = repeat;
    k.wVirtualKeyCode = vk;
    k.wVirtualScanCode = scan;
    k.uChar.AsciiChar = ch;
    k.dwControlKeyState = state;
    return k;
}

// Records as the console delivers them (Windows, and wine's console on a terminal),
// and the code of console.h each must give: the codes the terminal's sequences give.
TEST(ConsoleKeysWin32, RecordsGiveTheTerminalsKeyCodes) {
    struct Case {
        const char* what;
        bool down;
        WORD vk, scan;
        char ch;
        DWORD state;
        int code;
    } cases[] = {
        // Characters, and the keys that stand for control characters.
        {"a", true, 'A', 0x1E, 'a', 0, 'a'},
        {"Shift+A", true, 'A', 0x1E, 'A', kShift, 'A'},
        {"a beyond ASCII (code page 1252)", true, 0xDE, 0x28, '\xE9', 0, 0xE9},
        {"AltGr+Q (a German '@')", true, 'Q', 0x10, '@', kRightAlt | kLeftCtrl, '@'},
        {"Enter", true, VK_RETURN, 0x1C, '\r', 0, 0x0D},
        {"keypad Enter", true, VK_RETURN, 0x1C, '\r', kGray, 0x0D},
        {"Ctrl+Enter (a line feed)", true, VK_RETURN, 0x1C, '\n', kLeftCtrl, 0x0D},
        {"Ctrl+J", true, 'J', 0x24, '\n', kLeftCtrl, 0x0D},
        {"Backspace", true, VK_BACK, 0x0E, '\b', 0, 0x08},
        {"Ctrl+Backspace (DEL)", true, VK_BACK, 0x0E, '\x7F', kLeftCtrl, 0x08},
        {"Esc", true, VK_ESCAPE, 0x01, '\x1B', 0, 0x1B},
        {"Esc without its character (wine)", true, VK_ESCAPE, 0x01, 0, 0, 0x1B},
        {"Ctrl+C", true, 'C', 0x2E, '\x03', kLeftCtrl, KEY_CTRL_C},
        {"Ctrl+S", true, 'S', 0x1F, '\x13', kRightCtrl, 0x13},
        {"Ctrl+L", true, 'L', 0x26, '\x0C', kLeftCtrl, 0x0C},
        {"Ctrl+D", true, 'D', 0x20, '\x04', kLeftCtrl, 0x04},
        {"Tab", true, VK_TAB, 0x0F, '\t', 0, 0x09},
        {"Shift+Tab", true, VK_TAB, 0x0F, '\t', kShift, KEY_UNKNOWN},
        // Alt with a character: a terminal sends Esc in front of it.
        {"Alt+X", true, 'X', 0x2D, 'x', kLeftAlt, KEY_UNKNOWN},
        {"Alt+Enter", true, VK_RETURN, 0x1C, '\r', kLeftAlt, KEY_UNKNOWN},
        {"Alt+Backspace", true, VK_BACK, 0x0E, '\b', kLeftAlt, KEY_UNKNOWN},
        {"Ctrl+2 (NUL)", true, '2', 0x03, 0, kLeftCtrl, KEY_UNKNOWN},
        {"keypad 5 without Num Lock", true, VK_CLEAR, 0x4C, 0, 0, KEY_UNKNOWN},
        // Navigation keys, gray and on the keypad, with and without modifiers.
        {"Home", true, VK_HOME, 0x47, 0, kGray, KEY_HOME},
        {"keypad Home", true, VK_HOME, 0x47, 0, 0, KEY_HOME},
        {"Up", true, VK_UP, 0x48, 0, kGray, KEY_UP},
        {"PgUp", true, VK_PRIOR, 0x49, 0, kGray, KEY_PGUP},
        {"Left", true, VK_LEFT, 0x4B, 0, kGray, KEY_LEFT},
        {"Right", true, VK_RIGHT, 0x4D, 0, kGray, KEY_RIGHT},
        {"End", true, VK_END, 0x4F, 0, kGray, KEY_END},
        {"Down", true, VK_DOWN, 0x50, 0, kGray, KEY_DOWN},
        {"PgDn", true, VK_NEXT, 0x51, 0, kGray, KEY_PGDN},
        {"Insert", true, VK_INSERT, 0x52, 0, kGray, KEY_INSERT},
        {"Delete", true, VK_DELETE, 0x53, 0, kGray, KEY_DELETE},
        {"Shift+Home", true, VK_HOME, 0x47, 0, kGray | kShift, KEY_HOME},
        {"Ctrl+Left", true, VK_LEFT, 0x4B, 0, kGray | kLeftCtrl, KEY_CTRL_LEFT},
        {"Ctrl+Right (right Ctrl)", true, VK_RIGHT, 0x4D, 0, kGray | kRightCtrl, KEY_CTRL_RIGHT},
        {"Ctrl+End", true, VK_END, 0x4F, 0, kGray | kLeftCtrl, KEY_CTRL_END},
        {"Ctrl+PgDn", true, VK_NEXT, 0x51, 0, kGray | kLeftCtrl, KEY_CTRL_PGDN},
        {"Ctrl+Home", true, VK_HOME, 0x47, 0, kGray | kLeftCtrl, KEY_CTRL_HOME},
        {"Ctrl+PgUp", true, VK_PRIOR, 0x49, 0, kGray | kLeftCtrl, KEY_CTRL_PGUP},
        {"Ctrl+Up", true, VK_UP, 0x48, 0, kGray | kLeftCtrl, 0x8D00},
        {"Ctrl+Shift+Left", true, VK_LEFT, 0x4B, 0, kGray | kLeftCtrl | kShift, KEY_CTRL_LEFT},
        {"Ctrl+Alt+Left (Ctrl wins)", true, VK_LEFT, 0x4B, 0, kGray | kLeftCtrl | kLeftAlt, KEY_CTRL_LEFT},
        {"Alt+PgUp (wine: not gray)", true, VK_PRIOR, 0x49, 0, kLeftAlt, 0x9900},
        {"Alt+Delete", true, VK_DELETE, 0x53, 0, kGray | kLeftAlt, 0xA300},
        // Function keys: Ctrl before Alt before Shift.
        {"F1", true, VK_F1, 0x3B, 0, 0, KEY_F1},
        {"F10", true, VK_F10, 0x44, 0, 0, 0x4400},
        {"Shift+F1", true, VK_F1, 0x3B, 0, kShift, KEY_SHIFT_F1},
        {"Shift+F10", true, VK_F10, 0x44, 0, kShift, 0x5D00},
        {"Ctrl+F5", true, VK_F5, 0x3F, 0, kRightCtrl, 0x6200},
        {"Alt+F10", true, VK_F10, 0x44, 0, kLeftAlt, 0x7100},
        {"Ctrl+Shift+F2", true, VK_F2, 0x3C, 0, kLeftCtrl | kShift, 0x5F00},
        {"Alt+Shift+F3", true, VK_F3, 0x3D, 0, kLeftAlt | kShift, 0x6A00},
        {"F11", true, VK_F11, 0x57, 0, 0, KEY_UNKNOWN},
        {"F12", true, VK_F12, 0x58, 0, 0, KEY_UNKNOWN},
        // Records that are no key for a reader.
        {"release of a", false, 'A', 0x1E, 'a', 0, 0},
        {"release of F1", false, VK_F1, 0x3B, 0, 0, 0},
        {"Shift alone", true, VK_SHIFT, 0x2A, 0, kShift, 0},
        {"Ctrl alone", true, VK_CONTROL, 0x1D, 0, kLeftCtrl, 0},
        {"Alt alone", true, VK_MENU, 0x38, 0, kLeftAlt, 0},
        {"Caps Lock", true, VK_CAPITAL, 0x3A, 0, CAPSLOCK_ON, 0},
        {"Windows key", true, VK_LWIN, 0x5B, 0, kGray, 0},
        {"Ctrl+Break", true, VK_CANCEL, 0x46, '\x03', kLeftCtrl | kGray, 0},
        // A character typed as Alt + keypad digits: the digits give nothing, the
        // release of Alt carries the character.
        {"Alt + keypad 6", true, VK_NUMPAD6, 0x4D, 0, kLeftAlt | NUMLOCK_ON, 0},
        {"release of Alt with the character", false, VK_MENU, 0x38, '\xE9', NUMLOCK_ON, 0xE9},
        {"release of Alt without one", false, VK_MENU, 0x38, 0, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WinConsoleKeyOf(Key(c.down, c.vk, c.scan, c.ch, c.state)), c.code) << c.what;
    }
}

// Each control event is the ending signal a terminal would send: it wakes what waits
// for the end (a transfer's wait, the key reader) and sets the exit status. In a child
// process each, since an end cannot be taken back.
TEST(ConsoleKeysWin32DeathTest, ControlEventsEndAsTheSignals) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* what;
        DWORD type;
        int status;
    } cases[] = {
        {"Ctrl+C", CTRL_C_EVENT, 130},
        {"Ctrl+Break", CTRL_BREAK_EVENT, 130},
        {"the console closed", CTRL_CLOSE_EVENT, 129},
        {"logoff", CTRL_LOGOFF_EVENT, 143},
        {"shutdown", CTRL_SHUTDOWN_EVENT, 143},
    };
    for (const Case& c : cases) {
        EXPECT_EXIT(
            {
                ConsoleOpen();
                if (WaitObjectOf(ConsoleEndFd()) == nullptr) _exit(1);
                const DWORD type = c.type;
                // As the system calls a handler: in a thread of its own.
                std::thread([type] { WinConsoleOnControl(type); }).detach();
                // A transfer's wait: its own event (never set here), the console's keys
                // and the end.
                const DevEvent transfer = DevCreateEvent(true, false);
                const uint32_t woke = DevWaitEvent(transfer, ConsoleTerminalFd(), DEV_INFINITE, ConsoleEndFd());
                // No key is waited for once the end is asked for.
                const int key = ConsoleReadKey(true);
                ConsoleRestore();  // the console is shared with the tests that follow
                _exit(woke != DEV_WAIT_STOP ? 2 : key != 0 ? 3 : ConsoleEndStatus());
            },
            testing::ExitedWithCode(c.status), "")
            << c.what;
    }
}

TEST(ConsoleKeysWin32DeathTest, SecondInterruptEndsAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ConsoleOpen();
            WinConsoleOnControl(CTRL_C_EVENT);
            if (ConsoleEndStatus() != 130) {
                ConsoleRestore();
                _exit(1);
            }
            WinConsoleOnControl(CTRL_BREAK_EVENT);
            ConsoleRestore();
            _exit(2);  // not reached: the second ends the program
        },
        testing::ExitedWithCode(130), "");
}

// While a shell has the console, Ctrl+C and Ctrl+Break are the shell's.
TEST(ConsoleKeysWin32DeathTest, InterruptsOfTheShellAreLeftToIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ConsoleOpen();
            ConsoleSuspend();
            WinConsoleOnControl(CTRL_C_EVENT);
            WinConsoleOnControl(CTRL_BREAK_EVENT);
            const int during = ConsoleEndStatus();
            ConsoleResume();
            WinConsoleOnControl(CTRL_C_EVENT);
            ConsoleRestore();
            _exit(during != 0 ? 1 : ConsoleEndStatus());
        },
        testing::ExitedWithCode(130), "");
}

// Ctrl+C twice within a second, noted by the readers, ends the program as on Linux.
TEST(ConsoleKeysWin32DeathTest, CtrlCTwiceWithinASecond) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ClockDrive(true);
            if (ConsoleNoteCtrlC() || ConsoleEndStatus() != 0) _exit(1);
            ClockAdvance(1000);
            if (ConsoleNoteCtrlC()) _exit(2);  // a second later: a new first one
            ClockAdvance(999);
            if (!ConsoleNoteCtrlC()) _exit(3);
            _exit(ConsoleEndStatus());
        },
        testing::ExitedWithCode(130), "");
}

// The console the tests run on, its settings of start back after each test.
class ConsoleWin32 : public testing::Test {
protected:
    static void SetUpTestSuite() { ConsoleOpen(); }
    void SetUp() override {
        in_ = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
        out_ = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(in_, INVALID_HANDLE_VALUE) << "the tests need a console";
        ASSERT_NE(out_, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(ConsoleIsTerminal());
        ASSERT_TRUE(GetConsoleScreenBufferInfo(out_, &start_));
        ConsoleFlushKeys();
    }
    void TearDown() override {
        ConsoleFlushKeys();
        ConsoleResume();
        if (out_ != INVALID_HANDLE_VALUE) {
            SetConsoleScreenBufferSize(out_, start_.dwSize);
            CloseHandle(out_);
        }
        if (in_ != INVALID_HANDLE_VALUE) CloseHandle(in_);
    }
    void Type(const std::vector<INPUT_RECORD>& records) {
        DWORD written = 0;
        ASSERT_TRUE(WriteConsoleInputA(in_, records.data(), static_cast<DWORD>(records.size()), &written));
        ASSERT_EQ(written, records.size());
    }
    static INPUT_RECORD Record(const KEY_EVENT_RECORD& k) {
        INPUT_RECORD r{};
        r.EventType = KEY_EVENT;
        r.Event.KeyEvent = k;
        return r;
    }
    static INPUT_RECORD Down(WORD vk, char ch, DWORD state = 0, WORD repeat = 1) {
        return Record(Key(true, vk, 0, ch, state, repeat));
    }
    static INPUT_RECORD Up(WORD vk, char ch) { return Record(Key(false, vk, 0, ch, 0)); }
    static INPUT_RECORD Focus() {
        INPUT_RECORD r{};
        r.EventType = FOCUS_EVENT;
        r.Event.FocusEvent.bSetFocus = TRUE;
        return r;
    }
    DWORD InputMode() {
        DWORD mode = 0xFFFFFFFF;
        EXPECT_TRUE(GetConsoleMode(in_, &mode));
        return mode;
    }
    CONSOLE_CURSOR_INFO Cursor() {
        CONSOLE_CURSOR_INFO info{};
        EXPECT_TRUE(GetConsoleCursorInfo(out_, &info));
        return info;
    }
    HANDLE in_ = INVALID_HANDLE_VALUE, out_ = INVALID_HANDLE_VALUE;
    CONSOLE_SCREEN_BUFFER_INFO start_{};
};

TEST_F(ConsoleWin32, ReadsKeysFromTheRecords) {
    Type({Focus(), Down(VK_SHIFT, 0, SHIFT_PRESSED), Down('A', 'A', SHIFT_PRESSED), Up('A', 'A'), Up(VK_SHIFT, 0),
          Down('B', 'b', 0, 3), Up('B', 'b'), Down(VK_F1, 0), Down(VK_LEFT, 0, LEFT_CTRL_PRESSED),
          Down(VK_ESCAPE, 0x1B)});
    std::vector<int> keys;
    for (int key; (key = ConsoleReadKey(false)) != 0;) keys.push_back(key);
    const std::vector<int> expected{'A', 'b', 'b', 'b', KEY_F1, KEY_CTRL_LEFT, 0x1B};
    EXPECT_EQ(keys, expected);
    // Other readers see every extended key as one code.
    Type({Down(VK_F1, 0), Down(VK_UP, 0), Down('C', 'c')});
    EXPECT_EQ(ConsoleGetKey(false), CONSOLE_KEY_EXTENDED);
    EXPECT_EQ(ConsoleGetKey(false), CONSOLE_KEY_EXTENDED);
    EXPECT_EQ(ConsoleGetKey(false), 'c');
    // Waiting: a key that is there already is taken at once.
    Type({Up('Z', 'z'), Down('Z', 'z')});
    EXPECT_EQ(ConsoleReadKey(true), 'z');
}

TEST_F(ConsoleWin32, WaitingReaderWakesForAKeyTypedLater) {
    // Typed from another thread, before or while the reader waits.
    std::thread typist([this] { Type({Up('Q', 'q'), Down('Q', 'q')}); });
    const int key = ConsoleReadKey(true);
    typist.join();
    EXPECT_EQ(key, 'q');
}

TEST_F(ConsoleWin32, FlushDiscardsTypedKeysAndRepeats) {
    Type({Down('R', 'r', 0, 5)});
    EXPECT_EQ(ConsoleReadKey(false), 'r');
    Type({Down('S', 's')});
    ConsoleFlushKeys();
    EXPECT_EQ(ConsoleReadKey(false), 0);
}

// What a transfer's wait watches: the console input behind ConsoleTerminalFd.
TEST_F(ConsoleWin32, CancelKeysOfATransfersWait) {
    int watched = ConsoleTerminalFd();
    ASSERT_NE(WaitObjectOf(watched), nullptr);
    struct Case {
        const char* what;
        std::vector<INPUT_RECORD> typed;
        bool cancel;
        int next;  // the key a reader sees after the look
    } cases[] = {
        {"Esc", {Down(VK_ESCAPE, 0x1B)}, true, 0},
        {"Ctrl+L", {Down('L', 0x0C, LEFT_CTRL_PRESSED)}, true, 0},
        {"other keys are discarded", {Down('X', 'x'), Down(VK_UP, 0), Up('X', 'x')}, false, 0},
        {"up to the cancel key", {Down('X', 'x'), Down(VK_ESCAPE, 0x1B), Down('Y', 'y')}, true, 'y'},
        {"a held key is one key", {Down(VK_ESCAPE, 0x1B, 0, 4)}, true, 0},
        {"nothing typed", {}, false, 0},
    };
    for (const Case& c : cases) {
        if (!c.typed.empty()) Type(c.typed);
        EXPECT_EQ(ConsoleCancelKeyPressed(&watched), c.cancel) << c.what;
        EXPECT_EQ(watched, ConsoleTerminalFd()) << c.what << ": still watched";
        EXPECT_EQ(ConsoleReadKey(false), c.next) << c.what;
        ConsoleFlushKeys();
    }
}

// A key typed wakes a transfer's wait on the console, which then looks at it.
TEST_F(ConsoleWin32, TypedKeyWakesATransfersWait) {
    const DevEvent transfer = DevCreateEvent(true, false);
    ASSERT_NE(transfer, DEV_NO_EVENT);
    int watched = ConsoleTerminalFd();
    EXPECT_EQ(DevWaitEvent(transfer, watched, 0, ConsoleEndFd()), DEV_WAIT_TIMEOUT) << "nothing typed yet";
    std::thread typist([this] { Type({Down(VK_ESCAPE, 0x1B)}); });
    const uint32_t woke = DevWaitEvent(transfer, watched, DEV_INFINITE, ConsoleEndFd());
    typist.join();
    EXPECT_EQ(woke, DEV_WAIT_FD);
    EXPECT_TRUE(ConsoleCancelKeyPressed(&watched));
    DevCloseEvent(transfer);
}

TEST_F(ConsoleWin32, CtrlCCancelsAndIsNoted) {
    int watched = ConsoleTerminalFd();
    ClockDrive(true);
    ClockAdvance(5000);  // well after any Ctrl+C of another test
    Type({Down('C', 0x03, LEFT_CTRL_PRESSED)});
    EXPECT_TRUE(ConsoleCancelKeyPressed(&watched));
    EXPECT_EQ(ConsoleEndStatus(), 0) << "the first one only cancels";
    Type({Down('C', 0x03, LEFT_CTRL_PRESSED)});
    EXPECT_EQ(ConsoleReadKey(false), KEY_CTRL_C) << "the editor's reader gets it as a key";
    ClockAdvance(5000);
    ClockDrive(false);
}

TEST_F(ConsoleWin32, ModeZeroWhileTheProgramReadsKeys) {
    EXPECT_EQ(InputMode(), 0u);
    ConsoleSuspend();  // a shell has the console
    const DWORD shellMode = InputMode();
    EXPECT_NE(shellMode & ENABLE_PROCESSED_INPUT, 0u) << "Ctrl+C must reach the shell as its signal";
    ConsoleResume();
    EXPECT_EQ(InputMode(), 0u);
    ConsoleRestore();
    EXPECT_EQ(InputMode(), shellMode);
    Type({Down('K', 'k')});
    EXPECT_EQ(ConsoleReadKey(false), 'k');  // reading keys takes mode 0 again
    EXPECT_EQ(InputMode(), 0u);
}

TEST_F(ConsoleWin32, CursorShapes) {
    const CONSOLE_CURSOR_INFO before = Cursor();
    struct Case {
        int shape;
        DWORD size;
    } cases[] = {{2, 99}, {1, 25}, {2, 99}, {0, 25}};
    for (const Case& c : cases) {
        ConsoleSetCursor(c.shape);
        const CONSOLE_CURSOR_INFO now = Cursor();
        EXPECT_EQ(now.dwSize, c.size) << "shape " << c.shape;
        EXPECT_TRUE(now.bVisible) << "shape " << c.shape;
    }
    ConsoleRestore();
    EXPECT_EQ(Cursor().dwSize, before.dwSize);
    EXPECT_EQ(Cursor().bVisible, before.bVisible);
}

TEST_F(ConsoleWin32, WidthOfTheScreenBufferAndItsChange) {
    EXPECT_EQ(ConsoleUsableWidth(), start_.dwSize.X - 10);
    EXPECT_FALSE(ConsoleResized());
    COORD wider = start_.dwSize;
    wider.X = static_cast<SHORT>(wider.X + 20);
    ASSERT_TRUE(SetConsoleScreenBufferSize(out_, wider));
    EXPECT_TRUE(ConsoleResized());
    EXPECT_FALSE(ConsoleResized()) << "once per change";
    EXPECT_EQ(ConsoleUsableWidth(), wider.X - 10);
    ASSERT_TRUE(SetConsoleScreenBufferSize(out_, start_.dwSize));
    EXPECT_TRUE(ConsoleResized());
    EXPECT_EQ(ConsoleUsableWidth(), start_.dwSize.X - 10);
}

TEST_F(ConsoleWin32, WrittenTextLeavesTheCursorAtItsEnd) {
    ConsoleWrite("\r\n", 2);
    CONSOLE_SCREEN_BUFFER_INFO before{}, after{};
    ASSERT_TRUE(GetConsoleScreenBufferInfo(out_, &before));
    EXPECT_EQ(before.dwCursorPosition.X, 0);
    const std::string text = "PvU0>abc";
    ConsoleWrite(text.data(), text.size());
    ASSERT_TRUE(GetConsoleScreenBufferInfo(out_, &after));
    EXPECT_EQ(after.dwCursorPosition.X, static_cast<SHORT>(text.size()));
    EXPECT_EQ(after.dwCursorPosition.Y, before.dwCursorPosition.Y);
    ConsoleWrite("\b \b", 3);  // the editor's erase of one character
    ASSERT_TRUE(GetConsoleScreenBufferInfo(out_, &after));
    EXPECT_EQ(after.dwCursorPosition.X, static_cast<SHORT>(text.size() - 1));
    ConsoleWrite("\r\n", 2);
}

}  // namespace
