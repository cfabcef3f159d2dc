#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/console_input.h"
#include "platform/process.h"

namespace {

int g_isTerminal = -1;  // -1 not yet decided
bool g_opened = false;
bool g_saved = false;
bool g_raw = false;
bool g_inputGone = false;  // the terminal hung up: no key will ever come
bool g_cursorChanged = false;
termios g_original{};

volatile sig_atomic_t g_endSignal = 0;
// Written by the signal handlers so that a wait that began just before the signal
// still wakes up.
int g_wake[2] = {-1, -1};
// Plain lines without a terminal, read through our own buffer so that every wait
// can watch for the end signal as well.
char g_inBuffer[4096];
size_t g_inStart = 0, g_inEnd = 0;
bool g_inEof = false;
volatile sig_atomic_t g_resized = 0;

// The bytes of a sequence arrive in one burst; a lone Esc is followed by nothing for
// a while. Generous enough for a loaded machine, short enough not to be noticed.
constexpr int kSequenceGapMs = 50;

unsigned char g_pushed[8];
int g_pushedCount = 0;

bool Terminal() {
    if (g_isTerminal < 0) g_isTerminal = isatty(STDIN_FILENO) ? 1 : 0;
    return g_isTerminal == 1;
}

// While another program (a shell) has the terminal, the Ctrl+C typed there is its own.
volatile sig_atomic_t g_childHasTerminal = 0;

// What standard output's buffer still holds (a line not yet ended), written straight
// out from a signal handler: only while the output takes it at once, since a full pipe
// or a stopped terminal must not hold up an end that is to come at once.
void WritePendingOutput() {
#ifdef __GLIBC__
    const char* p = stdout->_IO_write_base;
    const char* const end = stdout->_IO_write_ptr;
    while (p != nullptr && p < end) {
        pollfd out{STDOUT_FILENO, POLLOUT, 0};
        if (poll(&out, 1, 0) != 1 || (out.revents & POLLOUT) == 0) break;
        // No more than a pipe or a terminal takes without waiting once it polls writable.
        const ssize_t n = write(STDOUT_FILENO, p, end - p < 256 ? static_cast<size_t>(end - p) : 256);
        if (n <= 0) break;
        p += n;
    }
#endif
}

#ifdef __GLIBC__
// Standard output's writes, tried again when a signal interrupts them: stdio drops
// what it was writing on any failed write, and the first ending signal only asks the
// program to end. A reader that never reads again is left to the second signal.
ssize_t WriteStandardOutput(void*, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(STDOUT_FILENO, data + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd out{STDOUT_FILENO, POLLOUT, 0};
            poll(&out, 1, -1);
        } else if (n == 0 || errno != EINTR) {
            return 0;  // stdio takes 0 as the error; never less
        }
    }
    return static_cast<ssize_t>(size);
}

// Standard output as a stream that writes through WriteStandardOutput, line by line
// as on a terminal, after what the old one held.
void KeepOutputThroughSignals() {
    const cookie_io_functions_t io{nullptr, WriteStandardOutput, nullptr, nullptr};
    FILE* f = fopencookie(nullptr, "w", io);
    if (f == nullptr) return;
    std::fflush(stdout);
    std::setvbuf(f, nullptr, _IOLBF, BUFSIZ);
    stdout = f;
}
#else
void KeepOutputThroughSignals() {}
#endif

// The first ending signal asks the program to end the normal way (the command loop
// and every key wait see it); a second one while that is under way ends it at once,
// still with the terminal's settings given back, what standard output holds of a line
// written out and no temporary file left behind.
void OnEndSignal(int sig, siginfo_t* info, void*) {
    if (sig == SIGINT && g_childHasTerminal && info != nullptr && info->si_code == SI_KERNEL) return;
    if (g_endSignal != 0) {
        WritePendingOutput();
        ProcessRemoveTemporary();
        if (g_saved) tcsetattr(STDIN_FILENO, TCSANOW, &g_original);
        _exit(128 + sig);
    }
    g_endSignal = sig;
    if (g_wake[1] >= 0) {
        char c = 1;
        ssize_t w = write(g_wake[1], &c, 1);
        (void)w;
    }
}

// Waits until standard input is readable (true) or the program is to end or the
// time is up (false). timeoutMs < 0 waits without limit.
bool InputReady(int timeoutMs) {
    for (;;) {
        if (g_endSignal != 0) return false;
        // Standard output is watched for its reader going away (a pipe's POLLERR):
        // then nobody would see an answer to what is typed, and input ends too.
        pollfd p[3] = {{STDIN_FILENO, POLLIN, 0}, {g_wake[0], POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
        int n = poll(p, 3, timeoutMs);
        if (n < 0 && errno == EINTR) {
            if (timeoutMs >= 0) return false;
            continue;
        }
        if (n <= 0) return false;
        if (p[2].revents & POLLERR) {
            g_inputGone = true;
            return false;
        }
        if (p[0].revents & POLLIN) return true;
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            g_inputGone = true;
            return false;
        }
        if (g_endSignal != 0) return false;
    }
}

// Next byte of plain input, -1 at its end (or when the program is to end).
int NextInputByte() {
    if (g_inStart == g_inEnd) {
        if (g_inEof) return -1;
        for (;;) {
            if (!InputReady(-1) && !g_inputGone) return -1;
            ssize_t n = read(STDIN_FILENO, g_inBuffer, sizeof g_inBuffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                g_inEof = true;
                return -1;
            }
            g_inStart = 0;
            g_inEnd = static_cast<size_t>(n);
            break;
        }
    }
    return static_cast<unsigned char>(g_inBuffer[g_inStart++]);
}

void OnQuitSignal(int sig) {
    ProcessRemoveTemporary();
    if (g_saved) tcsetattr(STDIN_FILENO, TCSANOW, &g_original);
    signal(sig, SIG_DFL);
    raise(sig);
}

void OnResize(int) { g_resized = 1; }

void Hook(int sig, void (*handler)(int)) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) return;  // nohup and friends
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a blocked read returns so the program can end
    sigaction(sig, &sa, nullptr);
}

void HookEnd(int sig) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) return;  // nohup and friends
    struct sigaction sa {};
    sa.sa_sigaction = OnEndSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_SIGINFO;  // no restart: a blocked read returns so the program can end
    sigaction(sig, &sa, nullptr);
}

void EnterRaw() {
    if (!g_saved) return;
    termios t = g_original;
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0) g_raw = true;
}

void LeaveRaw() {
    if (!g_saved) return;
    tcsetattr(STDIN_FILENO, TCSANOW, &g_original);
    g_raw = false;
}

bool ByteReady(int timeoutMs) {
    if (g_pushedCount > 0) return true;
    if (g_inputGone) return false;
    return InputReady(timeoutMs);
}

int ReadByte() {
    if (g_pushedCount > 0) {
        int c = g_pushed[0];
        std::memmove(g_pushed, g_pushed + 1, static_cast<size_t>(--g_pushedCount));
        return c;
    }
    unsigned char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) g_inputGone = true;
    return -1;
}

void Push(int c) {
    if (g_pushedCount < static_cast<int>(sizeof g_pushed)) g_pushed[g_pushedCount++] = static_cast<unsigned char>(c);
}

// A sequence byte: it must follow at once, else the sequence is broken off.
int NextSequenceByte() { return ByteReady(kSequenceGapMs) ? ReadByte() : -1; }

enum Modifier { MOD_SHIFT = 1, MOD_ALT = 2, MOD_CTRL = 4 };

// Navigation keys: plain, with Ctrl, with Alt (the PC keyboard's scan codes).
struct NavKey {
    int plain, ctrl, alt;
};
constexpr NavKey kHome{KEY_HOME, KEY_CTRL_HOME, 0x9700};
constexpr NavKey kUp{KEY_UP, 0x8D00, 0x9800};
constexpr NavKey kPgUp{KEY_PGUP, KEY_CTRL_PGUP, 0x9900};
constexpr NavKey kLeft{KEY_LEFT, KEY_CTRL_LEFT, 0x9B00};
constexpr NavKey kRight{KEY_RIGHT, KEY_CTRL_RIGHT, 0x9D00};
constexpr NavKey kEnd{KEY_END, KEY_CTRL_END, 0x9F00};
constexpr NavKey kDown{KEY_DOWN, 0x9100, 0xA000};
constexpr NavKey kPgDn{KEY_PGDN, KEY_CTRL_PGDN, 0xA100};
constexpr NavKey kInsert{KEY_INSERT, 0x9200, 0xA200};
constexpr NavKey kDelete{KEY_DELETE, 0x9300, 0xA300};

int Nav(const NavKey& k, int mods) {
    if (mods & MOD_CTRL) return k.ctrl;
    if (mods & MOD_ALT) return k.alt;
    return k.plain;  // Shift changes nothing here
}

// F1..F10 (n = 1..10); Ctrl before Alt before Shift when several are held.
int Function(int n, int mods) {
    if (n < 1 || n > 10) return KEY_UNKNOWN;
    int base = KEY_F1;
    if (mods & MOD_CTRL) base = KEY_CTRL_F1;
    else if (mods & MOD_ALT) base = KEY_ALT_F1;
    else if (mods & MOD_SHIFT) base = KEY_SHIFT_F1;
    return base + (n - 1) * 0x100;
}

// Final letters shared by CSI and SS3 sequences.
int ByLetter(int final, int mods) {
    switch (final) {
    case 'A': return Nav(kUp, mods);
    case 'B': return Nav(kDown, mods);
    case 'C': return Nav(kRight, mods);
    case 'D': return Nav(kLeft, mods);
    case 'H': return Nav(kHome, mods);
    case 'F': return Nav(kEnd, mods);
    case 'P':
    case 'Q':
    case 'R':
    case 'S': return Function(final - 'P' + 1, mods);
    // rxvt: Ctrl+arrows as SS3 a..d
    case 'a': return Nav(kUp, MOD_CTRL);
    case 'b': return Nav(kDown, MOD_CTRL);
    case 'c': return Nav(kRight, MOD_CTRL);
    case 'd': return Nav(kLeft, MOD_CTRL);
    default: return KEY_UNKNOWN;
    }
}

// "CSI n ~" keys (VT220 and xterm).
int ByNumber(int n, int mods) {
    switch (n) {
    case 1:
    case 7: return Nav(kHome, mods);
    case 2: return Nav(kInsert, mods);
    case 3: return Nav(kDelete, mods);
    case 4:
    case 8: return Nav(kEnd, mods);
    case 5: return Nav(kPgUp, mods);
    case 6: return Nav(kPgDn, mods);
    case 11:
    case 12:
    case 13:
    case 14:
    case 15: return Function(n - 10, mods);
    case 17:
    case 18:
    case 19:
    case 20:
    case 21: return Function(n - 11, mods);
    default: return KEY_UNKNOWN;
    }
}

// After "ESC [" or "ESC O": parameters, then a final byte.
int DecodeSequence(bool ss3) {
    int params[4] = {0, 0, 0, 0};
    int count = 0;
    bool any = false;
    for (int i = 0; i < 32; ++i) {
        int b = NextSequenceByte();
        if (b < 0) return KEY_UNKNOWN;
        if (i == 0 && b == '[' && !ss3) {  // Linux console: ESC [ [ A .. E = F1 .. F5
            int f = NextSequenceByte();
            return f >= 'A' && f <= 'E' ? Function(f - 'A' + 1, 0) : KEY_UNKNOWN;
        }
        if (b >= '0' && b <= '9') {
            if (count < 4 && params[count] < 1000) params[count] = params[count] * 10 + (b - '0');
            any = true;
            continue;
        }
        if (b == ';') {
            if (count < 3) ++count;
            continue;
        }
        if (b >= 0x20 && b <= 0x3F) continue;  // other parameter and intermediate bytes
        if (b < 0x40 || b > 0x7E) return KEY_UNKNOWN;
        // The xterm modifier parameter is 1 + the sum of Shift 1, Alt 2, Ctrl 4.
        int modParam = count >= 1 ? params[1] : (ss3 && any ? params[0] : 0);
        int mods = modParam > 1 ? modParam - 1 : 0;
        switch (b) {
        case '~': return ByNumber(params[0], mods);
        case '^': return ByNumber(params[0], mods | MOD_CTRL);   // rxvt
        case '$': return ByNumber(params[0], mods | MOD_SHIFT);  // rxvt
        case '@': return ByNumber(params[0], mods | MOD_CTRL | MOD_SHIFT);
        default: return ByLetter(b, mods);
        }
    }
    return KEY_UNKNOWN;
}

int DecodeKey(int c) {
    if (c == 0x7F) return 0x08;         // the Backspace key sends DEL
    if (c == 0x0A) return 0x0D;         // Ctrl+J and pasted line ends act as Enter
    if (c == 0x00) return KEY_UNKNOWN;  // Ctrl+Space
    if (c != 0x1B) return c;
    if (!ByteReady(kSequenceGapMs)) return 0x1B;
    int next = ReadByte();
    if (next < 0) return 0x1B;
    if (next == '[') return DecodeSequence(false);
    if (next == 'O') return DecodeSequence(true);
    if (next == 0x1B) {  // Esc pressed twice: the second is a key of its own
        Push(next);
        return 0x1B;
    }
    return KEY_UNKNOWN;  // Alt with a character
}

}  // namespace

void ConsoleOpen() {
    if (g_opened) return;
    g_opened = true;
    // Above the standard descriptors, which may be closed: the pipe must never
    // pose as standard input.
    int made[2];
    if (pipe2(made, O_CLOEXEC | O_NONBLOCK) == 0) {
        for (int i = 0; i < 2; ++i) {
            g_wake[i] = fcntl(made[i], F_DUPFD_CLOEXEC, 3);
            close(made[i]);
        }
    }
    KeepOutputThroughSignals();
    HookEnd(SIGINT);
    HookEnd(SIGTERM);
    HookEnd(SIGHUP);
    if (!Terminal()) return;
    if (tcgetattr(STDIN_FILENO, &g_original) != 0) return;
    g_saved = true;
    std::atexit(ConsoleRestore);
    Hook(SIGQUIT, OnQuitSignal);
    Hook(SIGWINCH, OnResize);
    EnterRaw();
}

bool ConsoleIsTerminal() { return Terminal(); }

int ConsoleTerminalFd() { return isatty(STDIN_FILENO) ? STDIN_FILENO : -1; }

bool ConsoleOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

int ConsoleUsableWidth() {
    winsize ws{};
    if (!Terminal()) return 70;
    if ((ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) ||
        (ioctl(STDIN_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20))
        return ws.ws_col - 10;
    return 70;
}

bool ConsoleResized() {
    if (!g_resized) return false;
    g_resized = 0;
    return true;
}

int ConsoleReadKey(bool wait) {
    if (!Terminal() || !g_saved) return 0;
    std::fflush(stdout);
    if (!g_raw) EnterRaw();
    for (;;) {
        if (g_endSignal != 0 || ConsoleCtrlCQuit()) return 0;
        if (!ByteReady(wait ? -1 : 0)) {
            if (wait && !g_inputGone && g_endSignal == 0) continue;
            return 0;
        }
        int c = ReadByte();
        if (c < 0) {
            if (wait && !g_inputGone) continue;
            return 0;
        }
        return DecodeKey(c);
    }
}

int ConsoleGetKey(bool wait) {
    int key = ConsoleReadKey(wait);
    return key > 0xFF ? CONSOLE_KEY_EXTENDED : key;
}

void ConsoleFlushKeys() {
    g_pushedCount = 0;
    if (Terminal()) tcflush(STDIN_FILENO, TCIFLUSH);
}

void ConsoleWrite(const char* text, size_t length) {
    std::fflush(stdout);
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
}

void ConsoleSetCursor(int shape) {
    if (!Terminal()) return;
    g_cursorChanged = true;
    // DECSCUSR: 4 steady underline, 2 steady block.
    std::fputs(shape == 2 ? "\x1b[2 q" : "\x1b[4 q", stdout);
    std::fflush(stdout);
}

int ConsoleNextInputByte() { return NextInputByte(); }

int ConsoleEndStatus() {
    if (g_endSignal != 0) return 128 + g_endSignal;
    if (ConsoleCtrlCQuit()) return 130;
    return 0;
}

int ConsoleEndFd() { return g_wake[0]; }

void ConsoleSuspend() {
    g_childHasTerminal = 1;
    std::fflush(stdout);
    if (g_cursorChanged) {
        std::fputs("\x1b[0 q", stdout);
        std::fflush(stdout);
    }
    LeaveRaw();
}

void ConsoleResume() {
    g_childHasTerminal = 0;
    g_pushedCount = 0;
    if (g_saved) EnterRaw();
}

void ConsoleRestore() {
    std::fflush(stdout);
    if (g_cursorChanged && Terminal()) {
        std::fputs("\x1b[0 q", stdout);  // the terminal's own cursor again
        std::fflush(stdout);
        g_cursorChanged = false;
    }
    LeaveRaw();
}

namespace {

bool g_watchSaved = false;
int g_watchFd = -1;
struct termios g_watchTermios;

}  // namespace

void ConsoleWatchRestore() {
    if (g_watchSaved) tcsetattr(g_watchFd, TCSANOW, &g_watchTermios);
    g_watchSaved = false;
}

void ConsoleWatchKeysRaw(int fd) {
    if (fd < 0) return;
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return;
    if (!(t.c_lflag & (ICANON | ECHO)) && t.c_cc[VMIN] == 1) return;
    if (!g_watchSaved || g_watchFd != fd) {
        ConsoleWatchRestore();
        g_watchTermios = t;
        g_watchFd = fd;
        g_watchSaved = true;
        static bool hooked = false;
        if (!hooked) {
            std::atexit(ConsoleWatchRestore);
            hooked = true;
        }
    }
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}

bool ConsoleCancelKeyPressed(int* fd) {
    uint8_t c = 0;
    ssize_t n = read(*fd, &c, 1);
    if (n <= 0) {
        // The terminal went away: stop watching it rather than wake up for ever.
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) *fd = -1;
        return false;
    }
    if (c == KEY_CTRL_C) {  // cancels as Esc does (twice within a second ends the program)
        ConsoleNoteCtrlC();
        return true;
    }
    if (c == 0x0C) return true;  // Ctrl+L, the console program's cancel key
    if (c != 0x1B) return false;
    struct pollfd p = {*fd, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) return true;
    uint8_t rest[64];
    while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN) && read(*fd, rest, sizeof rest) > 0) {}
    return false;
}
