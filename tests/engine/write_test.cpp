#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/test_support.h"

namespace {

using enginetest::Hex;
using enginetest::kHexEnd;
using enginetest::RecordingOutput;
using enginetest::Seq;
using enginetest::SRec;
using enginetest::VirtualUnit;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> v;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t e = text.find("\r\n", pos);
        if (e == std::string::npos) e = text.size();
        v.push_back(text.substr(pos, e - pos));
        pos = e + 2;
    }
    return v;
}

class Write : public ::testing::Test {
protected:
    WriteRequest Request(const char* name, uint32_t format, uint32_t start = 0, uint32_t length = 0) {
        path = dir.file(name);
        WriteRequest w;
        w.FileName = path.c_str();
        w.Start = start;
        w.Length = length;
        w.Mode = WRITE_REPLACE;
        w.Format = format;
        w.EOFOption = 1;
        w.RecLen = 32;
        w.FillValue = 0x100;
        return w;
    }
    testsupport::TempDir dir;
    std::string path;
    RecordingOutput out;
};

TEST_F(Write, ArgumentChecks) {
    VirtualUnit unit(0x800);
    struct Case {
        uint32_t start, length, mode, format, recLen;
        EngineArg arg;
        const char* line;
    } cases[] = {
        {0x800, 0, WRITE_REPLACE, FORMAT_HEX, 32, ARG_START, "INVALID START ARGUMENT\a\n"},
        {0x7FF, 2, WRITE_REPLACE, FORMAT_HEX, 32, ARG_LENGTH, "INVALID LENGTH ARGUMENT\a\n"},
        {0x10, 0xFFFFFFF8, WRITE_REPLACE, FORMAT_HEX, 32, ARG_LENGTH, "INVALID LENGTH ARGUMENT\a\n"},
        {0, 0, 4, FORMAT_HEX, 32, ARG_MODE, "INVALID FILE MODE ARGUMENT\a\n"},
        {0, 0, WRITE_REPLACE, 6, 32, ARG_FORMAT, "INVALID FORMAT ARGUMENT\a\n"},
        {0, 0, WRITE_REPLACE, FORMAT_HEX, 0, ARG_RECLEN, "INVALID RECORD LENGTH ARGUMENT (1 - FF REQUIRED)\a\n"},
        {0, 0, WRITE_REPLACE, FORMAT_S, 0, ARG_RECLEN, "INVALID RECORD LENGTH ARGUMENT (1 - FF REQUIRED)\a\n"},
    };
    for (const auto& c : cases) {
        testsupport::WriteText(dir.file("keep"), "old");
        WriteRequest w = Request("keep", c.format, c.start, c.length);
        w.Mode = c.mode;
        w.RecLen = c.recLen;
        EXPECT_EQ(WriteImage(out, unit.set, w), 2u) << c.line;
        ASSERT_EQ(out.lines.size(), 1u) << c.line;
        EXPECT_EQ(out.lines[0].text, c.line);
        EXPECT_EQ(out.lines[0].arg, c.arg) << c.line;
        EXPECT_EQ(testsupport::ReadText(dir.file("keep")), "old") << c.line;  // file untouched
    }
    // Record length 0 means nothing to the binary format.
    WriteRequest w = Request("bin", FORMAT_BINARY, 0, 4);
    w.RecLen = 0;
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    // A sign-on text longer than one S0 record.
    std::string longText(253, 'a');
    w = Request("s", FORMAT_S, 0, 4);
    w.Signon = longText.c_str();
    EXPECT_EQ(WriteImage(out, unit.set, w), 2u);
    EXPECT_EQ(out.lines.back().text, "SIGN-ON TEXT IS TOO LONG (252 CHARACTERS AT MOST)\a\n");
    w = Request("bad", FORMAT_HEX);
    w.FileName = "/nonexistent-dir/out.hex";
    EXPECT_EQ(WriteImage(out, unit.set, w), 2u);
    EXPECT_EQ(out.Text(), "E:ERROR OPENING OUTPUT FILE (" + testsupport::MissingFolderText() + ")\a\n");
}

TEST_F(Write, BinaryModes) {
    VirtualUnit unit(0x800);
    unit.Write(0x100, Seq(1, 16));
    WriteRequest w = Request("out.bin", FORMAT_BINARY, 0x100, 16);
    w.Mode = WRITE_CREATE;
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    EXPECT_EQ(out.Text(), "I:Writing 10 bytes to binary file\n");
    EXPECT_EQ(testsupport::ReadFile(path), Seq(1, 16));

    EXPECT_EQ(WriteImage(out, unit.set, w), 2u);  // create refuses an existing file
    EXPECT_EQ(out.Text(), "E:OUTPUT FILE ALREADY EXISTS\a\n");
    EXPECT_EQ(testsupport::ReadFile(path), Seq(1, 16));

    w.Mode = WRITE_APPEND;
    w.Start = 0x108;
    w.Length = 8;
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    EXPECT_EQ(out.Text(), "I:Adding 8 bytes to binary file\n");
    std::vector<uint8_t> want = Seq(1, 16);
    for (uint8_t b : Seq(9, 8)) want.push_back(b);
    EXPECT_EQ(testsupport::ReadFile(path), want);

    w.Mode = WRITE_REPLACE;
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    EXPECT_EQ(testsupport::ReadFile(path), Seq(9, 8));

    // Length 0: to the end of the device.
    w.Start = 0x7F0;
    w.Length = 0;
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    EXPECT_EQ(testsupport::ReadFile(path).size(), 0x10u);
}

TEST_F(Write, AskWhenTheFileExists) {
    VirtualUnit unit(0x800);
    unit.Write(0, Seq(1, 4));
    struct Case {
        char answer;
        uint32_t result;
        std::vector<uint8_t> content;
        std::string text;
    } cases[] = {
        {EXISTING_REPLACE, 0, Seq(1, 4), "I:Writing 4 bytes to binary file\n"},
        {EXISTING_APPEND, 0, {0xEE, 1, 2, 3, 4}, "I:Adding 4 bytes to binary file\n"},
        {EXISTING_CANCEL, 2, {0xEE}, ""},
        {EXISTING_NO_ANSWER, 2, {0xEE}, "E:OUTPUT FILE ALREADY EXISTS\a\n"},
    };
    for (const auto& c : cases) {
        WriteRequest w = Request("ask.bin", FORMAT_BINARY, 0, 4);
        testsupport::WriteFile(path, {0xEE});
        w.Mode = WRITE_ASK;
        out.answer = c.answer;
        out.asked = 0;
        EXPECT_EQ(WriteImage(out, unit.set, w), c.result);
        EXPECT_EQ(out.asked, 1u);
        EXPECT_EQ(out.Text(), c.text);
        EXPECT_EQ(testsupport::ReadFile(path), c.content);
    }
    // No question for a new file.
    WriteRequest w = Request("new.bin", FORMAT_BINARY, 0, 4);
    w.Mode = WRITE_ASK;
    out.asked = 0;
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    EXPECT_EQ(out.asked, 0u);
    EXPECT_EQ(testsupport::ReadFile(path), Seq(1, 4));
}

TEST_F(Write, HexRecordsAndPages) {
    struct Case {
        const char* what;
        uint32_t devSize, start, length, format, recLen, eof;
        std::string banner;
        std::string file;
        const char* count;
    } cases[] = {
        {"small range", 0x800, 0x10, 0x24, FORMAT_HEX, 16, 1, "Putting 24 bytes into HEX format file\n",
         Hex(0, 0x10, Seq(0x10, 16)) + Hex(0, 0x20, Seq(0x20, 16)) + Hex(0, 0x30, Seq(0x30, 4)) + kHexEnd,
         "#4 records written including EOF record\n"},
        {"no EOF", 0x800, 0x10, 4, FORMAT_HEX, 16, 0, "Putting 4 bytes into HEX format file\n",
         Hex(0, 0x10, Seq(0x10, 4)), "#1 records written (no EOF record)\n"},
        {"segment page boundary", 0x20000, 0xFFF0, 0x20, FORMAT_HEX, 32, 1, "Putting 20 bytes into HEX format file\n",
         Hex(0, 0xFFF0, Seq(0xF0, 16)) + Hex(2, 0, {0x10, 0x00}) + Hex(0, 0, Seq(0x00, 16)) + kHexEnd,
         "#4 records written including EOF record\n"},
        {"hex-32 below 64 KB", 0x800, 0, 8, FORMAT_HEX32, 32, 1, "Putting 8 bytes into HEX-32 format file\n",
         Hex(0, 0, Seq(0, 8)) + kHexEnd, "#2 records written including EOF record\n"},
        {"hex-32 page boundary", 0x20000, 0xFFF8, 0x10, FORMAT_HEX32, 255, 1,
         "Putting 10 bytes into HEX-32 format file\n",
         Hex(0, 0xFFF8, Seq(0xF8, 8)) + Hex(4, 0, {0x00, 0x01}) + Hex(0, 0, Seq(0, 8)) + kHexEnd,
         "#4 records written including EOF record\n"},
        {"record length above 255 means 32", 0x800, 0, 0x21, FORMAT_HEX, 300, 1,
         "Putting 21 bytes into HEX format file\n", Hex(0, 0, Seq(0, 32)) + Hex(0, 0x20, Seq(0x20, 1)) + kHexEnd,
         "#3 records written including EOF record\n"},
    };
    for (const auto& c : cases) {
        VirtualUnit unit(c.devSize);
        std::vector<uint8_t> ramp(c.devSize);
        for (uint32_t i = 0; i < c.devSize; ++i) ramp[i] = static_cast<uint8_t>(i);
        unit.Write(0, ramp);
        WriteRequest w = Request("out.hex", c.format, c.start, c.length);
        w.RecLen = c.recLen;
        w.EOFOption = c.eof;
        EXPECT_EQ(WriteImage(out, unit.set, w), 0u) << c.what;
        EXPECT_EQ(testsupport::ReadText(path), c.file) << c.what;
        EXPECT_EQ(out.Text(), "I:" + c.banner + "I:" + c.count) << c.what;
    }
}

TEST_F(Write, HexAboveOneMegabyteUsesLinearRecords) {
    VirtualUnit unit(0x800);
    unit.Write(0, Seq(1, 4));
    WriteRequest w = Request("t.hex", FORMAT_HEX, 0, 4);
    w.TargetOption = 1;
    w.Target = 0xFFFFE;  // the range ends at 0x100001: beyond segment reach
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    EXPECT_EQ(testsupport::ReadText(path),
              Hex(4, 0, {0, 0x0F}) + Hex(0, 0xFFFE, {1, 2}) + Hex(4, 0, {0, 0x10}) + Hex(0, 0, {3, 4}) + kHexEnd);
    EXPECT_EQ(out.lines[0].text, "Putting 4 bytes into HEX-32 format file\n");
}

TEST_F(Write, HexEntryRecords) {
    VirtualUnit unit(0x800);
    unit.Write(0, Seq(1, 4));
    struct Case {
        uint32_t entry;
        std::string record;
    } cases[] = {
        {0x12345, Hex(3, 0, {0x10, 0x00, 0x23, 0x45})},
        {0xFFFFF, Hex(3, 0, {0xF0, 0x00, 0xFF, 0xFF})},
        {0x100000, Hex(5, 0, {0x00, 0x10, 0x00, 0x00})},
        {0x80012345, Hex(5, 0, {0x80, 0x01, 0x23, 0x45})},
    };
    for (const auto& c : cases) {
        WriteRequest w = Request("e.hex", FORMAT_HEX, 0, 4);
        w.EntryOption = 1;
        w.EntryAddr = c.entry;
        EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
        EXPECT_EQ(testsupport::ReadText(path), c.record + Hex(0, 0, Seq(1, 4)) + kHexEnd) << std::hex << c.entry;
        EXPECT_EQ(out.lines.back().text, "#3 records written including EOF record\n");
        // The loader reads the entry back.
        unit.SetFile(path);
        EXPECT_EQ(LoadImage(out, unit.set), 0u);
        char line[40];
        std::snprintf(line, sizeof line, "Start Address: %08X\n", c.entry);
        EXPECT_TRUE(out.Has('A', line)) << out.Text();
    }
}

TEST_F(Write, FillRemoval) {
    VirtualUnit unit(0x800, 0xFF);
    unit.Write(0x12, {0x01, 0xFF, 0x02});  // fill byte inside a record stays
    unit.Write(0x40, {0x03});
    WriteRequest w = Request("f.hex", FORMAT_HEX, 0, 0x60);
    w.RecLen = 16;
    w.FillValue = 0xFF;
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    EXPECT_EQ(testsupport::ReadText(path), Hex(0, 0x12, {0x01, 0xFF, 0x02}) + Hex(0, 0x40, {0x03}) + kHexEnd);
    EXPECT_EQ(out.lines.back().text, "#3 records written including EOF record\n");

    // All fill: no data records; only the end record is counted.
    w = Request("g.hex", FORMAT_HEX, 0x100, 0x100);
    w.FillValue = 0xFF;
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    EXPECT_EQ(testsupport::ReadText(path), kHexEnd);
    EXPECT_EQ(out.lines.back().text, "#1 records written including EOF record\n");

    w = Request("g.s19", FORMAT_S, 0x10, 0x40);
    w.FillValue = 0xFF;
    w.RecLen = 16;
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    EXPECT_EQ(testsupport::ReadText(path), SRec(1, 0x12, {0x01, 0xFF, 0x02}) + SRec(1, 0x40, {0x03}) + SRec(9, 0, {}));
}

TEST_F(Write, SRecordWidthChoice) {
    struct Case {
        const char* what;
        uint32_t format, start, length, target, entryOption, entry;
        uint32_t result;
        std::string banner;
        std::vector<std::string> firstAndLast;  // first data record type prefix and the end record
    } cases[] = {
        {"S19 up to 64 KB",
         FORMAT_S,
         0,
         0x10000,
         0,
         0,
         0,
         0,
         "Putting 10000 bytes into S19 format file\n",
         {"S1", "S9030000FC"}},
        {"S28 past 64 KB",
         FORMAT_S,
         0,
         0x10001,
         0,
         0,
         0,
         0,
         "Putting 10001 bytes into S28 format file\n",
         {"S2", "S804000000FB"}},
        {"S28 for the entry",
         FORMAT_S,
         0,
         0x10,
         0,
         1,
         0x10000,
         0,
         "Putting 10 bytes into S28 format file\n",
         {"S2", "S804010000FA"}},
        {"S37 for target",
         FORMAT_S,
         0,
         0x10,
         0x1000000,
         0,
         0,
         0,
         "Putting 10 bytes into S37 format file\n",
         {"S3", "S70500000000FA"}},
        {"S28 forced",
         FORMAT_S28,
         0,
         0x10,
         0,
         0,
         0,
         0,
         "Putting 10 bytes into S28 format file\n",
         {"S2", "S804000000FB"}},
        {"S37 forced",
         FORMAT_S37,
         0,
         0x10,
         0,
         1,
         0x1234,
         0,
         "Putting 10 bytes into S37 format file\n",
         {"S3", "S70500001234B4"}},
        {"S28 cannot", FORMAT_S28, 0, 0x10, 0, 1, 0x1000000, 2, "ADDRESSING REQUIRES S37 FORMAT\a\n", {}},
    };
    for (const auto& c : cases) {
        VirtualUnit unit(0x20000, 0x5A);
        WriteRequest w = Request("o.s", c.format, c.start, c.length);
        w.TargetOption = c.target != 0;
        w.Target = c.target;
        w.EntryOption = c.entryOption;
        w.EntryAddr = c.entry;
        EXPECT_EQ(WriteImage(out, unit.set, w), c.result) << c.what;
        ASSERT_FALSE(out.lines.empty());
        EXPECT_EQ(out.lines[0].text, c.banner) << c.what;
        if (c.result != 0) continue;
        auto lines = Lines(testsupport::ReadText(path));
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines.front().substr(0, 2), c.firstAndLast[0]) << c.what;
        EXPECT_EQ(lines.back(), c.firstAndLast[1]) << c.what;
    }
}

TEST_F(Write, SRecordLengthLimitAndSignon) {
    struct Case {
        uint32_t format;
        uint32_t perRecord;
    } cases[] = {{FORMAT_S, 252}, {FORMAT_S28, 251}, {FORMAT_S37, 250}};
    for (const auto& c : cases) {
        VirtualUnit unit(0x800, 0x33);
        WriteRequest w = Request("l.s", c.format, 0, 0x800);
        w.RecLen = 255;
        w.Signon = "HELLO";
        EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
        auto lines = Lines(testsupport::ReadText(path));
        EXPECT_EQ(lines[0] + "\r\n", SRec(0, 0, {'H', 'E', 'L', 'L', 'O'}));
        const uint32_t ab = c.format == FORMAT_S ? 2 : c.format == FORMAT_S28 ? 3 : 4;
        EXPECT_EQ(lines[1].size(), 4 + 2 * (ab + c.perRecord + 1));
        const uint32_t records = (0x800 + c.perRecord - 1) / c.perRecord;
        EXPECT_EQ(lines.size(), records + 2);
        char count[64];
        std::snprintf(count, sizeof count, "#%u records written including EOF record\n", records + 2);
        EXPECT_EQ(out.lines.back().text, count);
    }
    // Sign-on is for S formats only: HEX ignores it.
    VirtualUnit unit(0x800);
    WriteRequest w = Request("x.hex", FORMAT_HEX, 0, 1);
    w.Signon = "HELLO";
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    EXPECT_EQ(testsupport::ReadText(path), Hex(0, 0, {0xFF}) + kHexEnd);
}

TEST_F(Write, AppendCollectsRanges) {
    VirtualUnit unit(0x800);
    unit.Write(0, Seq(1, 8));
    WriteRequest w = Request("a.hex", FORMAT_HEX, 0, 4);
    w.EOFOption = 0;
    w.Mode = WRITE_CREATE;
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    w.Mode = WRITE_APPEND;
    w.Start = 4;
    w.EOFOption = 1;
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    EXPECT_EQ(out.lines[0].text, "Adding 4 bytes onto HEX format file\n");
    EXPECT_EQ(testsupport::ReadText(path), Hex(0, 0, Seq(1, 4)) + Hex(0, 4, Seq(5, 4)) + kHexEnd);
    w = Request("a.s", FORMAT_S, 0, 4);
    w.Mode = WRITE_APPEND;
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
    EXPECT_EQ(out.lines[0].text, "Adding 4 bytes onto S19 format file\n");
}

TEST_F(Write, CancelMakesTheWriteIncomplete) {
    VirtualUnit unit(0x800);
    WriteRequest w = Request("c.hex", FORMAT_HEX, 0, 0x100);
    out.cancelAtPoll = 3;
    EXPECT_EQ(WriteImage(out, unit.set, w), 2u);
    EXPECT_EQ(out.lines.back().text, "Write incomplete with less than #2 records written\n");
    // A cancelled write leaves nothing behind: the new file is not made.
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    out.polls = 0;
    w = Request("c.s", FORMAT_S, 0, 0x100);
    EXPECT_EQ(WriteImage(out, unit.set, w), 2u);
    EXPECT_EQ(out.lines.back().text, "Write incomplete with less than #2 records written\n");
    // A binary file is one block: the cancel is seen after the read, before the
    // file is written, and an old file stays as it was.
    testsupport::WriteText(dir.file("c.bin"), "old binary");
    out.polls = 0;
    out.cancelAtPoll = 1;
    w = Request("c.bin", FORMAT_BINARY, 0, 0x100);
    EXPECT_EQ(WriteImage(out, unit.set, w), 2u);
    EXPECT_EQ(out.lines.back().text, "Write incomplete with no bytes written\n");
    EXPECT_EQ(testsupport::ReadText(dir.file("c.bin")), "old binary");
}

#ifndef _WIN32  // /dev/full
// /dev/full takes nothing: every writer reports the full disk, whatever the size.
TEST_F(Write, DiskFull) {
    VirtualUnit unit(0x100000);
    struct Case {
        uint32_t format, length;
        std::string text;
    } cases[] = {
        {FORMAT_BINARY, 0x10, "I:Writing 10 bytes to binary file\nE:OUTPUT DISK FULL\a\n"},
        {FORMAT_BINARY, 0x100000, "I:Writing 100000 bytes to binary file\nE:OUTPUT DISK FULL\a\n"},
        {FORMAT_HEX, 0x10,
         "I:Putting 10 bytes into HEX format file\nE:OUTPUT DISK FULL\a\n"
         "I:Write incomplete with less than #2 records written\n"},
        {FORMAT_S, 0x100000, ""},
    };
    for (const auto& c : cases) {
        WriteRequest w = Request("x", c.format, 0, c.length);
        w.FileName = "/dev/full";
        EXPECT_EQ(WriteImage(out, unit.set, w), 2u) << c.format;
        if (!c.text.empty()) {
            EXPECT_EQ(out.Text(), c.text);
        } else {
            // The first 32 KB piece fails; the write stops there.
            ASSERT_GE(out.lines.size(), 3u);
            EXPECT_EQ(out.lines[1].text, "OUTPUT DISK FULL\a\n");
            EXPECT_EQ(out.lines.size(), 3u) << out.Text();
            EXPECT_EQ(out.lines[2].text.rfind("Write incomplete with less than #", 0), 0u);
        }
    }
}

#endif

// One extended address record per 64 KB page after the first.
TEST_F(Write, WholeMegabyteHasAnExtendedRecordPerPage) {
    VirtualUnit unit(0x100000, 0x00);
    struct Case {
        uint32_t format;
        const char* record;  // the extended record's text up to its data
    } cases[] = {{FORMAT_HEX, ":02000002"}, {FORMAT_HEX32, ":02000004"}};
    for (const auto& c : cases) {
        WriteRequest w = Request("m.hex", c.format);
        EXPECT_EQ(WriteImage(out, unit.set, w), 0u);
        auto lines = Lines(testsupport::ReadText(path));
        std::vector<std::string> ext;
        for (const auto& l : lines)
            if (l.rfind(c.record, 0) == 0) ext.push_back(l.substr(9, 4));
        ASSERT_EQ(ext.size(), 15u) << c.record;
        EXPECT_EQ(ext.front(), c.format == FORMAT_HEX ? "1000" : "0001");
        EXPECT_EQ(ext.back(), c.format == FORMAT_HEX ? "F000" : "000F");
        EXPECT_EQ(lines.size(), 0x100000u / 32 + 15 + 1);
        char count[64];
        std::snprintf(count, sizeof count, "#%u records written including EOF record\n", 0x100000u / 32 + 16);
        EXPECT_EQ(out.lines.back().text, count);
    }
}

// The writers can be called directly on an open stream (the console's W does).
TEST_F(Write, DirectWriterOnAStreamThatCannotWrite) {
    VirtualUnit unit(0x800);
    testsupport::WriteText(dir.file("ro"), "");
    FILE* f = std::fopen(dir.file("ro").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> buffer(0x10);
    WriteOptions o;
    EXPECT_EQ(WriteBinary(out, f, buffer.data(), unit.set, 0, 0x10, o), 2u);
    EXPECT_EQ(out.Text(), "I:Writing 10 bytes to binary file\nE:OUTPUT DISK WRITE ERROR\a\n");
    std::fclose(f);
    // Record length 0 from a direct caller: refused before anything is written.
    out.lines.clear();
    f = std::fopen(dir.file("w.hex").c_str(), "wb");
    o.RecLen = 0;
    EXPECT_EQ(WriteHex(out, f, buffer.data(), unit.set, 0, 0x10, o), 2u);
    EXPECT_EQ(WriteSRecords(out, f, buffer.data(), unit.set, 0, 0x10, o), 2u);
    std::fclose(f);
    EXPECT_EQ(
        out.Text(),
        "E:INVALID RECORD LENGTH ARGUMENT (1 - FF REQUIRED)\a\nE:INVALID RECORD LENGTH ARGUMENT (1 - FF REQUIRED)\a\n");
    EXPECT_EQ(testsupport::ReadText(dir.file("w.hex")), "");
}

// A write that fails for any reason leaves the file system as it was: a replaced
// file byte for byte, an appended file at its old length, no new file, no temporary.
TEST_F(Write, FailedWriteLeavesTheOldFile) {
    VirtualUnit unit(0x10000);
    unit.Write(0, Seq(1, 0x100));
    const std::vector<uint8_t> old = testsupport::RandomBytes(3000, 9);
    enum Failure { CANCEL, DEVICE, NEEDS_S37 };
    struct Case {
        const char* what;
        Failure failure;
        uint32_t mode;      // WRITE_*
        bool exists;        // the file is there before
        const char* error;  // the failure's error line
    } cases[] = {
        {"cancel, replace", CANCEL, WRITE_REPLACE, true, nullptr},
        {"cancel, append", CANCEL, WRITE_APPEND, true, nullptr},
        {"cancel, append to a new file", CANCEL, WRITE_APPEND, false, nullptr},
        {"cancel, create", CANCEL, WRITE_CREATE, false, nullptr},
        {"device, replace", DEVICE, WRITE_REPLACE, true, "DEVICE FAILURE (SUBCODE 505-1)\a\n"},
        {"device, append", DEVICE, WRITE_APPEND, true, "DEVICE FAILURE (SUBCODE 505-1)\a\n"},
        {"device, create", DEVICE, WRITE_CREATE, false, "DEVICE FAILURE (SUBCODE 505-1)\a\n"},
        {"S28 needs S37, replace", NEEDS_S37, WRITE_REPLACE, true, "ADDRESSING REQUIRES S37 FORMAT\a\n"},
        {"S28 needs S37, create", NEEDS_S37, WRITE_CREATE, false, "ADDRESSING REQUIRES S37 FORMAT\a\n"},
    };
    for (const Case& c : cases) {
        testsupport::TempDir here;
        const std::string name = here.file("keep.s");
        if (c.exists) testsupport::WriteFile(name, old);
        WriteRequest w = Request("unused", FORMAT_S, 0, 0x1000);
        w.FileName = name.c_str();
        w.Mode = c.mode;
        w.RecLen = 16;
        out.polls = 0;
        out.cancelAtPoll = c.failure == CANCEL ? 100 : 0;
        const uint32_t handle = unit.link.handle;
        if (c.failure == DEVICE) unit.link.handle = 25775;  // not a link handle: every read fails
        if (c.failure == NEEDS_S37) {
            w.Format = FORMAT_S28;
            w.EntryOption = 1;
            w.EntryAddr = 0x1000000;
        }
        EXPECT_EQ(WriteImage(out, unit.set, w), 2u) << c.what;
        unit.link.handle = handle;
        if (c.error) {
            EXPECT_TRUE(out.Has(c.failure == DEVICE ? 'A' : 'E', c.error)) << c.what << out.Text();
        } else {
            EXPECT_EQ(out.lines.back().text.rfind("Write incomplete with less than #", 0), 0u) << c.what;
        }
        if (c.exists) EXPECT_EQ(testsupport::ReadFile(name), old) << c.what;
        else EXPECT_NE(access(name.c_str(), F_OK), 0) << c.what;
        const std::string listing = testsupport::ListFolder(here.path());
        EXPECT_EQ(listing, c.exists ? "keep.s\n" : "") << c.what;
    }
}

#ifndef _WIN32  // POSIX permissions and symbolic links
// A successful replace or create puts the whole new file in place under its name and
// keeps the old file's permissions.
TEST_F(Write, ReplaceKeepsPermissions) {
    VirtualUnit unit(0x800);
    unit.Write(0, Seq(1, 16));
    testsupport::WriteText(dir.file("r.bin"), "old contents, longer than the new ones");
    ASSERT_EQ(chmod(dir.file("r.bin").c_str(), 0640), 0);
    WriteRequest w = Request("r.bin", FORMAT_BINARY, 0, 16);
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u) << out.Text();
    EXPECT_EQ(testsupport::ReadFile(path), Seq(1, 16));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // Through a symbolic link: the file it names is replaced, the link stays.
    ASSERT_EQ(symlink("r.bin", dir.file("link.bin").c_str()), 0);
    unit.Write(0, Seq(0x41, 16));
    w = Request("link.bin", FORMAT_BINARY, 0, 16);
    EXPECT_EQ(WriteImage(out, unit.set, w), 0u) << out.Text();
    ASSERT_EQ(lstat(dir.file("link.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(testsupport::ReadFile(dir.file("r.bin")), Seq(0x41, 16));
}

#endif

// Record addresses that would pass FFFFFFFF are refused at the target, never wrapped.
TEST_F(Write, RecordAddressesNeverWrap) {
    VirtualUnit unit(0x800);
    struct Case {
        uint32_t format, target, length;
        bool ok;
    } cases[] = {
        {FORMAT_HEX32, 0xFFFFFFFF, 1, true},   {FORMAT_HEX32, 0xFFFFFFFF, 2, false},
        {FORMAT_HEX, 0xFFFFFF00, 0x100, true}, {FORMAT_HEX, 0xFFFFFF01, 0x100, false},
        {FORMAT_S, 0xFFFFFFF0, 0x10, true},    {FORMAT_S37, 0xFFFFFFF0, 0x11, false},
    };
    for (const Case& c : cases) {
        WriteRequest w = Request("wrap.hex", c.format, 0, c.length);
        w.TargetOption = 1;
        w.Target = c.target;
        unlink(path.c_str());
        EXPECT_EQ(WriteImage(out, unit.set, w), c.ok ? 0u : 2u) << std::hex << c.target << out.Text();
        if (c.ok) {
            // srec_cat reads the records back at the top of the address space.
            std::string text;
            ASSERT_EQ(
                testsupport::RunCommand(
                    "srec_cat " + path + (c.format == FORMAT_S ? " -motorola" : " -intel") + " -o - -hex-dump", &text),
                0)
                << text;
        } else {
            ASSERT_EQ(out.lines.size(), 1u) << out.Text();
            EXPECT_EQ(out.lines[0].arg, ARG_TARGET);
            EXPECT_EQ(out.lines[0].text, "RECORD ADDRESSES RUN PAST FFFFFFFF\a\n");
            EXPECT_NE(access(path.c_str(), F_OK), 0);
        }
    }
}

}  // namespace
