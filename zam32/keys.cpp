// "K": listing and defining the function-key texts.
#include <cctype>
#include <cstring>

#include "zam32/commands.h"
#include "zam32/lang.h"
#include "zam32/screen.h"

namespace {

void ListKeys() {
    PrintText("\nCurrently Defined Function Keys are:\n\n");
    const FunctionKey* keys = FunctionKeyTable();
    for (int i = 0; i < FUNCTION_KEYS; ++i) {
        const char* t = EffectiveKeyText(keys[i]);
        if (!t[0]) continue;
        Print("%-4s\"", keys[i].name);
        for (; *t; ++t) {
            unsigned char c = static_cast<unsigned char>(*t);
            if (c == '\n') PrintText("\\n");
            else if (c == '\r') PrintText("\\r");
            else if (c == '"' || c == '\\') Print("\\%c", c);
            else if (c >= 0x20 && c <= 0x7E) Print("%c", c);
            else Print("\\x%02X", c);
        }
        PrintText("\"\n");
    }
    PrintText("\n");
}

}  // namespace

ZAM32_HANDLER(CmdKeys) {
    const ArgRecord* keyArg = ctx.args.Present(0);
    const ArgRecord* textArg = ctx.args.Present(1);
    if (!keyArg) {
        if (textArg) {
            ReportError("MISSING KEYWORD ARGUMENT\a\n", nullptr);
            return CMD_FAILED;
        }
        ListKeys();
        return CMD_OK;
    }
    char name[9];
    size_t n = 0;
    if (std::isdigit(static_cast<unsigned char>(keyArg->raw[0]))) name[n++] = 'F';
    for (const char* r = keyArg->raw; *r && n < 8; ++r) name[n++] = *r;
    name[n] = 0;
    FunctionKey* key = nullptr;
    FunctionKey* keys = FunctionKeyTable();
    for (int i = 0; i < FUNCTION_KEYS; ++i)
        if (strcasecmp(keys[i].name, name) == 0) key = &keys[i];
    if (!key) {
        ReportError("INVALID KEYWORD FOR THIS COMMAND\a\n", keyArg->position);
        return CMD_FAILED;
    }
    if (!textArg || textArg->value == 0) {
        key->current[0] = 0;
        return CMD_OK;
    }
    // The ctx.text is kept as a C string and saved with the configuration, whose field
    // holds at most KEY_TEXT_LIMIT characters: refuse what could not come back.
    if (std::memchr(textArg->processed, 0, textArg->value)) {
        ReportError("KEY TEXT MAY NOT HOLD A NUL BYTE\a\n", textArg->position);
        return CMD_FAILED;
    }
    if (textArg->value > KEY_TEXT_LIMIT) {
        ReportError("KEY TEXT TOO LONG (#%u CHARACTERS, AT MOST #99)\a\n", textArg->position, textArg->value);
        return CMD_FAILED;
    }
    std::memcpy(key->current, textArg->processed, textArg->value);
    key->current[textArg->value] = 0;
    return CMD_OK;
}
