// The process-wide settings object on the current user's registry key
// "SoftWare\orvanta\antivirus".
#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

// The shared QSettings object. Use it through the helpers below, which
// serialise access from several threads.
QSettings& settingsStore();
QVariant settingsValue(const QString& name, const QVariant& defaultValue = QVariant());
void settingsSetValue(const QString& name, const QVariant& value);
