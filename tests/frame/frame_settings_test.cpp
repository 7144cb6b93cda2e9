#include "frame/ZSettings.h"
#include "platform/windows.h"

#include <QSettings>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// What another process would read from the hive file now.
QVariant onDisk(const QString& name)
{
    QSettings ini(Platform::registryHivePath(HKEY_CURRENT_USER), QSettings::IniFormat);
    return ini.value(QStringLiteral("software/orvanta/antivirus/") + name);
}

// What a registry reader finds under the settings key: the status, the
// value's type and its bytes.
std::tuple<LSTATUS, DWORD, QByteArray> readValue(const char16_t* name)
{
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, u"SoftWare\\orvanta\\antivirus", 0, KEY_READ, &key);
    BYTE data[64] = {};
    DWORD type = 0, size = sizeof data;
    if (status == ERROR_SUCCESS) {
        status = RegQueryValueExW(key, name, nullptr, &type, data, &size);
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS)
        return {status, type, QByteArray()};
    return {status, type, QByteArray(reinterpret_cast<const char*>(data), int(size))};
}

QByteArray dword(DWORD v) { return QByteArray(reinterpret_cast<const char*>(&v), sizeof v); }
// UTF-16 with its NUL, as REG_SZ data is.
QByteArray text(const QString& s) { return QByteArray(reinterpret_cast<const char*>(s.utf16()), 2 * (s.size() + 1)); }

} // namespace

// Values reach the file at once, and registry readers see them with their types.
TEST(Settings, MissingValuesGiveTheirDefaultsSetOnesReachTheRegistryAtOnce)
{
    EXPECT_TRUE(settingsValue(QStringLiteral("SearchServiceLastInitTime")).isNull());
    EXPECT_EQ(settingsValue(QStringLiteral("SearchServiceInitTimes"), 0).toInt(), 0);
    settingsSetValue(QStringLiteral("SearchServiceQuitReason"), 87 * 65536 + 69);
    settingsSetValue(QStringLiteral("SearchServiceLastInitTime"), QStringLiteral("2026-03-01 09:05:07"));
    settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 3);

    // Per value: the text in the file, and the type and bytes a reader gets
    // asking in another case.
    const QString time = QStringLiteral("2026-03-01 09:05:07");
    const struct {
        const char* setting;
        const char16_t* asked;
        QString disk;
        DWORD type;
        QByteArray data;
    } rows[] = {
        {"SearchServiceInitTimes", u"searchserviceinittimes", QStringLiteral("3"), REG_DWORD, dword(3)},
        {"SearchServiceQuitReason", u"SEARCHSERVICEQUITREASON", QStringLiteral("5701701"), REG_DWORD, dword(5701701)},
        {"SearchServiceLastInitTime", u"SearchServiceLastInitTime", time, REG_SZ, text(time)},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(onDisk(QLatin1String(r.setting)).toString(), r.disk) << r.setting;
        EXPECT_EQ(readValue(r.asked), std::make_tuple(LSTATUS(ERROR_SUCCESS), r.type, r.data)) << r.setting;
    }
}

TEST(Settings, ThreadsShareTheValuesSafely)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 15;
    std::atomic<int> wrongReads{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrongReads] {
            const QString own = QStringLiteral("Thread%1").arg(t);
            for (int i = 0; i < kRounds; ++i) {
                settingsSetValue(own, i);
                wrongReads += settingsValue(own, -1).toInt() != i;
                settingsSetValue(QStringLiteral("SearchServiceInitTimes"), i);
                settingsValue(QStringLiteral("SearchServiceInitTimes"), 0).toInt();
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrongReads.load(), 0);
    // Every thread's last value is seen from this thread and is on disk.
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(settingsValue(QStringLiteral("Thread%1").arg(t), -1).toInt(), kRounds - 1);
        EXPECT_EQ(onDisk(QStringLiteral("Thread%1").arg(t)).toInt(), kRounds - 1);
    }
    EXPECT_EQ(settingsValue(QStringLiteral("SearchServiceInitTimes"), 0).toInt(), kRounds - 1);
}
