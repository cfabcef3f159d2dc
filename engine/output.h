#pragma once
#include <cstddef>
#include <cstdint>

// Text output of the image engine. The engine formats every message itself and hands
// the finished text to one of three kinds of line; the caller decides where they go.
// The console prints them (errors through its error reporter, information lines only
// when not quiet); the API library collects them in the caller's text buffer.

// The command argument an error line concerns (the console shows the offending token;
// the library ignores it).
enum EngineArg : uint32_t {
    ARG_NONE = 0,
    ARG_FILE,    // file name
    ARG_START,   // start address / offset
    ARG_LENGTH,  // byte count
    ARG_TARGET,  // load target address
    ARG_WIDTH,   // load width
    ARG_VERIFY,  // verify mode keyword
    ARG_VALUE,   // fill value
    ARG_MODE,    // write: file mode
    ARG_FORMAT,  // write: format
    ARG_RECLEN,  // write: record length
    ARG_SIGNON,  // write: sign-on text
};

// Answers to the "file exists" question of a write with mode WRITE_ASK.
enum : char { EXISTING_NO_ANSWER = 0, EXISTING_REPLACE = 'R', EXISTING_APPEND = 'A', EXISTING_CANCEL = 'C' };

class EngineOutput {
public:
    virtual ~EngineOutput() = default;

    // Called once at the entry of LoadImage, WriteImage, FillRange and ChecksumRange.
    virtual void Reset() {}

    // An error line ("...\a\n"); `arg` names the argument it concerns, or ARG_NONE.
    virtual void Error(EngineArg arg, const char* text) = 0;
    // An information line the console hides in a quiet command file: banners,
    // completion, incomplete and highest-address lines, writer banners and counts,
    // fill/checksum banners.
    virtual void Inform(const char* text) = 0;
    // A line that is always shown: start address, sign-on, S5 warning, program entry,
    // MORE DATA warning, device failure lines, "EXPECTED %02X, GOT %02X", CHECKSUM = .
    virtual void Always(const char* text) = 0;

    // Polled after every record of a load (not after the end record), before every
    // record of a HEX/S write and before every 32 KB piece of fill and checksum.
    // True cancels the operation. The library never cancels.
    virtual bool PollCancel() { return false; }

    // How far a long operation has come: `done` of `total` (bytes of the file for a
    // record load, device bytes otherwise). Called after each record of a load and
    // after each 32 KB piece of a binary load, fill, checksum and the device read of a
    // write. Only the console shows it (as a self-erasing line on a terminal).
    virtual void Progress(uint64_t /*done*/, uint64_t /*total*/) {}

    // The operation's result value for the console's $0: HEX/S load: highest device
    // address written + 1 (after success and after a format error in the file);
    // binary load: the target (after success and after a mismatch); checksum: the sum.
    virtual void Result(uint32_t /*value*/) {}

    // A write with mode WRITE_ASK found its file existing: return EXISTING_REPLACE,
    // EXISTING_APPEND or EXISTING_CANCEL (ends the write with result 2, no message).
    // EXISTING_NO_ANSWER (the default: nobody to ask) fails like create mode with
    // "OUTPUT FILE ALREADY EXISTS".
    virtual char AskExistingFile(const char* /*fileName*/) { return EXISTING_NO_ANSWER; }

    // printf-style helpers (not virtual): format, then pass to the line kind above.
    void ErrorF(EngineArg arg, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void InformF(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void AlwaysF(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// The library's output: messages collected in a caller's char buffer. Each message
// after the first is preceded by one carriage return; every character below 0x20 in
// the new message is removed; the text is always NUL-terminated and never runs past
// `capacity` bytes (including the NUL): longer text is cut off.
class CallerBufferOutput : public EngineOutput {
public:
    CallerBufferOutput(char* buffer, size_t capacity);
    void Reset() override;
    void Error(EngineArg arg, const char* text) override;
    void Inform(const char* text) override;
    void Always(const char* text) override;

    size_t Position() const { return pos_; }

private:
    void Append(const char* text);
    char* buffer_;
    size_t capacity_;
    size_t pos_ = 0;
    bool any_ = false;
};

// Discards everything (tests, fuzzing).
class NullOutput : public EngineOutput {
public:
    void Error(EngineArg, const char*) override {}
    void Inform(const char*) override {}
    void Always(const char*) override {}
};
