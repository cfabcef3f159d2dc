#include "zam32/cmdfile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/syserror.h"
#include "zam32/commands.h"
#include "zam32/lang.h"
#include "zam32/screen.h"

namespace {

struct CommandFileEntry {
    bool quiet = false;
    bool echo = true;
    FILE* file = nullptr;
    std::string name;
    std::string rest;
};

CommandFileEntry g_stack[COMMAND_FILES];
int g_depth = 0;

std::string Prefix(int depth) { return g_stack[depth - 1].name + std::string(static_cast<size_t>(depth), '>'); }

void CloseTop() {
    CommandFileEntry& e = g_stack[g_depth - 1];
    if (e.file) std::fclose(e.file);
    e = CommandFileEntry{};
    --g_depth;
}

// Opens without blocking on a FIFO or device, and takes regular files only.
FILE* OpenRegular(const char* name, const char** why) {
    int result = FILE_READ_OK;
    FileFailure failure;
    FILE* f = OpenRegularFile(name, &result, &failure);
    if (f) return f;
    // A failed open says why it failed, even when what it met was no regular file.
    if (result != FILE_NOT_REGULAR || failure.error != 0) {
        *why = SystemErrorText(failure.error);
        return nullptr;
    }
    switch (failure.type) {
    case FILE_TYPE_DIRECTORY: *why = SystemErrorText(SystemErrorCode(SYSERR_IS_FOLDER)); break;
    case FILE_TYPE_FIFO: *why = "Not a regular file: a FIFO"; break;
    case FILE_TYPE_SOCKET: *why = "Not a regular file: a socket"; break;
    case FILE_TYPE_CHARACTER_DEVICE:
    case FILE_TYPE_BLOCK_DEVICE: *why = "Not a regular file: a device"; break;
    default: *why = "Not a regular file"; break;
    }
    return nullptr;
}

}  // namespace

bool CommandFileOpen() { return g_depth > 0; }
bool CommandFileQuiet() { return g_depth > 0 && g_stack[g_depth - 1].quiet; }
int CommandFileDepth() { return g_depth; }

void CloseAllCommandFiles() {
    while (g_depth > 0) CloseTop();
}

int ReadCommandFileLine(char* buffer, size_t size) {
    if (g_depth == 0) return 0;
    CommandFileEntry& e = g_stack[g_depth - 1];
    size_t n = 0, length = 0;
    bool any = false, nul = false, lastCR = false;
    int c;
    while ((c = std::getc(e.file)) != EOF) {
        any = true;
        if (c == '\n') break;  // only a real line end is dropped
        if (c == 0) nul = true;
        ++length;
        lastCR = c == '\r';
        if (n + 1 < size) buffer[n++] = static_cast<char>(c);
    }
    if (any) {
        if (lastCR) {  // CR LF from DOS files: the CR belongs to the line end
            --length;
            if (n > length) n = length;
        }
        buffer[n] = 0;
        if (length > size - 1 || nul) {
            std::string where = e.name + " LINE";
            buffer[0] = 0;
            ReportLineRefused(where.c_str(), length > size - 1);
            return -1;
        }
        std::string prefix = Prefix(g_depth);
        SetEchoText("%s%s\n", prefix.c_str(), buffer);
        if (e.echo) {
            PrintText(EchoText());
            ClearEchoText();
        }
        return 1;
    }
    // End of file: the rest of the invoking line runs now.
    if (e.echo) Print("%s[EOF]\n", Prefix(g_depth).c_str());
    std::snprintf(buffer, size, "%s", e.rest.c_str());
    CloseTop();
    ClearEchoText();
    if (g_depth > 0 && !g_stack[g_depth - 1].echo) SetEchoText("%s%s\n", Prefix(g_depth).c_str(), buffer);
    return 1;
}

ZAM32_HANDLER(CmdCommandFile) {
    const ArgRecord* fileArg = ctx.args.Get(0);
    const ArgRecord* flagArg = ctx.args.Present(1);
    bool setQuiet = false, setVerbose = false, setEcho = false, setNoEcho = false;
    if (flagArg) {
        static const struct {
            const char* word;
            bool q, v, e, n;
        } kFlags[] = {{"Q", 1, 0, 0, 0},  {"V", 0, 1, 0, 0},  {"E", 0, 0, 1, 0},  {"N", 0, 0, 0, 1},
                      {"QN", 1, 0, 0, 1}, {"NQ", 1, 0, 0, 1}, {"QE", 1, 0, 1, 0}, {"EQ", 1, 0, 1, 0},
                      {"VN", 0, 1, 0, 1}, {"NV", 0, 1, 0, 1}, {"VE", 0, 1, 1, 0}, {"EV", 0, 1, 1, 0}};
        bool found = false;
        for (const auto& f : kFlags)
            if (EqualNoCase(f.word, flagArg->raw)) {
                setQuiet = f.q, setVerbose = f.v, setEcho = f.e, setNoEcho = f.n;
                found = true;
            }
        if (!found) {
            ReportError("INVALID KEYWORD FOR THIS COMMAND\a\n", flagArg->position);
            return CMD_FAILED;
        }
    }
    const char* name = fileArg->kind == KIND_STRING ? fileArg->processed : fileArg->raw;
    const char* why = "";
    FILE* f = OpenRegular(name, &why);
    if (!f) {
        ReportError("CAN'T OPEN COMMAND FILE (%s)\a\n", fileArg->position, why);
        return CMD_FAILED;
    }
    if (g_depth == COMMAND_FILES) {
        std::fclose(f);
        ReportError("TOO MANY COMMAND FILES OPEN\a\n", nullptr);
        return CMD_FAILED;
    }
    CommandFileEntry e;
    if (g_depth > 0) {
        e.quiet = g_stack[g_depth - 1].quiet;
        e.echo = g_stack[g_depth - 1].echo;
    }
    if (setEcho) e.echo = true;
    if (setNoEcho) e.echo = false;
    if (setQuiet) e.quiet = true;
    if (setVerbose) e.quiet = false;
    e.file = f;
    e.name = name;
    e.rest = ctx.after;
    g_stack[g_depth++] = std::move(e);
    return CMD_LINE_TAKEN;
}
