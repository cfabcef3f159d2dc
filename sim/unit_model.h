#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace sim {

// Stuck bits at one RAM address: the bits in `mask` always read as in `value`.
struct StuckBits {
    uint32_t address;
    uint8_t mask;
    uint8_t value;
};

// The inside of an emulator unit as the host sees it: RAM of 32 KB .. 1 MB whose
// addresses alias like real RAM (the high address lines are not decoded), the
// target's reset line, the hardware fold (bank replication) and faults on request.
class UnitModel {
public:
    // ramKB must be a power of two from 32 to 1024. RAM starts as 0xFF.
    explicit UnitModel(uint32_t ramKB = 1024, uint8_t unitNumber = 0, uint8_t level = 0);

    uint32_t ramBytes() const { return static_cast<uint32_t>(ram_.size()); }
    uint8_t unitNumber() const { return unit_; }
    uint8_t level() const { return level_; }
    void setLevel(uint8_t level) { level_ = level; }
    // Identity word: status byte 1 << 8 | status byte 2.
    uint16_t identity() const { return identity_; }
    void setIdentity(uint16_t id) { identity_ = id; }

    // RAM access with aliasing; faults apply.
    void write(uint32_t address, const uint8_t* data, uint32_t length);
    void read(uint32_t address, uint8_t* out, uint32_t length) const;
    uint8_t peek(uint32_t address) const;  // one byte, faults applied
    // Direct RAM contents without faults, for tests that inspect what the host wrote.
    uint8_t raw(uint32_t address) const { return ram_[address & mask_]; }
    void fillRaw(uint8_t value);

    // Replicates the first devSize bytes over the first ramSize bytes of RAM
    // (as the unit's fold command does). devSize must divide ramSize.
    void fold(uint32_t devSize, uint32_t ramSize);
    uint32_t foldCount() const { return foldCount_; }
    // The two fold commands of the units, through write() (so faults and counts apply):
    // each 32 KB bank from `fromBank` on fills the rest of itself with copies of its
    // first `deviceBytes`; banks 0..banks-1 are copied, in turn, over the `copies` banks
    // after them.
    static constexpr uint32_t kBankBytes = 0x8000;
    void fillBanksWithDevice(uint32_t deviceBytes, uint32_t fromBank);
    void copyBanks(uint32_t banks, uint32_t copies);

    uint8_t resetLevel() const { return reset_; }
    void setResetLevel(uint8_t level) {
        reset_ = level;
        ++resetChanges_;
    }
    uint32_t resetChanges() const { return resetChanges_; }

    // Faults.
    void addStuckBits(StuckBits s) { stuck_.push_back(s); }
    // The next `count` writes to this address are lost (the byte keeps its old value).
    void addLostWrites(uint32_t address, uint32_t count) { lost_[address & mask_] += count; }
    // Picks `bytes` random addresses from the seed, each losing 1..maxLost writes.
    void seedLostWrites(uint32_t seed, uint32_t bytes, uint32_t maxLost);
    void setDead(bool dead) { dead_ = dead; }
    bool dead() const { return dead_; }

    uint64_t bytesWritten() const { return bytesWritten_; }
    uint64_t bytesRead() const { return bytesRead_; }

    // The model is shared between a host thread and a bus thread in the USB simulation.
    std::mutex& lock() const { return mutex_; }

private:
    uint8_t applyStuck(uint32_t address, uint8_t v) const;

    std::vector<uint8_t> ram_;
    uint32_t mask_;
    uint8_t unit_;
    uint8_t level_;
    uint16_t identity_ = 0;
    uint8_t reset_ = 2;
    uint32_t resetChanges_ = 0;
    uint32_t foldCount_ = 0;
    bool dead_ = false;
    std::vector<StuckBits> stuck_;
    std::map<uint32_t, uint32_t> lost_;
    uint64_t bytesWritten_ = 0;
    mutable uint64_t bytesRead_ = 0;
    mutable std::mutex mutex_;
};

// Small deterministic generator for fault plans: same seed, same faults.
class SeededRandom {
public:
    explicit SeededRandom(uint32_t seed) : state_(seed ? seed : 0x9E3779B9u) {}
    uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    uint32_t below(uint32_t n) { return n ? next() % n : 0; }

private:
    uint32_t state_;
};

}  // namespace sim
