#include "frame/ZSettings.h"

#include "platform/win32_registry.h"

namespace {

constexpr char kSettingsKey[] = "SoftWare\\orvanta\\antivirus";

// One thread's object on the settings key; destroyed (and synced) when the
// thread ends.
struct ThreadSettings {
    QSettings settings;
    ThreadSettings() : settings(Platform::registryHivePath(HKEY_CURRENT_USER), QSettings::IniFormat)
    {
        settings.beginGroup(Platform::registryGroup(QLatin1String(kSettingsKey)));
    }
};

} // namespace

QSettings& settingsStore()
{
    thread_local ThreadSettings store;
    return store.settings;
}

QVariant settingsValue(const QString& name, const QVariant& defaultValue)
{
    return settingsStore().value(name, defaultValue);
}

void settingsSetValue(const QString& name, const QVariant& value)
{
    QSettings& s = settingsStore();
    s.setValue(name, value);
    // The registry writes at once; so does this store.
    s.sync();
}
