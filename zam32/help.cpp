// "H": topics of the help file ZAM32.HLP, found through an index built while the
// file is read, paged where the file asks for it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/syserror.h"
#include "platform/process.h"
#include "zam32/commands.h"
#include "zam32/lang.h"
#include "zam32/screen.h"

namespace {

constexpr int kIndexSize = 60;
constexpr char kHelpName[] = "ZAM32.HLP";

struct Topic {
    char name[5];
    long position;  // just after the topic's '#' line
};

FILE* g_file = nullptr;
Topic g_index[kIndexSize];
int g_indexCount = 0;

// A regular file only; otherwise null with `*error` the open's error, or EISDIR for a
// folder and EINVAL for anything else that is no regular file.
FILE* OpenRegular(const std::string& path, int* error) {
    int result = FILE_READ_OK;
    FileFailure failure;
    FILE* f = OpenRegularFile(path.c_str(), &result, &failure);
    if (!f)
        *error = failure.error != 0                    ? static_cast<int>(failure.error)
                 : failure.type == FILE_TYPE_DIRECTORY ? static_cast<int>(SystemErrorCode(SYSERR_IS_FOLDER))
                                                       : static_cast<int>(SystemErrorCode(SYSERR_INVALID));
    return f;
}

// Where an installed tree keeps the help, relative to the program's folder.
#ifndef PELMO_DATA_FROM_BIN
#define PELMO_DATA_FROM_BIN "../share/pelmo"
#endif

// Beside the running program, else in the installed data folder next to its
// folder, else in the PATH directories.
bool OpenHelp(std::string* why) {
    const int notFound = static_cast<int>(SystemErrorCode(SYSERR_NOT_FOUND));
    int err = notFound;
    std::string self = ProcessProgramPath();
    if (!self.empty()) {
        size_t slash = self.find_last_of(PATH_SEPARATORS);
        if (slash != std::string::npos) {
            self.resize(slash + 1);
            for (const std::string& candidate : {self + kHelpName, self + PELMO_DATA_FROM_BIN "/" + kHelpName}) {
                int error = 0;
                g_file = OpenRegular(candidate, &error);
                if (g_file) return true;
                if (!SystemErrorIs(static_cast<unsigned long>(error), SYSERR_NOT_FOUND) && err == notFound) err = error;
            }
        }
    }
    const char* path = std::getenv("PATH");
    std::string list = path ? path : "";
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find(PATH_LIST_SEPARATOR, at);
        if (end == std::string::npos) end = list.size();
        std::string dir = list.substr(at, end - at);
        if (dir.empty()) dir = ".";
        if (std::strchr(PATH_SEPARATORS, dir.back()) == nullptr) dir += '/';
        std::string candidate = dir + kHelpName;
        if (FileExists(candidate.c_str())) {
            int error = 0;
            g_file = OpenRegular(candidate, &error);
            if (g_file) return true;
            err = error;
            break;
        }
        at = end + 1;
    }
    *why = SystemErrorText(static_cast<unsigned long>(err));
    return false;
}

// One piece of a line (at most 80 characters); false at the end of the file.
bool ReadPiece(char* piece) { return std::fgets(piece, 81, g_file) != nullptr; }

// The name of a '#' line with its line end removed; length 0 for '#' alone.
std::string TopicName(const char* piece) {
    std::string s(piece + 1);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

void Remember(const std::string& name, long position) {
    if (g_indexCount >= kIndexSize || name.empty() || name.size() > 4) return;
    for (int i = 0; i < g_indexCount; ++i)
        if (g_index[i].position == position) return;
    std::snprintf(g_index[g_indexCount].name, sizeof g_index[0].name, "%s", name.c_str());
    g_index[g_indexCount].position = position;
    ++g_indexCount;
}

bool Find(const char* wanted) {
    for (int i = 0; i < g_indexCount; ++i)
        if (strcasecmp(g_index[i].name, wanted) == 0) return std::fseek(g_file, g_index[i].position, SEEK_SET) == 0;
    std::fseek(g_file, g_indexCount ? g_index[g_indexCount - 1].position : 0, SEEK_SET);
    char piece[81];
    bool lineStart = true;
    while (ReadPiece(piece)) {
        bool starts = lineStart;
        lineStart = std::strchr(piece, '\n') != nullptr;
        if (!starts || piece[0] != '#') continue;
        std::string name = TopicName(piece);
        if (name.empty() || name.size() > 4) continue;
        Remember(name, std::ftell(g_file));
        if (strcasecmp(name.c_str(), wanted) == 0) return true;
    }
    return false;
}

// "-- MORE --": true to go on, false when cancelled.
bool More() {
    if (!ConsoleIsTerminal()) return true;  // nobody to ask: the whole topic is shown
    static const char kMore[] = "-- MORE -- (Press SPACE or ESC)";
    for (;;) {
        // Keys typed before the prompt shows are dropped; none typed after it.
        ConsoleFlushKeys();
        PrintText(kMore);
        std::fflush(stdout);
        int key = ConsoleGetKey(true);
        Print("\r%*s\r", static_cast<int>(sizeof kMore - 1), "");
        if (key == ' ') return true;
        if (key == 0x1B || key == 0x0C || key == KEY_CTRL_C || key == 0) {
            if (key == KEY_CTRL_C) ConsoleNoteCtrlC();
            PrintText("[CANCELLED]\n");
            return false;
        }
    }
}

void Show() {
    char piece[81];
    bool lineStart = true;
    while (ReadPiece(piece)) {
        bool starts = lineStart;
        lineStart = std::strchr(piece, '\n') != nullptr;
        if (starts && piece[0] == '#') {
            std::string name = TopicName(piece);
            if (name.empty()) {
                if (!More()) return;
                continue;
            }
            Remember(name, std::ftell(g_file));
            return;
        }
        PrintText(piece);
    }
}

}  // namespace

ZAM32_HANDLER(CmdHelp) {
    const ArgRecord* topic = ctx.args.Present(0);
    if (!g_file) {
        std::string why;
        if (!OpenHelp(&why)) {
            ReportError("CANNOT OPEN HELP FILE \"%s\" (%s)\a\n", nullptr, kHelpName, why.c_str());
            return CMD_FAILED;
        }
    }
    const char* wanted = topic ? topic->raw : "elp";
    if (!Find(wanted)) {
        ReportError("SORRY, NO HELP IS AVAILABLE ON THAT SUBJECT\a\n", topic ? topic->position : nullptr);
        return CMD_FAILED;
    }
    Show();
    return CMD_OK;
}
