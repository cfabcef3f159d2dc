// Image operations: load, fill, write and checksum inside one frame that checks
// the unit, builds the records, holds the target in reset and collects the text.
#include <cstdio>
#include <cstring>

#include "emucore/emucore.h"
#include "emucore/operation.h"
#include "emucore/state.h"
#include "engine/engine.h"
#include "engine/output.h"

namespace emucore {

void InfoSetup(OperationRecords& rec, int32_t verify, int32_t fold) {
    rec.request.DevSize = CurDevSize();
    rec.request.LoadVerify = MapVerify(verify);
    rec.request.FoldMode = MapFold(fold);
    rec.link.handle = g_cur.CurHandle;
    rec.link.MaxK = g_cur.CurMaxK;
    rec.set = UnitSet{};
    rec.set.count = 1;
    rec.set.DevSize = rec.request.DevSize;
    rec.set.settings[0] = &rec.request;
    rec.set.links[0] = &rec.link;
    if (g_cur.CurUnit == VIRTUAL_UNIT) {
        rec.link.FoldMask = 0;
        rec.link.LoadBase = 0;
    } else {
        RamPlaceLane(rec.link, rec.request.DevSize, rec.request.FoldMode);
    }
    Trace("VXAInfoSetup LoadVerify:%u FoldMask:%08lX LoadBase:%08lX\n", rec.request.LoadVerify,
          static_cast<unsigned long>(rec.link.FoldMask), static_cast<unsigned long>(rec.link.LoadBase));
    Trace("VXAInfoSetup DevSize:%u MaxK:%u\n", rec.request.DevSize, rec.link.MaxK);
}

namespace {

bool Ready() { return g_cur.CurHandle != 0 && g_cur.CurMaxK != 0; }

enum class Engine { Load, Fill, Write, Checksum };

// Steps 4 to 7 of every operation: reset before, the engine with the caller's
// buffer as its text output, reset after. 0 success, 1 failure.
int32_t RunFramed(char* text, OperationRecords& rec, Engine op, const WriteRequest* write, int32_t resetFlag,
                  int32_t before, int32_t after) {
    if (resetFlag) {
        const int32_t r = VXASetReset(before, 0, before);
        if (r < 0) {
            SetText(text, "DEVICE FAILURE SETTING RESET (SUBCODE 010-%ld)", -static_cast<long>(r));
            return 1;
        }
    }
    CallerBufferOutput out(text, VXA_TEXT_SIZE);
    uint32_t result = ENGINE_FAILED;
    switch (op) {
    case Engine::Load: result = LoadImage(out, rec.set); break;
    case Engine::Fill: result = FillRange(out, rec.set); break;
    case Engine::Write: result = WriteImage(out, rec.set, *write); break;
    case Engine::Checksum: result = ChecksumRange(out, rec.set); break;
    }
    if (result != ENGINE_OK) {
        if (resetFlag) VXASetReset(after, 0, after);
        return 1;
    }
    if (resetFlag) {
        const int32_t r = VXASetReset(after, 0, after);
        if (r < 0) {
            SetText(text, "DEVICE FAILURE CLEARING RESET (SUBCODE 010-%ld)", -static_cast<long>(r));
            return 1;
        }
    }
    return 0;
}

}  // namespace
}  // namespace emucore

using namespace emucore;

extern "C" {

VXA_API int32_t VXALoad(char* text, const char* fileName, int32_t start, int32_t target, int32_t length, int32_t width,
                        int32_t verify, int32_t fold, int32_t resetFlag, int32_t before, int32_t after) {
    const char* name = Str(fileName);
    Trace("VXALoad(N:'%s',S:%lX,T:%lX,L:%lX,W:%u,V:%u,F:%u)\n", name,
          static_cast<unsigned long>(static_cast<uint32_t>(start)),
          static_cast<unsigned long>(static_cast<uint32_t>(target)),
          static_cast<unsigned long>(static_cast<uint32_t>(length)), static_cast<uint32_t>(width),
          static_cast<uint32_t>(verify), static_cast<uint32_t>(fold));
    if (!Ready()) return -1;
    const size_t nameLength = std::strlen(name);
    if (nameLength >= 300) {
        SetText(text, "File Name is Too Long");
        return 1;
    }
    OperationRecords rec;
    std::memcpy(rec.request.FileName, name, nameLength + 1);
    rec.request.Start = static_cast<uint32_t>(start);
    rec.request.Target = static_cast<uint32_t>(target);
    rec.request.Length = static_cast<uint32_t>(length);
    rec.request.Width = width == 0 ? 1 : static_cast<uint32_t>(width);
    InfoSetup(rec, verify, fold);
    return RunFramed(text, rec, Engine::Load, nullptr, resetFlag, before, after);
}

VXA_API int32_t VXAFill(char* text, int32_t value, int32_t start, int32_t length, int32_t verify, int32_t fold,
                        int32_t resetFlag, int32_t before, int32_t after) {
    Trace("VXAFill(D:%lX,S:%lX,L:%lX,V:%u,F:%u)\n", static_cast<unsigned long>(static_cast<uint32_t>(value)),
          static_cast<unsigned long>(static_cast<uint32_t>(start)),
          static_cast<unsigned long>(static_cast<uint32_t>(length)), static_cast<uint32_t>(verify),
          static_cast<uint32_t>(fold));
    Trace("VXAFill CurHandle=%Xh CurType=%u CurMaxK=%u\n", g_cur.CurHandle, g_cur.CurType, g_cur.CurMaxK);
    if (!Ready()) return -1;
    OperationRecords rec;
    rec.request.Start = static_cast<uint32_t>(start);
    rec.request.Length = static_cast<uint32_t>(length);
    rec.request.Target = static_cast<uint32_t>(value);
    InfoSetup(rec, verify, fold);
    return RunFramed(text, rec, Engine::Fill, nullptr, resetFlag, before, after);
}

VXA_API int32_t VXAWrite(char* text, const char* fileName, int32_t start, int32_t length, int32_t mode, int32_t format,
                         int32_t eofOption, int32_t recLen, int32_t fillValue, int32_t targetOption, int32_t target,
                         int32_t entryOption, int32_t entryAddr, const char* signon, int32_t fold, int32_t resetFlag,
                         int32_t before, int32_t after) {
    auto u = [](int32_t v) { return static_cast<unsigned long>(static_cast<uint32_t>(v)); };
    Trace("VXAWrite entered\n");
    Trace("  FileName ='%s'\n", Str(fileName));
    Trace("  Start=%lX Length=%lX Mode=%lu\n", u(start), u(length), u(mode));
    Trace("  Format=%lu EOFOption=%lu RecLen=%lu FillValue=%02lX\n", u(format), u(eofOption), u(recLen), u(fillValue));
    Trace("  TargetOption=%lu Target=%lX EntryOption=%lu EntryAddr=%lX Signon='%s'\n", u(targetOption), u(target),
          u(entryOption), u(entryAddr), Str(signon));
    if (!Ready()) return -1;
    WriteRequest w;
    w.FileName = Str(fileName);
    w.Start = static_cast<uint32_t>(start);
    w.Length = static_cast<uint32_t>(length);
    w.Mode = static_cast<uint32_t>(mode);
    w.Format = static_cast<uint32_t>(format);
    w.EOFOption = static_cast<uint32_t>(eofOption);
    w.RecLen = static_cast<uint32_t>(recLen);
    w.FillValue = static_cast<uint32_t>(fillValue);
    w.TargetOption = static_cast<uint32_t>(targetOption);
    w.Target = static_cast<uint32_t>(target);
    w.EntryOption = static_cast<uint32_t>(entryOption);
    w.EntryAddr = static_cast<uint32_t>(entryAddr);
    w.Signon = signon;
    OperationRecords rec;
    InfoSetup(rec, 0, fold);
    return RunFramed(text, rec, Engine::Write, &w, resetFlag, before, after);
}

VXA_API int32_t VXACksum(char* text, uint32_t* sum, int32_t start, int32_t length, int32_t fold, int32_t resetFlag,
                         int32_t before, int32_t after) {
    Trace("VXACksum(Start:%lX,Len:%lX,Fold:%u)\n", static_cast<unsigned long>(static_cast<uint32_t>(start)),
          static_cast<unsigned long>(static_cast<uint32_t>(length)), static_cast<uint32_t>(fold));
    if (!Ready()) return -1;
    OperationRecords rec;
    rec.request.Start = static_cast<uint32_t>(start);
    rec.request.Length = static_cast<uint32_t>(length);
    InfoSetup(rec, 0, fold);
    const int32_t r = RunFramed(text, rec, Engine::Checksum, nullptr, resetFlag, before, after);
    if (r == 0 && sum != nullptr) *sum = rec.request.Target;
    return r;
}

}  // extern "C"
