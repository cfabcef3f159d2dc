// Load and verify: reads an image file whole, recognises HEX and S-record text by the
// first record, and places the selected window of it through the RAM access layer.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/engine.h"
#include "engine/internal.h"
#include "link/errors.h"
#include "platform/files.h"
#include "platform/syserror.h"

using namespace engine_detail;

LoadWindow MakeLoadWindow(uint32_t start, uint32_t length, uint32_t target, uint32_t width, uint64_t devSize,
                          uint64_t lastAddress) {
    LoadWindow w;
    w.start = start;
    w.target = target;
    w.width = width == 0 ? 1 : width;
    w.devSize = devSize;
    // The window's last file address; past the address space it takes everything.
    w.windowEnd = lastAddress;
    if (length != 0) {
        const uint64_t e = static_cast<uint64_t>(start) + static_cast<uint64_t>(length) * w.width - 1;
        if (e < w.windowEnd) w.windowEnd = e;
    }
    return w;
}

namespace {

// PlanPlacement's body, inlined into PlaceRun: it runs once for every record.
inline __attribute__((always_inline)) Placement Plan(const LoadWindow& w, uint64_t a, uint32_t n) {
    Placement p;
    if (n == 0) return p;
    const uint64_t start = w.start;
    const uint64_t last = a + n - 1;  // runs on past 64 KB pages
    if (last < start || a > w.windowEnd) return p;
    const uint32_t skip = a < start ? static_cast<uint32_t>(start - a) : 0;
    uint32_t count = n - skip;
    if (last > w.windowEnd) count -= static_cast<uint32_t>(last - w.windowEnd);
    const uint64_t f = a + skip;
    // Device address without wrapping: a file address far above the window start
    // must not come round to a low device address.
    uint64_t dev;
    uint32_t first = skip;
    if (w.width < 2) {
        if (f - start >= w.devSize) {
            p.kind = PlaceKind::Outside;
            return p;
        }
        dev = w.target + (f - start);
    } else {
        uint32_t k = w.width - static_cast<uint32_t>((f - start) % w.width);
        if (k == w.width) k = 0;
        if (k >= count) return p;
        count = (count - k + w.width - 1) / w.width;
        first += k;
        const uint64_t step = (f + k - start) / w.width;
        if (step >= w.devSize) {
            p.kind = PlaceKind::Outside;
            return p;
        }
        dev = w.target + step;
    }
    if (dev + count > w.devSize) {
        p.kind = PlaceKind::Outside;
        return p;
    }
    p.kind = PlaceKind::Bytes;
    p.first = first;
    p.count = count;
    p.device = dev;
    return p;
}

}  // namespace

Placement PlanPlacement(const LoadWindow& window, uint64_t address, uint32_t n) { return Plan(window, address, n); }

namespace engine_detail {

uint8_t* WorkBuffer() {
    static uint8_t buffer[kPiece + kMargin];
    return buffer;
}

void DeviceFailure(EngineOutput& out, unsigned site, uint32_t code) { out.Always(LinkSubcodeText(site, code).c_str()); }

void MismatchLines(EngineOutput& out, const RamWriteJob& job, uint32_t mode, uint32_t address) {
    if (mode == VERIFY_ONLY) out.ErrorF(ARG_NONE, "COMPARE ERROR IN EMULATOR RAM AT LOCATION %05X\a\n", address);
    else out.ErrorF(ARG_NONE, "UNCORRECTABLE ERROR WRITING EMULATOR RAM AT LOCATION %05X\a\n", address);
    uint8_t unit = 0, expected = 0;
    job.LastMismatch(&unit, &expected);
    out.AlwaysF("EXPECTED %02X, GOT %02X\n", expected, unit);
}

void CompletionLine(EngineOutput& out, uint32_t mode, uint32_t corrected, uint32_t total) {
    if (corrected != 0)
        out.InformF("Load Completed with #%u corrected RAM write error(s) (%X Bytes Loaded)\n", corrected, total);
    else if (mode == VERIFY_ONLY) out.InformF("Verify Completed with no errors (%X Bytes Checked)\n", total);
    else if (mode == LOAD_VERIFY) out.InformF("Load/Verify Completed with no errors (%X Bytes Loaded)\n", total);
    else out.InformF("Load Completed without verification (%X Bytes Loaded)\n", total);
}

void HighestLine(EngineOutput& out, uint32_t mode, uint32_t highest) {
    if (highest == 0) return;
    if (mode == VERIFY_ONLY) out.InformF("Highest address verified was %05X\n", highest - 1);
    else out.InformF("Highest address loaded was %05X\n", highest - 1);
}

void RamSink::Begin(uint32_t mode) {
    mode_ = mode;
    job_.BeginBuffered(set_, mode);
}

bool RamSink::Write(EngineOutput& out, uint32_t device, const uint8_t* bytes, uint32_t count, uint32_t* corrected) {
    uint32_t fail = 0xFFFFFFFFu;
    const uint32_t code = job_.BufferedWrite(device, bytes, count, corrected, &fail);
    if (code != 0) {
        DeviceFailure(out, STAGE_RECORD_WRITE, code);
        return false;
    }
    if (fail != 0xFFFFFFFFu) {
        MismatchLines(out, job_, mode_, fail);
        return false;
    }
    return true;
}

bool RamSink::End(EngineOutput& out, uint32_t* corrected) {
    uint32_t fail = 0xFFFFFFFFu;
    const uint32_t code = job_.End(corrected, &fail);
    if (code != 0) {
        DeviceFailure(out, STAGE_RECORD_FINISH, code);
        return false;
    }
    if (fail != 0xFFFFFFFFu) {
        MismatchLines(out, job_, mode_, fail);
        return false;
    }
    return true;
}

RunResult PlaceRun(EngineOutput& out, Run& run, ByteSink& sink, uint64_t a, const uint8_t* data, uint32_t n) {
    const Placement p = Plan(run.window, a, n);
    if (p.kind == PlaceKind::Nothing) return RunResult::Placed;
    if (p.kind == PlaceKind::Outside) return RunResult::Outside;
    const uint8_t* bytes = data + p.first;
    uint8_t kept[kMaxRun];
    if (run.window.width >= 2) {
        for (uint32_t i = 0; i < p.count; ++i) kept[i] = bytes[static_cast<uint64_t>(i) * run.window.width];
        bytes = kept;
    }
    // PlanPlacement keeps device + count within the device, so within 32 bits.
    if (!sink.Write(out, static_cast<uint32_t>(p.device), bytes, p.count, &run.corrected)) return RunResult::Failed;
    run.total += p.count;
    if (p.device + p.count > run.highest) run.highest = static_cast<uint32_t>(p.device + p.count);
    return RunResult::Placed;
}

bool FinishRuns(EngineOutput& out, Run& run, ByteSink& sink, bool cancelled) {
    const uint32_t mode = run.mode;
    if (!sink.End(out, &run.corrected)) return false;
    if (cancelled) {
        if (mode == VERIFY_ONLY) out.InformF("Verify Incomplete: %X bytes checked\n", run.total);
        else
            out.InformF("Load Incomplete: %X bytes loaded with #%u corrected RAM write error(s)\n", run.total,
                        run.corrected);
        HighestLine(out, mode, run.highest);
        return false;
    }
    out.Result(run.highest);
    return true;
}

}  // namespace engine_detail

namespace {

// The file text: the file's bytes as ReadRegularFile allocated them, freed on every path.
struct FreeBytes {
    void operator()(uint8_t* p) const { std::free(p); }
};
using FileText = std::unique_ptr<uint8_t[], FreeBytes>;

// Reads the whole file; ENGINE_OK, or ENGINE_FAILED after an error line.
uint32_t ReadWholeFile(EngineOutput& out, const char* name, FileText& text, uint32_t* size) {
    FileFailure failure;
    uint8_t* bytes = nullptr;
    // Image addresses are 32-bit; a file beyond that cannot be held as one image.
    const int read = ReadRegularFile(name, 0xFFFFFFFEull, 0, &bytes, size, &failure);
    text.reset(bytes);
    switch (read) {
    case FILE_READ_OK: return ENGINE_OK;
    case FILE_OPEN_FAILED:
        out.ErrorF(ARG_NONE, "CAN'T OPEN LOAD FILE (%s)\a\n", SystemErrorText(failure.error));
        return ENGINE_FAILED;
    case FILE_NOT_REGULAR:
        out.ErrorF(ARG_NONE, "CAN'T OPEN LOAD FILE (%s)\a\n", NotRegularFileText(failure));
        return ENGINE_FAILED;
    case FILE_EMPTY: out.Error(ARG_NONE, "LOAD FILE IS EMPTY\a\n"); return ENGINE_FAILED;
    case FILE_READ_FAILED:
        out.ErrorF(ARG_NONE, "ERROR READING LOAD FILE (%s)\a\n", SystemErrorText(failure.error));
        return ENGINE_FAILED;
    default: out.Error(ARG_NONE, "Insufficient Memory\a\n"); return ENGINE_FAILED;
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
    if (length == 0) std::strcpy(size, "all");
    else std::snprintf(size, sizeof size, "%X", length);
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

uint32_t LoadRecords(EngineOutput& out, const RecordLoad& load, ByteSink& sink) {
    const uint32_t mode = ModeOf(load.mode);
    const uint32_t width = load.width == 0 ? 1 : load.width;
    RecordReader& reader = load.reader;
    const bool isHex = reader.syntax() == RecordSyntax::Hex;
    LoadBanner(out, isHex ? "Hex" : "S", load.start, load.length, load.target, width, mode);
    Run run;
    run.mode = mode;
    run.window = MakeLoadWindow(load.start, load.length, load.target, width, load.devSize, 0xFFFFFFFFull);

    sink.Begin(mode);
    uint32_t segmentBase = 0, linearBase = 0, startLinearBase = 0;
    bool refused = false, cancelled = false;
    // S files: data records read, and the count of the last record when it was S5/S6.
    uint32_t dataRecords = 0;
    bool lastWasCount = false;
    uint32_t lastCount = 0;
    bool endedByCount = false;

    for (;;) {
        if (!reader.Next()) {
            // srec_cat ends its files with a count record and no end record: a count that
            // matches every data record read shows the file is whole.
            endedByCount =
                !isHex && lastWasCount && lastCount == dataRecords && reader.message() == RecordMessage::TextEndedS;
            refused = !endedByCount;
            break;
        }
        const Record& r = reader.record();
        if (r.kind == RecordKind::End) break;
        lastWasCount = r.kind == RecordKind::Count16 || r.kind == RecordKind::Count24;
        if (lastWasCount) lastCount = r.address;
        const uint8_t* d = r.data;
        switch (r.kind) {
        case RecordKind::StartSegment:
            out.AlwaysF("Start Address: %08X\n", startLinearBase + (d[0] << 12) + (d[1] << 4) + (d[2] << 8) + d[3]);
            break;
        case RecordKind::ExtSegment: segmentBase = (d[0] << 12) + (d[1] << 4); break;
        case RecordKind::Signon:
            out.AlwaysF("Sign On: \"%.*s\"\n", static_cast<int>(r.length), reinterpret_cast<const char*>(d));
            break;
        case RecordKind::ExtLinear:
            linearBase = static_cast<uint32_t>(d[0]) << 24 | static_cast<uint32_t>(d[1]) << 16;
            break;
        case RecordKind::StartLinear:
            if (r.length == 4) {
                // The standard form carries the whole start address.
                out.AlwaysF("Start Address: %08X\n",
                            static_cast<uint32_t>(d[0]) << 24 | static_cast<uint32_t>(d[1]) << 16 | d[2] << 8 | d[3]);
            } else {
                startLinearBase = static_cast<uint32_t>(d[0]) << 24 | static_cast<uint32_t>(d[1]) << 16;
            }
            break;
        case RecordKind::Count16: out.Always("WARNING: TYPE S5 RECORD ENCOUNTERED (IGNORED)\n"); break;
        case RecordKind::Count24: out.Always("WARNING: TYPE S6 RECORD ENCOUNTERED (IGNORED)\n"); break;
        case RecordKind::Data: {
            ++dataRecords;
            // Addresses come round at 32 bits, as the record addresses do.
            const uint32_t a = segmentBase + linearBase + r.address;
            const RunResult placed = PlaceRun(out, run, sink, a, r.data, r.length);
            if (placed == RunResult::Outside) {
                out.ErrorF(ARG_NONE, "%s ATTEMPTED OUTSIDE OF EMULATED DEVICE (Line #%u)\a\n",
                           mode == VERIFY_ONLY ? "VERIFY" : "LOAD", reader.count());
                return ENGINE_FAILED;
            }
            if (placed == RunResult::Failed) return ENGINE_FAILED;
            break;
        }
        default: break;
        }
        if (load.textSize != 0) out.Progress(reader.position(), load.textSize);
        if (out.PollCancel()) {
            cancelled = true;
            break;
        }
    }

    if (!FinishRuns(out, run, sink, cancelled)) return ENGINE_FAILED;
    if (refused) {
        out.ErrorF(ARG_NONE, "%s FAILURE: %s (Line #%u)\a\n", mode == VERIFY_ONLY ? "VERIFY" : "LOAD",
                   reader.MessageText().c_str(), reader.count());
        return ENGINE_FAILED;
    }
    if (!isHex && !endedByCount) out.AlwaysF("Program Entry: %06X\n", reader.record().address);
    CompletionLine(out, mode, run.corrected, run.total);
    HighestLine(out, mode, run.highest);
    if (!reader.AtTextEnd())
        out.AlwaysF("WARNING: MORE DATA EXISTS IN %s FILE FOLLOWING EOF RECORD (Line #%u) IGNORED\n",
                    isHex ? "Hex" : "S", reader.count());
    return ENGINE_OK;
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
    RamWriteJob job;
    uint32_t code = job.Begin(set, target, length, mode);
    if (code != 0) {
        DeviceFailure(out, STAGE_BINARY_START, code);
        return ENGINE_FAILED;
    }
    // One block transfer, moved in 32 KB pieces so that progress can be shown.
    uint32_t corrected = 0, done = 0;
    while (done < length) {
        const uint32_t piece = length - done < kPiece ? length - done : kPiece;
        uint32_t pieceDone = 0;
        code = job.WriteBlock(block + done, piece, &corrected, &pieceDone);
        if (code != 0) {
            DeviceFailure(out, STAGE_BINARY_WRITE, code);
            return ENGINE_FAILED;
        }
        done += pieceDone;
        if (pieceDone < piece) break;
        out.Progress(done, length);
    }
    if (done < length) {
        MismatchLines(out, job, mode, target + done);
        out.Result(target);
        return ENGINE_FAILED;
    }
    code = job.ApplyFold();
    if (code != 0) {
        DeviceFailure(out, STAGE_BINARY_FOLD, code);
        return ENGINE_FAILED;
    }
    CompletionLine(out, mode, corrected, length);
    out.Result(target);
    return ENGINE_OK;
}

uint32_t LoadImage(EngineOutput& out, const UnitSet& set) {
    out.Reset();
    ImageRequest* req = EngineRequest(set);
    if (req == nullptr || req->FileName[0] == '\0') {
        out.Error(ARG_NONE, "LOAD FILE NAME IS REQUIRED FOR THIS UNIT\a\n");
        return ENGINE_FAILED;
    }
    const uint32_t devSize = set.DevSize;
    const uint32_t start = req->Start, target = req->Target;
    uint32_t length = req->Length, width = req->Width;
    if (target >= devSize) {
        out.Error(ARG_TARGET, "INVALID TARGET ADDRESS ARGUMENT\a\n");
        return ENGINE_FAILED;
    }
    if (length != 0 && static_cast<uint64_t>(target) + length > devSize) {
        out.Error(ARG_LENGTH, "INVALID LENGTH ARGUMENT\a\n");
        return ENGINE_FAILED;
    }
    if (width == 0) width = 1;
    if (width > 256) {
        out.Error(ARG_WIDTH, "INVALID WIDTH ARGUMENT\a\n");
        return ENGINE_FAILED;
    }
    // Take the name as a bounded string even when the caller filled all 301 characters.
    char name[sizeof req->FileName];
    std::memcpy(name, req->FileName, sizeof name);
    name[sizeof name - 1] = '\0';

    FileText text;
    uint32_t size = 0;
    if (ReadWholeFile(out, name, text, &size) != ENGINE_OK) return ENGINE_FAILED;

    const uint32_t mode = req->LoadVerify;
    const ByteSpan bytes{text.get(), size};
    if (IsElf(bytes.data, size)) {
        // Every header is checked before the first byte goes to the unit.
        ElfImage elf;
        const char* refused = ReadElf(bytes.data, size, elf);
        if (refused != nullptr) {
            out.Result(0);
            out.ErrorF(ARG_NONE, "%s FAILURE: %s\a\n", ModeOf(mode) == VERIFY_ONLY ? "VERIFY" : "LOAD", refused);
            return ENGINE_FAILED;
        }
        return LoadElf(out, set, mode, elf, bytes.data, start, length, target, width);
    }

    // The first record decides: a HEX or S file, a broken one, or a binary image.
    const bool isHex = bytes.data[0] == ':';
    if (isHex || bytes.data[0] == 'S') {
        const RecordSyntax syntax = isHex ? RecordSyntax::Hex : RecordSyntax::S;
        RecordReader probe(syntax, bytes);
        if (probe.Next(true)) {
            RecordReader reader(syntax, bytes);
            RamSink sink(set);
            const RecordLoad load{reader, mode, start, length, target, width, devSize, size};
            return LoadRecords(out, load, sink);
        }
        if (LooksLikeRecord(bytes.data, size, isHex)) {
            // A broken record file is not an image: loading its text as bytes would report
            // success for a file that holds nothing the user meant.
            out.Result(0);
            out.ErrorF(ARG_NONE, "%s FAILURE: %s (Line #1)\a\n", ModeOf(mode) == VERIFY_ONLY ? "VERIFY" : "LOAD",
                       probe.MessageText().c_str());
            return ENGINE_FAILED;
        }
    }

    if (start >= size) {
        out.Error(ARG_START, "INVALID START ARGUMENT\a\n");
        return ENGINE_FAILED;
    }
    const bool computed = length == 0;
    if (computed) length = static_cast<uint32_t>((static_cast<uint64_t>(size) - start + width - 1) / width);
    const bool fits = length != 0 && static_cast<uint64_t>(start) + static_cast<uint64_t>(length - 1) * width < size &&
                      static_cast<uint64_t>(target) + length <= devSize;
    if (!fits) {
        if (computed) out.Error(ARG_NONE, "LOAD FILE IS TOO BIG\a\n");
        else out.Error(ARG_LENGTH, "INVALID LENGTH ARGUMENT\a\n");
        return ENGINE_FAILED;
    }
    return LoadBinary(out, set, mode, start, length, target, width, text.get(), size);
}
