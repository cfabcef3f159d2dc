#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "sim/unit_model.h"

namespace {

TEST(UnitModel, AddressesAliasLikeRealRam) {
    for (uint32_t kb : {32u, 256u, 1024u}) {
        sim::UnitModel m(kb);
        const uint8_t v = 0x5C;
        m.write(0x1234 + kb * 1024 * 3, &v, 1);
        EXPECT_EQ(m.raw(0x1234), v) << kb;
        EXPECT_EQ(m.peek(0x1234 + kb * 1024), v) << kb;
    }
}

TEST(UnitModel, RejectsSizesRealUnitsDoNotHave) {
    for (uint32_t kb : {0u, 16u, 48u, 2048u}) EXPECT_THROW(sim::UnitModel{kb}, std::invalid_argument) << kb;
}

TEST(UnitModel, FoldReplicatesTheFirstBank) {
    sim::UnitModel m(256);
    std::vector<uint8_t> bank(0x8000);
    for (size_t i = 0; i < bank.size(); ++i) bank[i] = static_cast<uint8_t>(i * 7);
    m.write(0, bank.data(), 0x8000);
    m.fold(0x8000, 0x40000);
    for (uint32_t a = 0; a < 0x40000; a += 0x1111) EXPECT_EQ(m.raw(a), bank[a % 0x8000]) << a;
    EXPECT_EQ(m.foldCount(), 1u);
}

TEST(UnitModel, LostWritesAndStuckBits) {
    sim::UnitModel m(32);
    m.fillRaw(0);
    m.addLostWrites(0x10, 2);
    m.addStuckBits({0x20, 0x81, 0x01});
    const uint8_t v = 0xFF, w = 0x00;
    m.write(0x10, &v, 1);
    m.write(0x10, &v, 1);
    EXPECT_EQ(m.raw(0x10), 0x00) << "two writes lost";
    m.write(0x10, &v, 1);
    EXPECT_EQ(m.raw(0x10), 0xFF) << "the third arrives";
    m.write(0x20, &v, 1);
    EXPECT_EQ(m.peek(0x20), 0x7F);
    m.write(0x20, &w, 1);
    EXPECT_EQ(m.peek(0x20), 0x01);
    EXPECT_EQ(m.raw(0x20), 0x00) << "raw shows what was stored";
}

TEST(UnitModel, SeededFaultsRepeat) {
    auto faults = [](uint32_t seed) {
        sim::UnitModel m(32);
        m.fillRaw(0);
        m.seedLostWrites(seed, 20, 3);
        std::vector<uint8_t> ones(0x8000, 1);
        m.write(0, ones.data(), 0x8000);
        std::vector<uint32_t> lost;
        for (uint32_t a = 0; a < 0x8000; ++a)
            if (m.raw(a) == 0) lost.push_back(a);
        return lost;
    };
    EXPECT_EQ(faults(42), faults(42));
    EXPECT_NE(faults(42), faults(43));
    EXPECT_FALSE(faults(42).empty());
}

}  // namespace
