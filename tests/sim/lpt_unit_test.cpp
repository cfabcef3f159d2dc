// The simulated printer-port unit at register level, driven by hand from the
// wire description, and its option list.
#include <gtest/gtest.h>

#include <string>

#include "sim/lpt_unit.h"

namespace {

TEST(SimLptOptions, ParsesAndRefuses) {
    std::vector<sim::LptUnitOptions> list;
    std::string error;
    ASSERT_TRUE(
        sim::ParseLptUnitList("port=378,unit=0,ram=128,level=1;port=3bc,unit=none;"
                              "port=0x278,unit=3,ram=32,echo=e6,idbit=15,noreadback=aa,databit=7:0",
                              &list, &error))
        << error;
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].port, 0x378u);
    EXPECT_EQ(list[0].ramKB, 128u);
    EXPECT_EQ(list[0].level, 1);
    EXPECT_FALSE(list[1].present);
    EXPECT_EQ(list[1].port, 0x3BCu);
    EXPECT_EQ(list[2].port, 0x278u);
    EXPECT_EQ(list[2].echoFault, 0xE6);
    EXPECT_EQ(list[2].idBitFault, 15);
    EXPECT_EQ(list[2].noReadback, 0xAA);
    EXPECT_EQ(list[2].stuckBit, 7);
    EXPECT_EQ(list[2].stuckValue, 0);

    const char* bad[] = {"port=37a", "port=ff",  "unit=4",      "ram=100",   "ram=2048", "level=2",
                         "echo=100", "idbit=16", "databit=8:1", "databit=1", "speed=3",  "unit"};
    for (const char* b : bad) {
        EXPECT_FALSE(sim::ParseLptUnitList(b, &list, &error)) << b;
        EXPECT_NE(error.find("PELMO_SIM_LPT option"), std::string::npos) << error;
    }
    sim::DetachAllLptPorts();
    EXPECT_FALSE(sim::AttachLptUnits("port=378,unit=1;port=378,unit=1", &error));
    EXPECT_NE(error.find("given twice"), std::string::npos) << error;
    sim::DetachAllLptPorts();
}

class SimLptPort : public ::testing::Test {
protected:
    SimLptPort() : port(0x378) {
        sim::LptUnitOptions o;
        o.unit = 2;
        o.ramKB = 32;
        port.addUnit(o);
        o.unit = 0;
        o.level = 1;
        port.addUnit(o);
    }
    void Strobe(uint8_t data, uint8_t control, int repeat = 1) {
        port.writeData(data);
        for (int i = 0; i < repeat; ++i) port.writeControl(control);
        for (int i = 0; i < repeat; ++i) port.writeControl(0x09);
    }
    uint8_t ReadByte() {
        port.writeData(0);
        uint8_t low = port.readStatus();
        port.writeData(1);
        uint8_t high = port.readStatus();
        return static_cast<uint8_t>(((high & 0xF0) | (low >> 4)) ^ 0x88);
    }
    sim::LptPortModel port;
};

TEST_F(SimLptPort, WriteStepStoresAtTheLatchedAddressOnce) {
    port.writeControl(0x09);
    Strobe(0x80 | 3, 0x0B);  // unit 2, write
    Strobe(0x01, 0x01, 4);   // high, repeated strobes act once
    Strobe(0x23, 0x0D, 4);   // middle; high takes the low latch
    Strobe(0x45, 0x01, 4);   // low
    Strobe(0x9C, 0x08, 4);
    EXPECT_EQ(port.unit(2)->raw(0x12345), 0xFF) << "the data strobe only latches";
    EXPECT_EQ(ReadByte(), 0x9C) << "the data latch is echoed";
    Strobe(0x80 | 7, 0x0B);
    EXPECT_EQ(port.unit(2)->raw(0x12345), 0x9C);
    EXPECT_EQ(port.unit(2)->raw(0x2345), 0x9C) << "32 KB aliases";
    EXPECT_EQ(port.unit(0)->raw(0x12345), 0xFF) << "the unselected unit saw nothing";
    // Read mode shows RAM; unit 0 selected instead shows its own.
    Strobe(0x80 | 1, 0x0B);
    EXPECT_EQ(ReadByte(), 0x9C);
    Strobe(0x00 | 1, 0x0B);
    Strobe(0x45, 0x01);
    EXPECT_EQ(ReadByte(), 0xFF);
    // A strobe without a return to rest is not a new strobe.
    port.writeData(0x77);
    port.writeControl(0x01);
    port.writeData(0x66);
    port.writeControl(0x01);
    port.writeControl(0x09);
    Strobe(0x03, 0x0B);
    Strobe(0x5A, 0x08);
    Strobe(0x07, 0x0B);
    EXPECT_EQ(port.unit(0)->raw(0x77), 0x5A) << "the first low byte (77) stuck, the second (66) was ignored";
}

TEST_F(SimLptPort, ModeByteSetsResetAndIdentityBitFollowsLevel) {
    port.writeControl(0x09);
    Strobe(0x80 | 0x10, 0x0B);
    EXPECT_EQ(port.unit(2)->resetLevel(), 0);
    EXPECT_EQ(port.unit(0)->resetLevel(), 2);
    Strobe(0x80 | 0x08, 0x0B);
    EXPECT_EQ(port.unit(2)->resetLevel(), 1);
    // Level 0 (unit 2): status bit 3 is bit 0 of the middle latch; Level 1 (unit 0): bit 4.
    Strobe(0x01, 0x0D);
    EXPECT_EQ(port.readStatus() & 0x08, 0x08);
    Strobe(0x10, 0x0D);
    EXPECT_EQ(port.readStatus() & 0x08, 0x00);
    Strobe(0x00, 0x0B);
    Strobe(0x10, 0x0D);
    EXPECT_EQ(port.readStatus() & 0x08, 0x08);
    Strobe(0xC0, 0x0B);  // unit 3: nobody
    EXPECT_EQ(port.readStatus(), 0x7F);
}

}  // namespace
