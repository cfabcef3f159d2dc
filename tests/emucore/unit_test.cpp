// Hardware-unit paths of the library (USB units found, opened, sized, reset, failing),
// run in-process on the library's own objects with simulated units behind the link.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emucore/emucore.h"
#include "emucore/state.h"
#include "link/errors.h"
#include "link/link.h"
#include "link/transport.h"
#include "tests/emucore/guarded.h"
#include "tests/support/test_support.h"

using emutest::GuardedBuffer;

namespace {

constexpr uint32_t kNoAnswer = LINK_USB_ANSWER_BASE + USB_RESULT_TIMEOUT;  // what a dead sim unit gives

class EmucoreUnits : public ::testing::Test {
protected:
    void SetUp() override { Forget(); }
    void TearDown() override { Forget(); }
    // The library state outlives each case in this process; start each from nothing.
    static void Forget() {
        VXAViewClose();
        if (emucore::g_cur.CurHandle) ZAMClose(emucore::g_cur.CurHandle);
        emucore::g_cur = emucore::CurrentUnit{};
    }
    static bool AnyHandleOpen() {
        for (uint32_t i = 0; i < LINK_SLOT_COUNT; ++i)
            if (ZAMLookup(LINK_HANDLE_BASE + i)) return true;
        return false;
    }
    testsupport::SimUnits sims_;
};

TEST_F(EmucoreUnits, FindReturnsTheFirstUsbUnitThatOpens) {
    struct Case {
        std::vector<uint8_t> units;
        int32_t deadUnit;
        int32_t found;
    };
    for (const Case& c :
         {Case{{}, -1, 4}, Case{{2}, -1, 2}, Case{{1, 3}, -1, 1}, Case{{0, 1}, 0, 1}, Case{{0}, 0, 4}}) {
        testsupport::SimUnits sims;
        for (uint8_t u : c.units) sims.add(32, u).setDead(u == c.deadUnit);
        EXPECT_EQ(VXAFind(), c.found);
        EXPECT_FALSE(AnyHandleOpen()) << "VXAFind leaves the unit closed";
    }
}

TEST_F(EmucoreUnits, UsbUnitIsOpenedAndSizedByTestingItsRam) {
    sim::UnitModel& unit = sims_.add(256, 1);
    EXPECT_EQ(VXAOpen(1, 6), 65536);
    EXPECT_EQ(emucore::g_cur.CurUnit, 1u);
    const uint32_t changes = unit.resetChanges();
    EXPECT_EQ(VXAQTest(0, 0, 0), 256);
    EXPECT_EQ(unit.resetChanges(), changes);
    // With the flag, reset is held at the first level while sizing and left at the second.
    EXPECT_EQ(VXAQTest(1, 0, 2), 256);
    EXPECT_EQ(unit.resetChanges(), changes + 2);
    EXPECT_EQ(unit.resetLevel(), 2);
}

TEST_F(EmucoreUnits, OpeningAgainClosesTheCurrentUnitFirst) {
    sims_.add(64, 1);
    ASSERT_EQ(VXAOpen(1, 3), 8192);
    const uint32_t first = emucore::g_cur.CurHandle;
    ASSERT_NE(ZAMLookup(first), nullptr);
    // Unit 2 does not answer: the failed open leaves no unit, and the unit number as it was.
    EXPECT_EQ(VXAOpen(2, 3), -static_cast<int32_t>(LINK_NOT_AVAILABLE));
    EXPECT_EQ(ZAMLookup(first), nullptr);
    EXPECT_EQ(emucore::g_cur.CurHandle, 0u);
    EXPECT_EQ(emucore::g_cur.CurUnit, 1u);
    EXPECT_EQ(VXAQTest(0, 0, 0), -1);
    ASSERT_EQ(VXAOpen(1, 3), 8192);
    EXPECT_EQ(VXAOpen(4, 3), 8192);
    EXPECT_EQ(emucore::g_cur.CurUnit, 4u);
    // The only handle left open is the virtual unit's.
    for (uint32_t i = 0; i < LINK_SLOT_COUNT; ++i) {
        const LinkSlot* slot = ZAMLookup(LINK_HANDLE_BASE + i);
        if (slot == nullptr) continue;
        EXPECT_EQ(LINK_HANDLE_BASE + i, emucore::g_cur.CurHandle);
        EXPECT_TRUE(slot->flags & SLOT_VIRTUAL);
    }
}

TEST_F(EmucoreUnits, SetResetDrivesTheLineAndReportsLinkFailures) {
    sim::UnitModel& unit = sims_.add(64, 0);
    ASSERT_EQ(VXAOpen(0, 3), 8192);
    const uint32_t changes = unit.resetChanges();
    EXPECT_EQ(VXASetReset(1, 0, 1), 0);  // a plain set touches the line once
    EXPECT_EQ(unit.resetChanges(), changes + 1);
    EXPECT_EQ(unit.resetLevel(), 1);
    EXPECT_EQ(VXASetReset(0, 10, 2), 0);
    EXPECT_EQ(unit.resetChanges(), changes + 3);
    EXPECT_EQ(unit.resetLevel(), 2);
    // A negative width would be a wait of weeks: it pulses without waiting.
    EXPECT_EQ(VXASetReset(0, -1, 2), 0);
    EXPECT_EQ(unit.resetChanges(), changes + 5);
    unit.setDead(true);
    EXPECT_EQ(VXASetReset(0, 0, 0), -static_cast<int32_t>(kNoAnswer));
}

TEST_F(EmucoreUnits, FailedSizingLeavesTheUnitUnsized) {
    sim::UnitModel& unit = sims_.add(64, 0);
    ASSERT_EQ(VXAOpen(0, 3), 8192);
    ASSERT_EQ(VXAQTest(0, 0, 0), 64);
    unit.setDead(true);
    EXPECT_EQ(VXAQTest(0, 0, 0), -static_cast<int32_t>(kNoAnswer));
    unit.setDead(false);
    GuardedBuffer text(VXA_TEXT_SIZE);
    EXPECT_EQ(VXAFill(text.data(), 0, 0, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_TRUE(text.Untouched());
}

// Fold mode decides which RAM aliases of a 27512 on a 1 MB unit receive the bytes.
TEST_F(EmucoreUnits, FoldModesAboveTwoPlaceLikeSocketFolding) {
    struct Case {
        int32_t fold;
        bool at0, at10000, at20000, at30000;
    };
    for (Case c : {Case{0, false, false, true, false}, Case{1, true, false, true, false},
                   Case{2, true, true, true, true}, Case{7, true, false, true, false}}) {
        SCOPED_TRACE(c.fold);
        Forget();
        testsupport::SimUnits sims;
        sim::UnitModel& unit = sims.add(1024, 0);
        ASSERT_EQ(VXAOpen(0, 6), 65536);
        ASSERT_EQ(VXAQTest(0, 0, 0), 1024);
        unit.fillRaw(0xFF);
        GuardedBuffer text(VXA_TEXT_SIZE);
        ASSERT_EQ(VXAFill(text.data(), 0x42, 0x10, 0x20, 1, c.fold, 0, 0, 0), 0) << text.Text();
        EXPECT_EQ(unit.raw(0x10) == 0x42, c.at0);
        EXPECT_EQ(unit.raw(0x10010) == 0x42, c.at10000);
        EXPECT_EQ(unit.raw(0x20010) == 0x42, c.at20000);
        EXPECT_EQ(unit.raw(0x30010) == 0x42, c.at30000);
    }
}

// Wraps the simulated units' driver so that one chosen reset call fails.
class ResetFaults : public EmucoreUnits {
protected:
    void SetUp() override {
        EmucoreUnits::SetUp();
        inner_ = LinkKindDriver(SLOT_USB);
        wrapped_ = *inner_;
        wrapped_.setReset = [](void* impl, uint32_t level) -> uint32_t {
            const int call = calls_++;
            levels_.push_back(level);
            if (call == failCall_) return kNoAnswer;
            return inner_->setReset(impl, level);
        };
        LinkSetKindDriver(SLOT_USB, &wrapped_);
        calls_ = 0;
        failCall_ = -1;
        levels_.clear();
        unit_ = &sims_.add(64, 0);
        ASSERT_EQ(VXAOpen(0, 4), 16384);
        ASSERT_EQ(VXAQTest(0, 0, 0), 64);
        unit_->fillRaw(0xFF);
    }
    void TearDown() override {
        LinkSetKindDriver(SLOT_USB, inner_);
        EmucoreUnits::TearDown();
    }
    static inline const KindDriver* inner_ = nullptr;
    static inline int calls_ = 0;
    static inline int failCall_ = -1;
    static inline std::vector<uint32_t> levels_;
    KindDriver wrapped_{};
    sim::UnitModel* unit_ = nullptr;
};

TEST_F(ResetFaults, OperationRunsBetweenTheTwoResetLevels) {
    GuardedBuffer text(VXA_TEXT_SIZE);
    EXPECT_EQ(VXAFill(text.data(), 0x11, 0, 0x10, 1, 1, 1, 0, 2), 0) << text.Text();
    EXPECT_EQ(levels_, (std::vector<uint32_t>{0, 2}));
    EXPECT_EQ(unit_->raw(0), 0x11);
    EXPECT_EQ(text.Text(), "Filling 10 bytes at offset 0 with 11\rFill Completed with no errors");
    // Without the flag the line is not touched.
    EXPECT_EQ(VXAFill(text.data(), 0x11, 0, 0x10, 1, 1, 0, 0, 2), 0);
    EXPECT_EQ(levels_.size(), 2u);
}

TEST_F(ResetFaults, FailureSettingResetStopsBeforeTheEngine) {
    failCall_ = 0;
    GuardedBuffer text(VXA_TEXT_SIZE);
    EXPECT_EQ(VXAFill(text.data(), 0x11, 0, 0x10, 1, 0, 1, 0, 2), 1);
    EXPECT_EQ(text.Text(), "DEVICE FAILURE SETTING RESET (SUBCODE 010-26)");
    EXPECT_EQ(unit_->raw(0), 0xFF);
    EXPECT_EQ(levels_.size(), 1u);
}

TEST_F(ResetFaults, FailureClearingResetReplacesTheCompletionText) {
    failCall_ = 1;
    GuardedBuffer text(VXA_TEXT_SIZE);
    uint32_t sum = 1234;
    EXPECT_EQ(VXACksum(text.data(), &sum, 0, 0x10, 0, 1, 0, 2), 1);
    EXPECT_EQ(text.Text(), "DEVICE FAILURE CLEARING RESET (SUBCODE 010-26)");
    EXPECT_EQ(sum, 1234u);  // no result stored on failure
    failCall_ = 3;
    EXPECT_EQ(VXAFill(text.data(), 0x11, 0, 0x10, 1, 1, 1, 0, 2), 1);
    EXPECT_EQ(text.Text(), "DEVICE FAILURE CLEARING RESET (SUBCODE 010-26)");
    EXPECT_EQ(unit_->raw(0), 0x11);  // the fill itself ran
}

TEST_F(ResetFaults, EngineFailureStillReleasesResetAndKeepsItsText) {
    GuardedBuffer text(VXA_TEXT_SIZE);
    EXPECT_EQ(VXAFill(text.data(), 0x100, 0, 0x10, 1, 0, 1, 1, 2), 1);
    EXPECT_EQ(text.Text(), "INVALID FILL VALUE, 00 - FF REQUIRED");
    EXPECT_EQ(levels_, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(unit_->resetLevel(), 2);
    // A failing release after an engine failure is ignored: the engine's text stays.
    failCall_ = 3;
    EXPECT_EQ(VXAFill(text.data(), 0x100, 0, 0x10, 1, 0, 1, 1, 2), 1);
    EXPECT_EQ(text.Text(), "INVALID FILL VALUE, 00 - FF REQUIRED");
}

TEST_F(ResetFaults, ViewOpenFramesTheReadWithReset) {
    GuardedBuffer text(VXA_TEXT_SIZE);
    GuardedBuffer out(100);
    failCall_ = 0;
    EXPECT_EQ(VXAViewOpen(text.data(), 0, 1, 0, 2), 1);
    EXPECT_EQ(text.Text(), "DEVICE FAILURE SETTING RESET (SUBCODE 010-26)");
    EXPECT_EQ(VXAViewFormat(out.data(), 0, 1, 16), 1);
    EXPECT_EQ(out.Text(), "ViewFormat:NOT OPEN");

    failCall_ = 2;
    EXPECT_EQ(VXAViewOpen(text.data(), 0, 1, 0, 2), 1);
    EXPECT_EQ(text.Text(), "DEVICE FAILURE CLEARING RESET (SUBCODE 010-26)");
    // The read itself succeeded, so the snapshot is there.
    EXPECT_EQ(VXAViewFormat(out.data(), 0, 1, 1), 0);
    EXPECT_EQ(out.Text(), " 000000  FF    \xFF\r\n");
    // A snapshot that exists is not read again, but reset is still released.
    levels_.clear();
    EXPECT_EQ(VXAViewOpen(text.data(), 0, 1, 0, 2), 0);
    EXPECT_EQ(levels_, (std::vector<uint32_t>{2}));
}

TEST_F(ResetFaults, ViewOpenReportsAReadFailureAndReleasesReset) {
    GuardedBuffer text(VXA_TEXT_SIZE);
    failCall_ = -1;
    wrapped_.read = [](void*, uint8_t*, uint32_t, uint32_t) -> uint32_t { return kNoAnswer; };
    EXPECT_EQ(VXAViewOpen(text.data(), 0, 1, 0, 2), 1);
    EXPECT_EQ(text.Text(), "DEVICE FAILURE READING UNIT (SUBCODE 010-26)");
    EXPECT_EQ(levels_, (std::vector<uint32_t>{0, 2}));
    GuardedBuffer out(100);
    EXPECT_EQ(VXAViewFormat(out.data(), 0, 1, 16), 1);
    EXPECT_EQ(out.Text(), "ViewFormat:NOT OPEN");
}

}  // namespace
