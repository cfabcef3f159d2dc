#include "sim/unit_model.h"

#include <cstring>
#include <stdexcept>

namespace sim {

UnitModel::UnitModel(uint32_t ramKB, uint8_t unitNumber, uint8_t level) : unit_(unitNumber), level_(level) {
    if (ramKB < 32 || ramKB > 1024 || (ramKB & (ramKB - 1)) != 0)
        throw std::invalid_argument("unit RAM must be a power of two from 32 to 1024 KB");
    ram_.assign(ramKB * 1024u, 0xFF);
    mask_ = ramKB * 1024u - 1;
}

uint8_t UnitModel::applyStuck(uint32_t address, uint8_t v) const {
    for (const auto& s : stuck_)
        if ((s.address & mask_) == address) v = static_cast<uint8_t>((v & ~s.mask) | (s.value & s.mask));
    return v;
}

void UnitModel::write(uint32_t address, const uint8_t* data, uint32_t length) {
    bytesWritten_ += length;
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t a = (address + i) & mask_;
        if (!lost_.empty()) {
            auto it = lost_.find(a);
            if (it != lost_.end() && it->second > 0) {
                if (--it->second == 0) lost_.erase(it);
                continue;
            }
        }
        ram_[a] = data[i];
    }
}

void UnitModel::read(uint32_t address, uint8_t* out, uint32_t length) const {
    bytesRead_ += length;
    for (uint32_t i = 0; i < length; ++i) out[i] = peek(address + i);
}

uint8_t UnitModel::peek(uint32_t address) const {
    uint32_t a = address & mask_;
    return stuck_.empty() ? ram_[a] : applyStuck(a, ram_[a]);
}

void UnitModel::fillRaw(uint8_t value) { std::memset(ram_.data(), value, ram_.size()); }

void UnitModel::fold(uint32_t devSize, uint32_t ramSize) {
    ++foldCount_;
    if (devSize == 0) return;
    uint32_t limit = ramSize < ramBytes() ? ramSize : ramBytes();
    for (uint32_t a = devSize; a + devSize <= limit; a += devSize) std::memcpy(&ram_[a], &ram_[0], devSize);
}

void UnitModel::fillBanksWithDevice(uint32_t deviceBytes, uint32_t fromBank) {
    std::vector<uint8_t> head(deviceBytes);
    for (uint32_t bank = fromBank * kBankBytes; bank < ramBytes(); bank += kBankBytes) {
        for (uint32_t i = 0; i < deviceBytes; ++i) head[i] = raw(bank + i);
        for (uint32_t a = deviceBytes; a + deviceBytes <= kBankBytes; a += deviceBytes)
            write(bank + a, head.data(), deviceBytes);
    }
}

void UnitModel::copyBanks(uint32_t banks, uint32_t copies) {
    std::vector<uint8_t> copy(kBankBytes);
    for (uint32_t k = 0; k < copies; ++k) {
        for (uint32_t i = 0; i < kBankBytes; ++i) copy[i] = raw((k % banks) * kBankBytes + i);
        write((banks + k) * kBankBytes, copy.data(), kBankBytes);
    }
}

void UnitModel::seedLostWrites(uint32_t seed, uint32_t bytes, uint32_t maxLost) {
    SeededRandom rnd(seed);
    for (uint32_t i = 0; i < bytes; ++i) addLostWrites(rnd.below(ramBytes()), 1 + rnd.below(maxLost ? maxLost : 1));
}

}  // namespace sim
