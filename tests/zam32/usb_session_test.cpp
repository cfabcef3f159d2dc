// Console commands on simulated USB units reached through the real USB path (user-side
// transport, driver host, unit on the simulated bus), where the unit itself can be
// looked at: the reset levels that R and T send arrive at the unit.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "link/link.h"
#include "link/usb.h"
#include "platform/devio.h"
#include "sim/usb_unit.h"
#include "tests/support/test_support.h"
#include "tests/zam32/console_fixture.h"
#include "zam32/commands.h"
#include "zam32/screen.h"
#include "zam32/session.h"

namespace {

class UsbSession : public ConsoleFixture {
protected:
    void SetUp() override {
        UsbSetConsole(-1);
        ConsoleFixture::SetUp();
    }
    void ResetLinks() override {
        ZAMCloseAll();
        DevHostStop();
        sim::DetachAllUsbUnits();
    }
    std::shared_ptr<sim::UsbUnit> Attach(const std::string& options) {
        std::string error;
        int id = sim::AttachUsbUnit(options, &error);
        EXPECT_GE(id, 0) << options << ": " << error;
        return sim::FindUsbUnit(id);
    }
};

TEST_F(UsbSession, ResetLevelsReachTheUnit) {
    auto unit = Attach("unit=0,ram=256");
    ASSERT_TRUE(unit);
    EXPECT_EQ(Run("p u;t 27256"), "Checking PuU0 as 27256\n");
    // The check leaves the line at the unit's normal level, HI-Z for a new unit.
    EXPECT_EQ(unit->model().resetLevel(), 2);

    struct Case {
        const char* keyword;
        int normal;
    } cases[] = {{"H", 1}, {"L", 0}, {"Z", 2}, {"HZ", 1}, {"LH", 0}, {"ZL", 2}};
    for (const Case& c : cases) {
        Run((std::string("r ") + c.keyword).c_str());
        EXPECT_EQ(unit->model().resetLevel(), c.normal) << c.keyword;
    }

    // A bare T checks the unit again, reopening it, and sets its normal level again.
    Run("r hz");
    {
        std::lock_guard<std::mutex> g(unit->model().lock());
        unit->model().setResetLevel(0);  // as if the target had been reset meanwhile
    }
    EXPECT_EQ(Run("t"), "Checking PuU0 as 27256\n");
    EXPECT_EQ(unit->model().resetLevel(), 1);

    // A pulse: normal, pulse level, normal again, so three changes at the unit.
    Run("r lh");
    uint32_t before = unit->model().resetChanges();
    EXPECT_EQ(Run("r"), "Pulsing Unit 0 Reset Line HIGH\n");
    EXPECT_EQ(unit->model().resetChanges(), before + 3);
    EXPECT_EQ(unit->model().resetLevel(), 0);
}

// Both lanes of a set get the line; a unit outside the selection does not.
TEST_F(UsbSession, ResetGoesToEveryLaneUnit) {
    auto u0 = Attach("unit=0,ram=128");
    auto u1 = Attach("unit=1,ram=128");
    auto u2 = Attach("unit=2,ram=128");
    Run("p u;u 2;t 27256;u 01;t 27256");
    ASSERT_EQ(Lanes().set.count, 2u) << out;
    EXPECT_EQ(Run("r h"), "Unit 0 Reset Line Set HIGH\nUnit 1 Reset Line Set HIGH\n");
    EXPECT_EQ(u0->model().resetLevel(), 1);
    EXPECT_EQ(u1->model().resetLevel(), 1);
    EXPECT_EQ(u2->model().resetLevel(), 2);
}

}  // namespace
