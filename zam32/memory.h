#pragma once
#include "zam32/commands.h"

// "D" dumps and "E" edits emulator RAM through the current lane set.

// D start, length, width.
ZAM32_HANDLER(CmdDump);
// E start, data ... ; without data an interactive edit, eight bytes a line.
ZAM32_HANDLER(CmdEdit);
