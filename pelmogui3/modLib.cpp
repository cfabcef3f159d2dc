#include "pelmogui3/modLib.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "emucore/emucore.h"
#include "pelmogui3/modMain.h"
#include "platform/library.h"
#include "platform/process.h"

// Where an installed tree keeps the library, relative to the program's folder.
#ifndef PELMO_LIB_FROM_BIN
#define PELMO_LIB_FROM_BIN "../lib"
#endif

namespace emu {
namespace {

void* Handle = nullptr;
QString LoadedFrom;

QString ProgramDir() {
    const std::string path = ProcessProgramPath();
    if (path.empty()) return QString();
    return QFileInfo(QFile::decodeName(path.c_str())).absolutePath();
}

// Without the library or one of its functions the program cannot do anything:
// say what is missing and where it was looked for, then leave.
// A call on the worker thread hands this to the windows' thread and waits there.
[[noreturn]] void Fail(const QString& text) {
    // Also for the terminal the program was started from: the box may never be seen.
    QString lines = text;
    lines.replace('\r', "\n  ");
    std::fprintf(stderr, "pelmogui3: %s\n", qPrintable(lines));
    std::fflush(stderr);
    auto report = [text] {
        modMain::MsgBox(text, modMain::BoxIcon::Critical, modMain::BoxButtons::Ok, " Pelmo Error -- Library");
    };
    if (QCoreApplication::instance() && QThread::currentThread() != QCoreApplication::instance()->thread())
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [report] {
                report();
                std::exit(2);
            },
            Qt::BlockingQueuedConnection);
    report();
    std::exit(2);
}

void* Library() {
    if (Handle) return Handle;
    QStringList tried;
    for (const QString& candidate : LibraryCandidates()) {
        std::string why;
        Handle = LibraryOpen(QFile::encodeName(candidate).constData(), &why);
        if (Handle) {
            LoadedFrom = candidate;
            return Handle;
        }
        tried << candidate + (why.empty() ? QString() : " (" + QString::fromLocal8Bit(why.c_str()) + ")");
    }
    Fail("UNABLE TO LOAD THE EMULATOR LIBRARY libemucore.so\rLooked for:\r" + tried.join('\r'));
}

template <typename Fn>
Fn Bind(Fn& slot, const char* name) {
    if (!slot) {
        void* handle = Library();
        void* symbol = LibrarySymbol(handle, name);
        if (!symbol) Fail(QString("UNABLE TO FIND THE FUNCTION %1\rIN THE EMULATOR LIBRARY\r%2").arg(name, LoadedFrom));
        slot = reinterpret_cast<Fn>(symbol);
    }
    return slot;
}

VXAInit_fn pInit;
VXAFind_fn pFind;
VXAOpen_fn pOpen;
VXAQTest_fn pQTest;
VXASetReset_fn pSetReset;
VXALoad_fn pLoad;
VXAFill_fn pFill;
VXAWrite_fn pWrite;
VXACksum_fn pCksum;
VXAViewOpen_fn pViewOpen;
VXAViewFormat_fn pViewFormat;
VXAViewClose_fn pViewClose;

}  // namespace

QStringList LibraryCandidates() {
    const QByteArray named = qgetenv("PELMO_EMUCORE");
    if (!named.isEmpty()) return {QFile::decodeName(named)};
    // The versioned name first: a run-time installation has no development link.
    // The plain names go through the program's RUNPATH and the system's path.
    const QString dir = ProgramDir();
    QStringList list;
    for (const char* name : {"libemucore.so.1", "libemucore.so"}) {
        if (!dir.isEmpty()) list << QDir::cleanPath(dir + "/" PELMO_LIB_FROM_BIN "/" + name) << dir + "/" + name;
        list << name;
    }
    return list;
}

QString LibraryPath() { return LoadedFrom; }

int32_t VXAInit() { return Bind(pInit, "VXAInit")(); }
int32_t VXAFind() { return Bind(pFind, "VXAFind")(); }
int32_t VXAOpen(int32_t unit, int32_t type) { return Bind(pOpen, "VXAOpen")(unit, type); }
int32_t VXAQTest(int32_t resetFlag, int32_t before, int32_t after) {
    return Bind(pQTest, "VXAQTest")(resetFlag, before, after);
}
int32_t VXASetReset(int32_t first, int32_t ms, int32_t second) {
    return Bind(pSetReset, "VXASetReset")(first, ms, second);
}
int32_t VXALoad(char* text, const char* fileName, int32_t start, int32_t target, int32_t length, int32_t width,
                int32_t verify, int32_t fold, int32_t resetFlag, int32_t before, int32_t after) {
    return Bind(pLoad, "VXALoad")(text, fileName, start, target, length, width, verify, fold, resetFlag, before, after);
}
int32_t VXAFill(char* text, int32_t value, int32_t start, int32_t length, int32_t verify, int32_t fold,
                int32_t resetFlag, int32_t before, int32_t after) {
    return Bind(pFill, "VXAFill")(text, value, start, length, verify, fold, resetFlag, before, after);
}
int32_t VXAWrite(char* text, const char* fileName, int32_t start, int32_t length, int32_t mode, int32_t format,
                 int32_t eofOption, int32_t recLen, int32_t fillValue, int32_t targetOption, int32_t target,
                 int32_t entryOption, int32_t entryAddr, const char* signon, int32_t fold, int32_t resetFlag,
                 int32_t before, int32_t after) {
    return Bind(pWrite, "VXAWrite")(text, fileName, start, length, mode, format, eofOption, recLen, fillValue,
                                    targetOption, target, entryOption, entryAddr, signon, fold, resetFlag, before,
                                    after);
}
int32_t VXACksum(char* text, uint32_t* sum, int32_t start, int32_t length, int32_t fold, int32_t resetFlag,
                 int32_t before, int32_t after) {
    return Bind(pCksum, "VXACksum")(text, sum, start, length, fold, resetFlag, before, after);
}
int32_t VXAViewOpen(char* text, int32_t fold, int32_t resetFlag, int32_t before, int32_t after) {
    return Bind(pViewOpen, "VXAViewOpen")(text, fold, resetFlag, before, after);
}
int32_t VXAViewFormat(char* out, int32_t first, int32_t count, int32_t perLine) {
    return Bind(pViewFormat, "VXAViewFormat")(out, first, count, perLine);
}
int32_t VXAViewClose() { return Bind(pViewClose, "VXAViewClose")(); }

ResultBuffer::ResultBuffer() { std::memset(buf_, 0, sizeof buf_); }

QString ResultBuffer::text() const {
    return QString::fromLocal8Bit(buf_, static_cast<qsizetype>(strnlen(buf_, sizeof buf_)));
}

QByteArray FileNameBytes(const QString& name) { return QFile::encodeName(name); }

QByteArray TextBytes(const QString& text) { return text.toLatin1(); }

}  // namespace emu
