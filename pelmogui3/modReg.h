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

// The store itself: INI format, "PelmoGui3/PelmoGui3.ini" in the user's configuration
// folder. It is read only when it is a regular file (anything else gives the defaults,
// never a wait) and written only into a regular file or a new one. Sync writes it out;
// false (with the file named and the reason in words) when it could not be written.
QSettings& Store();
bool Sync(QString* fileName, QString* reason = nullptr);
// The store's file.
QString StorePath();
// Another folder in place of the user's configuration folder (empty: that one again);
// the next use reads the store afresh.
void SetStoreFolder(const QString& folder);
// Drops the open store so the next use reads the files afresh (after the
// store's location changed).
void ReopenStore();

}  // namespace modReg
