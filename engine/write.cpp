// Image writers: a device range to a binary, Intel HEX or Motorola S-record file.
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "engine/engine.h"
#include "engine/internal.h"
#include "link/errors.h"
#include "platform/files.h"
#include "platform/syserror.h"

using namespace engine_detail;

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kSignonTooLong[] = "SIGN-ON TEXT IS TOO LONG (252 CHARACTERS AT MOST)\a\n";

// Records are formatted into the engine's work buffer and written out in 32 KB pieces.
class RecordSink {
public:
    RecordSink(EngineOutput& out, FILE* file) : out_(out), file_(file), buf_(WorkBuffer()) {}

    bool incomplete = false;
    uint32_t records = 0;

    void HexRecord(uint8_t type, uint16_t address, const uint8_t* data, uint32_t n) {
        char* p = reinterpret_cast<char*>(buf_) + fill_;
        *p++ = ':';
        unsigned sum = n + (address >> 8) + (address & 0xFF) + type;
        p = Put(p, static_cast<uint8_t>(n));
        p = Put(p, static_cast<uint8_t>(address >> 8));
        p = Put(p, static_cast<uint8_t>(address));
        p = Put(p, type);
        for (uint32_t i = 0; i < n; ++i) {
            sum += data[i];
            p = Put(p, data[i]);
        }
        p = Put(p, static_cast<uint8_t>(0x100 - (sum & 0xFF)));
        End(p);
    }

    void SRecord(unsigned type, unsigned addressBytes, uint32_t address, const uint8_t* data, uint32_t n) {
        char* p = reinterpret_cast<char*>(buf_) + fill_;
        const unsigned count = addressBytes + n + 1;
        *p++ = 'S';
        *p++ = static_cast<char>('0' + type);
        p = Put(p, static_cast<uint8_t>(count));
        unsigned sum = count + (address >> 24) + ((address >> 16) & 0xFF) + ((address >> 8) & 0xFF) + (address & 0xFF);
        for (unsigned i = addressBytes; i-- > 0;) p = Put(p, static_cast<uint8_t>(address >> (8 * i)));
        for (uint32_t i = 0; i < n; ++i) {
            sum += data[i];
            p = Put(p, data[i]);
        }
        p = Put(p, static_cast<uint8_t>(~sum));
        End(p);
    }

    // Writes out the buffer once it holds a full piece; false when the write failed.
    bool WriteOutWhenFull() {
        if (fill_ >= kPiece) return WriteOut();
        return true;
    }

    // Writes out whatever the buffer holds; a short write is a full disk.
    bool WriteOut() {
        if (fill_ == 0) return true;
        errno = 0;
        const size_t n = std::fwrite(buf_, 1, fill_, file_);
        const bool ok = n == fill_;
        fill_ = 0;
        if (!ok) Failed();
        return ok;
    }

    // The last write-out: the stream's own buffer must reach the file too, or a full
    // disk would only show at close, after the write was reported complete.
    void Finish() {
        if (incomplete) {
            WriteOut();
            return;
        }
        if (!WriteOut()) return;
        errno = 0;
        if (std::fflush(file_) != 0) Failed();
    }

private:
    static char* Put(char* p, uint8_t b) {
        p[0] = kHexDigits[b >> 4];
        p[1] = kHexDigits[b & 0xF];
        return p + 2;
    }
    void End(char* p) {
        *p++ = '\r';
        *p++ = '\n';
        fill_ = static_cast<uint32_t>(p - reinterpret_cast<char*>(buf_));
        ++records;
    }
    // A full disk, or another write error (a pipe whose reader has gone).
    void Failed() {
        if (std::ferror(file_) && errno != 0 && !StreamErrorIsDiskFull(errno))
            out_.Error(ARG_NONE, "OUTPUT DISK WRITE ERROR\a\n");
        else out_.Error(ARG_NONE, "OUTPUT DISK FULL\a\n");
        incomplete = true;
    }

    EngineOutput& out_;
    FILE* file_;
    uint8_t* buf_;
    uint32_t fill_ = 0;
};

// Drops fill bytes at both ends of a record; false when nothing is left.
bool TrimFill(const WriteOptions& o, const uint8_t*& data, uint32_t& n, uint32_t& address) {
    if (!o.FillRemoval) return true;
    while (n > 0 && *data == o.FillValue) {
        ++data;
        --n;
        ++address;
    }
    if (n == 0) return false;
    while (data[n - 1] == o.FillValue) --n;
    return true;
}

void Report(EngineOutput& out, const RecordSink& sink, const WriteOptions& o) {
    if (sink.incomplete) out.InformF("Write incomplete with less than #%u records written\n", sink.records);
    else if (o.EOFOption) out.InformF("#%u records written including EOF record\n", sink.records);
    else out.InformF("#%u records written (no EOF record)\n", sink.records);
}

// Record lengths the writers accept: 1..255, larger values mean 32; 0 is a caller error.
bool RecordLength(EngineOutput& out, uint32_t requested, uint32_t* recLen) {
    if (requested == 0) {
        out.Error(ARG_RECLEN, "INVALID RECORD LENGTH ARGUMENT (1 - FF REQUIRED)\a\n");
        return false;
    }
    *recLen = requested > 255 ? 32 : requested;
    return true;
}

inline bool HasText(const char* s) { return s != nullptr && s[0] != '\0'; }

// The device range into the buffer, in 32 KB pieces with progress between them.
uint32_t ReadRange(EngineOutput& out, const UnitSet& set, uint8_t* buffer, uint32_t start, uint32_t length) {
    for (uint32_t done = 0; done < length;) {
        const uint32_t piece = length - done < kPiece ? length - done : kPiece;
        if (const uint32_t code = RamReadBlock(set, buffer + done, start + done, piece)) return code;
        done += piece;
        out.Progress(done, length);
    }
    return 0;
}

// The checks of a HEX or S write (CheckWriteOptions for a format of the family).
bool CheckRecordOptions(EngineOutput& out, FormatFamily family, uint32_t length, const WriteOptions& o);

// A stream buffer for the output file (one write at a time).
char g_streamBuffer[kPiece];

}  // namespace

uint32_t WriteBinary(EngineOutput& out, FILE* file, uint8_t* buffer, const UnitSet& set, uint32_t start,
                     uint32_t length, const WriteOptions& options) {
    if (options.Mode == WRITE_APPEND) out.InformF("Adding %X bytes to binary file\n", length);
    else out.InformF("Writing %X bytes to binary file\n", length);
    const uint32_t code = ReadRange(out, set, buffer, start, length);
    if (code != 0) {
        DeviceFailure(out, STAGE_BINARY_OUT_READ, code);
        return ENGINE_FAILED;
    }
    // One block, so one look at the cancel key (or an ending signal) before the file
    // is written: a cancelled write keeps the old file.
    if (out.PollCancel()) {
        out.Inform("Write incomplete with no bytes written\n");
        return ENGINE_FAILED;
    }
    errno = 0;
    bool ok = std::fwrite(buffer, 1, length, file) == length;
    if (ok && std::fflush(file) != 0) ok = false;
    if (!ok) {
        // A full disk sets the stream's error indicator too; the error number tells them apart.
        if (std::ferror(file) && !StreamErrorIsDiskFull(errno)) out.Error(ARG_NONE, "OUTPUT DISK WRITE ERROR\a\n");
        else out.Error(ARG_NONE, "OUTPUT DISK FULL\a\n");
        return ENGINE_FAILED;
    }
    return ENGINE_OK;
}

uint32_t WriteHex(EngineOutput& out, FILE* file, uint8_t* buffer, const UnitSet& set, uint32_t start, uint32_t length,
                  const WriteOptions& options) {
    if (!CheckRecordOptions(out, FormatFamily::Hex, length, options)) return ENGINE_FAILED;
    uint32_t recLen = 0;
    RecordLength(out, options.RecLen, &recLen);
    uint32_t a = options.RecordAddress;
    const bool linear32 =
        options.Format == FORMAT_HEX32 || (length != 0 && static_cast<uint64_t>(a) + length - 1 > 0xFFFFF);
    if (options.Mode == WRITE_APPEND)
        out.InformF("Adding %X bytes onto HEX%s format file\n", length, linear32 ? "-32" : "");
    else out.InformF("Putting %X bytes into HEX%s format file\n", length, linear32 ? "-32" : "");
    const uint32_t code = ReadRange(out, set, buffer, start, length);
    if (code != 0) {
        DeviceFailure(out, STAGE_HEX_OUT_READ, code);
        return ENGINE_FAILED;
    }
    RecordSink sink(out, file);
    if (options.EntryOption) {
        const uint32_t e = options.EntryAddr;
        if (e > 0xFFFFF) {
            // Beyond segment reach: the standard start linear address record.
            const uint8_t b[4] = {static_cast<uint8_t>(e >> 24), static_cast<uint8_t>(e >> 16),
                                  static_cast<uint8_t>(e >> 8), static_cast<uint8_t>(e)};
            sink.HexRecord(0x05, 0, b, 4);
        } else {
            const uint8_t b[4] = {static_cast<uint8_t>((e >> 12) & 0xF0), 0, static_cast<uint8_t>((e >> 8) & 0xFF),
                                  static_cast<uint8_t>(e & 0xFF)};
            sink.HexRecord(0x03, 0, b, 4);
        }
    }
    uint32_t page = 0, left = length;
    const uint8_t* src = buffer;
    while (left > 0) {
        if (out.PollCancel()) {
            sink.incomplete = true;
            break;
        }
        const uint32_t here = a & 0xFFFF0000u;
        if (here != page) {
            page = here;
            uint8_t b[2];
            if (linear32) {
                b[0] = static_cast<uint8_t>(page >> 24);
                b[1] = static_cast<uint8_t>(page >> 16);
                sink.HexRecord(0x04, 0, b, 2);
            } else {
                b[0] = static_cast<uint8_t>((page >> 12) & 0xFF);
                b[1] = 0;
                sink.HexRecord(0x02, 0, b, 2);
            }
            if (!sink.WriteOutWhenFull()) break;
        }
        uint32_t k = left < recLen ? left : recLen;
        if (((a + k - 1) & 0xFFFF0000u) != page) k = 0x10000 - (a & 0xFFFF);
        const uint8_t* data = src;
        uint32_t n = k, ra = a;
        if (TrimFill(options, data, n, ra)) {
            sink.HexRecord(0x00, static_cast<uint16_t>(ra & 0xFFFF), data, n);
            if (!sink.WriteOutWhenFull()) break;
        }
        a += k;
        src += k;
        left -= k;
    }
    if (!sink.incomplete && options.EOFOption) sink.HexRecord(0x01, 0, nullptr, 0);
    sink.Finish();
    Report(out, sink, options);
    return sink.incomplete ? ENGINE_FAILED : ENGINE_OK;
}

uint32_t WriteSRecords(EngineOutput& out, FILE* file, uint8_t* buffer, const UnitSet& set, uint32_t start,
                       uint32_t length, const WriteOptions& options) {
    if (!CheckRecordOptions(out, FormatFamily::S, length, options)) return ENGINE_FAILED;
    uint32_t recLen = 0;
    RecordLength(out, options.RecLen, &recLen);
    const size_t signonLength = HasText(options.Signon) ? std::strlen(options.Signon) : 0;
    uint32_t a = options.RecordAddress;
    const uint64_t e = options.EntryOption ? options.EntryAddr : 0;
    const uint64_t l = length ? static_cast<uint64_t>(a) + length - 1 : 0;
    const unsigned automatic = (l > 0xFFFFFF || e > 0xFFFFFF) ? 37 : (l > 0xFFFF || e > 0xFFFF) ? 28 : 19;
    const unsigned kind = options.Format == FORMAT_S28 ? 28 : options.Format == FORMAT_S37 ? 37 : automatic;
    const unsigned addressBytes = kind == 37 ? 4 : kind == 28 ? 3 : 2;
    const unsigned dataType = kind == 37 ? 3 : kind == 28 ? 2 : 1;
    if (options.Mode == WRITE_APPEND) out.InformF("Adding %X bytes onto S%u format file\n", length, kind);
    else out.InformF("Putting %X bytes into S%u format file\n", length, kind);
    const uint32_t code = ReadRange(out, set, buffer, start, length);
    if (code != 0) {
        DeviceFailure(out, STAGE_S_OUT_READ, code);
        return ENGINE_FAILED;
    }
    RecordSink sink(out, file);
    if (signonLength != 0)
        sink.SRecord(0, 2, 0, reinterpret_cast<const uint8_t*>(options.Signon), static_cast<uint32_t>(signonLength));
    if (recLen > 254 - addressBytes) recLen = 254 - addressBytes;
    uint32_t left = length;
    const uint8_t* src = buffer;
    while (left > 0) {
        if (out.PollCancel()) {
            sink.incomplete = true;
            break;
        }
        const uint32_t k = left < recLen ? left : recLen;
        const uint8_t* data = src;
        uint32_t n = k, ra = a;
        if (TrimFill(options, data, n, ra)) {
            sink.SRecord(dataType, addressBytes, ra, data, n);
            if (!sink.WriteOutWhenFull()) break;
        }
        a += k;
        src += k;
        left -= k;
    }
    if (!sink.incomplete && options.EOFOption)
        sink.SRecord(10 - dataType, addressBytes, static_cast<uint32_t>(e), nullptr, 0);
    sink.Finish();
    Report(out, sink, options);
    return sink.incomplete ? ENGINE_FAILED : ENGINE_OK;
}

FormatFamily FamilyOf(ImageFormat format) {
    switch (format) {
    case FORMAT_HEX:
    case FORMAT_HEX32: return FormatFamily::Hex;
    case FORMAT_S:
    case FORMAT_S28:
    case FORMAT_S37: return FormatFamily::S;
    default: return FormatFamily::Binary;
    }
}

bool WriteModeFromCode(uint32_t code, WriteMode* mode) {
    if (code > WRITE_ASK) return false;
    *mode = static_cast<WriteMode>(code);
    return true;
}

bool ImageFormatFromCode(uint32_t code, ImageFormat* format) {
    if (code > FORMAT_S37) return false;
    *format = static_cast<ImageFormat>(code);
    return true;
}

bool CheckWriteOptions(EngineOutput& out, uint32_t length, const WriteOptions& o) {
    const FormatFamily family = FamilyOf(o.Format);
    return family == FormatFamily::Binary || CheckRecordOptions(out, family, length, o);
}

namespace {

bool CheckRecordOptions(EngineOutput& out, FormatFamily family, uint32_t length, const WriteOptions& o) {
    uint32_t recLen = 0;
    if (!RecordLength(out, o.RecLen, &recLen)) return false;
    const uint64_t last = length ? static_cast<uint64_t>(o.RecordAddress) + length - 1 : o.RecordAddress;
    if (last > 0xFFFFFFFFull) {
        // The records would come round to address 0.
        out.Error(ARG_TARGET, "RECORD ADDRESSES RUN PAST FFFFFFFF\a\n");
        return false;
    }
    if (family == FormatFamily::S) {
        if (HasText(o.Signon) && std::strlen(o.Signon) > 252) {
            out.Error(ARG_SIGNON, kSignonTooLong);
            return false;
        }
        const uint64_t e = o.EntryOption ? o.EntryAddr : 0;
        if (o.Format == FORMAT_S28 && (last > 0xFFFFFF || e > 0xFFFFFF)) {
            out.Error(ARG_FORMAT, "ADDRESSING REQUIRES S37 FORMAT\a\n");
            return false;
        }
    }
    return true;
}

}  // namespace

uint32_t WriteImage(EngineOutput& out, const UnitSet& set, const WriteRequest& request) {
    out.Reset();
    const uint32_t devSize = set.DevSize;
    const uint32_t start = request.Start;
    uint32_t length = request.Length;
    if (start >= devSize) {
        out.Error(ARG_START, "INVALID START ARGUMENT\a\n");
        return ENGINE_FAILED;
    }
    if (length == 0) length = devSize - start;
    if (static_cast<uint64_t>(start) + length > devSize) {
        out.Error(ARG_LENGTH, "INVALID LENGTH ARGUMENT\a\n");
        return ENGINE_FAILED;
    }
    WriteMode mode;
    if (!WriteModeFromCode(request.Mode, &mode)) {
        out.Error(ARG_MODE, "INVALID FILE MODE ARGUMENT\a\n");
        return ENGINE_FAILED;
    }
    WriteOptions o;
    if (!ImageFormatFromCode(request.Format, &o.Format)) {
        out.Error(ARG_FORMAT, "INVALID FORMAT ARGUMENT\a\n");
        return ENGINE_FAILED;
    }
    const FormatFamily family = FamilyOf(o.Format);
    if (family != FormatFamily::Binary) {
        o.RecLen = request.RecLen;
        o.FillRemoval = request.FillValue <= 255;
        o.FillValue = static_cast<uint8_t>(request.FillValue);
        o.RecordAddress = request.TargetOption ? request.Target : start;
        o.EntryOption = request.EntryOption != 0;
        o.EntryAddr = request.EntryAddr;
        o.EOFOption = request.EOFOption != 0;
        o.Signon = family == FormatFamily::S && HasText(request.Signon) ? request.Signon : nullptr;
    }
    // Every argument is checked before the file is touched.
    if (!CheckWriteOptions(out, length, o)) return ENGINE_FAILED;
    const char* name = request.FileName ? request.FileName : "";
    if (FileExists(name)) {
        if (mode == WRITE_ASK) {
            const char answer = out.AskExistingFile(name);
            if (answer == EXISTING_CANCEL) return ENGINE_FAILED;
            mode = answer == EXISTING_REPLACE ? WRITE_REPLACE : answer == EXISTING_APPEND ? WRITE_APPEND : WRITE_CREATE;
        }
        if (mode == WRITE_CREATE) {
            out.Error(ARG_NONE, "OUTPUT FILE ALREADY EXISTS\a\n");
            return ENGINE_FAILED;
        }
    } else if (mode == WRITE_ASK) {
        mode = WRITE_CREATE;
    }
    o.Mode = mode;
    return WriteToFile(out, name, set, start, length, o);
}

uint32_t WriteToFile(EngineOutput& out, const char* name, const UnitSet& set, uint32_t start, uint32_t length,
                     const WriteOptions& options) {
    const SafeOutputMode mode = options.Mode == WRITE_APPEND    ? SAFE_APPEND
                                : options.Mode == WRITE_REPLACE ? SAFE_REPLACE
                                                                : SAFE_CREATE;
    SafeOutput output;
    FileFailure failure;
    const int opened = SafeOutputOpen(&output, name, mode, &failure);
    if (opened != FILE_READ_OK) {
        if (opened == FILE_OPEN_FAILED && mode == SAFE_CREATE && SystemErrorIs(failure.error, SYSERR_EXISTS))
            out.Error(ARG_NONE, "OUTPUT FILE ALREADY EXISTS\a\n");
        else out.ErrorF(ARG_NONE, "ERROR OPENING OUTPUT FILE (%s)\a\n", FileFailureText(opened, failure));
        return ENGINE_FAILED;
    }
    FILE* file = output.file;
    std::setvbuf(file, g_streamBuffer, _IOFBF, sizeof g_streamBuffer);
    // The device bytes of the whole range; no zero fill, they are read over at once.
    const std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[length ? length : 1]);
    if (buffer == nullptr) {
        SafeOutputAbandon(&output);
        out.Error(ARG_NONE, "Insufficient Memory\a\n");
        return ENGINE_FAILED;
    }
    uint32_t result;
    switch (FamilyOf(options.Format)) {
    case FormatFamily::Hex: result = WriteHex(out, file, buffer.get(), set, start, length, options); break;
    case FormatFamily::S: result = WriteSRecords(out, file, buffer.get(), set, start, length, options); break;
    default: result = WriteBinary(out, file, buffer.get(), set, start, length, options); break;
    }
    if (result != ENGINE_OK) {
        // Nothing of a failed write stays: no new file, the old one as it was.
        SafeOutputAbandon(&output);
        return result;
    }
    const unsigned long error = SafeOutputCommit(&output);
    if (error == 0) return ENGINE_OK;
    if (SystemErrorIs(error, SYSERR_DISK_FULL)) out.Error(ARG_NONE, "OUTPUT DISK FULL\a\n");
    else if (mode == SAFE_CREATE && SystemErrorIs(error, SYSERR_EXISTS))
        out.Error(ARG_NONE, "OUTPUT FILE ALREADY EXISTS\a\n");
    else out.ErrorF(ARG_NONE, "OUTPUT DISK WRITE ERROR (%s)\a\n", SystemErrorText(error));
    // A file with several names is written in place last of all: what became of it.
    if (output.undo != SAFE_UNDO_NONE) out.AlwaysF("%s\n", SafeOutputUndoText(output));
    return ENGINE_FAILED;
}
