#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "zam32/lang.h"
#include "zam32/session.h"

// The session file "ZAM32.CFG": the SessionBlock in its 2852-byte little-endian file
// form, then one record per function key with a text (u16 key code, text, NUL) and a
// closing key code 0. Read once at start, written at quit when the session changed.

inline constexpr const char* CONFIG_FILE_NAME = "ZAM32.CFG";
inline constexpr size_t SESSION_BLOCK_SIZE = 2852;

// Field by field, little-endian. Free unit records and unused lanes are written as held.
void EncodeSessionBlock(const SessionBlock& block, uint8_t* out);
// False when the magic is wrong or a field holds a value the program cannot use (a lane
// count outside 1..4, a unit on a missing port slot, a size no device type has ...).
bool DecodeSessionBlock(const uint8_t* in, SessionBlock& block);

// Key texts as read from a file, in key-table order; "" = no record.
struct ConfigKeys {
    char text[FUNCTION_KEYS][KEY_TEXT_LIMIT + 1];
};

// Reads a whole configuration; false when the file is not a valid one (short block,
// wrong magic, a key code that names no key, a text without NUL or over the limit,
// no closing code). Nothing is changed either way.
bool ReadConfiguration(std::FILE* file, SessionBlock& block, ConfigKeys& keys);

// The file image: block, the records of the keys whose current text is not empty, and
// the closing code. A text over KEY_TEXT_LIMIT characters is left out and its key's
// index put into `skipped` (when given), so the file always reads back.
std::vector<uint8_t> EncodeConfiguration(const SessionBlock& block, const FunctionKey* keys,
                                         std::vector<int>* skipped = nullptr);

// The live block differs from the last saved copy, or a key's current text from its
// loaded text.
bool ConfigurationChanged();

// Start: the current directory's file, else the one beside the program (the directory
// of /proc/self/exe; `programPath` only when that cannot be read).
void LoadConfiguration(const char* programPath);
// Quit: 5 writes nothing, 3 asks first, 4 writes without asking; only when changed.
void SaveConfiguration(int quitCode);
