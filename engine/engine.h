#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/output.h"
#include "link/ram.h"

// The image engine: load/verify of HEX, S-record and binary images, the image
// writers, fill and checksum. Every RAM access goes through link/ram.h; all text
// goes through an EngineOutput. One operation at a time: the RAM access layer and the
// writers' buffers are shared (readers and loads keep their own state).

// The result of every engine operation that reports through an EngineOutput.
enum : uint32_t { ENGINE_OK = 0, ENGINE_FAILED = 2 };

// One lane's image request; `&request` goes into UnitSet::settings[i]. The engine
// uses the first non-empty settings slot of the UnitSet as "the request".
struct ImageRequest : LaneSettings {
    char FileName[301] = {};  // load: image file, NUL-terminated (at most 300 characters)
    uint32_t Start = 0;       // load: first file address/offset; fill, checksum: first device address
    uint32_t Length = 0;      // load: bytes to place (0 = all); fill, checksum: count (0 = to device end)
    uint32_t Target = 0;      // load: device address of Start; fill: the value; checksum: the result
    uint32_t Width = 0;       // load: take every Width-th byte (0 = 1, at most 256)
};

// Write modes. WRITE_ASK is the console's "?": when the file exists,
// EngineOutput::AskExistingFile decides. The values are the codes of WriteRequest::Mode.
enum WriteMode : uint32_t { WRITE_CREATE = 0, WRITE_APPEND = 1, WRITE_REPLACE = 2, WRITE_ASK = 3 };
// Image formats of the writers. FORMAT_HEX and FORMAT_S pick their addressing from the
// record addresses (HEX-32 above 1 MB; S28, S37 above 64 KB, 16 MB); the others force it.
// The values are the codes of WriteRequest::Format.
enum ImageFormat : uint32_t {
    FORMAT_BINARY = 0,
    FORMAT_HEX = 1,
    FORMAT_HEX32 = 2,
    FORMAT_S = 3,
    FORMAT_S28 = 4,
    FORMAT_S37 = 5
};
// The writer an image format goes to.
enum class FormatFamily : uint8_t { Binary, Hex, S };
FormatFamily FamilyOf(ImageFormat format);
// The one place the codes of a WriteRequest become a mode and a format; false when the
// code names none.
bool WriteModeFromCode(uint32_t code, WriteMode* mode);
bool ImageFormatFromCode(uint32_t code, ImageFormat* format);

// The arguments of a write, in the order of VXAWrite's arguments.
struct WriteRequest {
    const char* FileName = nullptr;
    uint32_t Start = 0;
    uint32_t Length = 0;        // 0 = to the end of the device
    uint32_t Mode = 0;          // a WriteMode code, checked by WriteImage
    uint32_t Format = 0;        // an ImageFormat code, checked by WriteImage
    uint32_t EOFOption = 0;     // non-zero: write the end record
    uint32_t RecLen = 0;        // 1..255 data bytes per record; above 255 means 32; 0 is refused
    uint32_t FillValue = 0;     // 0..255: drop this value at the ends of records; above 255: keep all
    uint32_t TargetOption = 0;  // non-zero: record addresses start at Target
    uint32_t Target = 0;
    uint32_t EntryOption = 0;  // non-zero: write EntryAddr
    uint32_t EntryAddr = 0;
    const char* Signon = nullptr;  // S0 text (S formats); null or empty: none; at most 252 characters
};

// The options the three writers take (WriteImage derives them from a WriteRequest; the
// console's W command may fill them itself and call WriteToFile or the writers directly).
struct WriteOptions {
    ImageFormat Format = FORMAT_BINARY;  // the writers called directly look only at a forced addressing
    WriteMode Mode = WRITE_CREATE;       // WRITE_ASK is decided before; APPEND changes the wording only
    uint32_t RecordAddress = 0;          // record address of the first byte
    uint32_t RecLen = 32;                // 1..255
    bool FillRemoval = false;
    uint8_t FillValue = 0;
    bool EntryOption = false;
    uint32_t EntryAddr = 0;
    bool EOFOption = true;
    const char* Signon = nullptr;  // null or empty: none
};

// ---- Record readers ----

// What a record is, by its type field.
enum class RecordKind : uint8_t {
    StartSegment,  // HEX 03
    Data,          // HEX 00, S1, S2, S3
    End,           // HEX 01, S7, S8, S9 (the end-of-file record)
    ExtSegment,    // HEX 02
    Signon,        // S0
    ExtLinear,     // HEX 04
    StartLinear,   // HEX 05
    Other,         // accepted only while probing
    Count16,       // S5 (address: 16-bit count of data records)
    Count24,       // S6 with a 24-bit count of data records (address: the count)
};

// Why a reader refused a record. The texts are in one table (RecordMessageText); a few
// carry a value (the data byte number, the record type).
enum class RecordMessage : uint8_t {
    None,
    TextEndedHex,  // the text ended before the end record
    TextEndedS,
    MissingColon,
    MissingS,
    BadLengthDigit,
    BadHighAddressDigit,
    BadLowAddressDigit,
    BadTypeDigit,
    BadAddressDigits,
    BadDataDigit,  // value: data byte number, from 1
    BadChecksumDigit,
    ChecksumMismatch,
    ExtraData,
    BadSLength,
    BadHexEnd,
    BadExtSegment,
    BadStartSegment,
    BadExtLinear,
    BadStartLinear,
    BadSignonAddress,
    BadSEnd,
    UnknownHexType,  // value: the record type
    UnknownSType,    // value: the record type
};

// The text of a reader message, upper case, no line end.
std::string RecordMessageText(RecordMessage message, unsigned value);

// The end-of-text byte: a text stops at it even before its last byte.
inline constexpr uint8_t TEXT_END = 0x1A;

// Bytes of a file, not owned.
struct ByteSpan {
    const uint8_t* data = nullptr;
    uint32_t size = 0;
};

// One checked, decoded record.
struct Record {
    RecordKind kind = RecordKind::Data;
    uint32_t address = 0;  // address field (the count, for Count16/Count24)
    uint32_t length = 0;   // data bytes
    uint8_t data[256] = {};
};

enum class RecordSyntax : uint8_t { Hex, S };

// Reads the records of one text in order. All state is the reader's own: two readers
// over two texts may be used side by side.
class RecordReader {
public:
    RecordReader(RecordSyntax syntax, ByteSpan text) : syntax_(syntax), text_(text) {}

    // The next record into record(); false: message() says why. Probing accepts unknown
    // record types (RecordKind::Other).
    bool Next(bool probing = false);

    RecordSyntax syntax() const { return syntax_; }
    const Record& record() const { return record_; }
    RecordMessage message() const { return message_; }
    std::string MessageText() const { return RecordMessageText(message_, messageValue_); }
    // Records read so far, the failed one included ("Line #").
    uint32_t count() const { return count_; }
    // Offset in the text just after the last record read.
    uint32_t position() const { return pos_; }
    // Skips separators; true when nothing but them is left before the end of the text.
    bool AtTextEnd();

private:
    uint8_t At(uint32_t i) const { return i < text_.size ? text_.data[i] : TEXT_END; }
    void SkipSeparators();

    RecordSyntax syntax_;
    ByteSpan text_;
    uint32_t pos_ = 0;
    uint32_t count_ = 0;
    RecordMessage message_ = RecordMessage::None;
    unsigned messageValue_ = 0;
    Record record_;
};

// ---- Load ----

// Load or verify the request's file into the UnitSet. ENGINE_OK or ENGINE_FAILED.
uint32_t LoadImage(EngineOutput& out, const UnitSet& set);

// The part of the file a load takes and where it goes: file addresses start ..
// windowEnd, every width-th byte, the first at device address target.
struct LoadWindow {
    uint64_t start = 0;
    uint64_t windowEnd = 0;
    uint32_t target = 0;
    uint32_t width = 1;
    uint64_t devSize = 0;
};
// The window of a request: length 0 takes everything from start (up to `lastAddress`).
LoadWindow MakeLoadWindow(uint32_t start, uint32_t length, uint32_t target, uint32_t width, uint64_t devSize,
                          uint64_t lastAddress);

// What becomes of n image bytes at one file address.
enum class PlaceKind : uint8_t {
    Nothing,  // none of them is taken
    Bytes,    // count bytes, from index first on, every width-th, go to device address `device`
    Outside,  // they would go beyond the device
};
struct Placement {
    PlaceKind kind = PlaceKind::Nothing;
    uint32_t first = 0;
    uint32_t count = 0;
    uint64_t device = 0;
};
// The address arithmetic of every load (records, ELF segments): cut to the window, every
// width-th byte, moved to the target, checked against the device.
Placement PlanPlacement(const LoadWindow& window, uint64_t address, uint32_t n);

// Where a load's bytes go: the unit's RAM (LoadImage) or, in tests, anything else.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Begins a load or verify in mode (LOAD_ONLY, LOAD_VERIFY, VERIFY_ONLY).
    virtual void Begin(uint32_t mode) = 0;
    // Writes (or verifies) count bytes at device address; false after its failure lines.
    virtual bool Write(EngineOutput& out, uint32_t device, const uint8_t* bytes, uint32_t count,
                       uint32_t* corrected) = 0;
    // Ends the load; false after its failure lines.
    virtual bool End(EngineOutput& out, uint32_t* corrected) = 0;
};

// One record load: its own reader over the file text, window and mode.
struct RecordLoad {
    RecordReader& reader;  // over the whole text, nothing read yet
    uint32_t mode = 0;     // LOAD_ONLY, LOAD_VERIFY or VERIFY_ONLY (others load)
    uint32_t start = 0, length = 0, target = 0, width = 0;
    uint32_t devSize = 0;
    uint32_t textSize = 0;  // for progress (0: none)
};

// Reads the records of the load and places their bytes through the sink.
// ENGINE_OK or ENGINE_FAILED.
uint32_t LoadRecords(EngineOutput& out, const RecordLoad& load, ByteSink& sink);

// The banner line ("Hex", "S" or "Binary").
void LoadBanner(EngineOutput& out, const char* formatName, uint32_t start, uint32_t length, uint32_t target,
                uint32_t width, uint32_t loadVerify);

// The binary loader after LoadImage's binary checks; gathers the taken bytes in place
// in `bytes`. ENGINE_OK or ENGINE_FAILED.
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
    uint64_t entry = 0;                // e_entry
    std::vector<ElfSegment> segments;  // in program header order
    char message[128] = {};            // formatted reader message
};

// The identification bytes 0x7F 'E' 'L' 'F'.
bool IsElf(const uint8_t* bytes, uint64_t size);
// Checks the ELF header and program headers of a whole file and collects its loadable
// segments; null on success, else a message (upper case, no line end). Nothing in the
// file is trusted: every offset and count is checked against the file size.
const char* ReadElf(const uint8_t* bytes, uint64_t size, ElfImage& image);
// Loads (or verifies) the segments of a checked ELF file as runs of data records
// through the window, width and target of a record load. ENGINE_OK or ENGINE_FAILED.
uint32_t LoadElf(EngineOutput& out, const UnitSet& set, uint32_t loadVerify, const ElfImage& image,
                 const uint8_t* bytes, uint32_t start, uint32_t length, uint32_t target, uint32_t width);

// ---- Writers ----

// Write a device range to a file. ENGINE_OK or ENGINE_FAILED.
uint32_t WriteImage(EngineOutput& out, const UnitSet& set, const WriteRequest& request);

// The writers proper, on an open file with a buffer of `length` bytes for the device
// bytes (read inside). Each returns ENGINE_OK or ENGINE_FAILED; the caller closes the file.
uint32_t WriteBinary(EngineOutput& out, FILE* file, uint8_t* buffer, const UnitSet& set, uint32_t start,
                     uint32_t length, const WriteOptions& options);
uint32_t WriteHex(EngineOutput& out, FILE* file, uint8_t* buffer, const UnitSet& set, uint32_t start, uint32_t length,
                  const WriteOptions& options);
uint32_t WriteSRecords(EngineOutput& out, FILE* file, uint8_t* buffer, const UnitSet& set, uint32_t start,
                       uint32_t length, const WriteOptions& options);
// The checks of a write in options.Format that need no file: record length, sign-on
// length, record addresses that would run past FFFFFFFF, S28 addressing that needs S37.
// Error line and false on the first that fails.
bool CheckWriteOptions(EngineOutput& out, uint32_t length, const WriteOptions& options);
// Writes the range to the file `name` in options.Format through the engine's 32 KB
// output buffer. WRITE_CREATE creates (never over an existing file), WRITE_REPLACE
// replaces through a temporary file renamed over the old one, WRITE_APPEND appends. A
// failed write leaves no new file, the replaced file untouched and an appended file at
// its old length. ENGINE_OK or ENGINE_FAILED.
uint32_t WriteToFile(EngineOutput& out, const char* name, const UnitSet& set, uint32_t start, uint32_t length,
                     const WriteOptions& options);

// ---- Fill and checksum (values from the request: Start, Length, LoadVerify, Target) ----

// Fill with (or verify against) the value in the request's Target. ENGINE_OK or ENGINE_FAILED.
uint32_t FillRange(EngineOutput& out, const UnitSet& set);
// Sum of the range; stored into the request's Target and passed to out.Result. ENGINE_OK or
// ENGINE_FAILED.
uint32_t ChecksumRange(EngineOutput& out, const UnitSet& set);

// The request of a UnitSet: its first non-empty settings slot (null when none).
ImageRequest* EngineRequest(const UnitSet& set);
