#include "frame/ZSettings.h"
#include "platform/windows.h"

#include <QSettings>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// What another process would read from the hive file now.
QVariant onDisk(const QString& name)
{
    QSettings ini(Platform::registryHivePath(HKEY_CURRENT_USER), QSettings::IniFormat);
    return ini.value(QStringLiteral("software/orvanta/antivirus/") + name);
}

} // namespace

// Values reach the file at once, and registry readers see them with their types.
TEST(Settings, MissingValuesGiveTheirDefaultsSetOnesReachTheRegistryAtOnce)
{
    EXPECT_TRUE(settingsValue(QStringLiteral("SearchServiceLastInitTime")).isNull());
    EXPECT_EQ(settingsValue(QStringLiteral("SearchServiceInitTimes"), 0).toInt(), 0);
    settingsSetValue(QStringLiteral("SearchServiceQuitReason"), 87 * 65536 + 69);
    settingsSetValue(QStringLiteral("SearchServiceLastInitTime"), QStringLiteral("2026-03-01 09:05:07"));
    settingsSetValue(QStringLiteral("SearchServiceInitTimes"), 3);
    EXPECT_EQ(settingsValue(QStringLiteral("SearchServiceQuitReason"), 0).toInt(), 5701701);
    EXPECT_EQ(onDisk(QStringLiteral("SearchServiceInitTimes")).toInt(), 3);
    EXPECT_EQ(onDisk(QStringLiteral("SearchServiceLastInitTime")).toString(), QStringLiteral("2026-03-01 09:05:07"));

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SoftWare\\orvanta\\antivirus", 0, KEY_READ, &key), LSTATUS(ERROR_SUCCESS));
    DWORD type = 0, value = 0, size = sizeof value;
    ASSERT_EQ(RegQueryValueExW(key, u"searchserviceinittimes", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              LSTATUS(ERROR_SUCCESS));
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(value, 3u);
    WCHAR text[64] = {};
    size = sizeof text;
    ASSERT_EQ(RegQueryValueExW(key, u"SearchServiceLastInitTime", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
              LSTATUS(ERROR_SUCCESS));
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(QString::fromUtf16(text), QStringLiteral("2026-03-01 09:05:07"));
    RegCloseKey(key);
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
