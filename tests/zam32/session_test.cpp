// Port slots and units inside the process: virtual units, simulated units behind the
// USB kind (and, for the slot limit, behind the serial and parallel kinds too).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/link.h"
#include "link/transport.h"
#include "tests/support/test_support.h"
#include "tests/zam32/console_fixture.h"
#include "zam32/commands.h"
#include "zam32/screen.h"

namespace {

using SessionTest = ConsoleFixture;

// A simulated unit whose memory cannot be had fails its check and is removed.
TEST_F(SessionTest, VirtualUnitWithoutMemoryIsRemoved) {
    uint32_t blockers[LINK_SLOT_COUNT];
    for (uint32_t& h : blockers) ASSERT_EQ(ZAMInit(&h, SELECT_VIRTUAL, 0, 1024, 0), 0u);
    EXPECT_EQ(Run("p v;u 0;t 27256"), "Checking PvU0 as 27256\nINSUFFICIENT PC RAM FOR UNIT 0 SIMULATION\a\n");
    EXPECT_EQ(FindUnit(SELECT_VIRTUAL, 0), -1);
    EXPECT_EQ(Lanes().set.count, 0u);
    EXPECT_EQ(ErrorStatus(), 3);
    EXPECT_EQ(Run("s"), "COMMAND ERROR NEAR \"s\"\nCURRENT EMULATOR TYPE NOT DEFINED\a\n");
    for (uint32_t h : blockers) ZAMClose(h);
    EXPECT_EQ(Run("t 27256"), "Checking PvU0 as 27256\n");
    EXPECT_EQ(Lanes().set.count, 1u);
    EXPECT_EQ(Lanes().set.DevSize, 0x8000u);
}

TEST_F(SessionTest, LaneSetsNeedEqualSizes) {
    Run("p v;u 0;t 27256;u 1;t 27512");
    Run("u 01");
    EXPECT_EQ(Lanes().set.count, 0u);
    EXPECT_EQ(Run("f 0"), "COMMAND ERROR NEAR \"f\"\nCURRENT EMULATOR TYPE NOT DEFINED\a\n");
    Run("t 27256");  // both become 32 KB units: one 64 KB set
    EXPECT_EQ(Lanes().set.count, 2u);
    EXPECT_EQ(Lanes().set.DevSize, 0x10000u);
    Run("u -1");
    EXPECT_EQ(Lanes().set.count, 2u);
    EXPECT_EQ(Lanes().records[0], nullptr);
    ASSERT_NE(Lanes().records[1], nullptr);
    EXPECT_EQ(Lanes().records[1]->UnitNumber, 1u);
    Run("u 0;t -");
    EXPECT_EQ(FindUnit(SELECT_VIRTUAL, 0), -1);
    EXPECT_EQ(Lanes().set.count, 0u);
    EXPECT_NE(FindUnit(SELECT_VIRTUAL, 1), -1);
}

TEST_F(SessionTest, TypeChecksAndRechecksUnits) {
    EXPECT_EQ(Run("t"), "TYPE ARGUMENT IS REQUIRED FOR THIS PORT/UNIT\a\n");
    EXPECT_EQ(Run("p v;t 512 ff"), "COMMAND ERROR NEAR \"ff\"\nINVALID KEYWORD FOR THIS COMMAND\a\n");
    EXPECT_EQ(Run("t 512"), "Checking PvU0 as 27512\n");
    EXPECT_EQ(Lanes().set.DevSize, 0x10000u);
    EXPECT_EQ(Run("t"), "Checking PvU0 as 27512\n");    // a usable selection is checked again
    EXPECT_EQ(Run("t 2k"), "Checking PvU0 as 2716\n");  // any name of the row, any case
    EXPECT_EQ(Run("t 9999"), "COMMAND ERROR NEAR \"9999\"\nINVALID DEVICE TYPE KEYWORD\a\n");
    EXPECT_EQ(Run("t - nf"), "COMMAND ERROR NEAR \"nf\"\nINVALID KEYWORD FOR THIS COMMAND\a\n");
}

TEST_F(SessionTest, UsbUnitsAreSizedPlacedAndRefusedWhenTooSmall) {
    testsupport::SimUnits sim;
    sim.add(256, 0);
    sim.add(32, 1);
    EXPECT_EQ(Run("p u;u 0;t 27512"), "Checking PuU0 as 27512\n");
    EXPECT_EQ(UnitLinks()[FindUnit(SELECT_USB, 0)].MaxK, 256u);
    EXPECT_EQ(Run("u 1;t 27512"),
              "Checking PuU1 as 27512\nInsufficient RAM for requested device type on\n"
              "selected unit, max emulated ROM is #32K-bytes\a\n");
    EXPECT_EQ(FindUnit(SELECT_USB, 1), -1);
    EXPECT_EQ(Run("u 2;t 27256"),
              "Checking PuU2 as 27256\nCANNOT ACCESS EMULATOR ON PORT u UNIT 2\nDEVICE FAILURE (SUBCODE 100-5)\a\n");
    EXPECT_EQ(FindUnit(SELECT_USB, 2), -1);
}

TEST_F(SessionTest, ResetLevelsAreStoredSetAndPulsed) {
    testsupport::SimUnits sim;
    sim::UnitModel& unit = sim.add(64, 0);
    Run("p u;u 0;t 27256");
    EXPECT_EQ(unit.resetLevel(), RESET_HIZ);  // a new unit's normal level
    EXPECT_EQ(Run("r hz"), "Unit 0 Reset Line Set HIGH\n");
    EXPECT_EQ(unit.resetLevel(), RESET_HIGH);
    uint32_t changes = unit.resetChanges();
    EXPECT_EQ(Run("r"), "Pulsing Unit 0 Reset Line HI-Z\n");
    EXPECT_EQ(unit.resetLevel(), RESET_HIGH);
    EXPECT_EQ(unit.resetChanges() - changes, 3u);  // normal, pulse, normal
    EXPECT_EQ(Run("r x"), "COMMAND ERROR NEAR \"x\"\nINVALID KEYWORD FOR THIS COMMAND\a\n");
    const UnitRecord& r = Session().Units[FindUnit(SELECT_USB, 0)];
    EXPECT_EQ(r.ResetNormal, RESET_HIGH);
    EXPECT_EQ(r.ResetPulse, RESET_HIZ);
}

TEST_F(SessionTest, ScanListsUnitsAndSelectsTheFirst) {
    testsupport::SimUnits sim;
    sim.add(1024, 0);
    sim.add(32, 2);
    EXPECT_EQ(Run("p u?"),
              "Scanning for USB devices\n \\ U    0    1    2    3\nP \\\n"
              "u       8M   -    256K -    \n");
    EXPECT_EQ(Session().CurrentPort, SELECT_USB);
    EXPECT_EQ(Session().LaneCount, 1u);
    EXPECT_EQ(Session().LaneUnits[0], 0u);
    // With a usable selection a scan changes nothing.
    Run("p v;t 27256");
    Run("p u?");
    EXPECT_EQ(Session().CurrentPort, SELECT_VIRTUAL);
}

// Four slots each holding a unit: a fifth port is refused until a slot is free of units.
TEST_F(SessionTest, FifthPortNeedsASlotWithoutUnits) {
    testsupport::SimUnits sim;
    sim.add(64, 0);
    sim.add(64, 1);
    const KindDriver* usb = LinkKindDriver(SLOT_USB);
    const KindDriver* oldSerial = LinkSetKindDriver(SLOT_SERIAL, usb);
    const KindDriver* oldParallel = LinkSetKindDriver(SLOT_PARALLEL, usb);
    EXPECT_EQ(Run("t 27256;p v;t 27256;p u;t 27256;p c1;t 27256"),
              "Checking Pl1U0 as 27256\nChecking PvU0 as 27256\nChecking PuU0 as 27256\nChecking Pc1U0 as 27256\n");
    EXPECT_EQ(Run("p l2"), "TOO MANY EMULATOR UNITS IN USE\a\n");
    EXPECT_EQ(Session().CurrentPort, SELECT_SERIAL | 1);
    EXPECT_EQ(Run("t -;p l2"), "");
    EXPECT_EQ(Session().CurrentPort, 2u);
    EXPECT_EQ(Session().Slots[3].Selector, 2u);
    // A new delay on an existing slot checks its units again.
    EXPECT_EQ(Run("p l1,5"), "Checking Pl1U0 as 27256\n");
    EXPECT_EQ(Session().Slots[0].Delay, 5);
    LinkSetKindDriver(SLOT_SERIAL, oldSerial);
    LinkSetKindDriver(SLOT_PARALLEL, oldParallel);
}

TEST_F(SessionTest, DetailedListing) {
    testsupport::SimUnits sim;
    sim.add(256, 1);
    Run("p u;u 1-;t 27256 ff;r lz;p v;u 0;t 2716");
    ASSERT_EQ(Lanes().set.count, 1u);
    const UnitLink& usb = UnitLinks()[FindUnit(SELECT_USB, 1)];
    char fold[96];
    unsigned copies = 1u << __builtin_popcount(usb.FoldMask);
    std::snprintf(fold, sizeof fold, "     Level:0      MaxK:256       LoadBase:%05X  Fold:%05Xx%u\n\n", usb.LoadBase,
                  usb.FoldMask, copies);
    EXPECT_GT(copies, 1u);  // a 32 KB device folded fully over 256 KB
    std::string listing = Run("?????");
    EXPECT_EQ(
        listing.rfind("\nActive Units\n\nPort   Unit EPROM    Reset  Load\nNo.    No.  Type     States Defaults\n\n"
                      "u      1    27256,ff LZ     (none)\n\n     Handle:",
                      0),
        0u)
        << listing;
    EXPECT_NE(listing.find(fold), std::string::npos) << listing;
    EXPECT_NE(listing.find("v      0    2716,pf  ZL     (none)\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("PORT SLOT 0: l1,32767 Units: (none)\nPORT SLOT 1: u,32767 Units: 1\n"
                           "PORT SLOT 2: v,32767 Units: 0\n\n"),
              std::string::npos)
        << listing;
    EXPECT_EQ(Run("??"), "COMMAND ERROR NEAR \"??\"\nINVALID KEYWORD FOR THIS COMMAND\a\n");
}

TEST_F(SessionTest, NtFamilyRules) {
    SetOsClass(5);
    SessionDefaults();
    EXPECT_EQ(Session().CurrentPort, SELECT_USB);
    EXPECT_EQ(Session().Slots[0].Selector, SELECT_USB);
    EXPECT_EQ(Session().Slots[0].Delay, 0);
    EXPECT_EQ(Run("p 378"), "COMMAND ERROR NEAR \"378\"\nINVALID PORT SELECTION\a\n");
    EXPECT_EQ(Run("p l378"), "COMMAND ERROR NEAR \"l378\"\nINVALID PORT SELECTION\a\n");
    EXPECT_EQ(Run("p 1"), "COMMAND ERROR NEAR \"1\"\nINVALID PORT SELECTION\a\n");
    EXPECT_EQ(Run("p c9"), "");
    EXPECT_EQ(Session().CurrentPort, SELECT_SERIAL | 9);
    SetOsClass(0);
}

}  // namespace
