#include "zam32/commands.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "platform/process.h"
#include "zam32/cmdfile.h"
#include "zam32/config.h"
#include "zam32/lang.h"
#include "zam32/memory.h"
#include "zam32/progress.h"
#include "zam32/screen.h"

namespace {

const CommandEntry kCommands[] = {
    {'P', false, CmdPort, "Ww"},         {'U', false, CmdUnits, "K"},       {'T', false, CmdType, "kk"},
    {'F', true, CmdFill, "Vvvk"},        {'L', true, CmdLoad, "fvvvvk"},    {'D', true, CmdDump, "vvv"},
    {'S', true, CmdChecksum, "vv"},      {'E', true, CmdEdit, "vd*"},       {'@', false, CmdCommandFile, "Fk"},
    {'W', true, CmdWrite, "Fvvkkvvvvs"}, {'?', false, CmdList, "k"},        {'H', false, CmdHelp, "k"},
    {'!', false, CmdShell, "f*"},        {'R', true, CmdReset, "k"},        {'Q', false, CmdQuit, "k"},
    {'K', false, CmdKeys, "ks"},         {'=', false, CmdShowValues, "v*"},
};

int g_errorStatus = 0;
uint32_t g_counter = 0;

// Start-up sources, each consumed once.
char g_envText[LINE_SIZE];
bool g_envPending = false;
char g_argText[LINE_SIZE];
bool g_argPending = false;
// A start-up source longer than the line buffer is refused whole, never cut.
bool g_envTooLong = false;
bool g_argTooLong = false;

void Fail() {
    CloseAllCommandFiles();
    g_errorStatus = 3;
}

// Removes the first "/x" (or "/X") option from text when it stands alone.
bool TakeEnvOption(char* text, char lower) {
    char opt[3] = {'/', lower, 0};
    char* at = std::strstr(text, opt);
    if (!at) {
        opt[1] = static_cast<char>(std::toupper(lower));
        at = std::strstr(text, opt);
    }
    if (!at) return false;
    if (at != text && !IsSpace(at[-1])) return false;
    if (at[2] != 0 && !IsSpace(at[2])) return false;
    std::memmove(at, at + 2, std::strlen(at + 2) + 1);
    return true;
}

void BuildPrompt(char* prompt) {
    char name[16];
    const SessionBlock& s = Session();
    int n = std::sprintf(prompt, "P%sU", PortName(s.CurrentPort, name));
    for (uint32_t i = 0; i < s.LaneCount && i < 4; ++i)
        prompt[n++] = s.LaneUnits[i] == LANE_EMPTY ? '-' : static_cast<char>('0' + s.LaneUnits[i]);
    prompt[n++] = '>';
    prompt[n] = 0;
}

// The next line from the start-up sources, a command file or the keyboard.
// 1 a line, 0 end of keyboard input, -1 a line refused (reported).
int ReadLine(char* line) {
    ClearEchoText();
    // After an ending signal nothing more runs; with standard output gone nobody sees
    // what would.
    if (ConsoleEndStatus() != 0 || std::ferror(stdout)) return 0;
    if (g_envPending) {
        g_envPending = false;
        if (g_envTooLong) {
            ReportLineRefused("ENVIRONMENT ZAM32ARG", true);
            return -1;
        }
        std::strcpy(line, g_envText);
        SetEchoText("ENVIRONMENT %s = %s\n", "ZAM32ARG", line);
        return 1;
    }
    if (g_argPending) {
        g_argPending = false;
        if (g_argTooLong) {
            ReportLineRefused("COMMAND LINE", true);
            return -1;
        }
        std::strcpy(line, g_argText);
        SetEchoText("COMMAND LINE: %s\n", line);
        return 1;
    }
    if (PollStopCancel()) CloseAllCommandFiles();
    if (ConsoleEndStatus() != 0) return 0;
    if (CommandFileOpen()) {
        int r = ReadCommandFileLine(line, LINE_SIZE);
        if (r != 0) return r;
    }
    char prompt[32];
    BuildPrompt(prompt);
    return ReadConsoleLine(prompt, line, LINE_SIZE);
}

const char* SkipSpace(const char* p) {
    while (IsSpace(*p)) ++p;
    return p;
}

}  // namespace

int ErrorStatus() { return g_errorStatus; }
void SetErrorStatus(int status) { g_errorStatus = status; }

const CommandEntry* FindCommand(char c) {
    char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const CommandEntry& e : kCommands)
        if (e.command == u) return &e;
    return nullptr;
}

ZAM32_HANDLER(CmdQuit) {
    const ArgRecord* k = ctx.args.Present(0);
    if (!k) return CMD_QUIT_ASK;
    static const struct {
        const char* word;
        int code;
    } words[] = {{"N", CMD_QUIT_NOSAVE},
                 {"UITN", CMD_QUIT_NOSAVE},
                 {"Y", CMD_QUIT_SAVE},
                 {"UITY", CMD_QUIT_SAVE},
                 {"UIT", CMD_QUIT_ASK}};
    for (const auto& w : words)
        if (EqualNoCase(w.word, k->raw)) return w.code;
    ReportError("INVALID KEYWORD FOR THIS COMMAND\a\n", k->position);
    return CMD_FAILED;
}

ZAM32_HANDLER(CmdShowValues) {
    int width = 0, digits = 2;
    for (int i = 0; i < ctx.args.Count(); ++i) {
        const ArgRecord* a = ctx.args.Present(i);
        uint32_t v = a ? a->value : 0;
        if (a && static_cast<int>(std::strlen(a->raw)) > width) width = static_cast<int>(std::strlen(a->raw));
        if (v > 0xFFFFFF) digits = 8;
        else if (v > 0xFFFF && digits < 6) digits = 6;
        else if (v > 0xFF && digits < 4) digits = 4;
    }
    for (int i = 0; i < ctx.args.Count(); ++i) {
        const ArgRecord* a = ctx.args.Present(i);
        if (!a) continue;
        const long value = static_cast<int32_t>(a->value);
        if (i < 10) {
            Print("$%X <- %-*s = %-*lX = #%ld\n", static_cast<unsigned>(i), width, a->raw, digits,
                  static_cast<unsigned long>(a->value), value);
            SetVariable(i, a->value);
        } else {
            Print("     %-*s = %-*lX = #%ld\n", width, a->raw, digits, static_cast<unsigned long>(a->value), value);
        }
    }
    return CMD_OK;
}

int RunCommandLine(char* line, bool batch) {
    const char* p = line;
    for (;;) {
        if (ConsoleEndStatus() != 0) return 0;  // the loop ends the program
        p = SkipSpace(p);
        if (*p == ';') {
            ++p;
            continue;
        }
        if (*p == 0 || (p[0] == '/' && p[1] == '/')) return 0;
        const CommandEntry* e = FindCommand(*p);
        if (!e) {
            ReportError("UNRECOGNIZED COMMAND CHARACTER\a\n", p);
            Fail();
            return 0;
        }
        CurrentLanes& lanes = Lanes();
        if (e->needsUnit && lanes.set.count == 0) {
            ReportError("CURRENT EMULATOR TYPE NOT DEFINED\a\n", p);
            Fail();
            return 0;
        }
        const char* text = p + 1;
        // This command's own records: a handler that runs lines of its own (a command
        // file) parses theirs into other storage.
        std::vector<ArgRecord> records;
        const char* after = ParseArguments(text, e->format, &records);
        if (!after) {
            Fail();
            return 0;
        }
        SessionBlock& s = Session();
        const CommandContext ctx{lanes, s, g_counter++, s.Units, UnitLinks(), s.Slots, text, after, Args(records)};
        int r = e->handler(ctx);
        switch (r) {
        case CMD_OK: p = after; continue;
        case CMD_LINE_TAKEN: return 0;
        case CMD_QUIT_ASK:
        case CMD_QUIT_SAVE:
        case CMD_QUIT_NOSAVE:
            if (!batch) return r;
            g_errorStatus = 0;
            return r == CMD_QUIT_ASK ? CMD_QUIT_SAVE : r;
        default: Fail(); return 0;
        }
    }
}

namespace {

int CommandLoop(bool batch) {
    char* line = LineBuffer();
    for (;;) {
        if (batch && !g_envPending && !g_argPending && !CommandFileOpen()) return g_errorStatus == 0 ? 4 : 5;
        int got = ReadLine(line);
        if (got == 0) return CMD_QUIT_NOSAVE;  // end of input: nobody is left to answer questions
        if (got < 0) {
            CloseAllCommandFiles();
            g_errorStatus = 3;
            continue;
        }
        int n = ExpandReferences(line, LINE_SIZE);
        if (n == EXPAND_TOO_MANY || n == EXPAND_TOO_LONG) {
            ReportError("MACRO EXPANSION ERROR (%s)\n", line,
                        n == EXPAND_TOO_MANY ? "Recursion Loop" : "Result Too Long");
            g_errorStatus = 3;
            continue;
        }
        if (n > 0) Inform("%s\n", line);
        int r = RunCommandLine(line, batch);
        if (r != 0) return r;
        if (ConsoleEndStatus() != 0) return CMD_QUIT_NOSAVE;
    }
}

uint32_t DetermineOsClass() {
    // Linux reaches printer ports through ppdev, so the consumer family's rules apply
    // there; Windows is of the NT family.
    const char* forced = std::getenv("ZAM32OSCLASS");
    if (forced && *forced) return static_cast<uint32_t>(std::strtoul(forced, nullptr, 10));
    return ProcessOsClass();
}

char g_programPath[81];

}  // namespace

int Zam32Main(int argc, char** argv) {
    ProcessOpenMissingStandardStreams();
    ProcessIgnoreBrokenPipe();
    // Line by line into a file or a pipe too, so that an abrupt end loses no whole line.
    if (!ConsoleOutputIsTerminal()) std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    SetOsClass(DetermineOsClass());
    OpenConsoleScreen();
    const uint32_t os = OsClass();
    Print("Pelmo(R)-PLUS Interactive Control Program, Version %s (32-Bit%s)\n", "1.0",
          os >= 5   ? "/Win2K"
          : os >= 1 ? "/WinNT"
                    : "/Win9x");
    PrintText(
        "Drives Pelmo EPROM emulator units on parallel, serial and USB ports,\n"
        "or simulated in PC memory on the virtual port.\n");
    PrintText("Type h for Help\n\n");
    std::snprintf(g_programPath, sizeof g_programPath, "%s", argc > 0 ? argv[0] : "");

    const char* env = std::getenv("ZAM32ARG");
    if (!env) env = "";
    while (IsSpace(*env)) ++env;
    std::string envCopy(env);

    SessionDefaults();
    LastSavedSession() = Session();

    bool noConfig = TakeEnvOption(envCopy.data(), 'n');
    bool batch = TakeEnvOption(envCopy.data(), 'b');
    envCopy.resize(std::strlen(envCopy.c_str()));
    g_envTooLong = envCopy.size() > LINE_SIZE - 1;
    std::snprintf(g_envText, sizeof g_envText, "%s", g_envTooLong ? "" : envCopy.c_str());

    g_argText[0] = 0;
    size_t used = 0;
    bool anyArg = false;
    for (int i = 1; i < argc; ++i) {
        if (EqualNoCase(argv[i], "/n")) {
            noConfig = true;
            continue;
        }
        if (EqualNoCase(argv[i], "/b")) {
            batch = true;
            continue;
        }
        anyArg = true;
        const char* a = argv[i];
        while (IsSpace(*a)) ++a;
        int n = std::snprintf(g_argText + used, sizeof g_argText - used, "%s ", a);
        if (n < 0 || used + static_cast<size_t>(n) >= sizeof g_argText) {
            g_argTooLong = true;
            g_argText[0] = 0;
            break;
        }
        used += static_cast<size_t>(n);
    }

    if (!noConfig) LoadConfiguration(g_programPath);

    g_envPending = g_envText[0] != 0 || g_envTooLong;
    g_argPending = anyArg;
    g_errorStatus = 0;

    ProgressAllow(!batch);  // a batch run's output is a transcript: no progress line
    int quit = CommandLoop(batch);
    SaveConfiguration(quit);

    std::fflush(stdout);
    ConsoleRestore();
    ZAMCloseAll();
    if (ConsoleEndStatus() != 0) return ConsoleEndStatus();
    return batch ? g_errorStatus : 0;
}
