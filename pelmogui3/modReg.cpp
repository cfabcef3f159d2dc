#include "pelmogui3/modReg.h"

#include <QStringList>
#include <memory>

#include "pelmogui3/modMain.h"

namespace modReg {
namespace {

std::unique_ptr<QSettings> TheStore;

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

QSettings& Store() {
    if (!TheStore) TheStore = std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, "PelmoGui3", "PelmoGui3");
    return *TheStore;
}

bool Sync(QString* fileName) {
    Store().sync();
    if (fileName) *fileName = Store().fileName();
    return Store().status() == QSettings::NoError;
}

void ReopenStore() { TheStore.reset(); }

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
