#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "link/errors.h"
#include "link/link.h"

namespace {

class VirtualUnit : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ZAMInit(&h, SELECT_VIRTUAL, 0, 0x8000, 0), LINK_OK);
        std::vector<uint8_t> zero(0x8000, 0);
        ASSERT_EQ(ZAMWrite(h, 0, zero.data(), 0x8000), LINK_OK);
    }
    void TearDown() override { ZAMCloseAll(); }
    uint32_t h = 0;
};

TEST_F(VirtualUnit, RangeRuleForWriteReadCompare) {
    uint8_t data[16];
    for (int i = 0; i < 16; ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
    struct Case {
        uint32_t address, length, code;
    } cases[] = {
        {0x7FF0, 16, LINK_OK},     {0x7FF1, 16, LINK_INVALID},     {0x8000, 0, LINK_OK},
        {0x8000, 1, LINK_INVALID}, {0xFFFFFFF8, 16, LINK_INVALID},  // wraps past 2^32
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> before(0x8000);
        ASSERT_EQ(ZAMRead(h, before.data(), 0, 0x8000), LINK_OK);
        EXPECT_EQ(ZAMWrite(h, c.address, data, c.length), c.code) << std::hex << c.address;
        uint8_t buf[16];
        EXPECT_EQ(ZAMRead(h, buf, c.address, c.length), c.code);
        uint32_t eq = 0xBAD;
        EXPECT_EQ(ZAMCompare(&eq, nullptr, h, c.address, data, c.length), c.code);
        if (c.code != LINK_OK) {
            std::vector<uint8_t> after(0x8000);
            ASSERT_EQ(ZAMRead(h, after.data(), 0, 0x8000), LINK_OK);
            EXPECT_EQ(before, after) << "a refused write must change nothing";
            EXPECT_EQ(eq, 0xBADu) << "outs are written only on success";
        }
    }
    uint8_t back[16];
    ASSERT_EQ(ZAMRead(h, back, 0x7FF0, 16), LINK_OK);
    EXPECT_EQ(0, memcmp(back, data, 16));
}

TEST_F(VirtualUnit, CompareReportsLeadingEqualCountAndUnitByte) {
    const uint8_t unit[4] = {1, 2, 3, 4};
    ASSERT_EQ(ZAMWrite(h, 0x100, unit, 4), LINK_OK);
    struct Case {
        uint8_t data[4];
        uint32_t equal;
        uint8_t unitByte;
    } cases[] = {
        {{1, 2, 9, 4}, 2, 3},
        {{9, 2, 3, 4}, 0, 1},
        {{1, 2, 3, 9}, 3, 4},
    };
    for (const auto& c : cases) {
        uint32_t eq = 0;
        uint8_t ub = 0;
        ASSERT_EQ(ZAMCompare(&eq, &ub, h, 0x100, c.data, 4), LINK_OK);
        EXPECT_EQ(eq, c.equal);
        EXPECT_EQ(ub, c.unitByte);
    }
    uint32_t eq = 0;
    ASSERT_EQ(ZAMCompare(&eq, nullptr, h, 0x100, unit, 4), LINK_OK);
    EXPECT_EQ(eq, 4u);
}

TEST_F(VirtualUnit, ResetLevels) {
    struct Step {
        uint32_t set, expect;
    } steps[] = {{RESET_LOW, 0}, {RESET_UNCHANGED, 0}, {6, 2}, {RESET_HIGH, 1}, {7, 1}, {RESET_HIZ, 2}};
    for (const auto& s : steps) {
        EXPECT_EQ(ZAMSetReset(h, s.set), LINK_OK);
        uint32_t level = 99;
        EXPECT_EQ(ZAMGetReset(h, &level), LINK_OK);
        EXPECT_EQ(level, s.expect) << "after setting " << s.set;
    }
    EXPECT_EQ(ZAMGetReset(h, nullptr), LINK_OK);
}

TEST_F(VirtualUnit, SetFoldIsNotAvailable) { EXPECT_EQ(ZAMSetFold(h, 0x8000, 0x100000), LINK_NOT_AVAILABLE); }

TEST(ClosedHandle, EveryOperationGivesOne) {
    const uint32_t h = 25770;
    uint8_t b = 0;
    uint32_t v = 0;
    EXPECT_EQ(ZAMWrite(h, 0, &b, 1), LINK_INVALID);
    EXPECT_EQ(ZAMRead(h, &b, 0, 1), LINK_INVALID);
    EXPECT_EQ(ZAMCompare(&v, &b, h, 0, &b, 1), LINK_INVALID);
    EXPECT_EQ(ZAMSetReset(h, 0), LINK_INVALID);
    EXPECT_EQ(ZAMGetReset(h, &v), LINK_INVALID);
    EXPECT_EQ(ZAMSetFold(h, 0x8000, 0x8000), LINK_INVALID);
}

}  // namespace
