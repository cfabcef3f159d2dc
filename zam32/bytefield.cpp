#include "zam32/bytefield.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "zam32/screen.h"

namespace {

bool IsHexDigit(int key) { return key < 0x80 && std::isxdigit(key) != 0; }

void ToHex(char* field, unsigned value) { std::snprintf(field, BYTE_FIELD_SIZE, "%02X", value & 0xFF); }

void Back(size_t shown) {
    for (size_t i = 0; i < shown; ++i) PrintText("\b");
}

// The field's text as it ends with Enter or Space; false when it holds nothing to take.
bool Finish(char* field) {
    const size_t len = std::strlen(field);
    if (len == 0) return true;
    if (field[0] == '\'') {
        ToHex(field, static_cast<unsigned char>(field[1]));
        return true;
    }
    if (field[0] == '#') {
        if (len == 1) return false;
        unsigned v = 0;
        for (size_t i = 1; i < len; ++i) v = v * 10 + static_cast<unsigned>(field[i] - '0');
        ToHex(field, v);
        return true;
    }
    unsigned v = 0;
    for (size_t i = 0; i < len; ++i)
        v = v * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(field[i])) ? field[i] - '0'
                                                                                              : field[i] - 'A' + 10);
    ToHex(field, v);
    return true;
}

}  // namespace

int ReadByteFieldKey() {
    // On a terminal the console has made its DEL byte Backspace already; 0x7F is then
    // an arrow, Delete or a function key, which the field ignores.
    if (ConsoleIsTerminal()) return ConsoleGetKey(true);
    int c = ConsoleReadByte();
    if (c < 0) return BYTE_KEY_END;
    return c == 0x7F ? BYTE_KEY_BACKSPACE : c;
}

int ByteEntryField(char* field, ByteKeySource nextKey) {
    size_t len = strnlen(field, BYTE_FIELD_SIZE - 1);
    field[len] = 0;
    PrintBytes(field, len);
    for (;;) {
        std::fflush(stdout);
        int key = nextKey();
        if (key == BYTE_KEY_END) {
            Back(len);
            return BYTE_KEY_END;
        }
        const bool apostropheOnly = len == 1 && field[0] == '\'';
        if (key == BYTE_KEY_BACKSPACE) {
            if (len == 0) return BYTE_KEY_BACKSPACE;
            PrintText("\b \b");
            field[--len] = 0;
            continue;
        }
        if (!apostropheOnly && (key == '\r' || key == '\n' || key == ' ' || key == BYTE_KEY_CANCEL)) {
            if (key != BYTE_KEY_CANCEL && !Finish(field)) continue;
            Back(len);
            return key == '\n' ? BYTE_KEY_ENTER : key;
        }
        if (key < 0 || key > 0xFF) continue;
        char c = static_cast<char>(key);
        char shown = c;
        bool accept = false;
        if (len == 0) {
            accept = key == '\'' || key == '#' || IsHexDigit(key);
            if (IsHexDigit(key)) c = shown = static_cast<char>(std::toupper(key));
        } else if (field[0] == '\'') {
            accept = len == 1;
            if (key < 0x20 || key > 0x7E) shown = '.';
        } else if (field[0] == '#') {
            if (key >= '0' && key <= '9' && len < 4) {
                unsigned v = 0;
                for (size_t i = 1; i < len; ++i) v = v * 10 + static_cast<unsigned>(field[i] - '0');
                accept = v * 10 + static_cast<unsigned>(key - '0') < 256;
            }
        } else if (IsHexDigit(key) && len < 2) {
            accept = true;
            c = shown = static_cast<char>(std::toupper(key));
        }
        if (!accept) continue;
        field[len++] = c;
        field[len] = 0;
        PrintBytes(&shown, 1);
    }
}
