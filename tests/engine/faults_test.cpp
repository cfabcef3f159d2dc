// Units that fail: dead units give device failure lines with the engine's sites,
// stuck bits give uncorrectable errors, lost writes get corrected and counted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "link/errors.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/test_support.h"

namespace {

using enginetest::Hex;
using enginetest::kHexEnd;
using enginetest::RecordingOutput;
using enginetest::Seq;

// A 32 KB simulated unit emulating a 27256, behind a one-lane UnitSet.
struct SimLane {
    testsupport::SimUnits sims;
    sim::UnitModel& model;
    ImageRequest request;
    UnitLink link;
    UnitSet set;
    SimLane() : model(sims.add(32, 0)) {
        link.handle = sims.open(0);
        link.MaxK = 32;
        request.DevSize = 0x8000;
        RamPlaceLane(link, 0x8000, FOLD_NONE);
        set.count = 1;
        set.DevSize = 0x8000;
        set.settings[0] = &request;
        set.links[0] = &link;
    }
};

// The sim's link code for a unit that does not answer.
const uint32_t kDead = LINK_USB_ANSWER_BASE + USB_RESULT_TIMEOUT;

std::string Failure(unsigned site) { return LinkSubcodeText(site, kDead); }

TEST(DeadUnit, EveryOperationNamesItsSite) {
    testsupport::TempDir dir;
    testsupport::WriteText(dir.file("one.hex"), Hex(0, 0, Seq(1, 4)) + kHexEnd);
    // The second record is far from the first: the buffered run is written mid-file.
    testsupport::WriteText(dir.file("two.hex"), Hex(0, 0, Seq(1, 4)) + Hex(0, 0x4000, Seq(1, 4)) + kHexEnd);
    testsupport::WriteFile(dir.file("img.bin"), std::vector<uint8_t>(16, 0x55));
    struct Case {
        const char* what;
        unsigned site;
    } cases[] = {{"one.hex", 501},  {"two.hex", 500}, {"img.bin", 502}, {"fill", 507},
                 {"checksum", 506}, {"write B", 503}, {"write H", 504}, {"write S", 505}};
    for (const auto& c : cases) {
        SimLane lane;
        lane.model.setDead(true);
        RecordingOutput out;
        const std::string what = c.what;
        uint32_t result;
        if (what == "fill") {
            result = FillRange(out, lane.set);
        } else if (what == "checksum") {
            result = ChecksumRange(out, lane.set);
        } else if (what.rfind("write", 0) == 0) {
            const std::string path = dir.file("out");
            WriteRequest w;
            w.FileName = path.c_str();
            w.Mode = WRITE_REPLACE;
            w.Format = what == "write B" ? FORMAT_BINARY : what == "write H" ? FORMAT_HEX : FORMAT_S;
            w.RecLen = 32;
            result = WriteImage(out, lane.set, w);
        } else {
            std::strcpy(lane.request.FileName, dir.file(c.what).c_str());
            result = LoadImage(out, lane.set);
        }
        EXPECT_EQ(result, 2u) << c.what;
        ASSERT_FALSE(out.lines.empty()) << c.what;
        EXPECT_EQ(out.lines.back().text, Failure(c.site)) << c.what << "\n" << out.Text();
        EXPECT_EQ(out.lines.back().kind, 'A') << c.what;  // always shown
        EXPECT_TRUE(out.results.empty()) << c.what;
    }
}

TEST(StuckBits, UncorrectableErrors) {
    testsupport::TempDir dir;
    testsupport::WriteText(dir.file("a.hex"), Hex(0, 0x200, Seq(0, 16)) + kHexEnd);
    testsupport::WriteFile(dir.file("a.bin"), Seq(0, 16));
    struct Case {
        const char* file;
        uint32_t target;
        const char* line;
    } cases[] = {
        {"a.hex", 0, "UNCORRECTABLE ERROR WRITING EMULATOR RAM AT LOCATION 00205\a\n"},
        {"a.bin", 0x200, "UNCORRECTABLE ERROR WRITING EMULATOR RAM AT LOCATION 00205\a\n"},
    };
    for (const auto& c : cases) {
        SimLane lane;
        lane.model.addStuckBits({0x205 + lane.link.LoadBase, 0x80, 0x80});
        RecordingOutput out;
        std::strcpy(lane.request.FileName, dir.file(c.file).c_str());
        lane.request.Target = c.target;
        lane.request.LoadVerify = LOAD_VERIFY;
        EXPECT_EQ(LoadImage(out, lane.set), 2u);
        ASSERT_GE(out.lines.size(), 3u) << out.Text();
        EXPECT_EQ(out.lines[out.lines.size() - 2].text, c.line) << out.Text();
        EXPECT_EQ(out.lines.back().text, "EXPECTED 05, GOT 85\n");
    }
    // Without verification nothing notices.
    SimLane lane;
    lane.model.addStuckBits({0x205 + lane.link.LoadBase, 0x80, 0x80});
    RecordingOutput out;
    std::strcpy(lane.request.FileName, dir.file("a.hex").c_str());
    EXPECT_EQ(LoadImage(out, lane.set), 0u);
    // Fill stops at the stuck byte and reports how far it got.
    lane.request.Start = 0x200;
    lane.request.Length = 0x10;
    lane.request.Target = 0x00;
    lane.request.LoadVerify = LOAD_VERIFY;
    EXPECT_EQ(FillRange(out, lane.set), 2u);
    EXPECT_EQ(out.Text(),
              "I:Filling 10 bytes at offset 200 with 00\n"
              "E:UNCORRECTABLE ERROR WRITING EMULATOR RAM AT LOCATION 00205\a\n"
              "A:EXPECTED 00, GOT 80\n"
              "I:Fill Incomplete: 5 bytes filled with #0 corrected RAM write error(s)\n");
}

TEST(LostWrites, CorrectedAndCounted) {
    testsupport::TempDir dir;
    testsupport::WriteText(dir.file("a.hex"), Hex(0, 0x100, Seq(0, 16)) + kHexEnd);
    testsupport::WriteFile(dir.file("a.bin"), Seq(0, 16));
    for (const char* file : {"a.hex", "a.bin"}) {
        SimLane lane;
        lane.model.addLostWrites(0x103 + lane.link.LoadBase, 1);
        lane.model.addLostWrites(0x10A + lane.link.LoadBase, 2);
        RecordingOutput out;
        std::strcpy(lane.request.FileName, dir.file(file).c_str());
        lane.request.Target = 0x100;  // binary only; the HEX file carries its addresses
        lane.request.Start = std::string(file) == "a.hex" ? 0x100 : 0;
        lane.request.LoadVerify = LOAD_VERIFY;
        EXPECT_EQ(LoadImage(out, lane.set), 0u) << file;
        EXPECT_TRUE(out.Has('I', "Load Completed with #2 corrected RAM write error(s) (10 Bytes Loaded)\n"))
            << file << "\n"
            << out.Text();
        for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(lane.model.raw(lane.link.LoadBase + 0x100 + i), i);
    }
    SimLane lane;
    lane.model.addLostWrites(0x10 + lane.link.LoadBase, 1);
    RecordingOutput out;
    lane.request.LoadVerify = LOAD_VERIFY;
    lane.request.Target = 0x33;
    EXPECT_EQ(FillRange(out, lane.set), 0u);
    EXPECT_EQ(out.lines.back().text, "Fill Completed with #1 corrected RAM write error(s)\n");
}

}  // namespace
