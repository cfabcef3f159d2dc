#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/unit_model.h"

// A simulated serial emulator unit on a pseudo-terminal: the unit model behind
// the serial framing (8-byte checksummed command headers, CRC-16/ARC payloads,
// 5-byte answer headers), written from the wire description only. Its answers go
// out at the baud rate the host set on the line unless pacing is off, and the
// bytes the host sends count their wire time before the unit acts on them.
//
// A pseudo-terminal carries no break; the host's purge before its break shows on
// the master side (packet mode) and resets the unit's receiver the same way. The
// unit takes in the host's bytes at the line's pace too, so a long frame keeps the
// host's write waiting once the pty's buffer is full, as a real line would.
//
// Options, ','-separated key=value (numbers decimal or 0x hex):
//   ram=KB        RAM size, power of two 32..1024, default 1024
//   level=N       hardware level reported in the status (3 = folds itself), default 0
//   id=W          identity word, default 0
//   seed=S        seed for lost-writes, default 1
//   pace=0        answers go out as fast as the pty takes them
//   dead=1        the unit never answers
//   fault=F       one fault; repeat the option for more. F is kind:N[:args], N counting
//                 the commands the unit has received (1 = the first):
//     bad-header:N     the answer header's checksum is wrong
//     bad-crc:N        the answer data's CRC is wrong (answers with data)
//     bad-seq:N        the answer carries the command's own sequence byte
//     refuse:N         the answer's status byte is 0x15 instead of 0x60
//     silent:N         no answer at all
//     late:N:MS        the answer goes out MS ms late
//     drop:N           the last byte of the answer is lost
//     garbage:N        five 0xFF bytes go out before the answer
//     pause:N:MS       the answer stops for MS ms halfway through its data
//     vanish:N         the unit disappears (pty closed) when command N arrives
//     cut-data:N       the answer header and half the data go out, then the unit vanishes
//     cut-crc:N        the answer goes out without its CRC, then the unit vanishes
//     vanish-at-resync:N  the unit vanishes when the host purges the line (N ignored)
//     stuck:ADDR:MASK:V   the bits MASK of RAM byte ADDR always read as V
//     lost-writes:B:MAX   B seeded addresses each lose 1..MAX writes
//     deaf:N           from the header of command N on the unit reads nothing more, so
//                      the host's bytes pile up until its writes cannot go on

namespace sim {

enum SerialFaultKind : uint8_t {
    SERF_BAD_HEADER,
    SERF_BAD_CRC,
    SERF_BAD_SEQ,
    SERF_REFUSE,
    SERF_SILENT,
    SERF_LATE,
    SERF_DROP,
    SERF_GARBAGE,
    SERF_PAUSE,
    SERF_VANISH,
    SERF_CUT_DATA,
    SERF_CUT_CRC,
    SERF_VANISH_AT_RESYNC,
    SERF_STUCK,
    SERF_LOST_WRITES,
    SERF_DEAF,
};

struct SerialFault {
    SerialFaultKind kind;
    uint32_t n = 0;
    uint32_t a = 0;
    uint32_t b = 0;
};

struct SerialUnitOptions {
    uint32_t ramKB = 1024;
    uint8_t level = 0;
    uint16_t identity = 0;
    uint32_t seed = 1;
    bool pace = true;
    bool dead = false;
    std::vector<SerialFault> faults;
};

// False with a message in *error on the first bad option.
bool ParseSerialUnitOptions(const std::string& text, SerialUnitOptions* out, std::string* error);

class SerialUnit {
public:
    explicit SerialUnit(const SerialUnitOptions& options);
    ~SerialUnit();
    SerialUnit(const SerialUnit&) = delete;
    SerialUnit& operator=(const SerialUnit&) = delete;

    // Opens the pseudo-terminal; *slavePath is what the host opens.
    bool open(std::string* slavePath, std::string* error);
    // Serves the line until stop(), until the unit vanishes, or, when
    // exitWhenClosedMs is not 0, until the host has had the line closed that long
    // after having opened it.
    void serve(uint32_t exitWhenClosedMs = 0);
    // From any thread (or a signal handler): serve() returns soon.
    void stop();

    UnitModel& model() { return model_; }
    uint32_t commands() const { return commands_; }
    // Purges of the line seen (a host's resynchronisation purges twice).
    uint32_t purges() const { return purges_; }
    uint64_t bytesIn() const { return bytesIn_; }
    uint64_t bytesOut() const { return bytesOut_; }
    uint32_t baud() const;  // the rate the host set, 0 if unknown
    bool vanished() const { return vanished_; }

private:
    bool takeFault(SerialFaultKind kind, uint32_t n, SerialFault* hit = nullptr);
    void handleFrame(const uint8_t* frame);
    void sendAnswer(uint8_t sequence, uint8_t status, const std::vector<uint8_t>& data, uint32_t n);
    // Writes bytes at the line's pace; false when the unit should stop.
    bool put(const uint8_t* data, uint32_t length);
    // Waits ms unless stopped; false when stopped.
    bool idle(uint32_t ms);
    bool idleUntil(uint64_t untilNs);
    void vanish();
    uint64_t byteTimeNs() const;

    SerialUnitOptions options_;
    UnitModel model_;
    int master_ = -1;
    int wake_[2] = {-1, -1};
    std::vector<SerialFault> faults_;
    std::vector<uint8_t> rx_;
    uint64_t rxWireDoneNs_ = 0;  // when the bytes received so far have all crossed the wire
    std::atomic<uint32_t> commands_{0};
    std::atomic<uint32_t> purges_{0};
    std::atomic<uint64_t> bytesIn_{0};
    std::atomic<uint64_t> bytesOut_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> vanished_{false};
    bool deaf_ = false;
};

}  // namespace sim
