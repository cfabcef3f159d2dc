#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The command language: typed arguments by format letters, the expression evaluator
// with the variables $0..$9, and function-key references inside a line.

// The blanks between words: space, tab, CR, LF, VT and FF.
bool IsSpace(char c);
// Keywords, options and names match whatever the letters' case.
bool EqualNoCase(const char* a, const char* b);

enum : uint32_t { KIND_VALUE = 0, KIND_STRING = 1, KIND_KEYWORD = 2, KIND_ABSENT = 3 };

inline constexpr int MAX_ARGS = 40;
inline constexpr size_t ARG_TEXT = 1001;

struct ArgRecord {
    uint32_t kind = KIND_ABSENT;
    uint32_t value = 0;              // value: the number; string: bytes in `processed`
    char raw[ARG_TEXT] = {};         // as typed (a string keeps its quotes)
    char processed[ARG_TEXT] = {};   // string: after escapes; value: the token
    const char* position = nullptr;  // where the token starts in the line (null when absent)
};

// Parses the text after a command character by `format` into `out` (one record per
// argument, absent ones included). Returns the position after the arguments, or null
// after reporting the error.
//
// Format letters, one per argument (upper case: required, lower case: may be absent;
// a letter followed by '*' repeats to the end of the line):
//   V v  a value: an expression (numbers, $0..$9, operators)
//   K k  a keyword: a word as typed
//   W w  a value if it evaluates, else a keyword (P's port: a number or a word)
//   F f  a file name: quoted (no escapes) or a word as typed
//   D d  data: a quoted string with escapes, or a value (E's bytes)
//   S s  a quoted string with escapes (W's sign-on); unquoted is refused
const char* ParseArguments(const char* text, const char* format, std::vector<ArgRecord>* out);

// The records of one parse, seen by a command's handler.
class Args {
public:
    Args() = default;
    explicit Args(std::span<const ArgRecord> records) : records_(records) {}
    // Record n, or null beyond the parsed count.
    const ArgRecord* Get(int n) const {
        return n >= 0 && static_cast<size_t>(n) < records_.size() ? &records_[static_cast<size_t>(n)] : nullptr;
    }
    // A present record of kind value/keyword/string, or null when absent or missing.
    const ArgRecord* Present(int n) const {
        const ArgRecord* a = Get(n);
        return a && a->kind != KIND_ABSENT ? a : nullptr;
    }
    int Count() const { return static_cast<int>(records_.size()); }

private:
    std::span<const ArgRecord> records_;
};

// Evaluates `text`; true when it is a valid expression reaching its end.
// `stop` (if not null) receives where evaluation stopped.
bool Evaluate(const char* text, uint32_t* value, const char** stop = nullptr);

uint32_t GetVariable(int n);
void SetVariable(int n, uint32_t value);

// ---- Function keys ----

inline constexpr int FUNCTION_KEYS = 40;
inline constexpr size_t KEY_TEXT = 1000;
// Longest key text a configuration file holds; longer ones are refused when defined.
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
