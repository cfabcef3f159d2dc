// The image commands L, W, F and S: argument checks and defaults in front of the engine.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"
#include "platform/files.h"
#include "platform/syserror.h"
#include "zam32/commands.h"
#include "zam32/lang.h"
#include "zam32/progress.h"
#include "zam32/screen.h"

namespace {

// Engine text on the console: errors at the argument they concern, information lines
// unless quiet, the rest always; the keyboard cancels; results go to $0 when wanted.
class ConsoleOutput : public EngineOutput {
public:
    const char* positions[ARG_SIGNON + 1] = {};
    bool resultToVariable = false;

    void Error(EngineArg arg, const char* text) override {
        ProgressErase();
        ReportError("%s", arg <= ARG_SIGNON ? positions[arg] : nullptr, text);
    }
    void Inform(const char* text) override {
        ProgressErase();
        ::Inform("%s", text);
    }
    void Always(const char* text) override {
        ProgressErase();
        PrintText(text);
    }
    bool PollCancel() override { return PollStopCancel(); }
    void Progress(uint64_t done, uint64_t total) override { ProgressUpdate(done, total); }
    void Result(uint32_t value) override {
        if (resultToVariable) SetVariable(0, value);
    }
};

// The progress line's life: one engine operation; gone when the command ends.
struct ProgressScope {
    ProgressScope() { ProgressBegin(); }
    ~ProgressScope() { ProgressEnd(); }
};

const char* Position(const Args& args, int n) {
    const ArgRecord* a = args.Present(n);
    return a ? a->position : nullptr;
}

uint32_t ValueOr(const Args& args, int n, uint32_t absent) {
    const ArgRecord* a = args.Present(n);
    return a ? a->value : absent;
}

// "NV", "V", "VO"; absent: the port's default. -1 after reporting an unknown keyword.
int VerifyMode(const Args& args, int n) {
    const ArgRecord* a = args.Present(n);
    if (!a) return static_cast<int>(DefaultVerifyMode());
    if (EqualNoCase(a->raw, "NV")) return 0;
    if (EqualNoCase(a->raw, "V")) return 1;
    if (EqualNoCase(a->raw, "VO")) return 2;
    ReportError("INVALID KEYWORD FOR THIS COMMAND\a\n", a->position);
    return -1;
}

// A file-name argument: a quoted one without its quotes, else as typed.
const char* FileNameArg(const Args& args, int n) {
    const ArgRecord* a = args.Present(n);
    if (!a) return "";
    return a->kind == KIND_STRING ? a->processed : a->raw;
}

// The selection with its first lane's request replaced by `request`.
UnitSet WithRequest(const CurrentLanes& lanes, ImageRequest& request, UnitRecord** first) {
    UnitSet set = lanes.set;
    for (int i = 0; i < 4; ++i)
        if (lanes.records[i]) {
            *first = lanes.records[i];
            request = lanes.records[i]->request;
            set.settings[i] = &request;
            break;
        }
    return set;
}

// Start and length of a device range: start below DevSize, length absent = to the end.
bool RangeArgs(const Args& args, int startArg, int lengthArg, uint32_t devSize, bool zeroLengthInvalid, uint32_t* start,
               uint32_t* length) {
    *start = ValueOr(args, startArg, 0);
    if (*start >= devSize) {
        ReportError("INVALID START ARGUMENT\a\n", Position(args, startArg));
        return false;
    }
    const ArgRecord* l = args.Present(lengthArg);
    *length = l ? l->value : devSize - *start;
    if ((zeroLengthInvalid && *length == 0) || static_cast<uint64_t>(*start) + *length > devSize) {
        ReportError("INVALID LENGTH ARGUMENT\a\n", Position(args, lengthArg));
        return false;
    }
    if (*length == 0) *length = devSize - *start;
    return true;
}

}  // namespace

ZAM32_HANDLER(CmdLoad) {
    ImageRequest request;
    UnitRecord* first = nullptr;
    UnitSet set = WithRequest(ctx.lanes, request, &first);
    if (!first) return CMD_FAILED;

    bool anyArg = false;
    for (int i = 0; i < 6; ++i)
        if (ctx.args.Present(i)) anyArg = true;

    ConsoleOutput out;
    out.resultToVariable = true;
    const char* name;
    if (!anyArg) {
        name = first->request.FileName;
        request.LoadVerify = first->request.LoadVerify;
    } else {
        name = FileNameArg(ctx.args, 0);
        request.Start = ValueOr(ctx.args, 1, 0);
        request.Length = ValueOr(ctx.args, 2, 0);
        request.Target = ValueOr(ctx.args, 3, 0);
        request.Width = ValueOr(ctx.args, 4, 0);
        int mode = VerifyMode(ctx.args, 5);
        if (mode < 0) return CMD_FAILED;
        request.LoadVerify = static_cast<uint32_t>(mode);
        out.positions[ARG_START] = Position(ctx.args, 1);
        out.positions[ARG_LENGTH] = Position(ctx.args, 2);
        out.positions[ARG_TARGET] = Position(ctx.args, 3);
        out.positions[ARG_WIDTH] = Position(ctx.args, 4);
    }
    if (name[0] == 0) {
        ReportError("LOAD FILE NAME IS REQUIRED FOR THIS UNIT\a\n", nullptr);
        return CMD_FAILED;
    }
    // A longer name would be cut and might name another file.
    if (std::strlen(name) >= sizeof request.FileName - 1) {
        ReportError("CAN'T OPEN LOAD FILE (%s)\a\n", Position(ctx.args, 0),
                    SystemErrorText(SystemErrorCode(SYSERR_NAME_TOO_LONG)));
        return CMD_FAILED;
    }
    std::snprintf(request.FileName, sizeof request.FileName, "%s", name);
    if (!anyArg)
        Print("Using: %s,%lX,%lX,%lX,%lX,%s\n", request.FileName, static_cast<unsigned long>(request.Start),
              static_cast<unsigned long>(request.Length), static_cast<unsigned long>(request.Target),
              static_cast<unsigned long>(request.Width), VerifyModeName(request.LoadVerify));

    const uint32_t start = request.Start, length = request.Length, target = request.Target, width = request.Width;
    {
        ProgressScope progress;
        if (LoadImage(out, set) != ENGINE_OK) return CMD_FAILED;
    }
    if (anyArg) {
        ImageRequest& r = first->request;
        std::snprintf(r.FileName, 300, "%s", name);
        r.Start = start;
        r.Length = length;
        r.Target = target;
        r.Width = width;
        r.LoadVerify = request.LoadVerify;
    }
    return CMD_OK;
}

ZAM32_HANDLER(CmdFill) {
    const ArgRecord* value = ctx.args.Get(0);
    if (value->value > 0xFF) {
        ReportError("INVALID FILL VALUE, 00 - FF REQUIRED\a\n", value->position);
        return CMD_FAILED;
    }
    uint32_t start, length;
    if (!RangeArgs(ctx.args, 1, 2, ctx.lanes.set.DevSize, true, &start, &length)) return CMD_FAILED;
    int mode = VerifyMode(ctx.args, 3);
    if (mode < 0) return CMD_FAILED;
    ImageRequest request;
    UnitRecord* first = nullptr;
    UnitSet set = WithRequest(ctx.lanes, request, &first);
    if (!first) return CMD_FAILED;
    request.Start = start;
    request.Length = length;
    request.Target = value->value;
    request.LoadVerify = static_cast<uint32_t>(mode);
    ConsoleOutput out;
    ProgressScope progress;
    return FillRange(out, set) == ENGINE_OK ? CMD_OK : CMD_FAILED;
}

ZAM32_HANDLER(CmdChecksum) {
    uint32_t start, length;
    if (!RangeArgs(ctx.args, 0, 1, ctx.lanes.set.DevSize, true, &start, &length)) return CMD_FAILED;
    ImageRequest request;
    UnitRecord* first = nullptr;
    UnitSet set = WithRequest(ctx.lanes, request, &first);
    if (!first) return CMD_FAILED;
    request.Start = start;
    request.Length = length;
    ConsoleOutput out;
    out.resultToVariable = true;
    ProgressScope progress;
    return ChecksumRange(out, set) == ENGINE_OK ? CMD_OK : CMD_FAILED;
}

ZAM32_HANDLER(CmdWrite) {
    // An empty name ("") names no file: nothing is read or written.
    if (FileNameArg(ctx.args, 0)[0] == '\0') {
        ReportError("MISSING FILENAME ARGUMENT\a\n", Position(ctx.args, 0));
        return CMD_FAILED;
    }
    const uint32_t devSize = ctx.lanes.set.DevSize;
    uint32_t start, length;
    if (!RangeArgs(ctx.args, 1, 2, devSize, false, &start, &length)) return CMD_FAILED;

    char mode = '?';
    if (const ArgRecord* m = ctx.args.Present(3)) {
        mode = static_cast<char>(std::toupper(static_cast<unsigned char>(m->raw[0])));
        if (m->raw[1] != 0 || !std::strchr("RAC?", mode) || mode == 0) {
            ReportError("INVALID KEYWORD FOR THIS COMMAND\a\n", m->position);
            return CMD_FAILED;
        }
    }
    static const struct {
        const char* word;
        ImageFormat format;
        bool noEnd;
    } formats[] = {{"B", FORMAT_BINARY, false},  {"H", FORMAT_HEX, false},     {"H-", FORMAT_HEX, true},
                   {"H32", FORMAT_HEX32, false}, {"H32-", FORMAT_HEX32, true}, {"S", FORMAT_S, false},
                   {"S-", FORMAT_S, true},       {"S28", FORMAT_S28, false},   {"S28-", FORMAT_S28, true},
                   {"S37", FORMAT_S37, false},   {"S37-", FORMAT_S37, true}};
    int format = 0;
    if (const ArgRecord* f = ctx.args.Present(4)) {
        format = -1;
        for (int i = 0; i < static_cast<int>(sizeof formats / sizeof formats[0]); ++i)
            if (EqualNoCase(formats[i].word, f->raw)) format = i;
        if (format < 0) {
            ReportError("INVALID KEYWORD FOR THIS COMMAND\a\n", f->position);
            return CMD_FAILED;
        }
    }
    const FormatFamily family = FamilyOf(formats[format].format);
    WriteOptions options;
    options.Format = formats[format].format;
    options.EOFOption = !formats[format].noEnd;
    if (family == FormatFamily::Binary) {
        for (int i = 5; i <= 9; ++i)
            if (ctx.args.Present(i)) {
                ReportError("TOO MANY ARGUMENTS\a\n", Position(ctx.args, i));
                return CMD_FAILED;
            }
    } else {
        const ArgRecord* recLen = ctx.args.Present(5);
        options.RecLen = recLen ? recLen->value : 32;
        // The writers need 1..255 data bytes per record.
        if (options.RecLen > 255 || options.RecLen == 0) {
            ReportError("INVALID VALUE ARGUMENT\a\n", Position(ctx.args, 5));
            return CMD_FAILED;
        }
        if (const ArgRecord* fill = ctx.args.Present(6)) {
            if (fill->value > 255) {
                ReportError("INVALID VALUE ARGUMENT\a\n", fill->position);
                return CMD_FAILED;
            }
            options.FillRemoval = true;
            options.FillValue = static_cast<uint8_t>(fill->value);
        }
        options.RecordAddress = ValueOr(ctx.args, 7, start);
        if (const ArgRecord* entry = ctx.args.Present(8)) {
            if (family == FormatFamily::S && formats[format].noEnd) {
                ReportError("INVALID START ADDRESS WITHOUT EOF RECORD\a\n", entry->position);
                return CMD_FAILED;
            }
            options.EntryOption = true;
            options.EntryAddr = entry->value;
        }
        if (const ArgRecord* signon = ctx.args.Present(9)) {
            if (family != FormatFamily::S) {
                ReportError("TOO MANY ARGUMENTS\a\n", signon->position);
                return CMD_FAILED;
            }
            // One S0 record holds at most 252 characters.
            if (signon->value > 252) {
                ReportError("INVALID STRING ARGUMENT\a\n", signon->position);
                return CMD_FAILED;
            }
            options.Signon = signon->processed;
        }
    }

    ConsoleOutput out;
    out.positions[ARG_TARGET] = Position(ctx.args, 7);
    out.positions[ARG_FORMAT] = Position(ctx.args, 4);
    out.positions[ARG_RECLEN] = Position(ctx.args, 5);
    out.positions[ARG_SIGNON] = Position(ctx.args, 9);
    // Every check that needs no file comes before the file is looked at.
    if (!CheckWriteOptions(out, length, options)) return CMD_FAILED;

    const char* name = FileNameArg(ctx.args, 0);
    if (FileExists(name)) {
        if (mode == 'C') {
            ReportError("OUTPUT FILE ALREADY EXISTS\a\n", nullptr);
            return CMD_FAILED;
        }
        if (mode == '?') {
            mode = ChoicePrompt("Output file already exists, Replace, Append or Cancel? (r/a/c): ", "RAC", 'C');
            if (mode == 'C') return CMD_FAILED;
        }
    }
    options.Mode = mode == 'A' ? WRITE_APPEND : mode == 'R' ? WRITE_REPLACE : WRITE_CREATE;
    ProgressScope progress;
    return WriteToFile(out, name, ctx.lanes.set, start, length, options) == ENGINE_OK ? CMD_OK : CMD_FAILED;
}
