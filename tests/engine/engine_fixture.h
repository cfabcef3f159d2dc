#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "link/link.h"
#include "tests/support/test_support.h"

namespace enginetest {

// One output line as the engine produced it.
struct Line {
    char kind;  // 'E' error, 'I' information, 'A' always
    EngineArg arg;
    std::string text;
};

// Records every line, answers the cancel poll and the existing-file question as told.
class RecordingOutput : public EngineOutput {
public:
    std::vector<Line> lines;
    std::vector<uint32_t> results;
    uint32_t resets = 0;
    uint32_t polls = 0;
    uint32_t cancelAtPoll = 0;  // 0: never; n: the n-th poll cancels
    char answer = EXISTING_NO_ANSWER;
    uint32_t asked = 0;

    void Reset() override {
        ++resets;
        lines.clear();
    }
    void Error(EngineArg arg, const char* text) override { lines.push_back({'E', arg, text}); }
    void Inform(const char* text) override { lines.push_back({'I', ARG_NONE, text}); }
    void Always(const char* text) override { lines.push_back({'A', ARG_NONE, text}); }
    bool PollCancel() override { return ++polls >= cancelAtPoll && cancelAtPoll != 0; }
    void Result(uint32_t value) override { results.push_back(value); }
    char AskExistingFile(const char*) override {
        ++asked;
        return answer;
    }

    // All lines joined, each prefixed by its kind: "I:Hex-File ...\n".
    std::string Text() const {
        std::string s;
        for (const auto& l : lines) s += std::string(1, l.kind) + ":" + l.text;
        return s;
    }
    bool Has(char kind, const std::string& text) const {
        for (const auto& l : lines)
            if (l.kind == kind && l.text == text) return true;
        return false;
    }
};

// A virtual unit of `size` bytes behind a one-lane UnitSet, with its request.
class VirtualUnit {
public:
    explicit VirtualUnit(uint32_t size, uint8_t initial = 0xFF) {
        EXPECT_EQ(ZAMInit(&handle, SELECT_VIRTUAL, 0, size, 0), 0u);
        std::vector<uint8_t> fill(size, initial);
        EXPECT_EQ(ZAMWrite(handle, 0, fill.data(), size), 0u);
        request.DevSize = size;
        link.handle = handle;
        set.count = 1;
        set.DevSize = size;
        set.settings[0] = &request;
        set.links[0] = &link;
    }
    ~VirtualUnit() { ZAMClose(handle); }

    std::vector<uint8_t> Read(uint32_t address, uint32_t length) const {
        std::vector<uint8_t> b(length);
        EXPECT_EQ(ZAMRead(handle, b.data(), address, length), 0u);
        return b;
    }
    void Write(uint32_t address, const std::vector<uint8_t>& bytes) {
        EXPECT_EQ(ZAMWrite(handle, address, bytes.data(), static_cast<uint32_t>(bytes.size())), 0u);
    }
    void SetFile(const std::string& name) {
        std::memset(request.FileName, 0, sizeof request.FileName);
        std::strncpy(request.FileName, name.c_str(), sizeof request.FileName - 1);
    }

    uint32_t handle = 0;
    ImageRequest request;
    UnitLink link;
    UnitSet set;
};

// One Intel HEX record with its checksum and a line end.
inline std::string Hex(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    char h[8];
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(h, sizeof h, ":%02X", static_cast<unsigned>(data.size()));
    std::string s = h;
    std::snprintf(h, sizeof h, "%04X%02X", address, type);
    s += h;
    for (uint8_t b : data) {
        std::snprintf(h, sizeof h, "%02X", b);
        s += h;
        sum += b;
    }
    std::snprintf(h, sizeof h, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return s + h + "\r\n";
}

// One S record (type 0..9) with the address width of its type.
inline std::string SRec(unsigned type, uint32_t address, const std::vector<uint8_t>& data) {
    const unsigned ab = (type == 2 || type == 8) ? 3 : (type == 3 || type == 7) ? 4 : 2;
    const unsigned count = ab + static_cast<unsigned>(data.size()) + 1;
    char h[16];
    std::snprintf(h, sizeof h, "S%u%02X%0*X", type, count, static_cast<int>(ab * 2), address);
    std::string s = h;
    unsigned sum = count + (address >> 24) + ((address >> 16) & 0xFF) + ((address >> 8) & 0xFF) + (address & 0xFF);
    for (uint8_t b : data) {
        std::snprintf(h, sizeof h, "%02X", b);
        s += h;
        sum += b;
    }
    std::snprintf(h, sizeof h, "%02X", ~sum & 0xFF);
    return s + h + "\r\n";
}

inline const std::string kHexEnd = ":00000001FF\r\n";

inline std::vector<uint8_t> Seq(uint8_t first, size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

}  // namespace enginetest
