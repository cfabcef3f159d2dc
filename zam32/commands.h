#pragma once
#include <cstdint>

#include "zam32/lang.h"
#include "zam32/session.h"

// Command handlers, the command table, the command loop and the program start.

// Handler results.
enum : int {
    CMD_OK = 0,
    CMD_LINE_TAKEN = 1,
    CMD_FAILED = 2,
    CMD_QUIT_ASK = 3,
    CMD_QUIT_SAVE = 4,
    CMD_QUIT_NOSAVE = 5,
};

// What a handler works on: the current lanes, the session with its units, links and
// port slots, the command's number in this run, its text (after the command character,
// and after its arguments) and its parsed arguments.
struct CommandContext {
    CurrentLanes& lanes;
    SessionBlock& session;
    uint32_t counter;
    UnitRecord* units;
    UnitLink* links;
    PortSlot* slots;
    const char* text;
    const char* after;
    Args args;
};

using CommandHandler = int (*)(const CommandContext& ctx);

struct CommandEntry {
    char command;
    bool needsUnit;
    CommandHandler handler;
    const char* format;
};

// The table; the entry for a command character (any case), or null.
const CommandEntry* FindCommand(char c);

#define ZAM32_HANDLER(name) int name(const CommandContext& ctx)

ZAM32_HANDLER(CmdPort);
ZAM32_HANDLER(CmdUnits);
ZAM32_HANDLER(CmdType);
ZAM32_HANDLER(CmdReset);
ZAM32_HANDLER(CmdList);
ZAM32_HANDLER(CmdLoad);
ZAM32_HANDLER(CmdWrite);
ZAM32_HANDLER(CmdFill);
ZAM32_HANDLER(CmdChecksum);
ZAM32_HANDLER(CmdQuit);
ZAM32_HANDLER(CmdShowValues);
ZAM32_HANDLER(CmdKeys);
ZAM32_HANDLER(CmdCommandFile);
ZAM32_HANDLER(CmdShell);
ZAM32_HANDLER(CmdHelp);

// Runs one line of commands (after reference expansion). Returns 0 to read on, or a
// quit code 3..5 as the loop returns it.
int RunCommandLine(char* line, bool batch);

// Error status of the session: 0 or 3.
int ErrorStatus();
void SetErrorStatus(int status);

// The whole program: start-up, loop, exit status.
int Zam32Main(int argc, char** argv);
