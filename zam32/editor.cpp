#include "zam32/editor.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "zam32/lang.h"
#include "zam32/screen.h"

namespace {

std::string g_history[HISTORY_SIZE];
int g_historyCount = 0;

bool IsWordChar(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return !std::ispunct(u) && !std::isspace(u);
}

struct Editor {
    const char* prompt = "";
    char* line = nullptr;
    size_t length = 0;
    size_t cursor = 0;
    size_t limit = 2;  // W: at most limit - 1 characters are typed
    bool insert = false;
    int position = 0;  // history position; g_historyCount = after the newest

    void Out(const char* s, size_t n) { ConsoleWrite(s, n); }
    void Out(const char* s) { Out(s, std::strlen(s)); }

    void MoveBack(size_t n) {
        if (n == 0) return;
        char seq[32];
        std::snprintf(seq, sizeof seq, "\x1b[%zuD", n);
        Out(seq);
    }

    // Old text blanked, prompt and new text printed, cursor put back in place.
    void Redraw(size_t oldLength) {
        std::string s = "\r";
        s += prompt;
        s.append(oldLength, ' ');
        s += "\r";
        s += prompt;
        s.append(line, length);
        Out(s.data(), s.size());
        MoveBack(length - cursor);
    }

    // The tail from the cursor, with `blanks` cleared after it.
    void RedrawTail(size_t blanks) {
        std::string s(line + cursor, length - cursor);
        s.append(blanks, ' ');
        Out(s.data(), s.size());
        MoveBack(s.size());
    }

    void Set(const char* text, bool cursorAtEnd) {
        size_t old = length;
        length = std::strlen(text);
        std::memcpy(line, text, length + 1);
        if (cursorAtEnd || cursor > length) cursor = length;
        Redraw(old);
    }

    void Recall(int index, bool cursorAtEnd) {
        position = index;
        Set(index < g_historyCount ? g_history[index].c_str() : "", cursorAtEnd);
    }

    void Printable(char c) {
        if (!insert || cursor == length) {
            if (cursor + 1 >= limit) return;
            line[cursor] = c;
            if (cursor == length) line[++length] = 0;
            ++cursor;
            Out(&c, 1);
            return;
        }
        // Insert in the middle: a character pushed past the limit is lost.
        size_t keep = length + 1 < limit ? length : limit - 2;
        if (cursor > keep) return;
        std::memmove(line + cursor + 1, line + cursor, keep - cursor);
        line[cursor] = c;
        length = keep + 1;
        line[length] = 0;
        Out(&c, 1);
        ++cursor;
        RedrawTail(0);
    }

    void Backspace() {
        if (cursor == 0) return;
        if (cursor == length) {
            line[--length] = 0;
            --cursor;
            Out("\b \b");
            return;
        }
        --cursor;
        Out("\b");
        if (insert) {
            std::memmove(line + cursor, line + cursor + 1, length - cursor);
            --length;
            RedrawTail(1);
        } else {
            line[cursor] = ' ';
            RedrawTail(0);
        }
    }

    void Delete() {
        if (cursor >= length) return;
        std::memmove(line + cursor, line + cursor + 1, length - cursor);
        --length;
        RedrawTail(1);
    }

    void WordLeft() {
        size_t c = cursor;
        bool inWord = c < length && IsWordChar(line[c]) && c > 0 && IsWordChar(line[c - 1]);
        if (!inWord) {
            // From a word start or between words: to the start of the previous word.
            while (c > 0 && !IsWordChar(line[c - 1])) --c;
            if (c == 0) return;
        }
        while (c > 0 && IsWordChar(line[c - 1])) --c;
        MoveTo(c);
    }

    void WordRight() {
        size_t c = cursor;
        while (c < length && IsWordChar(line[c])) ++c;
        while (c < length && !IsWordChar(line[c])) ++c;
        if (c >= length) return;  // no word follows
        MoveTo(c);
    }

    void MoveTo(size_t c) {
        if (c < cursor) MoveBack(cursor - c);
        else if (c > cursor) Out(line + cursor, c - cursor);
        cursor = c;
    }

    void Search(int step) {
        if (cursor == 0) return;
        for (int i = position + step; i >= 0 && i < g_historyCount; i += step) {
            const std::string& h = g_history[i];
            if (h.size() >= cursor && strncasecmp(h.c_str(), line, cursor) == 0) {
                Recall(i, false);
                return;
            }
        }
    }

    // 1: the line is complete; 0: go on.
    int RunKey(int key) {
        const ::FunctionKey* table = FunctionKeyTable();
        for (int i = 0; i < FUNCTION_KEYS; ++i) {
            if (table[i].code != key) continue;
            size_t old = length;
            int r = InsertKeyText(EffectiveKeyText(table[i]), line, &cursor, insert, limit);
            if (r != 1 && r != 3) return 0;
            length = std::strlen(line);
            if (cursor > length) cursor = length;
            Redraw(old);
            return r == 3 ? 1 : 0;
        }
        return 0;
    }
};

}  // namespace

void HistoryAdd(const char* line) {
    if (!line[0]) return;
    if (g_historyCount > 0 && g_history[g_historyCount - 1] == line) return;
    if (g_historyCount == HISTORY_SIZE) {
        for (int i = 1; i < HISTORY_SIZE; ++i) g_history[i - 1] = std::move(g_history[i]);
        --g_historyCount;
    }
    g_history[g_historyCount++] = line;
}

EditResult EditLine(const char* prompt, char* buffer, size_t size) {
    if (ConsoleResized()) OpenConsoleScreen();
    Editor e;
    e.prompt = prompt;
    e.line = buffer;
    size_t w = static_cast<size_t>(UsableWidth());
    e.limit = w < size ? w : size;
    if (e.limit < 2) e.limit = 2;
    e.position = g_historyCount;
    buffer[0] = 0;
    ConsoleSetCursor(1);
    e.Out(prompt);
    // Standard output gone (a pipe whose reader has quit): nobody would see the line.
    if (std::ferror(stdout)) {
        e.Out("\r\n");
        return EDIT_END;
    }
    for (;;) {
        int key = ConsoleReadKey(true);
        if (key == 0) {
            e.Out("\r\n");
            return EDIT_END;
        }
        if (key >= 0x20 && key <= 0x7E) {
            e.Printable(static_cast<char>(key));
            continue;
        }
        bool done = false;
        switch (key) {
        case 0x0D: done = true; break;
        case 0x08: e.Backspace(); break;
        case 0x04:  // Ctrl+D on an empty line: the quit command, question and all
            if (e.length == 0) {
                e.Printable('q');
                done = true;
            }
            break;
        case KEY_CTRL_C:
            if (ConsoleNoteCtrlC()) {
                e.Out("\r\n");
                return EDIT_END;
            }
            e.cursor = 0;
            e.Set("", true);
            break;
        case KEY_DELETE: e.Delete(); break;
        case 0x1B:
        case KEY_CTRL_HOME:
            e.cursor = 0;
            e.Set("", true);
            break;
        case KEY_CTRL_END: {
            size_t old = e.length;
            e.length = e.cursor;
            buffer[e.length] = 0;
            e.RedrawTail(old - e.length);
            break;
        }
        case KEY_HOME: e.MoveTo(0); break;
        case KEY_END: e.MoveTo(e.length); break;
        case KEY_LEFT:
            if (e.cursor > 0) e.MoveTo(e.cursor - 1);
            break;
        case KEY_RIGHT:
            if (e.cursor < e.length) e.MoveTo(e.cursor + 1);
            break;
        case KEY_CTRL_LEFT: e.WordLeft(); break;
        case KEY_CTRL_RIGHT: e.WordRight(); break;
        case KEY_INSERT:
            e.insert = !e.insert;
            ConsoleSetCursor(e.insert ? 2 : 1);
            break;
        case KEY_UP:
            if (e.position > 0) e.Recall(e.position - 1, true);
            break;
        case KEY_DOWN:
            if (e.position < g_historyCount) e.Recall(e.position + 1, true);
            break;
        case KEY_CTRL_PGUP:
            if (g_historyCount > 0) e.Recall(0, true);
            break;
        case KEY_CTRL_PGDN: e.Recall(g_historyCount, true); break;
        case KEY_PGUP: e.Search(-1); break;
        case KEY_PGDN: e.Search(+1); break;
        default: done = e.RunKey(key) == 1; break;
        }
        if (done) {
            ConsoleSetCursor(1);
            e.Out("\r\n");
            HistoryAdd(buffer);
            return EDIT_LINE;
        }
    }
}
