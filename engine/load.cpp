// Load and verify: reads an image file whole, recognises HEX and S-record text by the
// first record, and places the selected window of it through the RAM access layer.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"
#include "engine/internal.h"
#include "link/errors.h"
#include "platform/files.h"
#include "platform/syserror.h"

using namespace engine_detail;

namespace engine_detail {

uint8_t* WorkBuffer() {
    static uint8_t buffer[kPiece + kMargin];
    return buffer;
}

void DeviceFailure(EngineOutput& out, unsigned site, uint32_t code) {
    out.Always(LinkSubcodeText(site, code).c_str());
}

void MismatchLines(EngineOutput& out, uint32_t mode, uint32_t address) {
    if (mode == VERIFY_ONLY)
        out.ErrorF(ARG_NONE, "COMPARE ERROR IN EMULATOR RAM AT LOCATION %05X\a\n", address);
    else
        out.ErrorF(ARG_NONE, "UNCORRECTABLE ERROR WRITING EMULATOR RAM AT LOCATION %05X\a\n", address);
    uint8_t unit = 0, expected = 0;
    RamLastMismatch(&unit, &expected);
    out.AlwaysF("EXPECTED %02X, GOT %02X\n", expected, unit);
}

void CompletionLine(EngineOutput& out, uint32_t mode, uint32_t corrected, uint32_t total) {
    if (corrected != 0)
        out.InformF("Load Completed with #%u corrected RAM write error(s) (%X Bytes Loaded)\n", corrected, total);
    else if (mode == VERIFY_ONLY)
        out.InformF("Verify Completed with no errors (%X Bytes Checked)\n", total);
    else if (mode == LOAD_VERIFY)
        out.InformF("Load/Verify Completed with no errors (%X Bytes Loaded)\n", total);
    else
        out.InformF("Load Completed without verification (%X Bytes Loaded)\n", total);
}

void HighestLine(EngineOutput& out, uint32_t mode, uint32_t highest) {
    if (highest == 0) return;
    if (mode == VERIFY_ONLY)
        out.InformF("Highest address verified was %05X\n", highest - 1);
    else
        out.InformF("Highest address loaded was %05X\n", highest - 1);
}


uint32_t PlaceRun(EngineOutput& out, Run& run, uint64_t a, uint8_t* data, uint32_t n) {
    if (n == 0) return RUN_PLACED;
    const uint64_t start = run.start, windowEnd = run.windowEnd;
    const uint32_t width = run.width;
    const uint64_t last = a + n - 1;  // runs on past 64 KB pages
    if (last < start || a > windowEnd) return RUN_PLACED;
    const uint32_t skip = a < start ? static_cast<uint32_t>(start - a) : 0;
    uint32_t count = n - skip;
    if (last > windowEnd) count -= static_cast<uint32_t>(last - windowEnd);
    uint8_t* bytes = data + skip;
    const uint64_t f = a + skip;
    // Device address without wrapping: a file address far above the window start
    // must not come round to a low device address.
    uint64_t dev;
    if (width < 2) {
        if (f - start >= run.devSize) return RUN_OUTSIDE;
        dev = run.target + (f - start);
    } else {
        uint32_t k = width - static_cast<uint32_t>((f - start) % width);
        if (k == width) k = 0;
        if (k >= count) return RUN_PLACED;
        uint32_t kept = 0;
        for (uint32_t i = k; i < count; i += width) bytes[kept++] = bytes[i];
        count = kept;
        const uint64_t step = (f + k - start) / width;
        if (step >= run.devSize) return RUN_OUTSIDE;
        dev = run.target + step;
    }
    if (count == 0) return RUN_PLACED;
    if (dev + count > run.devSize) return RUN_OUTSIDE;
    uint32_t fail = 0xFFFFFFFFu;
    const uint32_t code = RamBufferedWrite(static_cast<uint32_t>(dev), bytes, count, &run.corrected, &fail);
    if (code != 0) {
        DeviceFailure(out, STAGE_RECORD_WRITE, code);
        return RUN_FAILED;
    }
    if (fail != 0xFFFFFFFFu) {
        MismatchLines(out, run.mode, fail);
        return RUN_FAILED;
    }
    run.total += count;
    if (dev + count > run.highest) run.highest = static_cast<uint32_t>(dev + count);
    return RUN_PLACED;
}

uint32_t FinishRuns(EngineOutput& out, Run& run, bool cancelled) {
    const uint32_t mode = run.mode;
    uint32_t fail = 0xFFFFFFFFu;
    const uint32_t code = RamEndWrite(&run.corrected, &fail);
    if (code != 0) {
        DeviceFailure(out, STAGE_RECORD_FINISH, code);
        return RUN_FAILED;
    }
    if (fail != 0xFFFFFFFFu) {
        MismatchLines(out, mode, fail);
        return RUN_FAILED;
    }
    if (cancelled) {
        if (mode == VERIFY_ONLY)
            out.InformF("Verify Incomplete: %X bytes checked\n", run.total);
        else
            out.InformF("Load Incomplete: %X bytes loaded with #%u corrected RAM write error(s)\n", run.total,
                        run.corrected);
        HighestLine(out, mode, run.highest);
        return RUN_FAILED;
    }
    out.Result(run.highest);
    return RUN_PLACED;
}

}  // namespace engine_detail

namespace {

// Size of the file text of the load in progress (0: unknown, no progress reports).
uint32_t g_textSize = 0;

// The file text: the file's bytes and one end-of-text byte, freed on every path.
struct FileText {
    uint8_t* bytes = nullptr;
    ~FileText() { std::free(bytes); }
};

// Reads the whole file; 0 or 2 after an error line.
uint32_t ReadWholeFile(EngineOutput& out, const char* name, FileText& text, uint32_t* size) {
    FileFailure failure;
    // Image addresses are 32-bit; a file beyond that cannot be held as one image.
    switch (ReadRegularFile(name, 0xFFFFFFFEull, 1, &text.bytes, size, &failure)) {
    case FILE_READ_OK:
        text.bytes[*size] = TEXT_END;
        return 0;
    case FILE_OPEN_FAILED:
        out.ErrorF(ARG_NONE, "CAN'T OPEN LOAD FILE (%s)\a\n", SystemErrorText(failure.error));
        return 2;
    case FILE_NOT_REGULAR:
        out.ErrorF(ARG_NONE, "CAN'T OPEN LOAD FILE (%s)\a\n", NotRegularFileText(failure));
        return 2;
    case FILE_EMPTY:
        out.Error(ARG_NONE, "LOAD FILE IS EMPTY\a\n");
        return 2;
    case FILE_READ_FAILED:
        out.ErrorF(ARG_NONE, "ERROR READING LOAD FILE (%s)\a\n", SystemErrorText(failure.error));
        return 2;
    default:
        out.Error(ARG_NONE, "Insufficient Memory\a\n");
        return 2;
    }
}

// A first line that looks like a record of the format: the record mark, a digit, then
// printable characters up to the line end (CR, LF, NUL or the end of the file). Such a
// file is text meant as records; binary images hardly ever start that way.
bool LooksLikeRecord(const uint8_t* text, uint32_t size, bool hex) {
    if (size < 2) return false;
    const uint8_t mark = text[0], digit = text[1];
    if (hex ? (mark != ':' || !std::isxdigit(digit)) : (mark != 'S' || !std::isdigit(digit))) return false;
    for (uint32_t i = 2; i < size; ++i) {
        const uint8_t c = text[i];
        if (c == '\r' || c == '\n' || c == 0) break;
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

}  // namespace

ImageRequest* EngineRequest(const UnitSet& set) {
    for (const LaneSettings* s : set.settings)
        if (s != nullptr) return const_cast<ImageRequest*>(static_cast<const ImageRequest*>(s));
    return nullptr;
}

void LoadBanner(EngineOutput& out, const char* formatName, uint32_t start, uint32_t length, uint32_t target,
                uint32_t width, uint32_t loadVerify) {
    char size[16];
    if (length == 0)
        std::strcpy(size, "all");
    else
        std::snprintf(size, sizeof size, "%X", length);
    const uint32_t mode = ModeOf(loadVerify);
    const char* modeText = mode == VERIFY_ONLY ? "Verify" : mode == LOAD_VERIFY ? "Load/Verify" : "Load";
    if (width == 1) {
        out.InformF("%s-File %s of %s bytes from offset %X to offset %X\n", formatName, modeText, size, start, target);
        return;
    }
    const char* suffix = "th";
    const uint32_t h = width % 100, t = width % 10;
    if (h != 11 && h != 12 && h != 13) {
        if (t == 1) suffix = "st";
        if (t == 2) suffix = "nd";
        if (t == 3) suffix = "rd";
    }
    out.InformF("%s-File %s of %s bytes from every #%u%s byte at offset %X to offset %X\n", formatName, modeText, size,
                width, suffix, start, target);
}

uint32_t LoadRecords(EngineOutput& out, const UnitSet& set, uint32_t loadVerify, bool isHex, uint32_t start,
                     uint32_t length, uint32_t target, uint32_t width) {
    const uint32_t mode = ModeOf(loadVerify);
    if (width == 0) width = 1;
    LoadBanner(out, isHex ? "Hex" : "S", start, length, target, width, mode);
    Run run;
    run.mode = mode;
    run.start = start;
    run.target = target;
    run.width = width;
    run.devSize = set.DevSize;
    // The window's last file address; beyond 32 bits it takes everything.
    run.windowEnd = 0xFFFFFFFFull;
    if (length != 0) {
        const uint64_t e = static_cast<uint64_t>(start) + static_cast<uint64_t>(length) * width - 1;
        if (e < run.windowEnd) run.windowEnd = e;
    }

    ParserState& p = Parser();
    RamBeginBufferedWrite(set, mode);
    p.count = 0;
    uint32_t segmentBase = 0, linearBase = 0, startLinearBase = 0;
    const char* message = nullptr;
    bool cancelled = false;
    // S files: data records read, and the count of the last record when it was S5/S6.
    uint32_t dataRecords = 0;
    bool lastWasCount = false;
    uint32_t lastCount = 0;
    bool endedByCount = false;

    for (;;) {
        message = isHex ? NextHexRecord(0) : NextSRecord(0);
        if (message != nullptr && !isHex && lastWasCount && lastCount == dataRecords &&
            std::strcmp(message, "UNEXPECTED EOF ON S FILE") == 0) {
            // srec_cat ends its files with a count record and no end record: a count that
            // matches every data record read shows the file is whole.
            message = nullptr;
            endedByCount = true;
            break;
        }
        if (message != nullptr || p.status == REC_END) break;
        lastWasCount = p.status == REC_S5 || p.status == REC_S6;
        if (lastWasCount) lastCount = p.address;
        if (p.status == REC_DATA) ++dataRecords;
        const uint8_t* d = p.data;
        switch (p.status) {
        case REC_START_SEGMENT:
            out.AlwaysF("Start Address: %08X\n",
                        startLinearBase + (d[0] << 12) + (d[1] << 4) + (d[2] << 8) + d[3]);
            break;
        case REC_EXT_SEGMENT:
            segmentBase = (d[0] << 12) + (d[1] << 4);
            break;
        case REC_SIGNON:
            out.AlwaysF("Sign On: \"%.*s\"\n", static_cast<int>(p.length), reinterpret_cast<const char*>(d));
            break;
        case REC_EXT_LINEAR:
            linearBase = static_cast<uint32_t>(d[0]) << 24 | static_cast<uint32_t>(d[1]) << 16;
            break;
        case REC_START_LINEAR:
            if (p.length == 4) {
                // The standard form carries the whole start address.
                out.AlwaysF("Start Address: %08X\n", static_cast<uint32_t>(d[0]) << 24 |
                                                          static_cast<uint32_t>(d[1]) << 16 | d[2] << 8 | d[3]);
            } else {
                startLinearBase = static_cast<uint32_t>(d[0]) << 24 | static_cast<uint32_t>(d[1]) << 16;
            }
            break;
        case REC_S5:
            out.Always("WARNING: TYPE S5 RECORD ENCOUNTERED (IGNORED)\n");
            break;
        case REC_S6:
            out.Always("WARNING: TYPE S6 RECORD ENCOUNTERED (IGNORED)\n");
            break;
        case REC_DATA: {
            const uint32_t a = segmentBase + linearBase + p.address;
            const uint32_t placed = PlaceRun(out, run, a, p.data, p.length);
            if (placed == RUN_OUTSIDE) {
                out.ErrorF(ARG_NONE, "%s ATTEMPTED OUTSIDE OF EMULATED DEVICE (Line #%u)\a\n",
                           mode == VERIFY_ONLY ? "VERIFY" : "LOAD", p.count);
                return 0;
            }
            if (placed == RUN_FAILED) return 0;
            break;
        }
        default:
            break;
        }
        if (g_textSize != 0) out.Progress(p.pos, g_textSize);
        if (out.PollCancel()) {
            cancelled = true;
            break;
        }
    }

    if (FinishRuns(out, run, cancelled) != RUN_PLACED) return 0;
    if (message != nullptr) {
        out.ErrorF(ARG_NONE, "%s FAILURE: %s (Line #%u)\a\n", mode == VERIFY_ONLY ? "VERIFY" : "LOAD", message,
                   p.count);
        return 0;
    }
    if (!isHex && !endedByCount) out.AlwaysF("Program Entry: %06X\n", p.address);
    CompletionLine(out, mode, run.corrected, run.total);
    HighestLine(out, mode, run.highest);
    while (IsSeparator(p.text[p.pos])) ++p.pos;
    if (p.text[p.pos] != TEXT_END)
        out.AlwaysF("WARNING: MORE DATA EXISTS IN %s FILE FOLLOWING EOF RECORD (Line #%u) IGNORED\n",
                    isHex ? "Hex" : "S", p.count);
    return 1;
}

uint32_t LoadBinary(EngineOutput& out, const UnitSet& set, uint32_t loadVerify, uint32_t start, uint32_t length,
                    uint32_t target, uint32_t width, uint8_t* bytes, uint32_t /*size: the caller bounds the range*/) {
    const uint32_t mode = ModeOf(loadVerify);
    if (width == 0) width = 1;
    LoadBanner(out, "Binary", start, length, target, width, mode);
    uint8_t* block = bytes + start;
    if (width >= 2) {
        for (uint32_t k = 0; k < length; ++k) bytes[k] = bytes[start + static_cast<uint64_t>(k) * width];
        block = bytes;
    }
    uint32_t code = RamBeginWrite(set, target, length, mode);
    if (code != 0) {
        DeviceFailure(out, STAGE_BINARY_START, code);
        return 0;
    }
    // One block transfer, moved in 32 KB pieces so that progress can be shown.
    uint32_t corrected = 0, done = 0;
    while (done < length) {
        const uint32_t piece = length - done < kPiece ? length - done : kPiece;
        uint32_t pieceDone = 0;
        code = RamWriteBlock(block + done, piece, &corrected, &pieceDone);
        if (code != 0) {
            DeviceFailure(out, STAGE_BINARY_WRITE, code);
            return 0;
        }
        done += pieceDone;
        if (pieceDone < piece) break;
        out.Progress(done, length);
    }
    if (done < length) {
        MismatchLines(out, mode, target + done);
        out.Result(target);
        return 0;
    }
    code = RamApplyFold();
    if (code != 0) {
        DeviceFailure(out, STAGE_BINARY_FOLD, code);
        return 0;
    }
    CompletionLine(out, mode, corrected, length);
    out.Result(target);
    return 1;
}

uint32_t LoadImage(EngineOutput& out, const UnitSet& set) {
    out.Reset();
    ImageRequest* req = EngineRequest(set);
    if (req == nullptr || req->FileName[0] == '\0') {
        out.Error(ARG_NONE, "LOAD FILE NAME IS REQUIRED FOR THIS UNIT\a\n");
        return 2;
    }
    const uint32_t devSize = set.DevSize;
    const uint32_t start = req->Start, target = req->Target;
    uint32_t length = req->Length, width = req->Width;
    if (target >= devSize) {
        out.Error(ARG_TARGET, "INVALID TARGET ADDRESS ARGUMENT\a\n");
        return 2;
    }
    if (length != 0 && static_cast<uint64_t>(target) + length > devSize) {
        out.Error(ARG_LENGTH, "INVALID LENGTH ARGUMENT\a\n");
        return 2;
    }
    if (width == 0) width = 1;
    if (width > 256) {
        out.Error(ARG_WIDTH, "INVALID WIDTH ARGUMENT\a\n");
        return 2;
    }
    // Take the name as a bounded string even when the caller filled all 301 characters.
    char name[sizeof req->FileName];
    std::memcpy(name, req->FileName, sizeof name);
    name[sizeof name - 1] = '\0';

    FileText text;
    uint32_t size = 0;
    if (ReadWholeFile(out, name, text, &size) != 0) return 2;

    const uint32_t mode = req->LoadVerify;
    if (IsElf(text.bytes, size)) {
        // Every header is checked before the first byte goes to the unit.
        ElfImage elf;
        const char* refused = ReadElf(text.bytes, size, elf);
        if (refused != nullptr) {
            out.Result(0);
            out.ErrorF(ARG_NONE, "%s FAILURE: %s\a\n", ModeOf(mode) == VERIFY_ONLY ? "VERIFY" : "LOAD", refused);
            return 2;
        }
        return LoadElf(out, set, mode, elf, text.bytes, start, length, target, width) ? 0 : 2;
    }

    bool isHex = false, isS = false;
    const char* probeMessage = nullptr;
    if (text.bytes[0] == ':') {
        ParserBegin(text.bytes);
        probeMessage = NextHexRecord(1);
        isHex = probeMessage == nullptr;
    } else if (text.bytes[0] == 'S') {
        ParserBegin(text.bytes);
        probeMessage = NextSRecord(1);
        isS = probeMessage == nullptr;
    }
    if (probeMessage != nullptr && LooksLikeRecord(text.bytes, size, text.bytes[0] == ':')) {
        // A broken record file is not an image: loading its text as bytes would report
        // success for a file that holds nothing the user meant.
        out.Result(0);
        out.ErrorF(ARG_NONE, "%s FAILURE: %s (Line #1)\a\n", ModeOf(mode) == VERIFY_ONLY ? "VERIFY" : "LOAD",
                   probeMessage);
        return 2;
    }
    if (isHex || isS) {
        ParserBegin(text.bytes);
        g_textSize = size;
        const uint32_t loaded = LoadRecords(out, set, mode, isHex, start, length, target, width);
        g_textSize = 0;
        return loaded ? 0 : 2;
    }

    if (start >= size) {
        out.Error(ARG_START, "INVALID START ARGUMENT\a\n");
        return 2;
    }
    const bool computed = length == 0;
    if (computed) length = static_cast<uint32_t>((static_cast<uint64_t>(size) - start + width - 1) / width);
    const bool fits = length != 0 && static_cast<uint64_t>(start) + static_cast<uint64_t>(length - 1) * width < size &&
                      static_cast<uint64_t>(target) + length <= devSize;
    if (!fits) {
        if (computed)
            out.Error(ARG_NONE, "LOAD FILE IS TOO BIG\a\n");
        else
            out.Error(ARG_LENGTH, "INVALID LENGTH ARGUMENT\a\n");
        return 2;
    }
    return LoadBinary(out, set, mode, start, length, target, width, text.bytes, size) ? 0 : 2;
}
