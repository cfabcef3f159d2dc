// Fill and checksum of a device range, in 32 KB pieces through one fixed buffer.
#include <cstring>

#include "engine/engine.h"
#include "engine/internal.h"
#include "link/errors.h"

using namespace engine_detail;

namespace {

// Start and length checks shared by fill and checksum; length 0 means to the end.
bool CheckRange(EngineOutput& out, const UnitSet& set, uint32_t start, uint32_t* length) {
    if (start >= set.DevSize) {
        out.Error(ARG_START, "INVALID START ARGUMENT\a\n");
        return false;
    }
    if (*length == 0) *length = set.DevSize - start;
    if (static_cast<uint64_t>(start) + *length > set.DevSize) {
        out.Error(ARG_LENGTH, "INVALID LENGTH ARGUMENT\a\n");
        return false;
    }
    return true;
}

const ImageRequest* RequestOrError(EngineOutput& out, const UnitSet& set) {
    const ImageRequest* req = EngineRequest(set);
    if (req == nullptr) out.Error(ARG_NONE, "NO UNIT SELECTED\a\n");
    return req;
}

}  // namespace

uint32_t FillRange(EngineOutput& out, const UnitSet& set) {
    out.Reset();
    const ImageRequest* req = RequestOrError(out, set);
    if (req == nullptr) return ENGINE_FAILED;
    const uint32_t value = req->Target;
    const uint32_t start = req->Start;
    const uint32_t mode = ModeOf(req->LoadVerify);
    uint32_t length = req->Length;
    if (value > 0xFF) {
        out.Error(ARG_VALUE, "INVALID FILL VALUE, 00 - FF REQUIRED\a\n");
        return ENGINE_FAILED;
    }
    if (!CheckRange(out, set, start, &length)) return ENGINE_FAILED;
    if (mode == VERIFY_ONLY) out.InformF("Verifying %X bytes at offset %X with %02X\n", length, start, value);
    else out.InformF("Filling %X bytes at offset %X with %02X\n", length, start, value);

    uint8_t* buffer = WorkBuffer();
    std::memset(buffer, static_cast<int>(value), kPiece);
    RamWriteJob job;
    uint32_t code = job.Begin(set, start, length, mode);
    if (code != 0) {
        DeviceFailure(out, STAGE_FILL_START, code);
        return ENGINE_FAILED;
    }
    uint32_t left = length, address = start, corrected = 0;
    while (left > 0) {
        if (out.PollCancel()) break;
        const uint32_t piece = left < kPiece ? left : kPiece;
        uint32_t done = 0;
        code = job.WriteBlock(buffer, piece, &corrected, &done);
        if (code != 0) {
            DeviceFailure(out, STAGE_FILL_WRITE, code);
            return ENGINE_FAILED;
        }
        if (done < piece) {
            MismatchLines(out, job, mode, address + done);
            left -= done;
            break;
        }
        left -= piece;
        address += piece;
        out.Progress(length - left, length);
    }
    code = job.ApplyFold();
    if (code != 0) {
        DeviceFailure(out, STAGE_FILL_FOLD, code);
        return ENGINE_FAILED;
    }
    if (left > 0) {
        if (mode == VERIFY_ONLY) out.InformF("Verify Incomplete: %X bytes were verified\n", length - left);
        else
            out.InformF("Fill Incomplete: %X bytes filled with #%u corrected RAM write error(s)\n", length - left,
                        corrected);
        return ENGINE_FAILED;
    }
    if (corrected != 0) out.InformF("Fill Completed with #%u corrected RAM write error(s)\n", corrected);
    else if (mode == VERIFY_ONLY) out.Inform("Verify Completed with no errors\n");
    else if (mode == LOAD_VERIFY) out.Inform("Fill Completed with no errors\n");
    else out.Inform("Fill Completed without verification\n");
    return ENGINE_OK;
}

uint32_t ChecksumRange(EngineOutput& out, const UnitSet& set) {
    out.Reset();
    ImageRequest* req = EngineRequest(set);
    if (req == nullptr) {
        out.Error(ARG_NONE, "NO UNIT SELECTED\a\n");
        return ENGINE_FAILED;
    }
    const uint32_t start = req->Start;
    uint32_t length = req->Length;
    if (!CheckRange(out, set, start, &length)) return ENGINE_FAILED;
    out.InformF("Computing Checksum of %05X - %05X\n", start, start + length - 1);
    uint8_t* buffer = WorkBuffer();
    uint32_t sum = 0, left = length, address = start;
    while (left > 0) {
        if (out.PollCancel()) return ENGINE_FAILED;
        const uint32_t piece = left < kPiece ? left : kPiece;
        const uint32_t code = RamReadBlock(set, buffer, address, piece);
        if (code != 0) {
            DeviceFailure(out, STAGE_CHECKSUM_READ, code);
            return ENGINE_FAILED;
        }
        for (uint32_t i = 0; i < piece; ++i) sum += buffer[i];
        left -= piece;
        address += piece;
        out.Progress(length - left, length);
    }
    out.AlwaysF("CHECKSUM = %04X-%04X\n", sum >> 16, sum & 0xFFFF);
    req->Target = sum;
    out.Result(sum);
    return ENGINE_OK;
}
