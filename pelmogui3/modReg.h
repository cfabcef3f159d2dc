// Per-unit settings kept between runs: application "PelmoGui3", one group
// "Settings" + unit number per unit, text values (numbers as upper-case hex).
#pragma once

#include <QSettings>
#include <QString>
#include <cstdint>

namespace modReg {

extern QString SectionName;

int32_t GetHexSetting(const QString& key, int32_t defaultValue);
void SaveHexSetting(const QString& key, int32_t value);
QString GetTextSetting(const QString& key, const QString& defaultValue);
void SaveTextSetting(const QString& key, const QString& text);
void LoadUnitSettings(int32_t unit);
void SaveUnitSettings();
// True when the unit's section holds a stored device type.
bool UnitHasSettings(int32_t unit);

// The store itself: INI format, user scope. Sync writes it out; false (with the
// file named) when it could not be written.
QSettings& Store();
bool Sync(QString* fileName);
// Drops the open store so the next use reads the files afresh (after the
// store's location changed).
void ReopenStore();

}  // namespace modReg
