// The parallel kind on simulated printer ports: delay rules counted at the
// registers, address re-sends, the open stages and their details, the routine
// sets, reset levels, and a golden register trace.
#include <algorithm>
#include <fstream>
#include <numeric>
#include <sstream>

#include "parallel_fixture.h"

namespace {

using lpttest::Access;
using lpttest::ParallelPorts;
using lpttest::Strobe;

// Every timed write is repeated delay-count times; only the data byte of a write
// and the release's 0x0C go once.
TEST_F(ParallelPorts, DelayOptionSetsTheRepetitionsOfEveryTimedWrite) {
    struct Case {
        uint32_t option;
        int32_t delay;
        uint32_t count;
        int routineSet;  // fixed d, or -1 for the counted set
    } cases[] = {
        {PARALLEL_DEFAULT_DELAY, 2, 3, 2},
        {0, 0, 1, 0},
        {5, 5, 6, 5},
        {6, -6, 7, -1},
        {7, -7, 8, -1},
        {static_cast<uint32_t>(-3), -3, 4, -1},
        {static_cast<uint32_t>(-25), -25, 26, -1},
        {static_cast<uint32_t>(-40), -25, 26, -1},
        {999, -25, 26, -1},
        {0x80000000u, 2, 3, 2},
    };
    Attach("port=378,unit=0,ram=128");
    const uint8_t bytes[4] = {0x11, 0x22, 0x33, 0x44};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "option " << static_cast<int32_t>(c.option));
        uint32_t h = Open(0x378, 0, c.option);
        EXPECT_EQ(static_cast<int32_t>(ZAMGetDelay(h)), c.delay);
        const ParallelRecord* r = static_cast<const ParallelRecord*>(ZAMLookup(h)->impl);
        EXPECT_EQ(r->delayCount, c.count);
        EXPECT_EQ(r->routines->fixedDelay, c.routineSet);

        Port().resetCounters();
        ASSERT_EQ(ZAMWrite(h, 0x100, bytes, 4), LINK_OK);
        uint8_t back[4] = {};
        ASSERT_EQ(ZAMRead(h, back, 0x100, 4), LINK_OK);
        EXPECT_EQ(std::vector<uint8_t>(back, back + 4), std::vector<uint8_t>(bytes, bytes + 4));
        Port().flushRun();
        // Control: runs of delay-count, plus one 0x0C per sequence (two sequences).
        std::map<uint32_t, uint64_t> control = Port().runs(sim::LPT_CONTROL);
        std::map<uint32_t, uint64_t> data = Port().runs(sim::LPT_DATA);
        if (c.count == 1) {
            EXPECT_EQ(control.size(), 1u);
        } else {
            EXPECT_EQ(control.size(), 2u);
            EXPECT_EQ(control[1], 2u);
            EXPECT_GT(control[c.count], 0u);
            EXPECT_EQ(data[1], 4u) << "each data byte goes once";
            EXPECT_GT(data[c.count], 0u);
            EXPECT_EQ(data.size(), 2u);
        }
        ZAMClose(h);
    }
}

// 0x7FFF at ZAMInit is the default delay; the port's address is the slot's Info.
TEST_F(ParallelPorts, OpenFillsTheSlotFromTheProbe) {
    Attach("port=378,unit=0,level=1;port=378,unit=2,level=0;port=278,unit=3");
    struct Case {
        uint32_t selector, unit, info, level;
    } cases[] = {{0x378, 0, 0x378, 1}, {1, 2, 0x378, 0}, {2, 3, 0x278, 0}, {0x278, 3, 0x278, 0}};
    for (const Case& c : cases) {
        uint32_t h = Open(c.selector, c.unit, 0x7FFF);
        EXPECT_EQ(ZAMGetInfo(h), c.info);
        EXPECT_EQ(ZAMGetLevel(h), c.level);
        EXPECT_EQ(ZAMGetDelay(h), 2u);
        uint32_t level = 9;
        EXPECT_EQ(ZAMGetReset(h, &level), LINK_OK);
        EXPECT_EQ(level, RESET_HIZ);
        EXPECT_EQ(ZAMSetFold(h, 0x8000, 0x20000), LINK_NOT_AVAILABLE);
        ZAMClose(h);
    }
}

// 300 bytes from 0x1FFF0: high and middle go at the start and again when the low
// byte wraps after 16 bytes (0x20000: high 02, middle 00) and after 272, never otherwise.
TEST_F(ParallelPorts, AddressBytesAreSentAgainWhenTheLowByteWraps) {
    Attach("port=378,unit=0,ram=1024");
    uint32_t h = Open(0x378, 0, 0);
    std::vector<uint8_t> image = testsupport::RandomBytes(300, 11);
    StartTrace();
    ASSERT_EQ(ZAMWrite(h, 0x1FFF0, image.data(), 300), LINK_OK);
    std::vector<Strobe> strobes = lpttest::Strobes(Trace());

    std::vector<std::pair<size_t, Strobe>> highMiddle;  // (low bytes before it, strobe)
    size_t lows = 0;
    bool expectLow = false;  // an 0x01 right after 0x0D is the low byte
    for (size_t i = 0; i < strobes.size(); ++i) {
        const Strobe& s = strobes[i];
        if (s.control == 0x0D) {
            highMiddle.push_back({lows, s});
            expectLow = true;
        } else if (s.control == 0x01) {
            bool isHigh = !expectLow && i + 1 < strobes.size() && strobes[i + 1].control == 0x0D;
            if (isHigh) highMiddle.push_back({lows, s});
            else ++lows;
            expectLow = false;
        }
    }
    // 0x20000 after 16 bytes, 0x20100 after 272.
    ASSERT_EQ(highMiddle.size(), 6u);
    EXPECT_EQ(highMiddle[0].first, 0u);
    EXPECT_EQ(highMiddle[0].second, (Strobe{0x01, 0x01}));
    EXPECT_EQ(highMiddle[1].second, (Strobe{0x0D, 0xFF}));
    EXPECT_EQ(highMiddle[2].first, 16u);
    EXPECT_EQ(highMiddle[2].second, (Strobe{0x01, 0x02}));
    EXPECT_EQ(highMiddle[3].second, (Strobe{0x0D, 0x00}));
    EXPECT_EQ(highMiddle[4].first, 272u);
    EXPECT_EQ(highMiddle[4].second, (Strobe{0x01, 0x02}));
    EXPECT_EQ(highMiddle[5].second, (Strobe{0x0D, 0x01}));
    EXPECT_EQ(lows, 300u);

    // The unit stored every byte where it belongs; reading and comparing cross the wrap too.
    sim::UnitModel* unit = Port().unit(0);
    for (uint32_t i = 0; i < 300; ++i) ASSERT_EQ(unit->raw(0x1FFF0 + i), image[i]) << i;
    std::vector<uint8_t> back(300);
    ASSERT_EQ(ZAMRead(h, back.data(), 0x1FFF0, 300), LINK_OK);
    EXPECT_EQ(back, image);
    std::vector<uint8_t> changed = image;
    changed[17] ^= 0x40;
    uint32_t equal = 0;
    uint8_t unitByte = 0;
    ASSERT_EQ(ZAMCompare(&equal, &unitByte, h, 0x1FFF0, changed.data(), 300), LINK_OK);
    EXPECT_EQ(equal, 17u);
    EXPECT_EQ(unitByte, image[17]);
    ASSERT_EQ(ZAMCompare(&equal, &unitByte, h, 0x1FFF0, image.data(), 300), LINK_OK);
    EXPECT_EQ(equal, 300u);
}

// A run that ends exactly at the wrap sends no address bytes for a byte that never comes.
TEST_F(ParallelPorts, NoResendAfterTheLastByte) {
    Attach("port=378,unit=0,ram=1024");
    uint32_t h = Open(0x378, 0, 0);
    const uint8_t bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    StartTrace();
    ASSERT_EQ(ZAMWrite(h, 0x1FFF0, bytes, 16), LINK_OK);
    std::vector<Strobe> strobes = lpttest::Strobes(Trace());
    EXPECT_EQ(std::count_if(strobes.begin(), strobes.end(), [](const Strobe& s) { return s.control == 0x0D; }), 1);
}

TEST_F(ParallelPorts, ZeroLengthTouchesNoRegister) {
    Attach("port=378,unit=0");
    uint32_t h = Open(0x378, 0);
    Port().resetCounters();
    uint8_t b = 0x5A;
    uint32_t equal = 7;
    EXPECT_EQ(ZAMWrite(h, 0, &b, 0), LINK_OK);
    EXPECT_EQ(ZAMRead(h, &b, 0, 0), LINK_OK);
    EXPECT_EQ(ZAMCompare(&equal, nullptr, h, 0, &b, 0), LINK_OK);
    EXPECT_EQ(equal, 0u);
    EXPECT_EQ(Port().writes() + Port().reads(), 0u);
}

// Every open stage and detail, reached by a fault of the simulated port or unit,
// with the code ZAMInit gives and the line the user sees.
TEST_F(ParallelPorts, OpenFaultsGiveTheirStageCodeAndText) {
    struct Case {
        const char* name;
        const char* units;
        const char* device;  // ZAMLPT2, or null
        uint32_t selector, unit;
        uint32_t code, stage, detail;
        const char* text;
        bool released;  // the port was claimed, so it is let go with 25 zeros
    } cases[] = {
        {"no unit", "port=378,unit=none", nullptr, 0x378, 0, 5, 2, 45,
         "No unit 0 answers on port 378: sent 55, echo FF\n", true},
        {"other unit only", "port=378,unit=0", nullptr, 0x378, 1, 5, 2, 45,
         "No unit 1 answers on port 378: sent 55, echo FF\n", true},
        {"wrong echo", "port=378,unit=0,echo=e6", nullptr, 0x378, 0, 5, 2, 45,
         "No unit 0 answers on port 378: sent E6, echo E7\n", true},
        {"identity bit", "port=378,unit=0,idbit=3", nullptr, 0x378, 0, 5, 2, 70,
         "Unit 0 on port 378 gave identity bits FE09, not FE01 or EF10\n", true},
        {"identity bit level 1", "port=378,unit=0,level=1,idbit=15", nullptr, 0x378, 0, 5, 2, 70,
         "Unit 0 on port 378 gave identity bits 6F10, not FE01 or EF10\n", true},
        {"no AA read back", "port=378,unit=0,noreadback=aa", nullptr, 0x378, 0, 2, 1, 30,
         "Port 378 failed its self-test: wrote AA, read back FF\n", true},
        {"no 55 read back", "port=378,unit=0,noreadback=55", nullptr, 0x378, 0, 2, 1, 30,
         "Port 378 failed its self-test: wrote 55, read back FF\n", true},
        {"data bit 0 stuck high", "port=378,unit=0,databit=0:1", nullptr, 0x378, 0, 2, 1, 30,
         "Port 378 failed its self-test: wrote AA, read back AB\n", true},
        {"data bit 6 stuck low", "port=378,unit=0,databit=6:0", nullptr, 0x378, 0, 2, 1, 30,
         "Port 378 failed its self-test: wrote 55, read back 15\n", true},
        {"unit 4", "port=378,unit=0", nullptr, 0x378, 4, 5, 2, 35, "Unit number 4 is not 0..3\n", true},
        {"missing device", "port=378,unit=0", "/nonexistent/parport", 2, 0, 2, 1, 20,
         "LPT2 (/nonexistent/parport): no such parallel port device: No such file or directory\n", false},
        {"not a parport", "port=378,unit=0", "/dev/null", 2, 0, 2, 1, 20,
         "LPT2 (/dev/null): not a parallel port device: Inappropriate ioctl for device\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::DetachAllLptPorts();
        Attach(c.units);
        if (c.device) setenv("ZAMLPT2", c.device, 1);
        else unsetenv("ZAMLPT2");
        uint32_t h = 0xDEAD;
        std::string why;
        EXPECT_EQ(ZAMInit(&h, c.selector, c.unit, 0x10000, 0x7FFF, &why), c.code);
        EXPECT_EQ(h, 0xDEADu);
        EXPECT_EQ(why, c.text);
        EXPECT_EQ(LinkOpenFailureText("l378", c.unit, PortFamily::Parallel, c.code, why),
                  LinkOpenFailureText("l378", c.unit, PortFamily::Parallel, c.code) + c.text);
        if (c.released) {
            sim::LptPortModel& port = Port();
            port.flushRun();
            EXPECT_EQ(port.runs(sim::LPT_DATA).count(25), 1u) << "release with a delay count of 25";
        }
        for (uint32_t i = 0; i < PARALLEL_RECORD_COUNT; ++i) EXPECT_FALSE(ParallelRecords()[i].inUse);
        // The transport's own record of the failure: its stage and detail.
        ParallelRecord* r = nullptr;
        ParallelOpenFailure f;
        EXPECT_EQ(ParallelOpen(c.selector, c.unit, PARALLEL_DEFAULT_OPTION, &r, &f), c.code);
        EXPECT_EQ(f.stage, c.stage);
        EXPECT_EQ(f.detail, c.detail);
        EXPECT_EQ(ParallelOpenFailureText(f), c.text);
    }
    unsetenv("ZAMLPT2");
}

// Stands in for the parallel kind: its opens fail with the code and text it is given.
struct StandIn {
    static inline uint32_t code = 0;
    static inline const char* text = "";
    static uint32_t Open(uint32_t, uint32_t, uint32_t, LinkOpenResult* out) {
        out->failure = text;
        return code;
    }
};

// Each open says why it failed itself: a later failure for another reason, a good
// open in between, or a stand-in driver for the kind never shows an earlier reason.
TEST_F(ParallelPorts, EachOpenReportsItsOwnReason) {
    KindDriver standIn = *ParallelKindDriver();
    standIn.open = StandIn::Open;
    struct Step {
        const char* what;
        bool standIn;
        uint32_t unit;
        uint32_t code;    // also the stand-in's
        const char* why;  // expected; also the stand-in's text
    } steps[] = {
        {"no unit 1", false, 1, LINK_NOT_AVAILABLE, "No unit 1 answers on port 378: sent 55, echo FF\n"},
        {"unit 4, same code, other reason", false, 4, LINK_NOT_AVAILABLE, "Unit number 4 is not 0..3\n"},
        {"stand-in, same code, nothing to add", true, 0, LINK_NOT_AVAILABLE, ""},
        {"stand-in with its own reason", true, 0, LINK_NOT_WORKING, "stand-in: port gone\n"},
        {"good open", false, 0, LINK_OK, ""},
        {"no unit 2 after the good open", false, 2, LINK_NOT_AVAILABLE,
         "No unit 2 answers on port 378: sent 55, echo FF\n"},
        {"good open after a failure", false, 0, LINK_OK, ""},
    };
    Attach("port=378,unit=0");
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        StandIn::code = s.code;
        StandIn::text = s.why;
        const KindDriver* before = LinkSetKindDriver(SLOT_PARALLEL, s.standIn ? &standIn : nullptr);
        uint32_t h = 0;
        std::string why = "left from before";
        EXPECT_EQ(ZAMInit(&h, 0x378, s.unit, 0x10000, 0x7FFF, &why), s.code);
        LinkSetKindDriver(SLOT_PARALLEL, before);
        EXPECT_EQ(why, s.why);
        if (s.code == LINK_OK) {
            ZAMClose(h);
            continue;
        }
        EXPECT_EQ(LinkOpenFailureText("l378", s.unit, PortFamily::Parallel, s.code, why),
                  "CANNOT ACCESS EMULATOR ON PORT l378 UNIT " + std::to_string(s.unit) + "\n" +
                      (s.code == LINK_NOT_WORKING ? "Parallel Port is NOT OPERATIONAL\a\n"
                                                  : "DEVICE FAILURE (SUBCODE 100-5)\a\n") +
                      s.why);
    }
}

// The 0xAA self-test fails only after the 0x55 one passed; unit 4 fails only after the port test.
TEST_F(ParallelPorts, StagesRunInOrder) {
    struct Case {
        const char* units;
        uint32_t unit;
        uint32_t code;
        std::vector<uint8_t> dataReads;
    } cases[] = {
        {"port=378,unit=0,noreadback=aa", 0, 2, {0x55, 0xFF}},
        {"port=378,unit=0", 4, 5, {0x55, 0xAA}},
    };
    for (const Case& c : cases) {
        sim::DetachAllLptPorts();
        Attach(c.units);
        StartTrace();
        uint32_t h = 0;
        EXPECT_EQ(ZAMInit(&h, 0x378, c.unit, 0, 0x7FFF), c.code);
        std::vector<Access> trace = Trace();
        std::vector<uint8_t> reads;
        size_t zerosBefore = 0;
        for (const Access& a : trace)
            if (a.kind == 'R' && a.reg == 0) reads.push_back(a.value);
        EXPECT_EQ(reads, c.dataReads);
        // 25 writes of each pattern before its read.
        for (size_t i = 0; i < 25; ++i) EXPECT_EQ(trace[i], (Access{'W', 0, 0x55})) << i;
        EXPECT_EQ(trace[25], (Access{'R', 0, 0x55}));
        // Nothing reached the unit: no strobe at all.
        EXPECT_TRUE(lpttest::Strobes(trace).empty());
        for (const Access& a : trace)
            if (a.kind == 'W' && a.reg == 0 && a.value == 0) ++zerosBefore;
        EXPECT_EQ(zerosBefore, 25u);
    }
}

// Straight-line sets and the counted set make the same signals; only the number
// of repetitions differs, and that by the delay.
TEST_F(ParallelPorts, FixedAndCountedSetsMakeTheSameSignals) {
    Attach("port=378,unit=1,ram=256");
    std::vector<uint8_t> image = testsupport::RandomBytes(20, 3);
    std::vector<uint8_t> changed = image;
    changed[9] ^= 1;
    auto run = [&](uint32_t option) {
        uint32_t h = Open(0x378, 1, option);
        StartTrace();
        ZAMWrite(h, 0xFFF8, image.data(), 20);
        std::vector<uint8_t> back(20);
        ZAMRead(h, back.data(), 0xFFF8, 20);
        uint32_t equal = 0;
        ZAMCompare(&equal, nullptr, h, 0xFFF8, changed.data(), 20);
        ZAMSetReset(h, RESET_LOW);
        std::vector<Access> trace = Trace();
        EXPECT_EQ(back, image);
        EXPECT_EQ(equal, 9u);
        ZAMClose(h);
        return trace;
    };
    const std::vector<Access> reference = lpttest::Signals(run(0));
    for (int d = 1; d <= 5; ++d) {
        std::vector<Access> fixed = run(static_cast<uint32_t>(d));
        std::vector<Access> counted = run(static_cast<uint32_t>(-d));
        EXPECT_EQ(fixed, counted) << "delay " << d;
        EXPECT_EQ(lpttest::Signals(fixed), reference) << "delay " << d;
        EXPECT_GT(fixed.size(), reference.size());
    }
}

// The reset line goes in the mode byte; each record keeps its own shadow, so
// two units on one port keep their own levels.
TEST_F(ParallelPorts, SetResetKeepsAShadowPerRecord) {
    Attach("port=378,unit=0;port=378,unit=3");
    uint32_t h0 = Open(0x378, 0);
    uint32_t h3 = Open(0x378, 3);
    sim::UnitModel* u0 = Port().unit(0);
    sim::UnitModel* u3 = Port().unit(3);
    struct Step {
        uint32_t handle, level;
        uint8_t expect0, expect3;
        uint32_t stored;
    } steps[] = {
        {h0, RESET_LOW, 0, 2, 0}, {h3, RESET_HIGH, 0, 1, 1}, {h0, 3, 0, 1, 0}, {h0, 6, 2, 1, 2},  // low two bits: HI-Z
        {h3, RESET_LOW, 2, 0, 0},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(ZAMSetReset(s.handle, s.level), LINK_OK);
        EXPECT_EQ(u0->resetLevel(), s.expect0);
        EXPECT_EQ(u3->resetLevel(), s.expect3);
        uint32_t level = 9;
        ZAMGetReset(s.handle, &level);
        EXPECT_EQ(level, s.stored);
    }
    // A write after the level change keeps the level: every mode byte carries it.
    uint8_t b = 0x42;
    ASSERT_EQ(ZAMWrite(h0, 5, &b, 1), LINK_OK);
    EXPECT_EQ(u0->resetLevel(), 2);
    EXPECT_EQ(u0->raw(5), 0x42);
    EXPECT_EQ(u3->raw(5), 0xFF);
}

// Several records on one port share its handle; closing one leaves the other working.
TEST_F(ParallelPorts, RecordsShareAPortAndRunOut) {
    Attach("port=378,unit=0,ram=64;port=378,unit=1,ram=32");
    uint32_t a = Open(0x378, 0);
    uint32_t b = Open(0x378, 1);
    ZAMClose(a);
    uint8_t v = 0x99, back = 0;
    ASSERT_EQ(ZAMWrite(b, 0x8001, &v, 1), LINK_OK);
    ASSERT_EQ(ZAMRead(b, &back, 1, 1), LINK_OK);  // 32 KB aliases
    EXPECT_EQ(back, 0x99);
    ZAMClose(b);

    // 17 records; the 18th open finds none (stage 3, code 3).
    ParallelRecord* records[PARALLEL_RECORD_COUNT];
    ParallelOpenFailure failure;
    for (uint32_t i = 0; i < PARALLEL_RECORD_COUNT; ++i)
        ASSERT_EQ(ParallelOpen(0x378, i % 2, 0, &records[i], &failure), LINK_OK) << i;
    ParallelRecord* extra = nullptr;
    EXPECT_EQ(ParallelOpen(0x378, 0, 0, &extra, &failure), LINK_NO_RESOURCE);
    EXPECT_EQ(failure.stage, 3u);
    EXPECT_EQ(extra, nullptr);
    for (ParallelRecord* r : records) ParallelClose(r);
    EXPECT_EQ(ParallelOpen(0x378, 0, 0, &extra, &failure), LINK_OK);
    ParallelClose(extra);
}

// Addresses outside the printer-port range are refused before the port is touched.
TEST_F(ParallelPorts, InvalidSelectorsAreRefused) {
    for (uint32_t selector : {0x3BDu, 0xFFu, 0xFFFDu, 0x37Au}) {
        uint32_t h = 0;
        EXPECT_EQ(ZAMInit(&h, selector, 0, 0, 0x7FFF), LINK_INVALID) << std::hex << selector;
    }
    ParallelRecord* r = nullptr;
    ParallelOpenFailure failure;
    EXPECT_EQ(ParallelOpen(0x37A, 0, 0, &r, &failure), LINK_INVALID);
    EXPECT_EQ(failure.stage, 0u);
    EXPECT_EQ(ParallelOpenFailureText(failure),
              "Port 37A is not a printer port address (100..FFFC, a multiple of 4)\n");
}

// The register trace of a short write, read and compare at delay 0, against a
// golden file written from the protocol by hand.
TEST_F(ParallelPorts, ShortWriteReadCompareMatchGoldenTrace) {
    Attach("port=378,unit=1,ram=128");
    uint32_t h = Open(0x378, 1, 0);
    ASSERT_EQ(ZAMSetReset(h, RESET_HIGH), LINK_OK);
    const uint8_t bytes[2] = {0xA5, 0x3C};
    const uint8_t other[2] = {0xA5, 0x3D};
    StartTrace();
    ASSERT_EQ(ZAMWrite(h, 0x123FF, bytes, 2), LINK_OK);
    uint8_t back[2] = {};
    ASSERT_EQ(ZAMRead(h, back, 0x123FF, 2), LINK_OK);
    uint32_t equal = 0;
    uint8_t unitByte = 0;
    ASSERT_EQ(ZAMCompare(&equal, &unitByte, h, 0x123FF, other, 2), LINK_OK);
    std::string trace = TraceText();
    EXPECT_EQ(back[0], 0xA5);
    EXPECT_EQ(back[1], 0x3C);
    EXPECT_EQ(equal, 1u);
    EXPECT_EQ(unitByte, 0x3C);
    std::string golden = testsupport::ReadText(std::string(PELMO_SOURCE_DIR) + "/tests/link/parallel_golden.trace");
    // The golden file carries comments; only access lines are compared.
    std::string lines;
    std::istringstream in(golden);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') lines += line + "\n";
    EXPECT_EQ(trace, lines);
}

// A port that another program takes after the open: every operation says so
// instead of reporting work that never reached the unit.
TEST_F(ParallelPorts, LostPortFailsOperationsInsteadOfPassing) {
    Attach("port=378,unit=0,claimfail=2");
    uint32_t h = Open(0x378, 0);
    Port().resetCounters();
    uint8_t b = 0x12;
    uint32_t equal = 77;
    EXPECT_EQ(ZAMWrite(h, 0, &b, 1), LINK_NOT_WORKING);
    EXPECT_EQ(ZAMRead(h, &b, 0, 1), LINK_NOT_WORKING);
    EXPECT_EQ(ZAMCompare(&equal, nullptr, h, 0, &b, 1), LINK_NOT_WORKING);
    EXPECT_EQ(equal, 77u);
    EXPECT_EQ(ZAMSetReset(h, RESET_LOW), LINK_NOT_WORKING);
    uint32_t level = 9;
    ZAMGetReset(h, &level);
    EXPECT_EQ(level, RESET_HIZ) << "the level that failed is not recorded";
    EXPECT_EQ(Port().writes() + Port().reads(), 0u);

    // Held from the start: the open fails at stage 1 and says the port is taken.
    ZAMClose(h);
    sim::DetachAllLptPorts();
    Attach("port=378,unit=0,claimfail=1");
    uint32_t h2 = 0;
    std::string why;
    EXPECT_EQ(ZAMInit(&h2, 0x378, 0, 0, 0x7FFF, &why), LINK_NOT_WORKING);
    EXPECT_EQ(why, "Port 378: port in use by another driver or program\n");
}

}  // namespace
