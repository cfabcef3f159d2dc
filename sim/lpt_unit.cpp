#include "sim/lpt_unit.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sim/options.h"

namespace sim {

namespace {

constexpr uint8_t kRest = 0x09;
constexpr uint8_t kModeStrobe = 0x0B;
constexpr uint8_t kAddressStrobe = 0x01;
constexpr uint8_t kMiddleStrobe = 0x0D;
constexpr uint8_t kDataStrobe = 0x08;

// In `base` unless it starts with 0x; no sign.
bool ParseUnsigned(const std::string& s, int base, uint32_t* out) {
    return ParseNumber(s, base, Signs::None, true, out);
}

std::map<uint32_t, std::unique_ptr<LptPortModel>> g_ports;
std::FILE* g_trace = nullptr;
bool g_envDone = false;
bool g_envOk = true;
std::string g_envError;

}  // namespace

bool ParseLptUnitOptions(const std::string& text, LptUnitOptions* out, std::string* error) {
    LptUnitOptions o;
    for (const std::string& item : Split(text, ',')) {
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        auto bad = [&](const char* why) {
            if (error) *error = "PELMO_SIM_LPT option \"" + item + "\": " + why;
            return false;
        };
        if (eq == std::string::npos) return bad("expected key=value");
        uint32_t n = 0;
        if (key == "port") {
            if (!ParseUnsigned(value, 16, &n) || n < 0x100 || n > 0xFFFC || (n & 3))
                return bad("not a port base address");
            o.port = n;
        } else if (key == "unit") {
            if (value == "none") {
                o.present = false;
            } else {
                if (!ParseUnsigned(value, 10, &n) || n > 3) return bad("unit number must be 0..3 or none");
                o.unit = static_cast<uint8_t>(n);
            }
        } else if (key == "ram") {
            if (!ParseUnsigned(value, 10, &n) || n < 32 || n > 1024 || (n & (n - 1)))
                return bad("RAM must be a power of two from 32 to 1024 KB");
            o.ramKB = n;
        } else if (key == "level") {
            if (!ParseUnsigned(value, 10, &n) || n > 1) return bad("level must be 0 or 1");
            o.level = static_cast<uint8_t>(n);
        } else if (key == "noreadback" || key == "echo") {
            if (!ParseUnsigned(value, 16, &n) || n > 0xFF) return bad("not a byte value");
            (key == "echo" ? o.echoFault : o.noReadback) = static_cast<int>(n);
        } else if (key == "claimfail") {
            if (!ParseUnsigned(value, 10, &n) || n == 0) return bad("claim number must be 1 or more");
            o.claimFail = n;
        } else if (key == "idbit") {
            if (!ParseUnsigned(value, 10, &n) || n > 15) return bad("identity bit must be 0..15");
            o.idBitFault = static_cast<int>(n);
        } else if (key == "databit") {
            std::vector<std::string> bv = Split(value, ':');
            uint32_t b = 0, v = 0;
            if (bv.size() != 2 || !ParseUnsigned(bv[0], 10, &b) || b > 7 || !ParseUnsigned(bv[1], 10, &v) || v > 1)
                return bad("expected databit=BIT:VALUE with BIT 0..7 and VALUE 0 or 1");
            o.stuckBit = static_cast<int>(b);
            o.stuckValue = static_cast<uint8_t>(v);
        } else {
            return bad("unknown option");
        }
    }
    *out = o;
    return true;
}

bool ParseLptUnitList(const std::string& text, std::vector<LptUnitOptions>* out, std::string* error) {
    std::vector<LptUnitOptions> list;
    for (const std::string& entry : Split(text, ';')) {
        if (entry.empty()) continue;
        LptUnitOptions o;
        if (!ParseLptUnitOptions(entry, &o, error)) return false;
        list.push_back(o);
    }
    *out = list;
    return true;
}

// ---- the port ----

bool LptPortModel::addUnit(const LptUnitOptions& o) {
    applyPortFaults(o);
    if (!o.present) return true;
    for (const Unit& u : units_)
        if (u.model->unitNumber() == o.unit) return false;
    Unit u;
    u.model = std::make_unique<UnitModel>(o.ramKB, o.unit, o.level);
    u.echoFault = o.echoFault;
    u.idBitFault = o.idBitFault;
    units_.push_back(std::move(u));
    return true;
}

void LptPortModel::applyPortFaults(const LptUnitOptions& o) {
    if (o.noReadback >= 0) noReadback_ = o.noReadback;
    if (o.claimFail) claimFail_ = o.claimFail;
    if (o.stuckBit >= 0) {
        stuckBit_ = o.stuckBit;
        stuckValue_ = o.stuckValue;
    }
}

UnitModel* LptPortModel::unit(uint8_t number) {
    for (Unit& u : units_)
        if (u.model->unitNumber() == number) return u.model.get();
    return nullptr;
}

LptPortModel::Unit* LptPortModel::selected() {
    for (Unit& u : units_)
        if (u.selected) return &u;
    return nullptr;
}

uint8_t LptPortModel::lines() const {
    if (stuckBit_ < 0) return data_;
    uint8_t bit = static_cast<uint8_t>(1u << stuckBit_);
    return static_cast<uint8_t>(stuckValue_ ? (data_ | bit) : (data_ & ~bit));
}

void LptPortModel::flushRun() {
    if (runLength_ > 0) ++runs_[runReg_ == LPT_DATA ? 0 : 1][runLength_];
    runLength_ = 0;
    runReg_ = -1;
}

void LptPortModel::access(char kind, LptRegister reg, uint8_t value) {
    if (trace_) std::fprintf(trace_, "%c %X %02X\n", kind, base_ + reg, value);
    if (kind == 'W') {
        ++writes_;
        if (runReg_ == reg && runValue_ == value) {
            ++runLength_;
            return;
        }
        flushRun();
        runReg_ = reg;
        runValue_ = value;
        runLength_ = 1;
    } else {
        ++reads_;
        flushRun();
    }
}

void LptPortModel::resetCounters() {
    writes_ = reads_ = strobes_ = 0;
    runs_[0].clear();
    runs_[1].clear();
    runLength_ = 0;
    runReg_ = -1;
}

void LptPortModel::writeData(uint8_t v) {
    access('W', LPT_DATA, v);
    data_ = v;
}

void LptPortModel::writeControl(uint8_t v) {
    access('W', LPT_CONTROL, v);
    // A unit acts on the edge out of the resting state, not on every repeated write.
    if (control_ == kRest && v != kRest) strobe(v);
    control_ = v;
}

void LptPortModel::strobe(uint8_t control) {
    const uint8_t v = lines();
    if (control == kModeStrobe) {
        ++strobes_;
        for (Unit& u : units_) {
            u.selected = (v >> 6) == u.model->unitNumber();
            if (!u.selected) continue;
            u.mode = v & 7;
            u.idRead = 0;
            uint8_t reset = (v & 0x18) == 0x10 ? 0 : (v & 0x18) == 0x08 ? 1 : (v & 0x18) == 0 ? 2 : 0xFF;
            if (reset != 0xFF && reset != u.model->resetLevel()) u.model->setResetLevel(reset);
            if (u.mode == 7) {
                uint32_t address = static_cast<uint32_t>(u.high) << 16 | static_cast<uint32_t>(u.middle) << 8 | u.low;
                u.model->write(address, &u.data, 1);
            }
        }
        return;
    }
    Unit* u = selected();
    if (u == nullptr) return;
    switch (control) {
    case kAddressStrobe:
        ++strobes_;
        u->low = v;
        break;
    case kMiddleStrobe:
        ++strobes_;
        u->high = u->low;
        u->middle = v;
        ++u->idRead;
        break;
    case kDataStrobe:
        ++strobes_;
        u->data = v;
        break;
    default: break;
    }
}

bool LptPortModel::claim() {
    ++claims_;
    return claimFail_ == 0 || claims_ < claimFail_;
}

uint8_t LptPortModel::readData() {
    uint8_t v = lines();
    if (noReadback_ >= 0 && data_ == static_cast<uint8_t>(noReadback_)) v = 0xFF;
    access('R', LPT_DATA, v);
    return v;
}

uint8_t LptPortModel::readStatus() {
    uint8_t status = 0x7F;  // nobody drives the lines: all high, bit 7 inverted by the port
    if (Unit* u = selected()) {
        uint8_t out;
        if (u->mode == 1) {
            uint32_t address = static_cast<uint32_t>(u->high) << 16 | static_cast<uint32_t>(u->middle) << 8 | u->low;
            u->model->read(address, &out, 1);
        } else {
            out = u->data;
            if (u->echoFault >= 0 && out == static_cast<uint8_t>(u->echoFault)) out ^= 1;
        }
        uint8_t nibble = (lines() & 1) ? out >> 4 : out & 0x0F;
        uint8_t id = (u->model->level() == 1 ? u->middle >> 4 : u->middle) & 1;
        if (u->idBitFault >= 0 && u->idRead == static_cast<uint8_t>(u->idBitFault + 1)) id ^= 1;
        status = static_cast<uint8_t>(((nibble ^ 0x08) << 4) | (id << 3) | 0x07);
    }
    access('R', LPT_STATUS, status);
    return status;
}

// ---- the set of ports ----

bool AttachLptUnit(const LptUnitOptions& options, std::string* error) {
    auto& slot = g_ports[options.port];
    if (!slot) {
        slot = std::make_unique<LptPortModel>(options.port);
        slot->setTrace(g_trace);
    }
    if (!slot->addUnit(options)) {
        if (error) *error = "PELMO_SIM_LPT: unit " + std::to_string(options.unit) + " given twice on one port";
        return false;
    }
    return true;
}

bool AttachLptUnits(const std::string& list, std::string* error) {
    std::vector<LptUnitOptions> units;
    if (!ParseLptUnitList(list, &units, error)) return false;
    for (const LptUnitOptions& o : units)
        if (!AttachLptUnit(o, error)) return false;
    return true;
}

LptPortModel* FindLptPort(uint32_t base) {
    auto it = g_ports.find(base);
    return it == g_ports.end() ? nullptr : it->second.get();
}

void DetachAllLptPorts() { g_ports.clear(); }

bool SetLptTraceFile(const char* path) {
    if (g_trace) std::fclose(g_trace);
    g_trace = nullptr;
    if (path && *path) {
        g_trace = std::fopen(path, "w");
        if (g_trace == nullptr) {
            for (auto& p : g_ports) p.second->setTrace(nullptr);
            return false;
        }
        // Fully buffered: a trace has millions of lines; stdio flushes it at exit.
        std::setvbuf(g_trace, nullptr, _IOFBF, 1 << 16);
    }
    for (auto& p : g_ports) p.second->setTrace(g_trace);
    return true;
}

bool AttachLptUnitsFromEnvironment(std::string* error) {
    // Read once; a bad variable keeps failing every open with the same reason.
    if (!g_envDone) {
        g_envDone = true;
        const char* trace = std::getenv("PELMO_SIM_LPT_TRACE");
        const char* text = std::getenv("PELMO_SIM_LPT");
        if (trace && *trace && !SetLptTraceFile(trace)) {
            g_envOk = false;
            g_envError = std::string("PELMO_SIM_LPT_TRACE: cannot open ") + trace + ": " + std::strerror(errno);
        } else if (text && *text) {
            g_envOk = AttachLptUnits(text, &g_envError);
        }
    }
    if (!g_envOk && error) *error = g_envError;
    return g_envOk;
}

}  // namespace sim
