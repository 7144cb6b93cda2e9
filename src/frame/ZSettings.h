// The settings store: registry values directly under the current user's key
// "SoftWare\orvanta\antivirus" (the HKEY_CURRENT_USER hive file here).
//
// Safe from any thread: settingsStore() returns the calling thread's own
// QSettings object on that key (created on first use in the thread), and
// QSettings keeps separate objects on one file consistent within the process.
// A value set through settingsSetValue is written to the file at once, so a
// start counted by the restart policy survives a crash that follows it.
#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

QSettings& settingsStore();
// value(name, defaultValue) of the store; a missing value gives the default.
QVariant settingsValue(const QString& name, const QVariant& defaultValue = QVariant());
// setValue(name, value) of the store, written through to the file.
void settingsSetValue(const QString& name, const QVariant& value);
