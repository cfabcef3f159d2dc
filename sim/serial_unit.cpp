// The simulated serial unit: frames in, answers out, on the master side of a pty.
#include "sim/serial_unit.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "sim/options.h"

namespace sim {

namespace {

constexpr uint8_t kAccepted = 0x60;
constexpr uint8_t kRejected = 0x15;
constexpr uint32_t kBank = 0x8000;
// How long a unit that is about to vanish lets the host take what it already sent.
constexpr uint32_t kVanishAfterMs = 1000;

uint64_t NowNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

uint16_t Crc16Arc(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

uint8_t SumOf(const uint8_t* p, size_t n) {
    uint8_t s = 0;
    for (size_t i = 0; i < n; ++i) s = static_cast<uint8_t>(s + p[i]);
    return s;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

struct FaultName {
    const char* name;
    SerialFaultKind kind;
    int args;  // numbers after the name
};
const FaultName kFaults[] = {
    {"bad-header", SERF_BAD_HEADER, 1},
    {"bad-crc", SERF_BAD_CRC, 1},
    {"bad-seq", SERF_BAD_SEQ, 1},
    {"refuse", SERF_REFUSE, 1},
    {"silent", SERF_SILENT, 1},
    {"late", SERF_LATE, 2},
    {"drop", SERF_DROP, 1},
    {"garbage", SERF_GARBAGE, 1},
    {"pause", SERF_PAUSE, 2},
    {"vanish", SERF_VANISH, 1},
    {"cut-data", SERF_CUT_DATA, 1},
    {"cut-crc", SERF_CUT_CRC, 1},
    {"vanish-at-resync", SERF_VANISH_AT_RESYNC, 1},
    {"stuck", SERF_STUCK, 3},
    {"lost-writes", SERF_LOST_WRITES, 2},
    {"deaf", SERF_DEAF, 1},
};

// C prefixes; no minus sign.
bool Number(const std::string& s, uint32_t* v) { return ParseNumber(s, 0, Signs::NoMinus, false, v); }

bool ParseFault(const std::string& text, SerialFault* out) {
    std::vector<std::string> parts = Split(text, ':');
    for (const FaultName& f : kFaults) {
        if (parts[0] != f.name) continue;
        if (static_cast<int>(parts.size()) != f.args + 1) return false;
        uint32_t v[3] = {0, 0, 0};
        for (int i = 0; i < f.args; ++i)
            if (!Number(parts[static_cast<size_t>(i) + 1], &v[i])) return false;
        *out = SerialFault{f.kind, v[0], v[1], v[2]};
        return true;
    }
    return false;
}

}  // namespace

bool ParseSerialUnitOptions(const std::string& text, SerialUnitOptions* out, std::string* error) {
    SerialUnitOptions o = *out;
    if (!text.empty()) {
        for (const std::string& item : Split(text, ',')) {
            size_t eq = item.find('=');
            std::string key = item.substr(0, eq);
            std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
            uint32_t v = 0;
            bool ok = eq != std::string::npos;
            if (ok && key == "fault") {
                SerialFault f{};
                ok = ParseFault(value, &f);
                if (ok) o.faults.push_back(f);
            } else if (ok && Number(value, &v)) {
                if (key == "ram") {
                    ok = v >= 32 && v <= 1024 && (v & (v - 1)) == 0;
                    o.ramKB = v;
                } else if (key == "level") {
                    ok = v <= 255;
                    o.level = static_cast<uint8_t>(v);
                } else if (key == "id") {
                    ok = v <= 0xFFFF;
                    o.identity = static_cast<uint16_t>(v);
                } else if (key == "seed") {
                    o.seed = v;
                } else if (key == "pace") {
                    ok = v <= 1;
                    o.pace = v == 1;
                } else if (key == "dead") {
                    ok = v <= 1;
                    o.dead = v == 1;
                } else {
                    ok = false;
                }
            } else {
                ok = false;
            }
            if (!ok) {
                if (error) *error = "bad serial unit option \"" + item + "\"";
                return false;
            }
        }
    }
    *out = o;
    return true;
}

SerialUnit::SerialUnit(const SerialUnitOptions& options)
    : options_(options), model_(options.ramKB, 0, options.level), faults_(options.faults) {
    model_.setIdentity(options.identity);
    for (const SerialFault& f : faults_) {
        if (f.kind == SERF_STUCK)
            model_.addStuckBits(StuckBits{f.n, static_cast<uint8_t>(f.a), static_cast<uint8_t>(f.b)});
        if (f.kind == SERF_LOST_WRITES) model_.seedLostWrites(options.seed, f.n, f.a);
    }
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

SerialUnit::~SerialUnit() {
    if (master_ >= 0) close(master_);
    for (int fd : wake_)
        if (fd >= 0) close(fd);
}

bool SerialUnit::open(std::string* slavePath, std::string* error) {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    int one = 1;
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0 ||
        ioctl(m, TIOCPKT, &one) != 0 || fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK) != 0) {
        if (error) *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        if (m >= 0) close(m);
        return false;
    }
    // Raw from the start, so that nothing is echoed before the host sets the line.
    struct termios2 t;
    if (ioctl(m, TCGETS2, &t) == 0) {
        t.c_iflag = 0;
        t.c_oflag = 0;
        t.c_lflag = 0;
        t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8 | CREAD | CLOCAL;
        ioctl(m, TCSETS2, &t);
    }
    master_ = m;
    *slavePath = name;
    return true;
}

uint32_t SerialUnit::baud() const {
    if (master_ < 0) return 0;
    struct termios2 t;
    if (ioctl(master_, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}

uint64_t SerialUnit::byteTimeNs() const {
    uint32_t b = baud();
    return b ? 10000000000ull / b : 0;  // 10 bits per byte on the wire
}

void SerialUnit::stop() {
    stop_ = true;
    if (wake_[1] >= 0) {
        ssize_t ignored = write(wake_[1], "x", 1);
        (void)ignored;
    }
}

bool SerialUnit::idle(uint32_t ms) { return idleUntil(NowNs() + static_cast<uint64_t>(ms) * 1000000); }

bool SerialUnit::idleUntil(uint64_t untilNs) {
    while (!stop_) {
        uint64_t now = NowNs();
        if (now >= untilNs) return true;
        uint64_t left = untilNs - now;
        struct timespec ts = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        struct pollfd p = {wake_[0], POLLIN, 0};
        ppoll(&p, 1, &ts, nullptr);
    }
    return false;
}

void SerialUnit::vanish() {
    vanished_ = true;  // before the host can notice
    if (master_ >= 0) close(master_);
    master_ = -1;
}

bool SerialUnit::takeFault(SerialFaultKind kind, uint32_t n, SerialFault* hit) {
    for (size_t i = 0; i < faults_.size(); ++i) {
        if (faults_[i].kind != kind || (kind != SERF_VANISH_AT_RESYNC && faults_[i].n != n)) continue;
        if (hit) *hit = faults_[i];
        faults_.erase(faults_.begin() + static_cast<long>(i));
        return true;
    }
    return false;
}

bool SerialUnit::put(const uint8_t* data, uint32_t length) {
    const uint64_t byteNs = options_.pace ? byteTimeNs() : 0;
    // Chunks of about 2 ms of wire time keep the pace smooth without a call per byte.
    uint32_t chunk = byteNs ? static_cast<uint32_t>(2000000 / byteNs) : length;
    if (chunk == 0) chunk = 1;
    const uint64_t start = NowNs();
    uint32_t done = 0;
    while (done < length) {
        if (stop_ || master_ < 0) return false;
        uint32_t n = length - done < chunk ? length - done : chunk;
        // A chunk reaches the host when its last byte has crossed the wire.
        if (byteNs && !idleUntil(start + (done + n) * byteNs)) return false;
        ssize_t w = write(master_, data + done, n);
        if (w > 0) {
            done += static_cast<uint32_t>(w);
            bytesOut_ += static_cast<uint64_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            struct pollfd p[2] = {{master_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
            poll(p, 2, 50);
        } else {
            return false;  // the host side is gone: the rest is lost on the wire
        }
    }
    return true;
}

void SerialUnit::sendAnswer(uint8_t sequence, uint8_t status, const std::vector<uint8_t>& data, uint32_t n) {
    uint8_t header[5] = {static_cast<uint8_t>(~sequence), status, static_cast<uint8_t>(data.size()),
                         static_cast<uint8_t>(data.size() >> 8), 0};
    if (takeFault(SERF_BAD_SEQ, n)) header[0] = sequence;
    if (takeFault(SERF_REFUSE, n)) header[1] = kRejected;
    header[4] = static_cast<uint8_t>(0 - SumOf(header, 4));
    if (takeFault(SERF_BAD_HEADER, n)) header[4] ^= 0x5A;

    std::vector<uint8_t> bytes(sizeof header + data.size());
    std::copy(header, header + sizeof header, bytes.begin());
    std::copy(data.begin(), data.end(), bytes.begin() + sizeof header);
    if (!data.empty()) {
        uint16_t crc = Crc16Arc(data.data(), data.size());
        if (takeFault(SERF_BAD_CRC, n)) crc ^= 1;
        bytes.push_back(static_cast<uint8_t>(crc));
        bytes.push_back(static_cast<uint8_t>(crc >> 8));
    }
    SerialFault f{};
    if (takeFault(SERF_LATE, n, &f) && !idle(f.a)) return;
    if (takeFault(SERF_GARBAGE, n)) bytes.insert(bytes.begin(), 5, 0xFF);
    if (takeFault(SERF_DROP, n)) bytes.pop_back();
    if (takeFault(SERF_CUT_DATA, n)) {
        put(bytes.data(), static_cast<uint32_t>(5 + data.size() / 2));
        idle(kVanishAfterMs);
        vanish();
        return;
    }
    if (takeFault(SERF_CUT_CRC, n)) {
        put(bytes.data(), static_cast<uint32_t>(5 + data.size()));
        idle(kVanishAfterMs);
        vanish();
        return;
    }
    if (takeFault(SERF_PAUSE, n, &f)) {
        uint32_t half = static_cast<uint32_t>(5 + data.size() / 2);
        if (!put(bytes.data(), half) || !idle(f.a)) return;
        put(bytes.data() + half, static_cast<uint32_t>(bytes.size()) - half);
        return;
    }
    put(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void SerialUnit::handleFrame(const uint8_t* frame) {
    const uint32_t n = ++commands_;
    const uint8_t sequence = frame[0], code = frame[1], bank = frame[2];
    const uint16_t offset = Le16(frame + 3), payloadLength = Le16(frame + 5);
    const uint8_t* payload = frame + 8;
    // A payload that arrived damaged is not acted on; the host hears nothing and retries.
    if (payloadLength && Le16(payload + payloadLength) != Crc16Arc(payload, payloadLength)) return;
    if (options_.dead) return;
    if (takeFault(SERF_VANISH, n)) {
        vanish();
        return;
    }
    if (takeFault(SERF_SILENT, n)) return;

    const uint32_t address = bank * kBank + offset;
    uint8_t status = kAccepted;
    std::vector<uint8_t> data;
    {
        std::lock_guard<std::mutex> g(model_.lock());
        switch (code) {
        case 0x20:  // write the payload
            model_.write(address, payload, payloadLength);
            break;
        case 0x21: {  // compare with the payload: index of the first difference
            uint16_t index = 0xFFFF;
            for (uint32_t i = 0; i < payloadLength; ++i)
                if (model_.peek(address + i) != payload[i]) {
                    index = static_cast<uint16_t>(i);
                    break;
                }
            data = {static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8)};
            break;
        }
        case 0x22:  // read: the payload is the length
            if (payloadLength != 2) {
                status = kRejected;
                break;
            }
            data.resize(Le16(payload));
            model_.read(address, data.data(), static_cast<uint32_t>(data.size()));
            break;
        case 0x23:
            if (payloadLength != 1) {
                status = kRejected;
                break;
            }
            model_.setResetLevel(payload[0]);
            break;
        case 0x24:
            data = {model_.level(), static_cast<uint8_t>(model_.identity() >> 8),
                    static_cast<uint8_t>(model_.identity()), model_.unitNumber(), model_.resetLevel()};
            break;
        case 0x27: {  // fill the rest of every bank with copies of its first s bytes
            uint32_t s = offset;
            if (s == 0 || s > 0x4000 || payloadLength != 4) {
                status = kRejected;
                break;
            }
            model_.fillBanksWithDevice(s, 0);
            break;
        }
        case 0x28: {  // copy banks 0..b-1 over the following n banks
            uint32_t b = bank, count = payloadLength == 2 ? payload[1] : 0;
            if (b == 0 || payloadLength != 2) {
                status = kRejected;
                break;
            }
            model_.copyBanks(b, count);
            break;
        }
        default: status = kRejected; break;
        }
    }
    sendAnswer(sequence, status, data, n);
}

void SerialUnit::serve(uint32_t exitWhenClosedMs) {
    bool hostSeen = false;
    uint64_t closedSinceNs = 0;
    uint8_t buffer[4097];
    while (!stop_ && master_ >= 0) {
        struct pollfd p[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int r = poll(p, 2, 50);
        if (r < 0 && errno != EINTR) return;
        if (stop_) return;
        if ((p[0].revents & POLLHUP) && !(p[0].revents & POLLIN)) {
            // No host on the line: whatever it half sent is gone.
            rx_.clear();
            if (hostSeen && exitWhenClosedMs) {
                if (closedSinceNs == 0) closedSinceNs = NowNs();
                if (NowNs() - closedSinceNs >= static_cast<uint64_t>(exitWhenClosedMs) * 1000000) return;
            }
            idle(20);
            continue;
        }
        if (r > 0 && !(p[0].revents & POLLHUP)) {
            hostSeen = true;
            closedSinceNs = 0;
        }
        if (!(p[0].revents & POLLIN)) continue;
        if (deaf_) {
            idle(20);
            continue;
        }
        // Bytes come in no faster than the wire brings them.
        const uint64_t byteNs = options_.pace ? byteTimeNs() : 0;
        size_t want = sizeof buffer;
        if (byteNs) {
            uint64_t t = NowNs();
            if (rxWireDoneNs_ > t) {
                if (!idleUntil(rxWireDoneNs_)) return;
                continue;
            }
            uint64_t perChunk = 2000000 / byteNs;  // about 2 ms of wire time
            want = 1 + static_cast<size_t>(perChunk < 16 ? 16 : perChunk);
            if (want > sizeof buffer) want = sizeof buffer;
        }
        ssize_t got = read(master_, buffer, want);
        if (got <= 0) {
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            idle(20);  // the host closed the line between poll and read
            continue;
        }
        if (buffer[0] != TIOCPKT_DATA) {
            // The host purged the line: the start of its resynchronisation.
            if (buffer[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) {
                rx_.clear();
                ++purges_;
                if (takeFault(SERF_VANISH_AT_RESYNC, 0)) {
                    vanish();
                    return;
                }
            }
            continue;
        }
        const uint32_t n = static_cast<uint32_t>(got - 1);
        rx_.insert(rx_.end(), buffer + 1, buffer + got);
        bytesIn_ += n;
        const uint64_t now = NowNs();
        // Bytes that were already waiting arrived back to back with the previous ones;
        // after a real pause the wire starts again now. (Waking late must not stretch
        // the line.)
        const uint64_t slack = 5000000;
        rxWireDoneNs_ = (rxWireDoneNs_ + slack >= now ? rxWireDoneNs_ : now) + n * byteNs;

        // Hunt for a header whose bytes sum to 0, then wait for its payload and CRC.
        size_t at = 0;
        while (rx_.size() - at >= 8) {
            if (SumOf(&rx_[at], 8) != 0) {
                ++at;
                continue;
            }
            if (takeFault(SERF_DEAF, commands_ + 1)) {
                deaf_ = true;
                break;
            }
            uint32_t payloadLength = Le16(&rx_[at + 5]);
            size_t total = 8 + payloadLength + (payloadLength ? 2 : 0);
            if (rx_.size() - at < total) break;
            std::vector<uint8_t> frame(rx_.begin() + static_cast<long>(at),
                                       rx_.begin() + static_cast<long>(at + total));
            at += total;
            uint64_t t = NowNs();
            if (rxWireDoneNs_ > t && !idleUntil(rxWireDoneNs_)) return;
            handleFrame(frame.data());
            if (master_ < 0) return;
        }
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(at));
    }
}

}  // namespace sim
