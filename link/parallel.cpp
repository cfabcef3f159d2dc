// Parallel-port transport: port records, the delay rule, the routine sets made
// from one template, the open probe, and the kind driver.
#include "link/parallel.h"

#include <cstdio>
#include <cstring>
#include <array>
#include <utility>

#include "link/errors.h"
#include "link/link.h"

namespace {

constexpr uint8_t CTRL_REST = 0x09;
constexpr uint8_t CTRL_MODE = 0x0B;
constexpr uint8_t CTRL_ADDRESS = 0x01;  // high or low address byte
constexpr uint8_t CTRL_MIDDLE = 0x0D;
constexpr uint8_t CTRL_DATA = 0x08;
constexpr uint8_t CTRL_RELEASED = 0x0C;

constexpr uint8_t MODE_IDLE = 0;
constexpr uint8_t MODE_READ = 1;
constexpr uint8_t MODE_WRITE = 3;
constexpr uint8_t MODE_WRITE_STEP = 7;

constexpr uint16_t FAILURE_DELAY_COUNT = 25;
constexpr uint32_t SELFTEST_WRITES = 25;

ParallelRecord g_records[PARALLEL_RECORD_COUNT];

// Timed writes of a straight-line set: exactly N writes, unrolled.
template <int N>
struct Fixed {
    template <size_t... I>
    static void Repeat(void (*put)(LptPort*, uint8_t), LptPort* p, uint8_t v, std::index_sequence<I...>) {
        ((static_cast<void>(I), put(p, v)), ...);
    }
    static void Data(ParallelRecord* r, uint8_t v) { Repeat(LptWriteData, r->port, v, std::make_index_sequence<N>{}); }
    static void Control(ParallelRecord* r, uint8_t v) {
        Repeat(LptWriteControl, r->port, v, std::make_index_sequence<N>{});
    }
};

// Timed writes of the counted set: delay-count writes in a loop.
struct Counted {
    static void Data(ParallelRecord* r, uint8_t v) {
        for (uint16_t i = 0; i < r->delayCount; ++i) LptWriteData(r->port, v);
    }
    static void Control(ParallelRecord* r, uint8_t v) {
        for (uint16_t i = 0; i < r->delayCount; ++i) LptWriteControl(r->port, v);
    }
};

// Every routine of the protocol, written once over the timing policy T.
template <class T, int D>
struct Routines {
    static void Strobe(ParallelRecord* r, uint8_t control) {
        T::Control(r, control);
        T::Control(r, CTRL_REST);
    }
    static void Put(ParallelRecord* r, uint8_t value, uint8_t control) {
        T::Data(r, value);
        Strobe(r, control);
    }
    static void Mode(ParallelRecord* r, uint8_t mode) { Put(r, static_cast<uint8_t>(r->modeShadow | mode), CTRL_MODE); }
    static void Start(ParallelRecord* r, uint8_t mode) {
        T::Control(r, CTRL_REST);
        Mode(r, MODE_IDLE);
        Mode(r, mode);
    }
    static void Release(ParallelRecord* r) {
        LptWriteControl(r->port, CTRL_RELEASED);
        T::Data(r, 0);
    }
    static void Finish(ParallelRecord* r) {
        Mode(r, MODE_IDLE);
        Release(r);
    }
    static void HighMiddle(ParallelRecord* r, uint32_t address) {
        Put(r, static_cast<uint8_t>(address >> 16), CTRL_ADDRESS);
        Put(r, static_cast<uint8_t>(address >> 8), CTRL_MIDDLE);
    }
    // Before byte i > 0: when the low byte has wrapped, high and middle go again.
    static void Step(ParallelRecord* r, uint32_t address, uint32_t i) {
        if (i > 0 && (address & 0xFF) == 0) HighMiddle(r, address);
        Put(r, static_cast<uint8_t>(address), CTRL_ADDRESS);
    }
    static uint8_t ReadByte(ParallelRecord* r) {
        T::Data(r, 0);
        uint8_t low = LptReadStatus(r->port);
        T::Data(r, 1);
        uint8_t high = LptReadStatus(r->port);
        return static_cast<uint8_t>(((high & 0xF0) | (low >> 4)) ^ 0x88);
    }

    static void Write(ParallelRecord* r, uint32_t address, const uint8_t* data, uint32_t length) {
        if (length == 0) return;
        Start(r, MODE_WRITE);
        HighMiddle(r, address);
        for (uint32_t i = 0; i < length; ++i, ++address) {
            Step(r, address, i);
            LptWriteData(r->port, data[i]);  // once: the strobe that follows is timed
            Strobe(r, CTRL_DATA);
            Mode(r, MODE_WRITE_STEP);
            Mode(r, MODE_WRITE);
        }
        Finish(r);
    }
    static void Read(ParallelRecord* r, uint8_t* buffer, uint32_t address, uint32_t length) {
        if (length == 0) return;
        Start(r, MODE_READ);
        HighMiddle(r, address);
        for (uint32_t i = 0; i < length; ++i, ++address) {
            Step(r, address, i);
            buffer[i] = ReadByte(r);
        }
        Finish(r);
    }
    static uint32_t Compare(ParallelRecord* r, uint32_t address, const uint8_t* data, uint32_t length,
                            uint8_t* unitByte) {
        if (length == 0) return 0;
        Start(r, MODE_READ);
        HighMiddle(r, address);
        uint32_t i = 0;
        for (; i < length; ++i, ++address) {
            Step(r, address, i);
            uint8_t b = ReadByte(r);
            if (b != data[i]) {
                *unitByte = b;
                break;
            }
        }
        Finish(r);
        return i;
    }
    static void SetReset(ParallelRecord* r, uint32_t level) {
        T::Control(r, CTRL_REST);
        Mode(r, MODE_IDLE);
        static const uint8_t kBits[3] = {0x10, 0x08, 0x00};
        r->modeShadow = static_cast<uint8_t>((r->modeShadow & ~0x18) | kBits[level < 3 ? level : 2]);
        Mode(r, MODE_IDLE);
        Release(r);
    }
    static void Begin(ParallelRecord* r) { Start(r, MODE_WRITE); }
    static uint8_t Exchange(ParallelRecord* r, uint8_t value) {
        Put(r, value, CTRL_DATA);
        return ReadByte(r);
    }
    static uint8_t Identity(ParallelRecord* r, uint8_t value) {
        Put(r, value, CTRL_MIDDLE);
        return LptReadStatus(r->port);
    }
    static constexpr ParallelRoutineSet Set() {
        return ParallelRoutineSet{Write, Read, Compare, SetReset, Begin, Exchange, Identity, Finish, D};
    }
};

template <size_t... D>
constexpr std::array<ParallelRoutineSet, sizeof...(D) + 1> MakeSets(std::index_sequence<D...>) {
    return {Routines<Fixed<static_cast<int>(D) + 1>, static_cast<int>(D)>::Set()..., Routines<Counted, -1>::Set()};
}

constexpr auto kSets = MakeSets(std::make_index_sequence<6>{});

const ParallelRoutineSet& SetFor(int32_t delay) { return ParallelRoutineSets[delay >= 0 && delay <= 5 ? delay : 6]; }

// Lets go of the port after a failed open: the release with a delay count of 25.
void ReleaseAfterFailure(ParallelRecord* r) {
    LptWriteControl(r->port, CTRL_RELEASED);
    for (uint16_t i = 0; i < FAILURE_DELAY_COUNT; ++i) LptWriteData(r->port, 0);
}

bool SelfTest(LptPort* port, uint8_t value, uint8_t* read) {
    for (uint32_t i = 0; i < SELFTEST_WRITES; ++i) LptWriteData(port, value);
    *read = LptReadData(port);
    return *read == value;
}

}  // namespace

const ParallelRoutineSet ParallelRoutineSets[7] = {kSets[0], kSets[1], kSets[2], kSets[3],
                                                   kSets[4], kSets[5], kSets[6]};

int32_t ParallelEffectiveDelay(uint32_t option) {
    if (option == PARALLEL_DEFAULT_OPTION) return 2;
    int32_t v = static_cast<int32_t>(option);
    if (v > 5) v = -v;
    if (v < -25) v = -25;
    return v;
}

uint32_t ParallelStageCode(uint32_t stage) {
    static const uint32_t kCodes[4] = {LINK_INVALID, LINK_NOT_WORKING, LINK_NOT_AVAILABLE, LINK_NO_RESOURCE};
    return stage < 4 ? kCodes[stage] : LINK_NOT_WORKING;
}

uint32_t ParallelOpen(uint32_t selector, uint32_t unit, uint32_t option, ParallelRecord** record,
                      ParallelOpenFailure* failure) {
    *failure = ParallelOpenFailure{};
    failure->selector = selector;
    failure->unit = unit;
    auto fail = [&](uint32_t stage, uint32_t detail) {
        failure->stage = stage;
        failure->detail = detail;
        return ParallelStageCode(stage);
    };
    ParallelRecord* r = nullptr;
    for (ParallelRecord& candidate : g_records)
        if (!candidate.inUse) {
            r = &candidate;
            break;
        }
    if (r == nullptr) return fail(3, 0);

    // Stage 0: the port's address.
    uint32_t base = selector <= 4 ? PortAddressTable[selector] : selector;
    failure->base = base;
    if (base < 0x100 || base > 0xFFFC || (base & 3) != 0) return fail(0, 0);

    // Stage 1: the port itself.
    *r = ParallelRecord{};
    r->inUse = true;
    r->dataPort = static_cast<uint16_t>(base);
    r->statusPort = static_cast<uint16_t>(base + 1);
    r->controlPort = static_cast<uint16_t>(base + 2);
    if (LptOpen(selector <= 4 ? selector : 0, base, &r->port, &failure->platform) != LPT_OK) {
        *r = ParallelRecord{};
        return fail(1, 20);
    }
    if (uint32_t claim = LptClaim(r->port)) {
        failure->platform.result = claim;
        LptClose(r->port);
        *r = ParallelRecord{};
        return fail(1, 20);
    }
    auto failClaimed = [&](uint32_t stage, uint32_t detail) {
        ReleaseAfterFailure(r);
        LptRelease(r->port);
        LptClose(r->port);
        *r = ParallelRecord{};
        return fail(stage, detail);
    };
    static const uint8_t kSelfTest[2] = {0x55, 0xAA};
    for (uint8_t value : kSelfTest) {
        uint8_t read = 0;
        if (!SelfTest(r->port, value, &read)) {
            failure->expected = value;
            failure->read = read;
            return failClaimed(1, 30);
        }
    }

    // Stage 2: the unit.
    r->delay = ParallelEffectiveDelay(option);
    r->delayCount = static_cast<uint16_t>((r->delay < 0 ? -r->delay : r->delay) + 1);
    r->routines = &SetFor(r->delay);
    if (unit > 3) return failClaimed(2, 35);
    r->modeShadow = static_cast<uint8_t>(unit * 64);
    r->routines->begin(r);
    static const uint8_t kProbe[9] = {0x55, 0x22, 0xE6, 0xAA, 0x00, 0x6C, 0x99, 0xFF, 0x00};
    for (uint8_t value : kProbe) {
        uint8_t echo = r->routines->exchange(r, value);
        if (echo != value) {
            failure->expected = value;
            failure->read = echo;
            return failClaimed(2, 45);
        }
    }
    uint16_t word = 0;
    for (int i = 0; i < 16; ++i) {
        uint8_t value = i < 8 ? static_cast<uint8_t>(1u << i) : static_cast<uint8_t>(~(1u << (i - 8)));
        uint8_t status = r->routines->identity(r, value);
        word = static_cast<uint16_t>((word >> 1) | ((status & 0x08) ? 0x8000 : 0));
    }
    if (word == 0xFE01) {
        r->level = 0;
    } else if (word == 0xEF10) {
        r->level = 1;
    } else {
        failure->word = word;
        return failClaimed(2, 70);
    }
    r->routines->end(r);
    LptRelease(r->port);
    *record = r;
    return LINK_OK;
}

namespace {

// Only records of this table: a slot opened while another driver stood in for
// the parallel kind (tests do that) may be closed after this one came back.
bool OwnRecord(const ParallelRecord* record) {
    uintptr_t p = reinterpret_cast<uintptr_t>(record);
    uintptr_t first = reinterpret_cast<uintptr_t>(&g_records[0]);
    uintptr_t end = reinterpret_cast<uintptr_t>(&g_records[PARALLEL_RECORD_COUNT]);
    return p >= first && p < end && (p - first) % sizeof(ParallelRecord) == 0;
}

}  // namespace

void ParallelClose(ParallelRecord* record) {
    if (!OwnRecord(record) || !record->inUse) return;
    // Nothing goes to the unit: its lines stay as the last operation left them.
    LptClose(record->port);
    *record = ParallelRecord{};
}

std::string ParallelOpenFailureText(const ParallelOpenFailure& f) {
    char buf[400];
    switch (f.detail) {
    case 0:
        if (f.stage == 3)
            std::snprintf(buf, sizeof buf, "All %u parallel port records are in use\n", PARALLEL_RECORD_COUNT);
        else
            std::snprintf(buf, sizeof buf, "Port %X is not a printer port address (100..FFFC, a multiple of 4)\n",
                          f.base);
        break;
    case 20: {
        const LptOpenInfo& p = f.platform;
        char where[128];
        if (p.backend == LPT_BACKEND_PPDEV && f.selector >= 1 && f.selector <= 4)
            std::snprintf(where, sizeof where, "LPT%u (%s)", f.selector, p.path);
        else if (p.backend == LPT_BACKEND_PPDEV) std::snprintf(where, sizeof where, "Port %X (%s)", f.base, p.path);
        else if (p.backend == LPT_BACKEND_RAW) std::snprintf(where, sizeof where, "Port %X (raw I/O ports)", f.base);
        else std::snprintf(where, sizeof where, "Port %X", f.base);
        std::string why = LptResultText(p.result);
        if (p.backend == LPT_BACKEND_SIM && p.reason[0]) why += std::string(": ") + p.reason;
        if (p.backend == LPT_BACKEND_RAW &&
            (p.result == LPT_NO_PERMISSION || p.result == LPT_NOT_X86 || p.result == LPT_NO_IO_PORTS))
            why += " (a base address needs root on x86; LPT1..LPT4 use /dev/parport0..3)";
        if (p.backend == LPT_BACKEND_PPDEV && p.result == LPT_NO_PERMISSION)
            why += " (join the lp group or install the udev rule)";
        if (p.sysError) why += std::string(": ") + std::strerror(p.sysError);
        std::snprintf(buf, sizeof buf, "%s: %s\n", where, why.c_str());
        break;
    }
    case 30:
        std::snprintf(buf, sizeof buf, "Port %X failed its self-test: wrote %02X, read back %02X\n", f.base, f.expected,
                      f.read);
        break;
    case 35: std::snprintf(buf, sizeof buf, "Unit number %X is not 0..3\n", f.unit); break;
    case 45:
        std::snprintf(buf, sizeof buf, "No unit %X answers on port %X: sent %02X, echo %02X\n", f.unit, f.base,
                      f.expected, f.read);
        break;
    case 70:
        std::snprintf(buf, sizeof buf, "Unit %X on port %X gave identity bits %04X, not FE01 or EF10\n", f.unit, f.base,
                      f.word);
        break;
    default: std::snprintf(buf, sizeof buf, "Port %X: open failed (stage %u)\n", f.base, f.stage); break;
    }
    return buf;
}

const ParallelRecord* ParallelRecords() { return g_records; }

namespace {

// ---- the kind driver ----

ParallelRecord* Rec(void* impl) { return static_cast<ParallelRecord*>(impl); }

uint32_t DriverOpen(uint32_t selector, uint32_t unit, uint32_t option, LinkOpenResult* out) {
    ParallelRecord* r = nullptr;
    ParallelOpenFailure failure;
    if (uint32_t code = ParallelOpen(selector, unit, option, &r, &failure)) {
        out->failure = ParallelOpenFailureText(failure);
        return code;
    }
    out->impl = r;
    out->Info = r->dataPort;
    out->Delay = static_cast<uint32_t>(r->delay);
    out->Level = r->level;
    return LINK_OK;
}
void DriverClose(void* impl) { ParallelClose(Rec(impl)); }

// No handshake: an absent unit shows only in the data. A port that cannot be
// claimed any more (another program took it) is reported, never passed as done.
uint32_t DriverWrite(void* impl, uint32_t address, const uint8_t* data, uint32_t length) {
    ParallelRecord* r = Rec(impl);
    if (length == 0) return LINK_OK;
    if (LptClaim(r->port) != LPT_OK) return LINK_NOT_WORKING;
    r->routines->write(r, address, data, length);
    LptRelease(r->port);
    return LINK_OK;
}
uint32_t DriverRead(void* impl, uint8_t* buffer, uint32_t address, uint32_t length) {
    ParallelRecord* r = Rec(impl);
    if (length == 0) return LINK_OK;
    if (LptClaim(r->port) != LPT_OK) return LINK_NOT_WORKING;
    r->routines->read(r, buffer, address, length);
    LptRelease(r->port);
    return LINK_OK;
}
uint32_t DriverCompare(void* impl, uint32_t* equal, uint8_t* unitByte, uint32_t address, const uint8_t* data,
                       uint32_t length) {
    ParallelRecord* r = Rec(impl);
    *equal = 0;
    if (length == 0) return LINK_OK;
    if (LptClaim(r->port) != LPT_OK) return LINK_NOT_WORKING;
    *equal = r->routines->compare(r, address, data, length, unitByte);
    LptRelease(r->port);
    return LINK_OK;
}
uint32_t DriverSetReset(void* impl, uint32_t level) {
    ParallelRecord* r = Rec(impl);
    if (LptClaim(r->port) != LPT_OK) return LINK_NOT_WORKING;
    r->routines->setReset(r, level);
    LptRelease(r->port);
    return LINK_OK;
}

const KindDriver kParallelDriver{DriverOpen,    DriverClose,    DriverWrite, DriverRead,
                                 DriverCompare, DriverSetReset, nullptr,     nullptr};

}  // namespace

const KindDriver* ParallelKindDriver() { return &kParallelDriver; }
