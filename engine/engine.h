#pragma once
#include <cstdint>
#include <cstdio>
#include <vector>

#include "engine/output.h"
#include "link/ram.h"

// The image engine: load/verify of HEX, S-record and binary images, the image
// writers, fill and checksum. Every RAM access goes through link/ram.h; all text
// goes through an EngineOutput. One operation at a time (engine state is global).

// One lane's image request; `&request` goes into UnitSet::settings[i]. The engine
// uses the first non-empty settings slot of the UnitSet as "the request".
struct ImageRequest : LaneSettings {
    char FileName[301] = {};  // load: image file, NUL-terminated (at most 300 characters)
    uint32_t Start = 0;       // load: first file address/offset; fill, checksum: first device address
    uint32_t Length = 0;      // load: bytes to place (0 = all); fill, checksum: count (0 = to device end)
    uint32_t Target = 0;      // load: device address of Start; fill: the value; checksum: the result
    uint32_t Width = 0;       // load: take every Width-th byte (0 = 1, at most 256)
};

// Write modes (WriteRequest::Mode). WRITE_ASK is the console's "?": when the file
// exists, EngineOutput::AskExistingFile decides.
enum : uint32_t { WRITE_CREATE = 0, WRITE_APPEND = 1, WRITE_REPLACE = 2, WRITE_ASK = 3 };
// Formats (WriteRequest::Format).
enum : uint32_t { FORMAT_BINARY = 0, FORMAT_HEX = 1, FORMAT_HEX32 = 2, FORMAT_S = 3, FORMAT_S28 = 4, FORMAT_S37 = 5 };

// The arguments of a write, in the order of VXAWrite's arguments.
struct WriteRequest {
    const char* FileName = nullptr;
    uint32_t Start = 0;
    uint32_t Length = 0;        // 0 = to the end of the device
    uint32_t Mode = 0;          // WRITE_*
    uint32_t Format = 0;        // FORMAT_*
    uint32_t EOFOption = 0;     // non-zero: write the end record
    uint32_t RecLen = 0;        // 1..255 data bytes per record; above 255 means 32; 0 is refused
    uint32_t FillValue = 0;     // 0..255: drop this value at the ends of records; above 255: keep all
    uint32_t TargetOption = 0;  // non-zero: record addresses start at Target
    uint32_t Target = 0;
    uint32_t EntryOption = 0;   // non-zero: write EntryAddr
    uint32_t EntryAddr = 0;
    const char* Signon = nullptr;  // S0 text (S formats); null or empty: none; at most 252 characters
};

// The record options the three writers take (WriteImage derives them from a WriteRequest;
// the console's W command may fill them itself and call the writers directly).
struct WriteOptions {
    char ModeLetter = 'C';        // 'C', 'A' or 'R' ('A' changes the wording only)
    uint32_t Variant = 0;         // HEX: 0 or 32; S: 0, 28 or 37
    uint32_t RecordAddress = 0;   // record address of the first byte
    uint32_t RecLen = 32;         // 1..255
    bool FillRemoval = false;
    uint8_t FillValue = 0;
    bool EntryOption = false;
    uint32_t EntryAddr = 0;
    bool EOFOption = true;
    const char* Signon = nullptr;  // null or empty: none
};

// ---- Load (record status and parser state shared with the readers) ----

enum : uint32_t {
    REC_START_SEGMENT = 0,  // HEX 03
    REC_DATA = 1,           // HEX 00, S1, S2, S3
    REC_END = 2,            // HEX 01, S7, S8, S9
    REC_EXT_SEGMENT = 3,    // HEX 02
    REC_SIGNON = 4,         // S0
    REC_EXT_LINEAR = 5,     // HEX 04
    REC_START_LINEAR = 6,   // HEX 05
    REC_OTHER = 7,          // accepted only while probing
    REC_S5 = 8,             // S5 (address: 16-bit count of data records)
    REC_S6 = 9,             // S6 with a 24-bit count of data records (address: the count)
};

// The end-of-text byte the loader stores after the file's bytes.
inline constexpr uint8_t TEXT_END = 0x1A;

struct ParserState {
    const uint8_t* text = nullptr;  // file bytes, ended by TEXT_END
    uint32_t pos = 0;               // current position in text
    uint32_t count = 0;             // records read in this pass ("Line #")
    uint32_t status = 0;            // REC_* of the last record
    uint32_t address = 0;           // address field of the last record
    uint32_t length = 0;            // data bytes of the last record
    uint8_t data[256] = {};         // decoded data bytes
    char message[80] = {};          // formatted reader message
};

// The engine-global parser state.
ParserState& Parser();
// Points the readers at `text` (which must contain a TEXT_END byte at or before its end),
// position 0, record count 0.
void ParserBegin(const uint8_t* text);

// Read the next record; null on success (the parser state holds it), else a message.
// probe = 1 accepts unknown record types (status REC_OTHER).
const char* NextHexRecord(int probe);
const char* NextSRecord(int probe);

// Load or verify the request's file into the UnitSet. 0 success, 2 failure.
uint32_t LoadImage(EngineOutput& out, const UnitSet& set);

// The record loop for HEX (isHex) and S text already set up with ParserBegin. 1 success, 0 failure.
uint32_t LoadRecords(EngineOutput& out, const UnitSet& set, uint32_t loadVerify, bool isHex, uint32_t start,
                     uint32_t length, uint32_t target, uint32_t width);

// The banner line ("Hex", "S" or "Binary").
void LoadBanner(EngineOutput& out, const char* formatName, uint32_t start, uint32_t length, uint32_t target,
                uint32_t width, uint32_t loadVerify);

// The binary loader after LoadImage's binary checks; gathers the taken bytes in place
// in `bytes`. 1 success, 0 failure.
uint32_t LoadBinary(EngineOutput& out, const UnitSet& set, uint32_t loadVerify, uint32_t start, uint32_t length,
                    uint32_t target, uint32_t width, uint8_t* bytes, uint32_t size);

// ---- ELF executables ----

// One loadable segment: a PT_LOAD program header's file image (p_filesz bytes from
// p_offset) for the physical address p_paddr.
struct ElfSegment {
    uint32_t index = 0;    // program header number, from 0 (as readelf -l counts)
    uint64_t address = 0;  // p_paddr
    uint64_t offset = 0;   // p_offset
    uint64_t size = 0;     // p_filesz (never 0 here)
};

struct ElfImage {
    bool is64 = false;
    bool bigEndian = false;
    uint64_t entry = 0;                 // e_entry
    std::vector<ElfSegment> segments;   // in program header order
    char message[128] = {};             // formatted reader message
};

// The identification bytes 0x7F 'E' 'L' 'F'.
bool IsElf(const uint8_t* bytes, uint64_t size);
// Checks the ELF header and program headers of a whole file and collects its loadable
// segments; null on success, else a message (upper case, no line end). Nothing in the
// file is trusted: every offset and count is checked against the file size.
const char* ReadElf(const uint8_t* bytes, uint64_t size, ElfImage& image);
// Loads (or verifies) the segments of a checked ELF file as runs of data records
// through the window, width and target of a record load. 1 success, 0 failure.
uint32_t LoadElf(EngineOutput& out, const UnitSet& set, uint32_t loadVerify, const ElfImage& image,
                 const uint8_t* bytes, uint32_t start, uint32_t length, uint32_t target, uint32_t width);

// ---- Writers ----

// Write a device range to a file. 0 success, 2 failure.
uint32_t WriteImage(EngineOutput& out, const UnitSet& set, const WriteRequest& request);

// The writers proper, on an open file with a buffer of `length` bytes for the device
// bytes (read inside). Each returns 0 or 2; the caller closes the file.
uint32_t WriteBinary(EngineOutput& out, FILE* file, uint8_t* buffer, const UnitSet& set, uint32_t start,
                     uint32_t length, const WriteOptions& options);
uint32_t WriteHex(EngineOutput& out, FILE* file, uint8_t* buffer, const UnitSet& set, uint32_t start,
                  uint32_t length, const WriteOptions& options);
uint32_t WriteSRecords(EngineOutput& out, FILE* file, uint8_t* buffer, const UnitSet& set, uint32_t start,
                       uint32_t length, const WriteOptions& options);
// The checks of a write that need no file: record length, sign-on length, record
// addresses that would run past FFFFFFFF, S28 addressing that needs S37. Error line
// and false on the first that fails.
bool CheckWriteOptions(EngineOutput& out, char format, uint32_t length, const WriteOptions& options);
// Writes the range to the file `name` in format 'B', 'H' or 'S' through the engine's
// 32 KB output buffer. ModeLetter 'C' creates (never over an existing file), 'R'
// replaces through a temporary file renamed over the old one, 'A' appends. A failed
// write leaves no new file, the replaced file untouched and an appended file at its
// old length. 0 or 2.
uint32_t WriteToFile(EngineOutput& out, const char* name, char format, const UnitSet& set, uint32_t start,
                     uint32_t length, const WriteOptions& options);

// ---- Fill and checksum (values from the request: Start, Length, LoadVerify, Target) ----

// Fill with (or verify against) the value in the request's Target. 0 success, 2 failure.
uint32_t FillRange(EngineOutput& out, const UnitSet& set);
// Sum of the range; stored into the request's Target and passed to out.Result. 0 success, 2 failure.
uint32_t ChecksumRange(EngineOutput& out, const UnitSet& set);

// The request of a UnitSet: its first non-empty settings slot (null when none).
ImageRequest* EngineRequest(const UnitSet& set);
