#pragma once
#include <cstddef>
#include <cstdint>

// The command language: typed arguments by format letters, the expression evaluator
// with the variables $0..$9, and function-key references inside a line.

enum : uint32_t { KIND_VALUE = 0, KIND_STRING = 1, KIND_KEYWORD = 2, KIND_ABSENT = 3 };

inline constexpr int MAX_ARGS = 40;
inline constexpr size_t ARG_TEXT = 1001;

struct ArgRecord {
    uint32_t kind = KIND_ABSENT;
    uint32_t value = 0;           // value: the number; string: bytes in `processed`
    char raw[ARG_TEXT] = {};      // as typed (a string keeps its quotes)
    char processed[ARG_TEXT] = {};  // string: after escapes; value: the token
    const char* position = nullptr;  // where the token starts in the line (null when absent)
};

// Parses the text after a command character by `format`. Returns the position after
// the arguments, or null after reporting the error.
const char* ParseArguments(const char* text, const char* format);
// Record n of the last parse, or null beyond the parsed count.
const ArgRecord* GetArg(int n);
int ArgCount();

// A present record of kind value/keyword/string, or null when absent or missing.
inline const ArgRecord* PresentArg(int n) {
    const ArgRecord* a = GetArg(n);
    return a && a->kind != KIND_ABSENT ? a : nullptr;
}

// Evaluates `text`; true when it is a valid expression reaching its end.
// `stop` (if not null) receives where evaluation stopped.
bool Evaluate(const char* text, uint32_t* value, const char** stop = nullptr);

uint32_t GetVariable(int n);
void SetVariable(int n, uint32_t value);

// ---- Function keys ----

inline constexpr int FUNCTION_KEYS = 40;
inline constexpr size_t KEY_TEXT = 1000;
inline constexpr size_t KEY_TEXT_LIMIT = 99;

struct FunctionKey {
    const char* name;         // "F1" .. "C10"
    uint16_t code;            // extended key code (scan code x 256)
    const char* defaultText;  // "" when none
    char loaded[KEY_TEXT];    // as read from the configuration file
    char current[KEY_TEXT];   // as defined in this run; empty: the default applies
};

// The 40 keys in table order: F1..F10, A1..A10, S1..S10, C1..C10.
FunctionKey* FunctionKeyTable();
// The current text if not empty, else the default.
const char* EffectiveKeyText(const FunctionKey& key);

// Inserts a key text into `line` (a buffer of `size` bytes) at `*cursor`.
// 0 no text, 1 inserted, 2 does not fit (line unchanged), 3 inserted and to be run.
int InsertKeyText(const char* text, char* line, size_t* cursor, bool insertMode, size_t size);

// Expands "%F2"-style references in `line` (a buffer of `size` bytes).
// Returns the number of expansions, or one of the two results below.
inline constexpr int EXPAND_TOO_MANY = -1;
inline constexpr int EXPAND_TOO_LONG = -2;
int ExpandReferences(char* line, size_t size);
