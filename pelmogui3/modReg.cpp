#include "pelmogui3/modReg.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pelmogui3/modMain.h"
#include "platform/files.h"

namespace modReg {
namespace {

// The settings are worked on in a private copy; the store's own file is only ever read
// and written through the rules every output file follows (platform/files.h): read
// only when it is a regular file, opened without blocking, and replaced only when it
// is one (or missing), so a link to a device or a FIFO in its place is never written.
struct Backing {
    QTemporaryDir dir{QDir::tempPath() + "/PelmoGui3-XXXXXX"};
    QString real;  // the store's file
    QString copy;  // the private copy the settings object reads and writes
};

struct StoreState {
    QString folder;  // empty: the user's configuration folder
    std::unique_ptr<Backing> backing;
    std::unique_ptr<QSettings> settings;
    ~StoreState() { Drop(); }
    void Drop() {
        settings.reset();  // writes what it holds into the copy, before the copy goes
        backing.reset();
    }
};
StoreState TheStore;

// The store's file as it is now: empty when it is missing, empty or not a regular file
// (then `*readable` is false unless it is simply missing or empty).
QByteArray ReadStoreFile(const QString& path, bool* readable) {
    const QByteArray name = QFile::encodeName(path);
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    FileFailure failure;
    const int result = ReadRegularFile(name.constData(), 64u << 20, 0, &bytes, &size, &failure);
    *readable = result == FILE_READ_OK || result == FILE_EMPTY;
    if (result != FILE_READ_OK) return {};
    QByteArray data(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(size));
    std::free(bytes);
    return data;
}

QByteArray ReadCopy(const QString& copy) {
    QFile f(copy);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteCopy(const QString& copy, const QByteArray& data) {
    QFile f(copy);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// Puts `data` in place as the store's file. False with the reason in words.
bool ReplaceStoreFile(const QString& path, const QByteArray& data, QString* reason) {
    std::string why;
    if (FileReplaceWhole(QFile::encodeName(path).constData(), data.constData(), static_cast<size_t>(data.size()), false,
                         &why))
        return true;
    *reason = QString::fromLocal8Bit(why.c_str());
    return false;
}

QString Key(const QString& key) { return SectionName + "/" + key; }

// A text that the INI reader split at commas is put back together.
QString AsText(const QVariant& v) {
    if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(", ");
    return v.toString();
}

int32_t InRange(int32_t v, int32_t lo, int32_t hi, int32_t def) { return v >= lo && v <= hi ? v : def; }

// Lengths: 0 means all, else 1..1 MB.
int32_t Length(const QString& key) { return InRange(GetHexSetting(key, 0), 0, 0x100000, 0); }

int32_t Address(const QString& key) { return InRange(GetHexSetting(key, 0), 0, 0xFFFFF, 0); }

}  // namespace

QString SectionName = "Settings4";

QString StorePath() {
    const QString folder = TheStore.folder.isEmpty()
                               ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                               : TheStore.folder;
    return folder + "/PelmoGui3/PelmoGui3.ini";
}

void SetStoreFolder(const QString& folder) {
    TheStore.Drop();
    TheStore.folder = folder;
}

QSettings& Store() {
    if (!TheStore.settings) {
        auto backing = std::make_unique<Backing>();
        backing->real = StorePath();
        if (backing->dir.isValid()) {
            backing->copy = backing->dir.filePath("PelmoGui3.ini");
            bool readable = false;
            WriteCopy(backing->copy, ReadStoreFile(backing->real, &readable));
        }
        TheStore.settings = std::make_unique<QSettings>(backing->copy, QSettings::IniFormat);
        TheStore.backing = std::move(backing);
    }
    return *TheStore.settings;
}

bool Sync(QString* fileName, QString* reason) {
    QSettings& settings = Store();
    const Backing& b = *TheStore.backing;
    if (fileName) *fileName = b.real;
    QString why;
    if (reason) reason->clear();
    auto fail = [&](const QString& text) {
        if (reason) *reason = text;
        return false;
    };
    if (b.copy.isEmpty()) return fail("No temporary folder for the settings");
    // One run at a time puts the file in place (as the settings object itself would).
    QDir().mkpath(QFileInfo(b.real).path());
    QLockFile lock(b.real + ".lock");
    const bool locked = lock.tryLock(5000);
    // What another run stored meanwhile stays, under this run's own changes.
    bool readable = false;
    const QByteArray stored = ReadStoreFile(b.real, &readable);
    if (readable && stored != ReadCopy(b.copy)) WriteCopy(b.copy, stored);
    settings.sync();
    if (settings.status() != QSettings::NoError) return fail("The settings could not be written out");
    const bool replaced = ReplaceStoreFile(b.real, ReadCopy(b.copy), &why);
    if (locked) lock.unlock();
    return replaced ? true : fail(why);
}

void ReopenStore() { TheStore.Drop(); }

int32_t GetHexSetting(const QString& key, int32_t defaultValue) {
    const QString text = AsText(Store().value(Key(key), "x"));
    int32_t value = 0;
    return modMain::ParseHex(text, &value) ? value : defaultValue;
}

void SaveHexSetting(const QString& key, int32_t value) {
    Store().setValue(Key(key), QString::number(static_cast<uint32_t>(value), 16).toUpper());
}

QString GetTextSetting(const QString& key, const QString& defaultValue) {
    const QVariant v = Store().value(Key(key));
    return v.isValid() ? AsText(v) : defaultValue;
}

void SaveTextSetting(const QString& key, const QString& text) { Store().setValue(Key(key), text); }

bool UnitHasSettings(int32_t unit) {
    return AsText(Store().value("Settings" + QString::number(unit) + "/DevType", "x")) != "x";
}

void LoadUnitSettings(int32_t unit) {
    UnitSettingsRecord& s = modMain::UnitSettings;
    SectionName = "Settings" + QString::number(unit);
    s.Unit = unit;
    s.DevType = InRange(GetHexSetting("DevType", 5), 0, 10, 5);
    s.AutoReset = GetHexSetting("AutoReset", 1);
    s.FoldingMode = InRange(GetHexSetting("FoldingMode", 1), 0, 2, 1);
    s.ResetActive = InRange(GetHexSetting("ResetActive", 2), 0, 2, 2);
    s.ResetInactive = InRange(GetHexSetting("ResetInactive", 2), 0, 2, 2);
    s.ResetPulseWidth = InRange(GetHexSetting("ResetPulseWidth", 10), 1, 10000, 10);
    s.LoadFile = GetTextSetting("LoadFile", "");
    s.LoadStart = Address("LoadStart");
    s.LoadTarget = Address("LoadTarget");
    s.LoadLength = Length("LoadLength");
    s.LoadWidth = InRange(GetHexSetting("LoadWidth", 1), 1, 8, 1);
    s.LoadMode = InRange(GetHexSetting("LoadMode", 0), 0, 2, 0);
    s.FillValue = InRange(GetHexSetting("FillValue", 0xFF), 0, 0xFF, 0xFF);
    s.FillStart = Address("FillStart");
    s.FillLength = Length("FillLength");
    s.FillMode = InRange(GetHexSetting("FillMode", 0), 0, 2, 0);
    s.WriteFile = GetTextSetting("WriteFile", "");
    s.WriteFormat = InRange(GetHexSetting("WriteFormat", 0), 0, 6, 0);
    s.WriteEOFOption = GetHexSetting("WriteEOFOption", 1);
    s.WriteAppendOverOption = InRange(GetHexSetting("WriteAppendOverOption", 0), 0, 2, 0);
    s.WriteStart = Address("WriteStart");
    s.WriteLength = Length("WriteLength");
    s.WriteTargetOption = GetHexSetting("WriteTargetOption", 0);
    s.WriteTarget = GetHexSetting("WriteTarget", 0);
    s.WriteFillValue = InRange(GetHexSetting("WriteFillValue", 0xFF), 0, 0x100, 0xFF);
    s.WriteRecordLen = InRange(GetHexSetting("WriteRecordLen", 32), 1, 255, 32);
    s.WriteEntryOption = GetHexSetting("WriteEntryOption", 0);
    s.WriteEntryAddress = GetHexSetting("WriteEntryAddress", 0);
    s.WriteSignon = GetTextSetting("WriteSignon", "");
    s.CksumStart = Address("CksumStart");
    s.CksumLength = Length("CksumLength");
    s.ViewAddress = GetHexSetting("ViewAddress", 0);
    if (s.ViewAddress < 0) s.ViewAddress = 0;
    if (s.ViewAddress > 0xFFF00) s.ViewAddress = 0xFFF00;
    s.FileLoaded = false;
    s.SumValid = false;
    modMain::SetStatus("");
}

void SaveUnitSettings() {
    const UnitSettingsRecord& s = modMain::UnitSettings;
    SectionName = "Settings" + QString::number(s.Unit);
    SaveHexSetting("DevType", s.DevType);
    SaveHexSetting("FoldingMode", s.FoldingMode);
    SaveHexSetting("AutoReset", s.AutoReset);
    SaveHexSetting("ResetActive", s.ResetActive);
    SaveHexSetting("ResetInactive", s.ResetInactive);
    SaveHexSetting("ResetPulseWidth", s.ResetPulseWidth);
    SaveTextSetting("LoadFile", s.LoadFile);
    SaveHexSetting("LoadStart", s.LoadStart);
    SaveHexSetting("LoadTarget", s.LoadTarget);
    SaveHexSetting("LoadLength", s.LoadLength);
    SaveHexSetting("LoadWidth", s.LoadWidth);
    SaveHexSetting("LoadMode", s.LoadMode);
    SaveHexSetting("FillValue", s.FillValue);
    SaveHexSetting("FillStart", s.FillStart);
    SaveHexSetting("FillLength", s.FillLength);
    SaveHexSetting("FillMode", s.FillMode);
    SaveHexSetting("WriteFormat", s.WriteFormat);
    SaveHexSetting("WriteEOFOption", s.WriteEOFOption);
    SaveHexSetting("WriteAppendOverOption", s.WriteAppendOverOption);
    SaveTextSetting("WriteFile", s.WriteFile);
    SaveHexSetting("WriteStart", s.WriteStart);
    SaveHexSetting("WriteTargetOption", s.WriteTargetOption);
    SaveHexSetting("WriteTarget", s.WriteTarget);
    SaveHexSetting("WriteLength", s.WriteLength);
    SaveHexSetting("WriteFillValue", s.WriteFillValue);
    SaveHexSetting("WriteRecordLen", s.WriteRecordLen);
    SaveHexSetting("WriteEntryOption", s.WriteEntryOption);
    SaveHexSetting("WriteEntryAddress", s.WriteEntryAddress);
    SaveTextSetting("WriteSignon", s.WriteSignon);
    SaveHexSetting("CksumStart", s.CksumStart);
    SaveHexSetting("CksumLength", s.CksumLength);
    SaveHexSetting("ViewAddress", s.ViewAddress);
}

}  // namespace modReg
