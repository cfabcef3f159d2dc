#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"

namespace {

TEST(PlanPlacement, WindowWidthTargetAndDevice) {
    const struct {
        const char* what;
        uint32_t start, length, target, width;
        uint64_t devSize, lastAddress;
        uint64_t address;
        uint32_t n;
        PlaceKind kind;
        uint32_t first, count;
        uint64_t device;
    } cases[] = {
        {"whole run", 0, 0, 0, 1, 0x100, 0xFFFFFFFF, 0x10, 4, PlaceKind::Bytes, 0, 4, 0x10},
        {"empty run", 0, 0, 0, 1, 0x100, 0xFFFFFFFF, 0x10, 0, PlaceKind::Nothing, 0, 0, 0},
        {"moved to the target", 0, 0, 0x80, 1, 0x100, 0xFFFFFFFF, 0x10, 4, PlaceKind::Bytes, 0, 4, 0x90},
        {"before the window", 0x100, 0, 0, 1, 0x100, 0xFFFFFFFF, 0x10, 4, PlaceKind::Nothing, 0, 0, 0},
        {"across the window start", 0x12, 0, 0, 1, 0x100, 0xFFFFFFFF, 0x10, 4, PlaceKind::Bytes, 2, 2, 0},
        {"across the window end", 0, 0x12, 0, 1, 0x100, 0xFFFFFFFF, 0x10, 4, PlaceKind::Bytes, 0, 2, 0x10},
        {"after the window", 0, 0x12, 0, 1, 0x100, 0xFFFFFFFF, 0x12, 4, PlaceKind::Nothing, 0, 0, 0},
        {"up to the device end", 0, 0, 0, 1, 0x100, 0xFFFFFFFF, 0xFC, 4, PlaceKind::Bytes, 0, 4, 0xFC},
        {"past the device end", 0, 0, 0, 1, 0x100, 0xFFFFFFFF, 0xFE, 4, PlaceKind::Outside, 0, 0, 0},
        {"target pushes past the end", 0, 0, 0xF0, 1, 0x100, 0xFFFFFFFF, 0x10, 1, PlaceKind::Outside, 0, 0, 0},
        // A file address far above the window start must not come round to a low device address.
        {"no wrap above 32 bits", 0, 0, 0, 1, 0x100, ~0ull, 0x100000010ull, 4, PlaceKind::Outside, 0, 0, 0},
        {"no wrap at the top of 64 bits", 0, 0, 0x20, 1, 0x100, ~0ull, 0xFFFFFFFFFFFFFFF0ull, 4, PlaceKind::Outside, 0,
         0, 0},
        {"every 2nd byte, no wrap at the top", 0, 0, 0x20, 2, 0x100, ~0ull, 0xFFFFFFFFFFFFFFF0ull, 4,
         PlaceKind::Outside, 0, 0, 0},
        {"no wrap near the window start", 0x10, 0, 0, 1, 0x100, 0xFFFFFFFF, 0x110, 1, PlaceKind::Outside, 0, 0, 0},
        {"window end at the top of 32 bits", 0xFFFFFFF0, 0, 0, 1, 0x100, 0xFFFFFFFF, 0xFFFFFFFE, 4, PlaceKind::Bytes, 0,
         2, 0xE},
        {"every 2nd byte, odd address", 0, 0, 0, 2, 0x100, 0xFFFFFFFF, 0x11, 4, PlaceKind::Bytes, 1, 2, 9},
        {"every 2nd byte, even address", 0, 0, 0, 2, 0x100, 0xFFFFFFFF, 0x10, 5, PlaceKind::Bytes, 0, 3, 8},
        {"every 3rd byte, none in the run", 0, 0, 0, 3, 0x100, 0xFFFFFFFF, 1, 2, PlaceKind::Nothing, 0, 0, 0},
        {"every 2nd byte of a window", 4, 2, 0, 2, 0x100, 0xFFFFFFFF, 0, 16, PlaceKind::Bytes, 4, 2, 0},
        {"every 2nd byte, past the device", 0, 0, 0, 2, 8, 0xFFFFFFFF, 0x10, 2, PlaceKind::Outside, 0, 0, 0},
        {"every 2nd byte, last one fits", 0, 0, 0, 2, 8, 0xFFFFFFFF, 0xE, 2, PlaceKind::Bytes, 0, 1, 7},
        {"every 4th byte, partly past", 0, 0, 0, 4, 8, 0xFFFFFFFF, 0x1C, 8, PlaceKind::Outside, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const LoadWindow w = MakeLoadWindow(c.start, c.length, c.target, c.width, c.devSize, c.lastAddress);
        const Placement p = PlanPlacement(w, c.address, c.n);
        EXPECT_EQ(p.kind, c.kind) << c.what;
        if (c.kind == PlaceKind::Bytes) {
            EXPECT_EQ(p.first, c.first) << c.what;
            EXPECT_EQ(p.count, c.count) << c.what;
            EXPECT_EQ(p.device, c.device) << c.what;
        }
    }
}

// Bytes into memory, so that loads need no unit.
class MemorySink : public ByteSink {
public:
    explicit MemorySink(uint32_t size) : bytes(size, 0xFF) {}
    void Begin(uint32_t) override { ++begun; }
    bool Write(EngineOutput&, uint32_t device, const uint8_t* data, uint32_t count, uint32_t*) override {
        for (uint32_t i = 0; i < count; ++i) bytes[device + i] = data[i];
        return true;
    }
    bool End(EngineOutput&, uint32_t*) override {
        ++ended;
        return true;
    }
    std::vector<uint8_t> bytes;
    int begun = 0, ended = 0;
};

class LinesOutput : public EngineOutput {
public:
    void Error(EngineArg, const char* text) override { lines += "E:" + std::string(text); }
    void Inform(const char* text) override { lines += "I:" + std::string(text); }
    void Always(const char* text) override { lines += "A:" + std::string(text); }
    void Progress(uint64_t done, uint64_t total) override {
        lastDone = done;
        lastTotal = total;
    }
    std::string lines;
    uint64_t lastDone = 0, lastTotal = 0;
};

std::string HexLine(uint32_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> b = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                              static_cast<uint8_t>(address), 0};
    b.insert(b.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string s = ":";
    char h[3];
    for (uint8_t x : b) {
        std::snprintf(h, sizeof h, "%02X", x);
        s += h;
        sum += x;
    }
    std::snprintf(h, sizeof h, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return s + h + "\r\n";
}

std::string SLine(unsigned type, uint32_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> b = {static_cast<uint8_t>(data.size() + 3), static_cast<uint8_t>(address >> 8),
                              static_cast<uint8_t>(address)};
    b.insert(b.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string s = "S" + std::to_string(type);
    char h[3];
    for (uint8_t x : b) {
        std::snprintf(h, sizeof h, "%02X", x);
        s += h;
        sum += x;
    }
    std::snprintf(h, sizeof h, "%02X", ~sum & 0xFF);
    return s + h + "\r\n";
}

struct LoadOutcome {
    uint32_t result;
    std::string lines;
    std::vector<uint8_t> bytes;
    uint64_t lastDone, lastTotal;
};

LoadOutcome LoadText(const std::string& text, RecordSyntax syntax, uint32_t devSize) {
    RecordReader reader(syntax, {reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size())});
    const RecordLoad load{reader, LOAD_ONLY, 0, 0, 0, 1, devSize, static_cast<uint32_t>(text.size())};
    MemorySink sink(devSize);
    LinesOutput out;
    const uint32_t result = LoadRecords(out, load, sink);
    EXPECT_EQ(sink.begun, 1);
    return {result, out.lines, sink.bytes, out.lastDone, out.lastTotal};
}

// Two loads on two threads, each with its own text, reader and progress size: neither
// sees the other's records, line numbers or file size.
TEST(RecordLoads, TwoLoadsOnTwoThreads) {
    constexpr uint32_t kDev = 0x1000;
    std::string hex, s;
    std::vector<uint8_t> wantHex(kDev, 0xFF), wantS(kDev, 0xFF);
    for (uint32_t r = 0; r < 64; ++r) {
        std::vector<uint8_t> a(16, static_cast<uint8_t>(r)), b(8, static_cast<uint8_t>(0x80 + r));
        hex += HexLine(r * 16, a);
        s += SLine(1, 0x800 + r * 8, b);
        for (uint32_t i = 0; i < 16; ++i) wantHex[r * 16 + i] = a[i];
        for (uint32_t i = 0; i < 8; ++i) wantS[0x800 + r * 8 + i] = b[i];
    }
    hex += ":00000001FF\r\n";
    s += "S9030000FC\r\nS1";  // more data after the end record
    const std::string hexLines =
        "I:Hex-File Load of all bytes from offset 0 to offset 0\n"
        "I:Load Completed without verification (400 Bytes Loaded)\n"
        "I:Highest address loaded was 003FF\n";
    const std::string sLines =
        "I:S-File Load of all bytes from offset 0 to offset 0\n"
        "A:Program Entry: 000000\n"
        "I:Load Completed without verification (200 Bytes Loaded)\n"
        "I:Highest address loaded was 009FF\n"
        "A:WARNING: MORE DATA EXISTS IN S FILE FOLLOWING EOF RECORD (Line #65) IGNORED\n";

    auto run = [](const std::string* text, RecordSyntax syntax, const std::vector<uint8_t>* want,
                  const std::string* lines, int* failures) {
        for (int i = 0; i < 1000; ++i) {
            const LoadOutcome o = LoadText(*text, syntax, kDev);
            const bool ok = o.result == ENGINE_OK && o.bytes == *want && o.lines == *lines &&
                            o.lastTotal == text->size() && o.lastDone <= text->size();
            if (!ok) ++*failures;
        }
    };
    int hexFailures = 0, sFailures = 0;
    std::thread a(run, &hex, RecordSyntax::Hex, &wantHex, &hexLines, &hexFailures);
    std::thread b(run, &s, RecordSyntax::S, &wantS, &sLines, &sFailures);
    a.join();
    b.join();
    EXPECT_EQ(hexFailures, 0);
    EXPECT_EQ(sFailures, 0);
    // And one of each again, to show what a failure would have differed in.
    const LoadOutcome h = LoadText(hex, RecordSyntax::Hex, kDev);
    EXPECT_EQ(h.lines, hexLines);
    EXPECT_EQ(h.bytes, wantHex);
    EXPECT_EQ(h.lastTotal, hex.size());
}

// srec_cat ends an S file with a count record and no end record: the load takes that
// end from the kinds of the last records, not from the wording of the reader's message.
TEST(RecordLoads, CountRecordEndsAnSFile) {
    const std::string d1 = SLine(1, 0x10, {1, 2}), d2 = SLine(1, 0x20, {3});
    const std::string s5two = SLine(5, 2, {}), s5one = SLine(5, 1, {});
    // S6 with a 24-bit count of 2: count 04, address 0000, data 02 (the low byte).
    const std::string s6 = [] {
        const unsigned sum = 0x04 + 0x00 + 0x00 + 0x02;
        char h[3];
        std::snprintf(h, sizeof h, "%02X", ~sum & 0xFF);
        return std::string("S604000002") + h + "\r\n";
    }();
    const struct {
        const char* what;
        std::string text;
        uint32_t result;
        const char* last;  // the last line
    } cases[] = {
        {"S5 count of every data record", d1 + d2 + s5two, ENGINE_OK, "I:Highest address loaded was 00020\n"},
        {"S6 count of every data record", d1 + d2 + s6, ENGINE_OK, "I:Highest address loaded was 00020\n"},
        {"count short of the data records", d1 + d2 + s5one, ENGINE_FAILED,
         "E:LOAD FAILURE: UNEXPECTED EOF ON S FILE (Line #4)\a\n"},
        {"data after the count", d1 + s5one + d2, ENGINE_FAILED,
         "E:LOAD FAILURE: UNEXPECTED EOF ON S FILE (Line #4)\a\n"},
        {"count then a broken record", d1 + d2 + s5two + "S1X\r\n", ENGINE_FAILED,
         "E:LOAD FAILURE: BAD HEX DIGIT ON LENGTH (Line #4)\a\n"},
        {"no count, no end", d1 + d2, ENGINE_FAILED, "E:LOAD FAILURE: UNEXPECTED EOF ON S FILE (Line #3)\a\n"},
    };
    for (const auto& c : cases) {
        const LoadOutcome o = LoadText(c.text, RecordSyntax::S, 0x100);
        EXPECT_EQ(o.result, c.result) << c.what;
        const size_t end = o.lines.rfind('\n', o.lines.size() - 2);
        EXPECT_EQ(o.lines.substr(end + 1), c.last) << c.what << "\n" << o.lines;
        // A file ended by its count has no end record, so no entry address either.
        EXPECT_EQ(o.lines.find("Program Entry"), std::string::npos) << c.what;
    }
}

}  // namespace
