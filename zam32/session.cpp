#include "zam32/session.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/errors.h"
#include "platform/clock.h"
#include "zam32/commands.h"
#include "zam32/lang.h"
#include "zam32/screen.h"

namespace {

SessionBlock g_session;
SessionBlock g_lastSaved;
UnitLink g_links[UNIT_RECORDS];
CurrentLanes g_lanes;
uint32_t g_osClass = 0;

int SlotOf(uint32_t selector) {
    for (int i = 0; i < PORT_SLOTS; ++i)
        if (g_session.Slots[i].Selector == selector) return i;
    return -1;
}

bool Defined(const UnitRecord& r) { return r.UnitNumber != UNIT_FREE; }

PortFamily FamilyOf(uint32_t selector) {
    if (selector == SELECT_USB) return PortFamily::Usb;
    return IsSerialPort(selector) ? PortFamily::Serial : PortFamily::Parallel;
}

}  // namespace

SessionBlock& Session() { return g_session; }
SessionBlock& LastSavedSession() { return g_lastSaved; }
UnitLink* UnitLinks() { return g_links; }
CurrentLanes& Lanes() { return g_lanes; }
uint32_t OsClass() { return g_osClass; }
void SetOsClass(uint32_t osClass) { g_osClass = osClass; }

bool IsSerialPort(uint32_t selector) { return selector != SELECT_USB && (selector & SELECT_SERIAL) != 0; }
bool IsParallelPort(uint32_t selector) {
    return selector != SELECT_VIRTUAL && selector != SELECT_USB && !IsSerialPort(selector);
}

const char* PortName(uint32_t selector, char* buffer) {
    if (selector == SELECT_VIRTUAL) std::strcpy(buffer, "v");
    else if (selector == SELECT_USB) std::strcpy(buffer, "u");
    else if (IsSerialPort(selector)) std::sprintf(buffer, "c%X", selector & ~SELECT_SERIAL);
    else std::sprintf(buffer, "l%X", selector);
    return buffer;
}

const char* ResetLevelName(uint32_t level) {
    static const char* const names[] = {"LOW", "HIGH", "HI-Z"};
    return level < 3 ? names[level] : "??";
}
const char* FoldModeName(uint32_t mode) {
    static const char* const names[] = {"nf", "pf", "ff"};
    return mode < 3 ? names[mode] : "??";
}
const char* VerifyModeName(uint32_t mode) {
    static const char* const names[] = {"NV", "V", "VO"};
    return mode < 3 ? names[mode] : "??";
}
static char ResetLetter(uint32_t level) { return level < 3 ? "LHZ"[level] : '?'; }

uint32_t DefaultVerifyMode() { return IsParallelPort(g_session.CurrentPort) ? 1 : 0; }

void CloseLink(UnitLink& link) {
    UnitHandle closing(link.handle);
    link = UnitLink{};
}

void SessionDefaults() {
    for (int i = 0; i < UNIT_RECORDS; ++i) { CloseLink(g_links[i]); }
    g_session = SessionBlock{};
    for (UnitRecord& r : g_session.Units) r.UnitNumber = UNIT_FREE;
    for (PortSlot& s : g_session.Slots) s = PortSlot{SLOT_FREE, 0};
    if (g_osClass == 0) {
        g_session.CurrentPort = 1;
        g_session.Slots[0] = PortSlot{1, DELAY_DEFAULT};
    } else {
        g_session.CurrentPort = SELECT_USB;
        g_session.Slots[0] = PortSlot{SELECT_USB, 0};
    }
    RecomputeLanes();
}

int FindUnit(uint32_t selector, uint32_t unit) {
    for (int i = 0; i < UNIT_RECORDS; ++i) {
        const UnitRecord& r = g_session.Units[i];
        if (Defined(r) && r.PortSlot < PORT_SLOTS && g_session.Slots[r.PortSlot].Selector == selector &&
            r.UnitNumber == unit)
            return i;
    }
    return -1;
}

void RecomputeLanes() {
    CurrentLanes lanes;
    uint32_t size = 0;
    bool usable = g_session.LaneCount >= 1 && g_session.LaneCount <= 4;
    for (uint32_t i = 0; usable && i < g_session.LaneCount; ++i) {
        uint32_t unit = g_session.LaneUnits[i];
        if (unit == LANE_EMPTY) continue;
        int index = FindUnit(g_session.CurrentPort, unit);
        if (index < 0 || (size != 0 && g_session.Units[index].request.DevSize != size)) {
            usable = false;
            break;
        }
        size = g_session.Units[index].request.DevSize;
        lanes.records[i] = &g_session.Units[index];
        lanes.links[i] = &g_links[index];
        lanes.set.settings[i] = &g_session.Units[index].request;
        lanes.set.links[i] = &g_links[index];
    }
    if (!usable || size == 0) {
        g_lanes = CurrentLanes{};
        g_lanes.set.count = 0;
        g_lanes.set.DevSize = 0;
        return;
    }
    lanes.set.count = g_session.LaneCount;
    lanes.set.DevSize = size * g_session.LaneCount;
    g_lanes = lanes;
}

void RemoveUnit(int index) {
    CloseLink(g_links[index]);
    g_session.Units[index] = UnitRecord{};
    g_session.Units[index].UnitNumber = UNIT_FREE;
}

bool CheckUnit(int index) {
    UnitRecord& r = g_session.Units[index];
    UnitLink& link = g_links[index];
    CloseLink(link);
    const PortSlot& slot = g_session.Slots[r.PortSlot];
    char name[16];
    PortName(slot.Selector, name);
    Inform("Checking P%sU%X as %s\n", name, r.UnitNumber, DeviceTypeBySize(r.request.DevSize).name);
    if (g_osClass != 0 && IsParallelPort(slot.Selector)) {
        PrintText("Parallel Port is NOT OPERATIONAL\a\n");
        return false;
    }
    uint32_t opened = 0;
    std::string why;  // what the open found wrong; stays empty when it is the RAM test that fails
    uint32_t code =
        ZAMInit(&opened, slot.Selector, r.UnitNumber, r.request.DevSize, static_cast<uint32_t>(slot.Delay), &why);
    UnitHandle handle(opened);
    if (slot.Selector == SELECT_VIRTUAL) {
        if (code != LINK_OK) {
            // Without its memory the unit is of no use: it fails like any other unit.
            Print("INSUFFICIENT PC RAM FOR UNIT %X SIMULATION\a\n", r.UnitNumber);
            return false;
        }
        link.handle = handle.release();
        link.MaxK = r.request.DevSize / 1024;
        link.FoldMask = 0;
        link.LoadBase = 0;
        return true;
    }
    uint32_t maxK = 0;
    if (code == LINK_OK) {
        code = RamTestUnit(handle.get(), &maxK);
        if (code == LINK_OK) {
            ZAMSetReset(handle.get(), r.ResetNormal);
            if (static_cast<uint64_t>(maxK) * 1024 < r.request.DevSize) {
                Print(
                    "Insufficient RAM for requested device type on\nselected unit, max emulated ROM is #%uK-bytes\a\n",
                    maxK);
                return false;
            }
            link.handle = handle.release();
            link.MaxK = maxK;
            RamPlaceLane(link, r.request.DevSize, r.request.FoldMode);
            return true;
        }
        handle.reset();  // closed before the failure is told, as the unit is given up
    }
    PrintText(LinkOpenFailureText(name, r.UnitNumber, FamilyOf(slot.Selector), code, why).c_str());
    return false;
}

// ---- P ----

namespace {

// Ports of the consumer family: 1..4 and 0x100..0xFFFF in steps of 4.
bool ParallelNumberValid(uint32_t v) { return (v >= 1 && v <= 4) || (v >= 0x100 && v <= 0xFFFF && (v & 3) == 0); }

struct ScanFound {
    bool found = false;
    uint32_t selector = 0;
    uint32_t unit = 0;
};

ScanFound Scan(char kind, int32_t delay) {
    uint32_t ports[9];
    int portCount = 0;
    int units = 4;
    if (kind == 'u') {
        Inform("Scanning for USB devices\n");
        ports[portCount++] = SELECT_USB;
    } else if (kind == 'c') {
        Inform("Scanning all COM ports\n");
        for (uint32_t n = 1; n <= 9; ++n) ports[portCount++] = SELECT_SERIAL | n;
        units = 1;
    } else {
        if (delay == DELAY_DEFAULT) Inform("Scanning all parallel ports with default delay\n");
        else Inform("Scanning all parallel ports with delay of %d\n", delay);
        for (uint32_t n = 1; n <= 4; ++n) ports[portCount++] = n;
    }
    PrintText(" \\ U    0    1    2    3\nP \\\n");
    ScanFound found;
    for (int p = 0; p < portCount; ++p) {
        char name[16];
        Print("%-8s", PortName(ports[p], name));
        // The NT family has no direct printer-port access: the row ends without touching the port.
        if (kind == 'l' && g_osClass != 0) {
            PrintText("\n");
            continue;
        }
        for (int u = 0; u < units; ++u) {
            uint32_t opened = 0;
            uint32_t code =
                ZAMInit(&opened, ports[p], static_cast<uint32_t>(u), 0x100000, static_cast<uint32_t>(delay));
            const UnitHandle handle(opened);
            if (code == LINK_OK) {
                uint32_t maxK = 0;
                uint32_t test = RamTestUnit(handle.get(), &maxK);
                if (test != LINK_OK || maxK == 0) {
                    PrintText("bad  ");
                } else {
                    unsigned long bits = static_cast<unsigned long>(maxK) * 8192;
                    char cell[16];
                    if (bits < 0x100000) std::snprintf(cell, sizeof cell, "%lu%c", bits / 1024, 'K');
                    else std::snprintf(cell, sizeof cell, "%lu%c", bits / 0x100000, 'M');
                    Print("%-5s", cell);
                    if (!found.found) found = ScanFound{true, ports[p], static_cast<uint32_t>(u)};
                }
            } else if (code == LINK_NOT_AVAILABLE) {
                PrintText("-    ");
            } else {
                break;
            }
        }
        PrintText("\n");
    }
    return found;
}

}  // namespace

ZAM32_HANDLER(CmdPort) {
    const ArgRecord* portArg = ctx.args.Get(0);
    const ArgRecord* delayArg = ctx.args.Present(1);
    int32_t delay = DELAY_DEFAULT;
    if (delayArg) {
        if (delayArg->kind == KIND_VALUE) {
            int32_t d = static_cast<int32_t>(delayArg->value);
            if (d < -999 || d > 999) {
                ReportError("INVALID VALUE ARGUMENT\a\n", delayArg->position);
                return CMD_FAILED;
            }
            delay = d;
        } else if (std::strcmp(delayArg->raw, "-") != 0) {
            ReportError("INVALID KEYWORD FOR THIS COMMAND\a\n", delayArg->position);
            return CMD_FAILED;
        }
    }
    const bool nt = g_osClass != 0;
    uint32_t port = 0;
    if (portArg->kind == KIND_VALUE) {
        uint32_t v = portArg->value;
        bool ok = v == 0 || (v >= 0xC1 && v <= 0xC9) || (!nt && ParallelNumberValid(v));
        if (!ok) {
            ReportError("INVALID PORT SELECTION\a\n", portArg->position);
            return CMD_FAILED;
        }
        port = (v >= 0xC1 && v <= 0xC9) ? (SELECT_SERIAL | (v - 0xC0)) : v;
    } else {
        const char* k = portArg->raw;
        char first = static_cast<char>(std::tolower(static_cast<unsigned char>(k[0])));
        if (std::strcmp(k, "?") == 0 || ((first == 'u' || first == 'c' || first == 'l') && k[1] == '?' && !k[2])) {
            char kind = first == '?' ? (nt ? 'u' : 'l') : first;
            ScanFound f = Scan(kind, delay);
            if (!f.found || ctx.lanes.set.count != 0) return CMD_OK;
            ctx.session.LaneCount = 1;
            ctx.session.LaneUnits[0] = f.unit;
            for (int i = 1; i < 4; ++i) ctx.session.LaneUnits[i] = 0;
            port = f.selector;
        } else if (EqualNoCase(k, "u")) {
            port = SELECT_USB;
        } else if (EqualNoCase(k, "v")) {
            port = SELECT_VIRTUAL;
        } else if (first == 'l' && k[1]) {
            uint32_t v = 0;
            const char* q = k + 1;
            bool digits = true;
            for (; *q; ++q) {
                if (!std::isxdigit(static_cast<unsigned char>(*q)) || v > 0xFFFF) {
                    digits = false;
                    break;
                }
                v = v * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(*q))
                                                       ? *q - '0'
                                                       : std::toupper(static_cast<unsigned char>(*q)) - 'A' + 10);
            }
            if (!digits || !ParallelNumberValid(v) || nt) {
                ReportError("INVALID PORT SELECTION\a\n", portArg->position);
                return CMD_FAILED;
            }
            port = v;
        } else {
            ReportError("INVALID KEYWORD FOR THIS COMMAND\a\n", portArg->position);
            return CMD_FAILED;
        }
    }
    if (delayArg && !IsParallelPort(port)) {
        ReportError("INVALID VALUE ARGUMENT\a\n", nullptr);
        return CMD_FAILED;
    }
    int slot = SlotOf(port);
    if (slot < 0) {
        for (int i = 0; i < PORT_SLOTS && slot < 0; ++i)
            if (ctx.slots[i].Selector == SLOT_FREE) slot = i;
        for (int i = 0; i < PORT_SLOTS && slot < 0; ++i) {
            bool used = false;
            for (int u = 0; u < UNIT_RECORDS; ++u)
                if (Defined(ctx.units[u]) && ctx.units[u].PortSlot == static_cast<uint32_t>(i)) used = true;
            if (!used) slot = i;
        }
        if (slot < 0) {
            ReportError("TOO MANY EMULATOR UNITS IN USE\a\n", nullptr);
            return CMD_FAILED;
        }
        ctx.slots[slot] = PortSlot{port, delay};
    } else if (delayArg) {
        ctx.slots[slot].Delay = delay;
        for (int u = 0; u < UNIT_RECORDS; ++u)
            if (Defined(ctx.units[u]) && ctx.units[u].PortSlot == static_cast<uint32_t>(slot) && !CheckUnit(u))
                RemoveUnit(u);
    }
    ctx.session.CurrentPort = port;
    RecomputeLanes();
    return CMD_OK;
}

// ---- U ----

ZAM32_HANDLER(CmdUnits) {
    const ArgRecord* a = ctx.args.Get(0);
    const char* k = a->raw;
    size_t n = std::strlen(k);
    bool ok = n >= 1 && n <= 4;
    bool seen[4] = {};
    bool anyDigit = false;
    uint32_t lanesSel[4] = {};
    for (size_t i = 0; ok && i < n; ++i) {
        char c = k[i];
        if (c == '-') {
            lanesSel[i] = LANE_EMPTY;
        } else if (c >= '0' && c <= '3') {
            int u = c - '0';
            if (seen[u] || (u != 0 && IsSerialPort(ctx.session.CurrentPort))) ok = false;
            seen[u] = true;
            anyDigit = true;
            lanesSel[i] = static_cast<uint32_t>(u);
        } else {
            ok = false;
        }
    }
    if (!ok || !anyDigit) {
        ReportError("INVALID UNIT SELECTION\a\n", a->position);
        return CMD_FAILED;
    }
    ctx.session.LaneCount = static_cast<uint32_t>(n);
    for (int i = 0; i < 4; ++i) ctx.session.LaneUnits[i] = i < static_cast<int>(n) ? lanesSel[i] : 0;
    RecomputeLanes();
    return CMD_OK;
}

// ---- T ----

ZAM32_HANDLER(CmdType) {
    const ArgRecord* typeArg = ctx.args.Present(0);
    const ArgRecord* foldArg = ctx.args.Present(1);
    int fold = -1;
    if (foldArg) {
        if (EqualNoCase(foldArg->raw, "nf")) fold = FOLD_NONE;
        else if (EqualNoCase(foldArg->raw, "pf")) fold = FOLD_SOCKET;
        else if (EqualNoCase(foldArg->raw, "ff")) fold = FOLD_FULL;
        if (fold < 0 || ctx.session.CurrentPort == SELECT_VIRTUAL) {
            ReportError("INVALID KEYWORD FOR THIS COMMAND\a\n", foldArg->position);
            return CMD_FAILED;
        }
    }
    if (!typeArg) {
        if (ctx.lanes.set.count == 0) {
            ReportError("TYPE ARGUMENT IS REQUIRED FOR THIS PORT/UNIT\a\n", nullptr);
            return CMD_FAILED;
        }
        if (fold >= 0)
            for (UnitRecord* r : ctx.lanes.records)
                if (r) r->request.FoldMode = static_cast<uint32_t>(fold);
    } else {
        const DeviceTypeRow* row = nullptr;
        for (const DeviceTypeRow& t : DeviceTypeTable)
            if (EqualNoCase(t.name, typeArg->raw)) {
                row = &t;
                break;
            }
        if (!row) {
            ReportError("INVALID DEVICE TYPE KEYWORD\a\n", typeArg->position);
            return CMD_FAILED;
        }
        const bool remove = std::strcmp(row->name, "-") == 0;
        if (remove && foldArg) {
            ReportError("INVALID KEYWORD FOR THIS COMMAND\a\n", foldArg->position);
            return CMD_FAILED;
        }
        for (uint32_t i = 0; i < ctx.session.LaneCount && i < 4; ++i) {
            uint32_t unit = ctx.session.LaneUnits[i];
            if (unit == LANE_EMPTY) continue;
            int index = FindUnit(ctx.session.CurrentPort, unit);
            if (index < 0 && !remove) {
                for (int u = 0; u < UNIT_RECORDS && index < 0; ++u)
                    if (!Defined(ctx.units[u])) index = u;
                if (index < 0) {
                    ReportError("TOO MANY EMULATOR UNITS IN USE\a\n", nullptr);
                    RecomputeLanes();
                    return CMD_FAILED;
                }
                int slot = SlotOf(ctx.session.CurrentPort);
                if (slot < 0) {
                    PrintText("INTERNAL FAILURE #9\n");
                    RecomputeLanes();
                    return CMD_FAILED;
                }
                UnitRecord& r = ctx.units[index];
                r = UnitRecord{};
                r.UnitNumber = unit;
                r.request.DevSize = row->size;
                r.ResetNormal = RESET_HIZ;
                r.ResetPulse = RESET_LOW;
                r.request.LoadVerify = IsParallelPort(ctx.session.CurrentPort) ? 1 : 0;
                r.PortSlot = static_cast<uint32_t>(slot);
                r.request.FoldMode = fold >= 0 ? static_cast<uint32_t>(fold) : FOLD_SOCKET;
            } else if (index >= 0 && remove) {
                RemoveUnit(index);
            } else if (index >= 0) {
                ctx.units[index].request.DevSize = row->size;
                if (fold >= 0) ctx.units[index].request.FoldMode = static_cast<uint32_t>(fold);
            }
        }
        if (remove) {
            RecomputeLanes();
            return CMD_OK;
        }
    }
    RecomputeLanes();
    int laneIndex[4];
    int count = 0;
    for (uint32_t i = 0; i < ctx.session.LaneCount && i < 4; ++i) {
        if (ctx.session.LaneUnits[i] == LANE_EMPTY) continue;
        int index = FindUnit(ctx.session.CurrentPort, ctx.session.LaneUnits[i]);
        if (index >= 0) laneIndex[count++] = index;
    }
    for (int i = 0; i < count; ++i) {
        if (!CheckUnit(laneIndex[i])) {
            for (int j = 0; j < count; ++j) RemoveUnit(laneIndex[j]);
            break;
        }
    }
    RecomputeLanes();
    return g_lanes.set.count != 0 ? CMD_OK : CMD_FAILED;
}

// ---- R ----

ZAM32_HANDLER(CmdReset) {
    struct Pair {
        const char* name;
        uint32_t normal, pulse;
    };
    static const Pair pairs[] = {{"H", 1, 0},  {"L", 0, 1},  {"Z", 2, 0},  {"HL", 1, 0}, {"HZ", 1, 2},
                                 {"LH", 0, 1}, {"LZ", 0, 2}, {"ZH", 2, 1}, {"ZL", 2, 0}};
    const ArgRecord* k = ctx.args.Present(0);
    if (!k) {
        for (int i = 0; i < 4; ++i)
            if (ctx.lanes.records[i]) ZAMSetReset(ctx.lanes.links[i]->handle, ctx.lanes.records[i]->ResetNormal);
        for (int i = 0; i < 4; ++i)
            if (ctx.lanes.records[i]) {
                ZAMSetReset(ctx.lanes.links[i]->handle, ctx.lanes.records[i]->ResetPulse);
                Inform("Pulsing Unit %X Reset Line %s\n", ctx.lanes.records[i]->UnitNumber,
                       ResetLevelName(ctx.lanes.records[i]->ResetPulse));
            }
        std::fflush(stdout);
        SleepMilliseconds(100);
        for (int i = 0; i < 4; ++i)
            if (ctx.lanes.records[i]) ZAMSetReset(ctx.lanes.links[i]->handle, ctx.lanes.records[i]->ResetNormal);
        SleepMilliseconds(100);
        return CMD_OK;
    }
    const Pair* found = nullptr;
    for (const Pair& p : pairs)
        if (EqualNoCase(p.name, k->raw)) found = &p;
    if (!found) {
        ReportError("INVALID KEYWORD FOR THIS COMMAND\a\n", k->position);
        return CMD_FAILED;
    }
    for (int i = 0; i < 4; ++i) {
        if (!ctx.lanes.records[i]) continue;
        ctx.lanes.records[i]->ResetNormal = found->normal;
        ctx.lanes.records[i]->ResetPulse = found->pulse;
        ZAMSetReset(ctx.lanes.links[i]->handle, found->normal);
        Inform("Unit %X Reset Line Set %s\n", ctx.lanes.records[i]->UnitNumber, ResetLevelName(found->normal));
    }
    std::fflush(stdout);
    SleepMilliseconds(100);
    return CMD_OK;
}

// ---- ? ----

ZAM32_HANDLER(CmdList) {
    const ArgRecord* k = ctx.args.Present(0);
    bool detailed = false;
    if (k) {
        if (std::strcmp(k->raw, "????") != 0) {
            ReportError("INVALID KEYWORD FOR THIS COMMAND\a\n", k->position);
            return CMD_FAILED;
        }
        detailed = true;
    }
    PrintText("\nActive Units\n\nPort   Unit EPROM    Reset  Load\nNo.    No.  Type     States Defaults\n\n");
    const int piece = UsableWidth() - 30 > 1 ? UsableWidth() - 30 : 1;
    for (int u = 0; u < UNIT_RECORDS; ++u) {
        const UnitRecord& r = ctx.units[u];
        if (!Defined(r)) continue;
        const PortSlot& slot = ctx.slots[r.PortSlot];
        char name[16], port[32], type[32];
        PortName(slot.Selector, name);
        if (IsParallelPort(slot.Selector))
            std::snprintf(port, sizeof port, "%s,%d", name, static_cast<int>(ZAMGetDelay(ctx.links[u].handle)));
        else std::snprintf(port, sizeof port, "%s", name);
        std::snprintf(type, sizeof type, "%s,%s", DeviceTypeBySize(r.request.DevSize).name,
                      FoldModeName(r.request.FoldMode));
        Print("%-7s%-5X%-9s%c%c     ", port, r.UnitNumber, type, ResetLetter(r.ResetNormal), ResetLetter(r.ResetPulse));
        if (r.request.FileName[0] == 0) {
            PrintText("(none)\n");
        } else {
            std::string t = r.request.FileName;
            char num[16];
            auto field = [&](uint32_t v, bool show) {
                t += ',';
                if (show) {
                    std::snprintf(num, sizeof num, "%X", v);
                    t += num;
                }
            };
            field(r.request.Start, r.request.Start != 0);
            field(r.request.Length, r.request.Length != 0);
            field(r.request.Target, r.request.Target != 0);
            field(r.request.Width, r.request.Width >= 2);
            t += ',';
            t += VerifyModeName(r.request.LoadVerify);
            size_t at = 0;
            while (t.size() - at > static_cast<size_t>(piece)) {
                Print("%.*s\n%*s", piece, t.c_str() + at, 28, "");
                at += static_cast<size_t>(piece);
            }
            Print("%s\n", t.c_str() + at);
        }
        if (detailed) {
            const UnitLink& l = ctx.links[u];
            Print("\n     Handle:%u  Info:%-8X  Delay:%3d=%-3d\n", l.handle, ZAMGetInfo(l.handle), slot.Delay,
                  static_cast<int>(ZAMGetDelay(l.handle)));
            unsigned bits = 0;
            for (uint32_t m = l.FoldMask; m; m &= m - 1) ++bits;
            Print("     Level:%u      MaxK:%-4u      LoadBase:%05lX  Fold:%05lXx%u\n\n", ZAMGetLevel(l.handle), l.MaxK,
                  static_cast<unsigned long>(l.LoadBase), static_cast<unsigned long>(l.FoldMask), 1u << bits);
        }
    }
    bool listed = false;
    char current[16];
    PortName(ctx.session.CurrentPort, current);
    for (uint32_t i = 0; i < ctx.session.LaneCount && i < 4; ++i) {
        uint32_t unit = ctx.session.LaneUnits[i];
        if (unit == LANE_EMPTY || FindUnit(ctx.session.CurrentPort, unit) >= 0) continue;
        Print("%-7s%-5X(none)\n", current, unit);
        listed = true;
    }
    if (detailed) {
        if (listed) PrintText("\n");
        bool any = false;
        for (int s = 0; s < PORT_SLOTS; ++s) {
            if (ctx.slots[s].Selector == SLOT_FREE) continue;
            any = true;
            char name[16];
            Print("PORT SLOT %u: %s,%d Units:", static_cast<unsigned>(s), PortName(ctx.slots[s].Selector, name),
                  ctx.slots[s].Delay);
            bool unitsOn = false;
            for (int u = 0; u < UNIT_RECORDS; ++u)
                if (Defined(ctx.units[u]) && ctx.units[u].PortSlot == static_cast<uint32_t>(s)) {
                    Print(" %u", ctx.units[u].UnitNumber);
                    unitsOn = true;
                }
            if (!unitsOn) PrintText(" (none)");
            PrintText("\n");
        }
        if (!any) PrintText("NO DEFINED PORT SLOTS\n");
        PrintText("\n");
    }
    return CMD_OK;
}
