#include "platform/console.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

int g_isTerminal = -1;  // -1 not yet decided
bool g_saved = false;
bool g_raw = false;
termios g_original{};

bool Terminal() {
    if (g_isTerminal < 0) g_isTerminal = isatty(STDIN_FILENO) ? 1 : 0;
    return g_isTerminal == 1;
}

// A signal that ends the program must not leave the terminal without echo.
void RestoreAndRaise(int sig) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_original);
    signal(sig, SIG_DFL);
    raise(sig);
}

void SaveOnce() {
    if (g_saved) return;
    if (tcgetattr(STDIN_FILENO, &g_original) != 0) return;
    g_saved = true;
    std::atexit(ConsoleRestore);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        if (signal(sig, RestoreAndRaise) == SIG_IGN) signal(sig, SIG_IGN);
}

// Raw enough to see Ctrl+S and Ctrl+L at once; output processing stays on so that
// a line feed still returns the carriage.
void EnterRaw() {
    if (g_raw || !Terminal()) return;
    SaveOnce();
    if (!g_saved) return;
    termios t = g_original;
    t.c_lflag &= ~(ICANON | ECHO);
    t.c_iflag &= ~(IXON | ICRNL);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0) g_raw = true;
}

void LeaveRaw() {
    if (!g_raw) return;
    tcsetattr(STDIN_FILENO, TCSANOW, &g_original);
    g_raw = false;
}

bool ByteReady(int timeoutMs) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

int ReadByte() {
    unsigned char c;
    return read(STDIN_FILENO, &c, 1) == 1 ? c : -1;
}

}  // namespace

bool ConsoleIsTerminal() { return Terminal(); }

int ConsoleUsableWidth() {
    winsize ws{};
    if (Terminal() && ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col - 10;
    return 70;
}

int ConsoleGetKey(bool wait) {
    if (!Terminal()) return 0;
    std::fflush(stdout);
    EnterRaw();
    if (!ByteReady(wait ? -1 : 0)) return 0;
    int c = ReadByte();
    if (c < 0) return 0;
    if (c == 0x7F) return 0x08;  // the Backspace key sends DEL
    if (c != 0x1B) return c;
    // An escape sequence (arrows, function keys) arrives in one burst; a lone Esc does not.
    if (!ByteReady(30)) return 0x1B;
    int next = ReadByte();
    if (next != '[' && next != 'O') return CONSOLE_KEY_EXTENDED;
    while (ByteReady(30)) {
        int b = ReadByte();
        if (b < 0 || (b >= 0x40 && b <= 0x7E)) break;
    }
    return CONSOLE_KEY_EXTENDED;
}

void ConsoleFlushKeys() {
    if (Terminal()) tcflush(STDIN_FILENO, TCIFLUSH);
}

bool ConsoleReadLine(char* buffer, size_t size) {
    std::fflush(stdout);
    LeaveRaw();
    size_t n = 0;
    int c;
    bool any = false;
    while ((c = std::getchar()) != EOF) {
        any = true;
        if (c == '\n') break;
        if (n + 1 < size) buffer[n++] = static_cast<char>(c);
    }
    if (n > 0 && buffer[n - 1] == '\r') --n;  // lines from files with CR LF ends
    buffer[n] = '\0';
    return any;
}

void ConsoleRestore() {
    LeaveRaw();
}
