#include "zam32/memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/errors.h"
#include "zam32/bytefield.h"
#include "zam32/lang.h"
#include "zam32/screen.h"

namespace {

constexpr uint32_t kPiece = 18;    // bytes on one dump line at most
constexpr uint32_t kEditLine = 8;  // bytes on one edit line
constexpr uint32_t kNoFailure = 0xFFFFFFFFu;

// Edit continuation: the address after the last successful edit and its command counter.
bool g_editValid = false;
uint32_t g_editCounter = 0;
uint32_t g_editNext = 0;

void DeviceFailure(unsigned site, uint32_t code) { PrintText(LinkSubcodeText(site, code).c_str()); }

UnitRecord* FirstRecord(const CurrentLanes& lanes) {
    for (UnitRecord* r : lanes.records)
        if (r) return r;
    return nullptr;
}

void Uncorrectable(uint32_t address) {
    ReportError("UNCORRECTABLE ERROR WRITING EMULATOR RAM AT LOCATION %05lX\a\n", nullptr,
                static_cast<unsigned long>(address));
}

void EditSucceeded(uint32_t counter, uint32_t next, uint32_t corrected) {
    if (corrected)
        Inform("Edit Completed with #%lu corrected RAM write error(s)\n", static_cast<unsigned long>(corrected));
    g_editValid = true;
    g_editCounter = counter;
    g_editNext = next;
}

int DirectEdit(const Args& args, const CurrentLanes& lanes, uint32_t counter, uint32_t start) {
    const uint32_t size = lanes.set.DevSize;
    uint64_t count = 0;
    for (int i = 1; i < args.Count(); ++i) {
        const ArgRecord* a = args.Get(i);
        if (a->kind == KIND_STRING) {
            count += a->value;
        } else {
            if (a->kind == KIND_VALUE) {
                const int32_t v = static_cast<int32_t>(a->value);
                if (v < -0x80 || v > 0xFF) {
                    ReportError("INVALID DATA ARGUMENT, 00 - FF REQUIRED\a\n", a->position);
                    return CMD_FAILED;
                }
            }
            ++count;
        }
    }
    if (start + count > size) {
        ReportError("DATA EXTENDS PAST END OF DEFINED DEVICE\a\n", nullptr);
        return CMD_FAILED;
    }
    RamWriteJob job;
    job.BeginBuffered(lanes.set, LOAD_VERIFY);
    uint32_t address = start, corrected = 0, fail = kNoFailure;
    for (int i = 1; i < args.Count(); ++i) {
        const ArgRecord* a = args.Get(i);
        uint32_t code = LINK_OK;
        if (a->kind == KIND_STRING) {
            code =
                job.BufferedWrite(address, reinterpret_cast<const uint8_t*>(a->processed), a->value, &corrected, &fail);
            address += a->value;
        } else if (a->kind == KIND_VALUE) {
            const uint8_t byte = static_cast<uint8_t>(a->value);
            code = job.BufferedWrite(address, &byte, 1, &corrected, &fail);
            ++address;
        } else {
            ++address;  // an empty position leaves its byte as it is
        }
        if (code) {
            DeviceFailure(306, code);
            return CMD_FAILED;
        }
        if (fail != kNoFailure) {
            Uncorrectable(fail);
            return CMD_FAILED;
        }
    }
    uint32_t code = job.End(&corrected, &fail);
    if (code) {
        DeviceFailure(307, code);
        return CMD_FAILED;
    }
    if (fail != kNoFailure) {
        Uncorrectable(fail);
        return CMD_FAILED;
    }
    EditSucceeded(counter, address % size, corrected);
    return CMD_OK;
}

int InteractiveEdit(const CurrentLanes& lanes, uint32_t counter, uint32_t start) {
    const uint32_t size = lanes.set.DevSize;
    uint32_t a = start, corrected = 0;
    for (bool ended = false; !ended;) {
        Print("%05lX:   ", static_cast<unsigned long>(a));
        uint8_t shown[kEditLine], value[kEditLine];
        uint32_t read = 0, count = 0;
        char field[BYTE_FIELD_SIZE] = "";
        bool prompt = true;  // the byte's "XX=" is still to be shown
        for (bool lineEnded = false; !lineEnded;) {
            if (count == read) {
                const uint32_t code = RamReadBlock(lanes.set, &shown[count], (a + count) % size, 1);
                if (code) {
                    PrintText("\n");
                    DeviceFailure(300, code);
                    return CMD_FAILED;
                }
                ++read;
            }
            if (prompt) Print("%02X=", shown[count]);
            prompt = false;
            const int key = ByteEntryField(field);
            if (key == BYTE_KEY_BACKSPACE) {
                if (count == 0) continue;  // the first byte of the line is asked again
                // Erase this byte's "XX=" and the previous byte's entry, and offer that
                // byte's value again.
                PrintText("\b\b\b\b\b\b\b\b        \b\b\b\b\b\b\b\b");
                --count;
                read = count + 1;
                std::snprintf(field, sizeof field, "%02X", value[count]);
                continue;
            }
            if (key == BYTE_KEY_CANCEL || key == BYTE_KEY_END) {
                PrintText("\n");
                PrintText("[CANCELLED]\n");
                return CMD_FAILED;
            }
            value[count] = field[0] ? static_cast<uint8_t>(std::strtoul(field, nullptr, 16)) : shown[count];
            Print("%02X   ", value[count]);
            field[0] = 0;
            prompt = true;
            ++count;
            if (key == BYTE_KEY_ENTER) lineEnded = ended = true;
            if (count == kEditLine || a + count == size) lineEnded = true;
        }
        PrintText("\n");
        RamWriteJob job;
        uint32_t code = job.Begin(lanes.set, a, count, LOAD_VERIFY);
        if (code) {
            DeviceFailure(301, code);
            return CMD_FAILED;
        }
        uint32_t done = 0;
        code = job.WriteBlock(value, count, &corrected, &done);
        if (code) {
            DeviceFailure(302, code);
            return CMD_FAILED;
        }
        if (done < count) {
            Uncorrectable(a + done);
            return CMD_FAILED;
        }
        code = job.ApplyFold();
        if (code) {
            DeviceFailure(303, code);
            return CMD_FAILED;
        }
        a = (a + count) % size;
    }
    EditSucceeded(counter, a, corrected);
    return CMD_OK;
}

}  // namespace

ZAM32_HANDLER(CmdDump) {
    (void)ctx.counter, (void)ctx.units, (void)ctx.links, (void)ctx.text, (void)ctx.after, (void)ctx.slots;
    const uint32_t size = ctx.lanes.set.DevSize;
    UnitRecord* first = FirstRecord(ctx.lanes);
    const ArgRecord* startArg = ctx.args.Present(0);
    const ArgRecord* lengthArg = ctx.args.Present(1);
    const ArgRecord* widthArg = ctx.args.Present(2);

    uint32_t start = first && first->DumpPosition < size ? first->DumpPosition : 0;
    if (startArg) {
        const int32_t v = static_cast<int32_t>(startArg->value);
        if (v < 0 || static_cast<uint32_t>(v) >= size) {
            ReportError("INVALID START ARGUMENT\a\n", startArg->position);
            return CMD_FAILED;
        }
        start = static_cast<uint32_t>(v);
    }
    uint32_t length = ctx.session.DumpLength >= 1 && ctx.session.DumpLength <= size ? ctx.session.DumpLength : 0x80;
    if (lengthArg) {
        if (static_cast<int32_t>(lengthArg->value) < 1) {
            ReportError("INVALID LENGTH ARGUMENT\a\n", lengthArg->position);
            return CMD_FAILED;
        }
        length = lengthArg->value;
    }
    uint32_t width = ctx.session.DumpWidth ? ctx.session.DumpWidth : 16;
    if (widthArg) {
        if (widthArg->value < 1 || widthArg->value > 0xFFFF || widthArg->value > size) {
            ReportError("INVALID WIDTH ARGUMENT\a\n", widthArg->position);
            return CMD_FAILED;
        }
        width = widthArg->value;
    }
    ctx.session.DumpWidth = width;
    ctx.session.DumpLength = length;

    uint32_t column = width < length ? width : length;
    if (column > kPiece) column = kPiece;
    column *= 3;

    uint32_t a = start, remaining = length;
    uint8_t last = 0;
    while (remaining > 0) {
        const uint32_t group = width < remaining ? width : remaining;
        for (uint32_t off = 0; off < group;) {
            const uint32_t n = group - off < kPiece ? group - off : kPiece;
            uint8_t bytes[kPiece];
            uint32_t code;
            if (a + n > size) {
                const uint32_t head = size - a;
                code = RamReadBlock(ctx.lanes.set, bytes, a, head);
                if (code == LINK_OK) code = RamReadBlock(ctx.lanes.set, bytes + head, 0, n - head);
                if (code) {
                    DeviceFailure(303, code);
                    return CMD_FAILED;
                }
            } else {
                code = RamReadBlock(ctx.lanes.set, bytes, a, n);
                if (code) {
                    DeviceFailure(304, code);
                    return CMD_FAILED;
                }
            }
            char hex[kPiece * 3 + 1], chars[kPiece + 1];
            for (uint32_t i = 0; i < n; ++i) {
                std::snprintf(hex + 3 * i, 4, "%02X ", bytes[i]);
                chars[i] = bytes[i] >= 0x20 && bytes[i] <= 0x7E ? static_cast<char>(bytes[i]) : '.';
            }
            hex[3 * n] = 0;
            chars[n] = 0;
            Print("%05lX: %s%*s%s\n", static_cast<unsigned long>(a), hex, static_cast<int>(column - 3 * n), "", chars);
            last = bytes[n - 1];
            a = (a + n) % size;
            remaining -= n;
            off += n;
            if (PollStopCancel()) {
                if (first) first->DumpPosition = a;
                SetVariable(0, last);
                return CMD_FAILED;
            }
        }
    }
    if (first) first->DumpPosition = a;
    SetVariable(0, last);
    return CMD_OK;
}

ZAM32_HANDLER(CmdEdit) {
    (void)ctx.session, (void)ctx.units, (void)ctx.links, (void)ctx.text, (void)ctx.after, (void)ctx.slots;
    const uint32_t size = ctx.lanes.set.DevSize;
    const ArgRecord* startArg = ctx.args.Present(0);
    uint32_t start;
    if (!startArg) {
        if (!g_editValid || g_editCounter + 1 != ctx.counter) {
            ReportError("START ARGUMENT REQUIRED, LAST COMMAND WAS NOT A SUCCESSFUL EDIT\a\n", nullptr);
            return CMD_FAILED;
        }
        start = g_editNext % size;
    } else {
        const int32_t v = static_cast<int32_t>(startArg->value);
        if (v < 0 || static_cast<uint32_t>(v) >= size) {
            ReportError("INVALID START ARGUMENT\a\n", startArg->position);
            return CMD_FAILED;
        }
        start = static_cast<uint32_t>(v);
    }
    if (ctx.args.Count() <= 1) return InteractiveEdit(ctx.lanes, ctx.counter, start);
    return DirectEdit(ctx.args, ctx.lanes, ctx.counter, start);
}
