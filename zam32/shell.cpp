// "!": the command processor, for one command line or interactively.
#include <cstdlib>
#include <string>

#include "platform/console.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "zam32/commands.h"
#include "zam32/screen.h"

namespace {

bool g_promptSet = false;

}  // namespace

ZAM32_HANDLER(CmdShell) {
    if (!g_promptSet) {
        g_promptSet = true;
        const char* p = std::getenv("PROMPT");
        std::string value = p ? std::string(p) + "$g" : std::string("$n$g");
        ProcessSetEnvironment("PROMPT", value.c_str());
    }
    const char* command = ctx.text;
    while (*command == ' ' || *command == '\t') ++command;
    int status = 0;
    std::string why;
    if (!*command) {
        ConsoleSetCursor(1);
        // Printed once the shell has the terminal: keys typed ctx.after it are the shell's.
        if (!ShellRun(
                nullptr, [] { PrintText("Type 'exit' to resume ZAM32\n"); }, &status, &why)) {
            ReportError("\nFAILURE EXECUTING COMMAND PROCESSOR (%s)\a\n", nullptr, why.c_str());
            return CMD_FAILED;
        }
        PrintText("\n");
        return CMD_OK;
    }
    if (!ShellRun(command, nullptr, &status, &why)) {
        ReportError("\nFAILURE EXECUTING COMMAND PROCESSOR (%s)\a\n", nullptr, why.c_str());
        return CMD_FAILED;
    }
    if (status != 0) Inform("\nWARNING: COMMAND PROCESSOR RETURNED STATUS %d\a\n", status);
    return CMD_LINE_TAKEN;
}
