// Placeholder settings store. Replaced by the registry-backed store.
#include "frame/ZSettings.h"

#include <mutex>

namespace {
std::mutex& settingsLock()
{
    static std::mutex m;
    return m;
}
} // namespace

QSettings& settingsStore()
{
    static QSettings s(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("orvanta"), QStringLiteral("registry"));
    return s;
}

QVariant settingsValue(const QString& name, const QVariant& defaultValue)
{
    std::lock_guard<std::mutex> g(settingsLock());
    return settingsStore().value(name, defaultValue);
}

void settingsSetValue(const QString& name, const QVariant& value)
{
    std::lock_guard<std::mutex> g(settingsLock());
    settingsStore().setValue(name, value);
}
