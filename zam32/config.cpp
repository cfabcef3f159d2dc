#include "zam32/config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/syserror.h"
#include "platform/process.h"
#include "zam32/commands.h"
#include "zam32/screen.h"

namespace {

// File offsets of the block.
constexpr size_t kLaneUnitsAt = 16;
constexpr size_t kUnitsAt = 32;
constexpr size_t kUnitSize = 348;
constexpr size_t kSlotsAt = kUnitsAt + UNIT_RECORDS * kUnitSize;  // 2816
constexpr size_t kMagicAt = kSlotsAt + PORT_SLOTS * 8;            // 2848
static_assert(kMagicAt + 4 == SESSION_BLOCK_SIZE);
constexpr size_t kFileNameBytes = 300;

void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void EncodeUnit(const UnitRecord& r, uint8_t* p) {
    // The name is written with zeros after it, so equal names give equal files. A name
    // of the full 300 characters goes without its NUL; the reader puts it back.
    std::memset(p, 0, kFileNameBytes);
    std::memcpy(p, r.request.FileName, strnlen(r.request.FileName, kFileNameBytes));
    const uint32_t fields[] = {r.request.Start,      r.request.Length, r.request.Target,  r.request.Width,
                               r.request.LoadVerify, r.DumpPosition,   r.request.DevSize, r.request.FoldMode,
                               r.UnitNumber,         r.ResetNormal,    r.ResetPulse,      r.PortSlot};
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i) Put32(p + kFileNameBytes + 4 * i, fields[i]);
}

void DecodeUnit(const uint8_t* p, UnitRecord& r) {
    r = UnitRecord{};
    std::memcpy(r.request.FileName, p, kFileNameBytes);
    r.request.FileName[kFileNameBytes] = 0;
    uint32_t* const fields[] = {&r.request.Start,      &r.request.Length, &r.request.Target,  &r.request.Width,
                                &r.request.LoadVerify, &r.DumpPosition,   &r.request.DevSize, &r.request.FoldMode,
                                &r.UnitNumber,         &r.ResetNormal,    &r.ResetPulse,      &r.PortSlot};
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i) *fields[i] = Get32(p + kFileNameBytes + 4 * i);
}

bool KnownDeviceSize(uint32_t size) {
    for (uint32_t s : DeviceSizeTable)
        if (s == size) return true;
    return false;
}

// Everything the program indexes or sizes by must be in range; other odd values
// (levels, modes, delays) show as "??" or fail the unit check like any bad unit.
bool BlockUsable(const SessionBlock& b) {
    if (b.Magic != SESSION_MAGIC) return false;
    if (b.LaneCount < 1 || b.LaneCount > 4) return false;
    for (uint32_t i = 0; i < b.LaneCount; ++i)
        if (b.LaneUnits[i] > 3 && b.LaneUnits[i] != LANE_EMPTY) return false;
    for (const UnitRecord& r : b.Units) {
        if (r.UnitNumber == UNIT_FREE) continue;
        if (r.UnitNumber > 3 || r.PortSlot >= PORT_SLOTS || b.Slots[r.PortSlot].Selector == SLOT_FREE ||
            !KnownDeviceSize(r.request.DevSize))
            return false;
    }
    return true;
}

bool ReadExactly(std::FILE* f, void* buffer, size_t n) { return std::fread(buffer, 1, n, f) == n; }

int KeyIndexByCode(uint16_t code) {
    const FunctionKey* keys = FunctionKeyTable();
    for (int i = 0; i < FUNCTION_KEYS; ++i)
        if (keys[i].code == code) return i;
    return -1;
}

// The directory of the running program with its '/', or what the program path has
// up to its last separator.
std::string ProgramDirectory(const char* programPath) {
    std::string path = ProcessProgramPath();
    if (path.empty()) path = programPath ? programPath : "";
    size_t cut = path.find_last_of("/\\:");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// Only a regular file counts: a directory or a device of that name is not a
// configuration (and a pipe would never end).
std::FILE* OpenRegular(const char* name) {
    int result = FILE_READ_OK;
    FileFailure failure;
    return OpenRegularFile(name, &result, &failure);
}

void ClearKeyTexts() {
    FunctionKey* keys = FunctionKeyTable();
    for (int i = 0; i < FUNCTION_KEYS; ++i) keys[i].loaded[0] = keys[i].current[0] = 0;
}

void CloseUnitLinks() {
    UnitLink* links = UnitLinks();
    for (int i = 0; i < UNIT_RECORDS; ++i) CloseLink(links[i]);
}

}  // namespace

void EncodeSessionBlock(const SessionBlock& b, uint8_t* out) {
    std::memset(out, 0, SESSION_BLOCK_SIZE);
    Put32(out + 0, b.DumpLength);
    Put32(out + 4, b.DumpWidth);
    Put32(out + 8, b.CurrentPort);
    Put32(out + 12, b.LaneCount);
    for (int i = 0; i < 4; ++i) Put32(out + kLaneUnitsAt + 4 * i, b.LaneUnits[i]);
    for (int i = 0; i < UNIT_RECORDS; ++i) EncodeUnit(b.Units[i], out + kUnitsAt + kUnitSize * i);
    for (int i = 0; i < PORT_SLOTS; ++i) {
        Put32(out + kSlotsAt + 8 * i, b.Slots[i].Selector);
        Put32(out + kSlotsAt + 8 * i + 4, static_cast<uint32_t>(b.Slots[i].Delay));
    }
    Put32(out + kMagicAt, b.Magic);
}

bool DecodeSessionBlock(const uint8_t* in, SessionBlock& block) {
    SessionBlock b;
    b.DumpLength = Get32(in + 0);
    b.DumpWidth = Get32(in + 4);
    b.CurrentPort = Get32(in + 8);
    b.LaneCount = Get32(in + 12);
    for (int i = 0; i < 4; ++i) b.LaneUnits[i] = Get32(in + kLaneUnitsAt + 4 * i);
    for (int i = 0; i < UNIT_RECORDS; ++i) DecodeUnit(in + kUnitsAt + kUnitSize * i, b.Units[i]);
    for (int i = 0; i < PORT_SLOTS; ++i) {
        b.Slots[i].Selector = Get32(in + kSlotsAt + 8 * i);
        b.Slots[i].Delay = static_cast<int32_t>(Get32(in + kSlotsAt + 8 * i + 4));
    }
    b.Magic = Get32(in + kMagicAt);
    if (!BlockUsable(b)) return false;
    block = b;
    return true;
}

bool ReadConfiguration(std::FILE* file, SessionBlock& block, ConfigKeys& keys) {
    uint8_t raw[SESSION_BLOCK_SIZE];
    if (!ReadExactly(file, raw, sizeof raw)) return false;
    SessionBlock b;
    if (!DecodeSessionBlock(raw, b)) return false;
    ConfigKeys k{};
    for (;;) {
        uint8_t code[2];
        if (!ReadExactly(file, code, 2)) return false;
        const uint16_t c = static_cast<uint16_t>(code[0] | code[1] << 8);
        if (c == 0) break;
        const int index = KeyIndexByCode(c);
        if (index < 0) return false;
        size_t n = 0;
        for (;;) {
            int ch = std::fgetc(file);
            if (ch == EOF) return false;
            if (ch == 0) break;
            if (n == KEY_TEXT_LIMIT) return false;
            k.text[index][n++] = static_cast<char>(ch);
        }
        k.text[index][n] = 0;
    }
    block = b;
    keys = k;
    return true;
}

std::vector<uint8_t> EncodeConfiguration(const SessionBlock& block, const FunctionKey* keys,
                                         std::vector<int>* skipped) {
    std::vector<uint8_t> bytes(SESSION_BLOCK_SIZE);
    EncodeSessionBlock(block, bytes.data());
    for (int i = 0; i < FUNCTION_KEYS; ++i) {
        const size_t n = std::strlen(keys[i].current);
        if (n == 0) continue;
        if (n > KEY_TEXT_LIMIT) {
            if (skipped) skipped->push_back(i);
            continue;
        }
        bytes.push_back(static_cast<uint8_t>(keys[i].code));
        bytes.push_back(static_cast<uint8_t>(keys[i].code >> 8));
        bytes.insert(bytes.end(), keys[i].current, keys[i].current + n);
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

bool ConfigurationChanged() {
    uint8_t live[SESSION_BLOCK_SIZE], saved[SESSION_BLOCK_SIZE];
    EncodeSessionBlock(Session(), live);
    EncodeSessionBlock(LastSavedSession(), saved);
    if (std::memcmp(live, saved, SESSION_BLOCK_SIZE) != 0) return true;
    const FunctionKey* keys = FunctionKeyTable();
    for (int i = 0; i < FUNCTION_KEYS; ++i)
        if (std::strcmp(keys[i].current, keys[i].loaded) != 0) return true;
    return false;
}

void LoadConfiguration(const char* programPath) {
    std::FILE* f = OpenRegular(CONFIG_FILE_NAME);
    if (!f) {
        const std::string name = ProgramDirectory(programPath) + CONFIG_FILE_NAME;
        f = OpenRegular(name.c_str());
        if (!f) {
            PrintText("No config file found, using internal defaults\n");
            return;
        }
        Print("Using default config file \"%s\"\n", name.c_str());
    }
    SessionBlock block;
    static ConfigKeys keys;
    const bool valid = ReadConfiguration(f, block, keys);
    std::fclose(f);
    CloseUnitLinks();
    ClearKeyTexts();
    if (!valid) {
        PrintText("INVALID CONFIGURATION FILE\nUsing Defaults\a\n");
        SessionDefaults();
        LastSavedSession() = Session();
        return;
    }
    FunctionKey* table = FunctionKeyTable();
    for (int i = 0; i < FUNCTION_KEYS; ++i) {
        std::strcpy(table[i].loaded, keys.text[i]);
        std::strcpy(table[i].current, keys.text[i]);
    }
    LastSavedSession() = block;
    Session() = block;
    for (int i = 0; i < UNIT_RECORDS; ++i)
        if (Session().Units[i].UnitNumber != UNIT_FREE && !CheckUnit(i)) RemoveUnit(i);
    RecomputeLanes();
}

void SaveConfiguration(int quitCode) {
    if (quitCode != CMD_QUIT_ASK && quitCode != CMD_QUIT_SAVE) return;
    if (!ConfigurationChanged()) return;
    if (quitCode == CMD_QUIT_ASK && ChoicePrompt("OK to Update Configuration? (y/n):", "YN", 'N') != 'Y') return;
    std::vector<int> skipped;
    const std::vector<uint8_t> bytes = EncodeConfiguration(Session(), FunctionKeyTable(), &skipped);
    for (int i : skipped)
        Print("FUNCTION KEY %s TEXT IS LONGER THAN #%zu CHARACTERS AND WAS NOT SAVED\a\n", FunctionKeyTable()[i].name,
              KEY_TEXT_LIMIT);
    // A file that is there but could not be read holds a session this run never saw:
    // it is kept.
    const unsigned long unreadable = FileReadableError(CONFIG_FILE_NAME);
    if (unreadable != 0 && !SystemErrorIs(unreadable, SYSERR_NOT_FOUND)) {
        PrintText("UNABLE TO WRITE CONFIGURATION FILE\a\n");
        Print("%s could not be read and has been kept (%s)\n", CONFIG_FILE_NAME, SystemErrorText(unreadable));
        return;
    }
    // Only ever a regular file: a device or FIFO of that name (or a link to one) is
    // refused, never written in place or renamed over. The rename itself reaches the
    // disk with the folder.
    std::string why;
    if (!FileReplaceWhole(CONFIG_FILE_NAME, bytes.data(), bytes.size(), true, &why)) {
        PrintText("UNABLE TO WRITE CONFIGURATION FILE\a\n");
        if (why.rfind(CONFIG_FILE_NAME, 0) == 0) Print("%s\n", why.c_str());
        else Print("%s: %s\n", CONFIG_FILE_NAME, why.c_str());
        return;
    }
    LastSavedSession() = Session();
    FunctionKey* keys = FunctionKeyTable();
    for (int i = 0; i < FUNCTION_KEYS; ++i)
        if (std::strlen(keys[i].current) <= KEY_TEXT_LIMIT) std::strcpy(keys[i].loaded, keys[i].current);
}
