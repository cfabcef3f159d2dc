#pragma once
#include <cstddef>

// The byte entry field of the memory editor: one byte typed as two hex digits, as an
// apostrophe and a character ("'A"), or as '#' and a decimal number below 256 ("#65").

// Room for the longest entry, "#255", and its NUL.
inline constexpr size_t BYTE_FIELD_SIZE = 5;

// Keys that end the field.
inline constexpr int BYTE_KEY_BACKSPACE = 0x08;  // only returned while the field is empty
inline constexpr int BYTE_KEY_ENTER = 0x0D;      // Enter (CR or LF)
inline constexpr int BYTE_KEY_SPACE = 0x20;
inline constexpr int BYTE_KEY_CANCEL = 0x0C;  // Ctrl+L
inline constexpr int BYTE_KEY_END = 0;        // no more input (keys or standard input ended)

// Where keys come from: the next key, waiting; 0 when input has ended.
using ByteKeySource = int (*)();

// The keyboard on a terminal, else the bytes of standard input (so that piped input
// can answer the editor too). On a terminal every extended key reads as 0x7F (its
// Backspace key, DEL, as 0x08); in plain input the byte 0x7F counts as Backspace.
int ReadByteFieldKey();

// Edits `field` (BYTE_FIELD_SIZE bytes) at the cursor. The field may arrive empty or
// pre-filled with two hex digits, which are shown first. Accepted keys are echoed,
// others ignored (0x7F, an extended key, too, except as the character after an
// apostrophe); Backspace erases the last character ("\b \b").
// Returns the key that ended it. With Enter or Space a non-empty field holds exactly two
// upper-case hex digits ("'c" and "#ddd" are converted, a single hex digit gets a leading
// 0); a lone '#' does not end the field. On return the cursor is back at the start of
// the field, its text still on screen, for the caller to overwrite.
int ByteEntryField(char* field, ByteKeySource nextKey = ReadByteFieldKey);
