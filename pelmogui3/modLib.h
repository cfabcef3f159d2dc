// Binding to the API library: libemucore.so is loaded by file name at the first
// call and each export is resolved by name at its own first call, so a library
// that lacks a function the program never uses does not stop the program.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace emu {

int32_t VXAInit();
int32_t VXAFind();
int32_t VXAOpen(int32_t unit, int32_t type);
int32_t VXAQTest(int32_t resetFlag, int32_t before, int32_t after);
int32_t VXASetReset(int32_t first, int32_t ms, int32_t second);
int32_t VXALoad(char* text, const char* fileName, int32_t start, int32_t target, int32_t length, int32_t width,
                int32_t verify, int32_t fold, int32_t resetFlag, int32_t before, int32_t after);
int32_t VXAFill(char* text, int32_t value, int32_t start, int32_t length, int32_t verify, int32_t fold,
                int32_t resetFlag, int32_t before, int32_t after);
int32_t VXAWrite(char* text, const char* fileName, int32_t start, int32_t length, int32_t mode, int32_t format,
                 int32_t eofOption, int32_t recLen, int32_t fillValue, int32_t targetOption, int32_t target,
                 int32_t entryOption, int32_t entryAddr, const char* signon, int32_t fold, int32_t resetFlag,
                 int32_t before, int32_t after);
int32_t VXACksum(char* text, uint32_t* sum, int32_t start, int32_t length, int32_t fold, int32_t resetFlag,
                 int32_t before, int32_t after);
int32_t VXAViewOpen(char* text, int32_t fold, int32_t resetFlag, int32_t before, int32_t after);
int32_t VXAViewFormat(char* out, int32_t first, int32_t count, int32_t perLine);
int32_t VXAViewClose();

// Declared for completeness of the library's old interface; the library does not
// export it and nothing calls it, so it is never bound.
int32_t VXATest(int32_t a, int32_t b, int32_t c);

// The places the library is looked for, in order: $PELMO_EMUCORE alone when it is
// set, else for libemucore.so.1 and then libemucore.so: <bin>/../lib/NAME,
// <bin>/NAME and the plain name for the program's RUNPATH and the system's path.
QStringList LibraryCandidates();
// The file the library was loaded from; empty before the first call.
QString LibraryPath();

// A caller-owned result text buffer: 1000 characters, all NUL.
class ResultBuffer {
public:
    ResultBuffer();
    char* data() { return buf_; }
    // The contents up to the first NUL, as the locale's text.
    QString text() const;

private:
    char buf_[1000];
};

// Single-byte forms of texts that cross the boundary. File names take the file
// system's encoding so that the library can open them; other texts are Latin-1,
// one byte per character, so the library's character limits count characters.
QByteArray FileNameBytes(const QString& name);
QByteArray TextBytes(const QString& text);

}  // namespace emu
