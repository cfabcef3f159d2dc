#include "zam32/screen.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "zam32/cmdfile.h"
#include "zam32/editor.h"

namespace {

char g_lineStore[1 + LINE_SIZE + 1];  // [0] is the guard byte
char g_echo[LINE_SIZE + 64];
std::string* g_capture = nullptr;
int g_width = 70;

bool IsBreak(char c) { return c == 0 || c == ',' || std::isspace(static_cast<unsigned char>(c)); }

void VPrint(const char* format, va_list ap) {
    char text[4096];
    int n = vsnprintf(text, sizeof text, format, ap);
    if (n < 0) return;
    PrintBytes(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

}  // namespace

char* LineBuffer() { return g_lineStore + 1; }

void PrintBytes(const char* text, size_t length) {
    if (g_capture) g_capture->append(text, length);
    else std::fwrite(text, 1, length, stdout);
}

void PrintText(const char* text) { PrintBytes(text, std::strlen(text)); }

void Print(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    VPrint(format, ap);
    va_end(ap);
}

void Inform(const char* format, ...) {
    if (CommandFileOpen() && CommandFileQuiet()) return;
    va_list ap;
    va_start(ap, format);
    VPrint(format, ap);
    va_end(ap);
}

void ReportError(const char* format, const char* position, ...) {
    if (g_echo[0]) {
        PrintText(g_echo);
        g_echo[0] = 0;
    }
    if (position) {
        const char* s = position;
        while (!IsBreak(s[-1])) --s;
        const char* e = s;
        while (!IsBreak(*e)) ++e;
        PrintText("COMMAND ERROR NEAR \"");
        PrintBytes(s, static_cast<size_t>(e - s) + (*e == ',' ? 1 : 0));
        PrintText("\"\n");
    }
    va_list ap;
    va_start(ap, position);
    VPrint(format, ap);
    va_end(ap);
}

void SetEchoText(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vsnprintf(g_echo, sizeof g_echo, format, ap);
    va_end(ap);
}

void ClearEchoText() { g_echo[0] = 0; }
const char* EchoText() { return g_echo; }

void CaptureOutput(std::string* sink) { g_capture = sink; }

void OpenConsoleScreen() {
    ConsoleOpen();
    g_width = ConsoleUsableWidth();
}
int UsableWidth() { return g_width; }

// An ending signal cancels what runs, as the cancel key does, and says so once.
static bool EndCancels() {
    static bool said = false;
    if (!said) PrintText("[CANCELLED]\n");
    said = true;
    return true;
}

bool PollStopCancel() {
    if (ConsoleEndStatus() != 0) return EndCancels();
    int key = ConsoleGetKey(false);
    while (key != 0) {
        if (key == 0x13) {
            static const char kStopped[] = "[STOPPED]";
            ConsoleFlushKeys();  // before the text shows, so that no key typed after it is lost
            PrintText(kStopped);
            std::fflush(stdout);
            int next = ConsoleGetKey(true);
            Print("\r%*s\r", static_cast<int>(sizeof kStopped - 1), "");
            // No key will come: the program is to end (an ending signal says so once).
            if (next == 0) return ConsoleEndStatus() == 0 || EndCancels();
            key = next;  // the key that ended the pause is examined next
            continue;
        }
        // Esc too: it cancels the transfers inside, so it must not be lost between them.
        if (key == 0x0C || key == KEY_CTRL_C || key == 0x1B) {
            if (key == KEY_CTRL_C) ConsoleNoteCtrlC();
            PrintText("[CANCELLED]\n");
            return true;
        }
        key = ConsoleGetKey(false);
    }
    return ConsoleEndStatus() != 0 && EndCancels();
}

char ChoicePrompt(const char* prompt, const char* allowed, char atEnd) {
    PrintText(prompt);
    std::fflush(stdout);
    if (!ConsoleIsTerminal()) {
        char line[LINE_SIZE];
        ConsoleLine r;
        while ((r = ConsoleReadLine(line, sizeof line)) != CONSOLE_LINE_END) {
            if (r != CONSOLE_LINE_OK) continue;
            char c = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
            if (c && std::strchr(allowed, c)) {
                Print("%c\n", line[0]);
                return c;
            }
        }
        PrintText("\n");
        return atEnd;
    }
    ConsoleSetCursor(1);
    char chosen = 0;
    for (;;) {
        int key = ConsoleGetKey(true);
        if (key == KEY_CTRL_C) {
            // Ctrl+C answers as the end of input does; twice ends the program.
            ConsoleNoteCtrlC();
            key = 0;
        }
        if (key == 0) {
            PrintText("\n");
            return atEnd;
        }
        if (key == '\r' || key == '\n') {
            if (chosen) {
                PrintText("\r\n");
                return chosen;
            }
            continue;
        }
        if (key == 0x08) {
            if (chosen) {
                PrintText("\b \b");
                std::fflush(stdout);
                chosen = 0;
            }
            continue;
        }
        char c = static_cast<char>(std::toupper(key));
        if (!chosen && key < 0x7F && std::strchr(allowed, c)) {
            chosen = c;
            Print("%c", key);
            std::fflush(stdout);
        }
    }
}

void ReportLineRefused(const char* source, bool tooLong) {
    ClearEchoText();
    if (tooLong)
        ReportError("INPUT LINE TOO LONG (%s, MORE THAN #999 CHARACTERS), NOTHING OF IT RUN\a\n", nullptr, source);
    else ReportError("INPUT LINE HOLDS A NUL BYTE (%s), NOTHING OF IT RUN\a\n", nullptr, source);
}

int ReadConsoleLine(const char* prompt, char* buffer, size_t size) {
    if (ConsoleIsTerminal()) return EditLine(prompt, buffer, size) == EDIT_LINE ? 1 : 0;
    PrintText(prompt);
    std::fflush(stdout);
    ConsoleLine r = ConsoleReadLine(buffer, size);
    if (r == CONSOLE_LINE_END) {
        PrintText("\n");
        return 0;
    }
    if (r != CONSOLE_LINE_OK) {
        PrintText("\n");
        buffer[0] = 0;
        ReportLineRefused("STANDARD INPUT", r == CONSOLE_LINE_TOO_LONG);
        return -1;
    }
    Print("%s\n", buffer);
    return 1;
}
