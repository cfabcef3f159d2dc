#include "link/ram.h"

#include <cstring>
#include <vector>

#include "link/errors.h"
#include "link/link.h"

namespace {

constexpr uint32_t kRewriteLimit = 100;
constexpr uint32_t kHostFolds = 0xFFFFFFFFu;

// Lane i of k holds image bytes i, i + k, ...: of a range from `address` it takes the
// stream bytes first, first + k, ..., count of them, at lane address (address + first) / k.
struct LaneShare {
    uint32_t first;
    uint32_t count;
};
LaneShare ShareOfLane(uint32_t i, uint32_t k, uint32_t address, uint32_t length) {
    const uint32_t first = (k + i - address % k) % k;
    return {first, (length + k - first - 1) / k};
}

}  // namespace

uint32_t RamFoldModeOf(uint32_t foldMode) { return foldMode > 2 ? FOLD_SOCKET : foldMode; }

void RamPlaceLane(UnitLink& link, uint32_t devSize, uint32_t foldMode) {
    const uint32_t d = (link.MaxK & 0xFFFFFF) * 1024 - 1;
    const DeviceTypeRow& row = DeviceTypeBySize(devSize);
    switch (RamFoldModeOf(foldMode)) {
    case FOLD_NONE:
        link.LoadBase = d & row.baseMask;
        link.FoldMask = 0;
        break;
    case FOLD_SOCKET:
        link.LoadBase = 0;
        link.FoldMask = d & row.foldMask;
        break;
    default:
        link.LoadBase = 0;
        link.FoldMask = d & (0u - devSize);
        break;
    }
}

uint32_t NextFoldAddress(uint32_t address, uint32_t mask) {
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
        if (!(mask & bit)) continue;
        if (address & bit) {
            address &= ~bit;
        } else {
            address |= bit;
            break;
        }
    }
    return address;
}

void RamWriteJob::ChooseLaneFolds(const UnitSet& set, uint32_t mode, bool directJob, uint32_t length) {
    set_ = set;
    mode_ = mode;
    for (uint32_t i = 0; i < 4; ++i) {
        laneMask_[i] = kHostFolds;
        if (i >= set.count || set.links[i] == nullptr || set.settings[i] == nullptr) continue;
        bool hardware = mode != VERIFY_ONLY && RamFoldModeOf(set.settings[i]->FoldMode) == FOLD_FULL &&
                        ZAMGetLevel(set.links[i]->handle) == 3;
        // Short patches are cheaper to write as copies than to refold the whole RAM.
        if (hardware && directJob) hardware = length > set.DevSize / 2 || set.DevSize <= 0x3FFF;
        if (hardware) laneMask_[i] = 0;
    }
}

// Writes (and verifies) n bytes of one lane at lane address a over every alias the lane
// folds to. done receives how many leading bytes are right.
uint32_t RamWriteJob::WriteLane(const UnitLink& link, uint32_t laneMask, uint32_t a, const uint8_t* data, uint32_t n,
                                uint32_t* corrected, uint32_t* done) {
    // A link error leaves nothing counted as done: what the unit holds is unknown.
    *done = 0;
    a += link.LoadBase;
    uint32_t retries = 0;
    const uint32_t mask = link.FoldMask & laneMask;
    do {
        if (mode_ != VERIFY_ONLY) {
            uint32_t code = ZAMWrite(link.handle, a, data, n);
            if (code) return code;
        }
        if (mode_ != LOAD_ONLY) {
            uint32_t pos = 0;
            while (pos < n) {
                uint32_t equal = 0;
                uint8_t unit = 0;
                uint32_t code = ZAMCompare(&equal, &unit, link.handle, a + pos, data + pos, n - pos);
                if (code) return code;
                if (equal >= n - pos) break;
                pos += equal;
                lastExpected_ = data[pos];
                lastUnit_ = unit;
                if (mode_ == VERIFY_ONLY) {
                    *done = pos;
                    return LINK_OK;
                }
                bool fixed = false;
                for (int attempt = 0; attempt < 3 && !fixed; ++attempt) {
                    ++retries;
                    code = ZAMWrite(link.handle, a + pos, data + pos, 1);
                    if (code) return code;
                    code = ZAMCompare(&equal, &unit, link.handle, a + pos, data + pos, 1);
                    if (code) return code;
                    fixed = equal == 1;
                    if (!fixed) lastUnit_ = unit;
                }
                if (!fixed) {
                    *done = pos;
                    return LINK_OK;
                }
                ++*corrected;
                if (retries > kRewriteLimit) return LINK_TOO_MANY_REWRITES;
            }
        }
        a = NextFoldAddress(a, mask);
    } while ((a & mask) != 0);
    *done = n;
    return LINK_OK;
}

// One pass of a block through the lane spreading; done = leading stream bytes right.
uint32_t RamWriteJob::SpreadWrite(uint32_t a, const uint8_t* data, uint32_t n, uint32_t* corrected, uint32_t* done) {
    const UnitSet& set = set_;
    const uint32_t k = set.count ? set.count : 1;
    *done = n;
    if (k == 1) {
        if (set.links[0] == nullptr) return LINK_OK;
        return WriteLane(*set.links[0], laneMask_[0], a, data, n, corrected, done);
    }
    std::vector<uint8_t> scratch(n / k + 1);
    for (uint32_t i = 0; i < k; ++i) {
        const auto [d, count] = ShareOfLane(i, k, a, n);
        if (set.links[i] == nullptr || count == 0) continue;
        for (uint32_t j = 0; j < count; ++j) scratch[j] = data[d + j * k];
        uint32_t laneDone = 0;
        uint32_t code =
            WriteLane(*set.links[i], laneMask_[i], (a + d) / k, scratch.data(), count, corrected, &laneDone);
        if (code) {
            *done = 0;
            return code;
        }
        if (laneDone < count) {
            *done = laneDone * k + d;
            return LINK_OK;
        }
    }
    return LINK_OK;
}

uint32_t RamWriteJob::Begin(const UnitSet& set, uint32_t start, uint32_t length, uint32_t mode) {
    ChooseLaneFolds(set, mode, true, length);
    address_ = start;
    bufFill_ = 0;
    return LINK_OK;
}

uint32_t RamWriteJob::RunningAddress() const { return address_; }

uint32_t RamWriteJob::WriteBlock(const uint8_t* data, uint32_t length, uint32_t* corrected, uint32_t* done) {
    *done = 0;
    if (set_.count <= 1 || length <= kPiece) {
        uint32_t code = SpreadWrite(address_, data, length, corrected, done);
        address_ += *done;
        return code;
    }
    for (uint32_t off = 0; off < length; off += kPiece) {
        uint32_t piece = length - off < kPiece ? length - off : kPiece;
        uint32_t pieceDone = 0;
        uint32_t code = SpreadWrite(address_, data + off, piece, corrected, &pieceDone);
        address_ += pieceDone;
        *done = off + pieceDone;
        if (code || pieceDone < piece) return code;
    }
    return LINK_OK;
}

void RamWriteJob::BeginBuffered(const UnitSet& set, uint32_t mode) {
    ChooseLaneFolds(set, mode, false, 0);
    bufFill_ = 0;
    bufStart_ = 0;
}

uint32_t RamWriteJob::Flush(uint32_t* corrected, uint32_t* failAddress) {
    *failAddress = 0xFFFFFFFFu;
    if (bufFill_ == 0) return LINK_OK;
    uint32_t n = bufFill_;
    bufFill_ = 0;
    uint32_t done = 0;
    uint32_t code = SpreadWrite(bufStart_, buffer_, n, corrected, &done);
    if (code == LINK_OK && done < n) *failAddress = bufStart_ + done;
    return code;
}

uint32_t RamWriteJob::BufferedWrite(uint32_t address, const uint8_t* data, uint32_t length, uint32_t* corrected,
                                    uint32_t* failAddress) {
    *failAddress = 0xFFFFFFFFu;
    while (length > 0) {
        // Longer blocks than a run holds go in runs; records never need this.
        uint32_t part = length < kPiece - 1 ? length : kPiece - 1;
        if (bufFill_ != 0 &&
            (address < bufStart_ || address > bufStart_ + bufFill_ || address - bufStart_ + part >= kPiece)) {
            uint32_t code = Flush(corrected, failAddress);
            if (code || *failAddress != 0xFFFFFFFFu) return code;
        }
        if (bufFill_ == 0) bufStart_ = address;
        uint32_t at = address - bufStart_;
        std::memcpy(buffer_ + at, data, part);
        if (at + part > bufFill_) bufFill_ = at + part;
        address += part;
        data += part;
        length -= part;
    }
    return LINK_OK;
}

uint32_t RamWriteJob::End(uint32_t* corrected, uint32_t* failAddress) {
    uint32_t code = Flush(corrected, failAddress);
    if (code == LINK_OK) code = ApplyFold();
    return code;
}

uint32_t RamWriteJob::ApplyFold() const {
    const UnitSet& set = set_;
    for (uint32_t i = 0; i < set.count && i < 4; ++i) {
        if (set.links[i] == nullptr || set.settings[i] == nullptr || laneMask_[i] != 0) continue;
        uint32_t code = ZAMSetFold(set.links[i]->handle, set.settings[i]->DevSize, set.links[i]->MaxK * 1024);
        if (code) return code;
    }
    return LINK_OK;
}

void RamWriteJob::LastMismatch(uint8_t* unitByte, uint8_t* expected) const {
    if (unitByte) *unitByte = lastUnit_;
    if (expected) *expected = lastExpected_;
}

uint32_t RamReadBlock(const UnitSet& set, uint8_t* buffer, uint32_t address, uint32_t length) {
    const uint32_t k = set.count ? set.count : 1;
    if (k == 1) {
        if (set.links[0] == nullptr) {
            std::memset(buffer, 0xFF, length);
            return LINK_OK;
        }
        return ZAMRead(set.links[0]->handle, buffer, address + set.links[0]->LoadBase, length);
    }
    std::vector<uint8_t> scratch(length / k + 1);
    for (uint32_t i = 0; i < k; ++i) {
        const auto [d, count] = ShareOfLane(i, k, address, length);
        if (count == 0) continue;
        if (set.links[i] == nullptr) {
            std::memset(scratch.data(), 0xFF, count);
        } else {
            uint32_t code =
                ZAMRead(set.links[i]->handle, scratch.data(), (address + d) / k + set.links[i]->LoadBase, count);
            if (code) return code;
        }
        for (uint32_t j = 0; j < count; ++j) buffer[d + j * k] = scratch[j];
    }
    return LINK_OK;
}

uint32_t RamTestUnit(uint32_t handle, uint32_t* MaxK) {
    static const uint8_t kPattern[16] = {0x55, 0xAA, 0xFF, 0x5A, 0xA5, 0x3C, 0xC3, 0x00,
                                         0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80};
    *MaxK = 0;
    if (ZAMGetLevel(handle) != 3) {
        for (uint32_t offset = 0; offset < 0x100000; offset += 0x6789) {
            uint8_t saved[16];
            uint32_t code = ZAMRead(handle, saved, offset, 16);
            if (code) return code;
            bool passed = false;
            for (int attempt = 0; attempt < 4 && !passed; ++attempt) {
                uint32_t equal = 0;
                if ((code = ZAMWrite(handle, offset, kPattern, 16))) return code;
                if ((code = ZAMCompare(&equal, nullptr, handle, offset, kPattern, 16))) return code;
                if (equal != 16) continue;
                if ((code = ZAMWrite(handle, offset, saved, 16))) return code;
                if ((code = ZAMCompare(&equal, nullptr, handle, offset, saved, 16))) return code;
                passed = equal == 16;
            }
            if (!passed) return LINK_OK;  // no usable RAM
        }
    }
    uint8_t saved[32];
    for (uint32_t i = 0; i < 32; ++i)
        if (uint32_t code = ZAMRead(handle, &saved[i], 0x1234 + i * 0x8000, 1)) return code;
    for (uint32_t i = 32; i-- > 0;) {
        uint8_t v = static_cast<uint8_t>(i);
        if (uint32_t code = ZAMWrite(handle, 0x1234 + i * 0x8000, &v, 1)) return code;
    }
    uint32_t count = 0;
    for (uint32_t i = 0; i < 32; ++i) {
        uint8_t v = 0;
        if (uint32_t code = ZAMRead(handle, &v, 0x1234 + i * 0x8000, 1)) return code;
        if (v != i) break;
        ++count;
    }
    for (uint32_t i = 0; i < 32; ++i)
        if (uint32_t code = ZAMWrite(handle, 0x1234 + i * 0x8000, &saved[i], 1)) return code;
    if (count == 1 || count == 2 || count == 4 || count == 8 || count == 16 || count == 32) *MaxK = count * 32;
    return LINK_OK;
}
