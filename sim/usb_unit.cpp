#include "sim/usb_unit.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "sim/options.h"

namespace sim {
namespace {

// The host's clock: a late answer is late by the clock that a test can drive.
uint64_t NowMs() { return ClockNow(); }

constexpr uint32_t kForever = 0xFFFFFFFFu;
constexpr uint8_t kAccepted = 0x60;
constexpr uint8_t kRejected = 0x15;

// C prefixes; a sign is read as strtoul reads it.
bool ParseNumber(const std::string& s, uint32_t* out) { return sim::ParseNumber(s, 0, Signs::Any, false, out); }

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

struct FaultName {
    const char* name;
    UsbFaultKind kind;
    uint8_t args;  // numbers after the name
};
const FaultName kFaultNames[] = {
    {"lost-answer", USBF_LOST_ANSWER, 1},
    {"late-answer", USBF_LATE_ANSWER, 2},
    {"stale-answer", USBF_STALE_ANSWER, 1},
    {"bad-status", USBF_BAD_STATUS, 1},
    {"short-answer", USBF_SHORT_ANSWER, 1},
    {"answer-fail", USBF_ANSWER_FAIL, 1},
    {"answer-hang", USBF_ANSWER_HANG, 1},
    {"cmd-fail", USBF_CMD_FAIL, 1},
    {"cmd-hang", USBF_CMD_HANG, 1},
    {"short-cmd", USBF_SHORT_CMD, 1},
    {"short-count", USBF_SHORT_COUNT, 1},
    {"bulk-fail", USBF_BULK_FAIL, 1},
    {"bulk-hang", USBF_BULK_HANG, 1},
    {"short-bulk", USBF_SHORT_BULK, 1},
    {"stuck", USBF_STUCK, 3},
    {"lost-writes", USBF_LOST_WRITES, 2},
    {"vanish", USBF_VANISH, 1},
    {"random", USBF_RANDOM, 1},
};

void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

}  // namespace

bool ParseUsbFault(const std::string& text, UsbFault* out) {
    auto parts = Split(Trim(text), ':');
    for (const auto& f : kFaultNames) {
        if (parts[0] != f.name) continue;
        if (parts.size() != 1u + f.args) return false;
        uint32_t v[3] = {};
        for (uint8_t i = 0; i < f.args; ++i)
            if (!ParseNumber(parts[1 + i], &v[i])) return false;
        out->kind = f.kind;
        out->n = v[0];
        out->a = v[1];
        out->b = v[2];
        return true;
    }
    return false;
}

bool ParseUsbUnitOptions(const std::string& text, UsbUnitOptions* out, std::string* error) {
    UsbUnitOptions o;
    for (const auto& raw : Split(text, ',')) {
        std::string item = Trim(raw);
        if (item.empty()) continue;
        size_t eq = item.find('=');
        std::string key = eq == std::string::npos ? item : item.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        uint32_t n = 0;
        auto bad = [&](const char* why) {
            if (error) *error = "bad USB unit option '" + item + "': " + why;
            return false;
        };
        if (key == "fault") {
            UsbFault f{};
            if (!ParseUsbFault(value, &f)) return bad("unknown fault or wrong arguments");
            o.faults.push_back(f);
            continue;
        }
        if (!ParseNumber(value, &n)) return bad("not a number");
        if (key == "unit") {
            if (n > 3) return bad("unit numbers are 0..3");
            o.unit = static_cast<uint8_t>(n);
        } else if (key == "ram") {
            if (n < 32 || n > 1024 || (n & (n - 1))) return bad("RAM is a power of two from 32 to 1024 KB");
            o.ramKB = n;
        } else if (key == "level") {
            if (n > 255) return bad("level is one byte");
            o.level = static_cast<uint8_t>(n);
        } else if (key == "id") {
            if (n > 0xFFFF) return bad("identity is 16 bits");
            o.identity = static_cast<uint16_t>(n);
        } else if (key == "packet") {
            if (n < 8 || n > 255) return bad("packet size is 8..255");
            o.packet = static_cast<uint16_t>(n);
        } else if (key == "vid" || key == "pid") {
            if (n > 0xFFFF) return bad("16 bits");
            (key == "vid" ? o.vendor : o.product) = static_cast<uint16_t>(n);
        } else if (key == "endpoints") {
            if (n < 1 || n > 4) return bad("endpoints is 1..4");
            o.endpoints = static_cast<uint8_t>(n);
        } else if (key == "cfgpad") {
            if (n > 4000) return bad("cfgpad is at most 4000");
            o.cfgPad = n;
        } else if (key == "bulkdelay") {
            o.bulkDelayMs = n;
        } else if (key == "seed") {
            o.seed = n;
        } else if (key == "dead") {
            o.dead = n != 0;
        } else {
            return bad("unknown option");
        }
    }
    *out = o;
    return true;
}

bool ParseUsbUnitList(const std::string& text, std::vector<UsbUnitOptions>* out, std::string* error) {
    out->clear();
    for (const auto& part : Split(text, ';')) {
        if (Trim(part).empty()) continue;
        UsbUnitOptions o;
        if (!ParseUsbUnitOptions(part, &o, error)) return false;
        out->push_back(o);
    }
    return true;
}

UsbUnit::UsbUnit(const UsbUnitOptions& options)
    : options_(options), model_(options.ramKB, options.unit, options.level), random_(options.seed) {
    model_.setIdentity(options.identity);
    model_.setDead(options.dead);
    for (const auto& f : options.faults) addFault(f);
    buildDescriptors();
}

void UsbUnit::buildDescriptors() {
    deviceDesc_ = {18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 64};
    Put16(deviceDesc_, options_.vendor);
    Put16(deviceDesc_, options_.product);
    Put16(deviceDesc_, 0x0100);
    deviceDesc_.insert(deviceDesc_.end(), {0, 0, 0, 1});

    std::vector<uint8_t> c = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    c.insert(c.end(), {9, 4, 0, 0, options_.endpoints, 0xFF, 0, 0, 0});
    // Vendor descriptors between the interface and its endpoints: parsers must skip them.
    for (uint32_t left = options_.cfgPad; left > 0;) {
        uint32_t len = left < 2 ? 2 : (left > 255 ? 255 : left);
        c.push_back(static_cast<uint8_t>(len));
        c.push_back(0x24);
        c.insert(c.end(), len - 2, 0);
        left = left > len ? left - len : 0;
    }
    const uint8_t addresses[4] = {0x81, 0x02, 0x83, 0x04};
    const uint16_t sizes[4] = {16, 16, options_.packet, options_.packet};
    for (uint8_t k = 0; k < options_.endpoints; ++k) {
        c.insert(c.end(), {7, 5, addresses[k], 2});
        Put16(c, sizes[k]);
        c.push_back(0);
    }
    c[2] = static_cast<uint8_t>(c.size());
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    configDesc_ = c;
}

uint8_t UsbUnit::endpointAddress(uint32_t k) const {
    const uint8_t addresses[4] = {0x81, 0x02, 0x83, 0x04};
    return k < options_.endpoints ? addresses[k] : 0;
}

int UsbUnit::getDescriptor(uint8_t type, uint8_t index, uint8_t* data, uint32_t length) {
    const std::vector<uint8_t>* d = nullptr;
    if (type == 1 && index == 0) d = &deviceDesc_;
    if (type == 2 && index == 0) d = &configDesc_;
    if (!d) return -1;
    uint32_t n = length < d->size() ? length : static_cast<uint32_t>(d->size());
    std::memcpy(data, d->data(), n);
    std::lock_guard<std::mutex> g(mutex_);
    if (type == 2) ++configReads_;
    return static_cast<int>(n);
}

uint32_t UsbUnit::configDescriptorReads() const {
    std::lock_guard<std::mutex> g(mutex_);
    return configReads_;
}

uint8_t UsbUnit::configuration() const {
    std::lock_guard<std::mutex> g(mutex_);
    return configuration_;
}

bool UsbUnit::setConfiguration(uint8_t value) {
    std::lock_guard<std::mutex> g(mutex_);
    if (gone_ || value > 1) return false;
    configuration_ = value;
    pending_ = {};
    return true;
}

void UsbUnit::addFault(const UsbFault& f) {
    if (f.kind == USBF_STUCK) {
        std::lock_guard<std::mutex> g(model_.lock());
        model_.addStuckBits({f.n, static_cast<uint8_t>(f.a), static_cast<uint8_t>(f.b)});
        return;
    }
    if (f.kind == USBF_LOST_WRITES) {
        std::lock_guard<std::mutex> g(model_.lock());
        model_.seedLostWrites(options_.seed, f.n, f.a);
        return;
    }
    std::lock_guard<std::mutex> g(mutex_);
    faults_.push_back(f);
}

bool UsbUnit::gone() const {
    std::lock_guard<std::mutex> g(mutex_);
    return gone_;
}

void UsbUnit::setGone() {
    std::lock_guard<std::mutex> g(mutex_);
    gone_ = true;
}

uint32_t UsbUnit::commands() const {
    std::lock_guard<std::mutex> g(mutex_);
    return commands_;
}
uint32_t UsbUnit::answerReads() const {
    std::lock_guard<std::mutex> g(mutex_);
    return answerReads_;
}
uint32_t UsbUnit::bulkTransfers() const {
    std::lock_guard<std::mutex> g(mutex_);
    return bulkTransfers_;
}
uint64_t UsbUnit::bulkBytes() const {
    std::lock_guard<std::mutex> g(mutex_);
    return bulkBytes_;
}

// Called with mutex_ held: true when a fault of this kind is due at event `count`.
bool UsbUnit::takeFault(UsbFaultKind kind, uint32_t count, UsbFault* hit) {
    for (const auto& f : faults_) {
        if (f.kind == kind && f.n == count) {
            if (hit) *hit = f;
            return true;
        }
    }
    return false;
}

UsbXferResult UsbUnit::transfer(uint8_t endpoint, uint8_t* data, uint32_t length, uint32_t* moved,
                                const UsbWait& wait) {
    *moved = 0;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (gone_) return USBX_GONE;
    }
    uint32_t k = 0;
    while (k < options_.endpoints && endpointAddress(k) != endpoint) ++k;
    if (k == options_.endpoints) return USBX_BAD_ENDPOINT;
    switch (k) {
    case 0: return answer(data, length, moved, wait);
    case 1: {
        UsbXferResult r = command(data, length, wait);
        if (r == USBX_OK) *moved = length;
        if (r == USBX_OK && length == 10) {
            std::lock_guard<std::mutex> g(mutex_);
            if (takeFault(USBF_SHORT_CMD, commands_)) *moved = 9;
        }
        return r;
    }
    case 2: return bulk(true, data, length, moved, wait);
    default: return bulk(false, data, length, moved, wait);
    }
}

UsbXferResult UsbUnit::command(const uint8_t* p, uint32_t length, const UsbWait& wait) {
    std::unique_lock<std::mutex> g(mutex_);
    uint32_t n = ++commands_;
    if (takeFault(USBF_VANISH, n)) {
        gone_ = true;
        g.unlock();
        for (int id : AttachedUsbUnits())
            if (FindUsbUnit(id).get() == this) DetachUsbUnit(id);
        return USBX_GONE;
    }
    if (takeFault(USBF_CMD_FAIL, n)) return USBX_STALL;
    if (takeFault(USBF_CMD_HANG, n)) {
        g.unlock();
        wait(kForever);
        return USBX_CANCELLED;
    }
    if (length != 10 || takeFault(USBF_SHORT_CMD, n)) return USBX_OK;  // not a packet: ignored

    // A command replaces the previous answer; until it is ready the answer pipe says "not yet".
    uint8_t seq = p[0], code = p[1], p1 = p[2], p2 = p[3];
    uint16_t w1 = static_cast<uint16_t>(p[4] | p[5] << 8);
    uint16_t w2 = static_cast<uint16_t>(p[6] | p[7] << 8);
    uint16_t w3 = static_cast<uint16_t>(p[8] | p[9] << 8);
    uint8_t prevSeq = lastSeq_;
    lastSeq_ = seq;
    std::memset(answer_, 0, sizeof answer_);
    answer_[0] = static_cast<uint8_t>(~seq);
    answer_[1] = kAccepted;
    answerValid_ = true;
    answerLost_ = false;
    answerDueMs_ = 0;

    if (model_.dead()) {
        answerLost_ = true;
        return USBX_OK;
    }
    {
        std::lock_guard<std::mutex> m(model_.lock());
        switch (code) {
        case 0x20:  // write: bulk data follows
            pending_ = {true, false, p2 * 0x8000u + w2, w3};
            break;
        case 0x22:  // read: bulk data follows
            pending_ = {true, true, p1 * 0x8000u + w1, w3};
            break;
        case 0x23: model_.setResetLevel(p1); break;
        case 0x24:
            answer_[2] = model_.level();
            answer_[3] = static_cast<uint8_t>(model_.identity() >> 8);
            answer_[4] = static_cast<uint8_t>(model_.identity());
            answer_[5] = model_.unitNumber();
            answer_[6] = model_.resetLevel();
            answer_[7] = 0;
            break;
        case 0x27: {  // fill the rest of each bank with copies of its first w2 bytes
            uint32_t s = w2;
            if (s == 0 || s > 0x4000) break;
            model_.fold(s, 0x8000);
            model_.fillBanksWithDevice(s, 1);
            break;
        }
        case 0x28: {  // copy banks 0..b-1 over the following n banks
            uint32_t b = p2, count = w3;
            if (b == 0) break;
            model_.copyBanks(b, count);
            break;
        }
        case 0x29: bulkMoved_ = 0; break;
        case 0x2A: {
            uint32_t count = bulkMoved_;
            if (takeFault(USBF_SHORT_COUNT, ++countCommands_) && count > 0) --count;
            for (int i = 0; i < 4; ++i) answer_[2 + i] = static_cast<uint8_t>(count >> (8 * i));
            pending_ = {};
            break;
        }
        case 0x2B: {
            uint32_t count = w3 > 6 ? 6 : w3;
            model_.read(p1 * 0x8000u + w1, answer_ + 2, count);
            break;
        }
        case 0x2C: model_.write(p2 * 0x8000u + w2, &p1, 1); break;
        default: answer_[1] = kRejected; break;
        }
    }

    UsbFault f{};
    if (takeFault(USBF_LOST_ANSWER, n)) answerLost_ = true;
    if (takeFault(USBF_LATE_ANSWER, n, &f)) answerDueMs_ = NowMs() + f.a;
    if (takeFault(USBF_STALE_ANSWER, n)) answer_[0] = static_cast<uint8_t>(~prevSeq);
    if (takeFault(USBF_BAD_STATUS, n)) answer_[1] = kRejected;
    for (const auto& r : faults_) {
        if (r.kind != USBF_RANDOM || random_.below(1000) >= r.n) continue;
        switch (random_.below(4)) {
        case 0: answerLost_ = true; break;
        case 1: answer_[0] = static_cast<uint8_t>(~prevSeq); break;
        case 2: answer_[1] = kRejected; break;
        default: answerDueMs_ = NowMs() + 300; break;
        }
    }
    return USBX_OK;
}

UsbXferResult UsbUnit::answer(uint8_t* data, uint32_t length, uint32_t* moved, const UsbWait& wait) {
    std::unique_lock<std::mutex> g(mutex_);
    uint32_t n = ++answerReads_;
    if (takeFault(USBF_ANSWER_FAIL, n)) return USBX_STALL;
    if (takeFault(USBF_ANSWER_HANG, n)) {
        g.unlock();
        wait(kForever);
        return USBX_CANCELLED;
    }
    uint8_t a[8] = {};
    if (answerValid_) {
        bool ready = !answerLost_ && (answerDueMs_ == 0 || NowMs() >= answerDueMs_);
        if (ready) {
            std::memcpy(a, answer_, 8);
        } else {
            a[0] = static_cast<uint8_t>(~lastSeq_);  // busy with that command, no answer yet
        }
    }
    uint32_t count = length < 8 ? length : 8;
    if (takeFault(USBF_SHORT_ANSWER, n) && count > 0) --count;
    std::memcpy(data, a, count);
    *moved = count;
    return USBX_OK;
}

UsbXferResult UsbUnit::bulk(bool in, uint8_t* data, uint32_t length, uint32_t* moved, const UsbWait& wait) {
    std::unique_lock<std::mutex> g(mutex_);
    uint32_t n = ++bulkTransfers_;
    if (takeFault(USBF_BULK_FAIL, n)) return USBX_STALL;
    bool hang = takeFault(USBF_BULK_HANG, n);
    bool shortened = takeFault(USBF_SHORT_BULK, n);
    uint32_t delay = hang ? kForever : options_.bulkDelayMs;
    if (delay) {
        g.unlock();
        if (!wait(delay)) return USBX_CANCELLED;
        g.lock();
        if (gone_) return USBX_GONE;
    }
    uint32_t count = length;
    if (shortened && count > 0) --count;
    std::lock_guard<std::mutex> m(model_.lock());
    if (in) {
        // Bytes of an armed read; past its end (or with none armed) the unit sends nothing.
        uint32_t give = pending_.armed && pending_.in ? (count < pending_.remaining ? count : pending_.remaining) : 0;
        if (give) model_.read(pending_.address, data, give);
        pending_.address += give;
        pending_.remaining -= give;
        count = give;
    } else {
        uint32_t take = pending_.armed && !pending_.in ? (count < pending_.remaining ? count : pending_.remaining) : 0;
        if (take) model_.write(pending_.address, data, take);
        pending_.address += take;
        pending_.remaining -= take;
        bulkMoved_ += take;
        bulkBytes_ += take;
        *moved = count;
        return USBX_OK;
    }
    bulkMoved_ += count;
    bulkBytes_ += count;
    *moved = count;
    return USBX_OK;
}

// ---- the bus ----

namespace {

constexpr int kMaxUnits = 32;
std::mutex g_busMutex;
std::shared_ptr<UsbUnit> g_units[kMaxUnits];
UsbBusListener g_listener;
bool g_envDone = false;

}  // namespace

void SetUsbBusListener(const UsbBusListener& listener) {
    std::lock_guard<std::mutex> g(g_busMutex);
    g_listener = listener;
}

int AttachUsbUnit(const UsbUnitOptions& options) {
    UsbBusListener l;
    int id = -1;
    {
        std::lock_guard<std::mutex> g(g_busMutex);
        for (int i = 0; i < kMaxUnits && id < 0; ++i)
            if (!g_units[i]) id = i;
        if (id < 0) return -1;
        g_units[id] = std::make_shared<UsbUnit>(options);
        l = g_listener;
    }
    if (l.arrived) l.arrived(id, l.context);
    return id;
}

int AttachUsbUnit(const std::string& options, std::string* error) {
    UsbUnitOptions o;
    if (!ParseUsbUnitOptions(options, &o, error)) return -1;
    return AttachUsbUnit(o);
}

void DetachUsbUnit(int id) {
    UsbBusListener l;
    {
        std::lock_guard<std::mutex> g(g_busMutex);
        if (id < 0 || id >= kMaxUnits || !g_units[id]) return;
        g_units[id]->setGone();
        g_units[id].reset();
        l = g_listener;
    }
    if (l.left) l.left(id, l.context);
}

void DetachAllUsbUnits() {
    for (int id : AttachedUsbUnits()) DetachUsbUnit(id);
}

std::shared_ptr<UsbUnit> FindUsbUnit(int id) {
    std::lock_guard<std::mutex> g(g_busMutex);
    if (id < 0 || id >= kMaxUnits) return nullptr;
    return g_units[id];
}

std::vector<int> AttachedUsbUnits() {
    std::lock_guard<std::mutex> g(g_busMutex);
    std::vector<int> ids;
    for (int i = 0; i < kMaxUnits; ++i)
        if (g_units[i]) ids.push_back(i);
    return ids;
}

bool AttachUsbUnitsFromEnvironment(std::string* error) {
    {
        std::lock_guard<std::mutex> g(g_busMutex);
        if (g_envDone) return true;
        g_envDone = true;
    }
    const char* text = std::getenv("PELMO_SIM_USB");
    if (!text || !*text) return true;
    std::vector<UsbUnitOptions> list;
    if (!ParseUsbUnitList(text, &list, error)) return false;
    for (const auto& o : list)
        if (AttachUsbUnit(o) < 0) {
            if (error) *error = "too many simulated USB units";
            return false;
        }
    return true;
}

}  // namespace sim
