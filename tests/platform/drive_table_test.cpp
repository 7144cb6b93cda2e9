// The drive table: drives from the dosdevices folder, C: for "/" only when
// nothing else is configured, drives set from code first, devices made once.
#include "platform/ZDriveTable.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "devices/live/ZLiveDirectoryVolume.h"
#include "platform/win32_file.h"
#include "frame/ProcessHelpers.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using Platform::ZDriveTable;

namespace {

std::u16string driveStrings()
{
    WCHAR buffer[128] = {};
    const DWORD n = GetLogicalDriveStringsW(128, buffer);
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), n);
}

std::u16string fileSystemOf(const char16_t* root)
{
    WCHAR name[32] = {};
    if (!GetVolumeInformationW(reinterpret_cast<LPCWSTR>(root), nullptr, 0, nullptr, nullptr, nullptr, name, 32))
        return u"error " + std::u16string(1, char16_t(u'0' + GetLastError() % 10));
    return std::u16string(reinterpret_cast<const char16_t*>(name));
}

class DriveTableTest : public ::testing::Test {
protected:
    // Each test starts and ends with no drive from code and no table folder.
    void SetUp() override { TearDown(); }
    void TearDown() override
    {
        ZDriveTable::instance().clear();
        QDir(ZDriveTable::folder()).removeRecursively();
    }
    static void link(const QString& target, const QString& entry)
    {
        QDir().mkpath(ZDriveTable::folder());
        QFile::remove(ZDriveTable::folder() + QLatin1Char('/') + entry);
        ASSERT_TRUE(QFile::link(target, ZDriveTable::folder() + QLatin1Char('/') + entry));
    }
};

} // namespace

TEST_F(DriveTableTest, WhatIsListedComesFromCodeTheFolderOrTheRootDefault)
{
    // Nothing configured: C:, the root directory (not opened here: it is the whole disk).
    EXPECT_EQ(driveStrings(), std::u16string(u"C:\\\0", 4));

    // A drive from code replaces the default.
    auto emulated = std::make_shared<Platform::ZEmulatedNtfsVolume>();
    ZDriveTable::instance().setDrive(u'q', emulated);
    EXPECT_EQ(driveStrings(), std::u16string(u"Q:\\\0", 4));
    EXPECT_EQ(ZDriveTable::instance().device(u'Q'), emulated);
    ZDriveTable::instance().clear();

    // An empty folder: no drives at all.
    QDir().mkpath(ZDriveTable::folder());
    EXPECT_EQ(driveStrings(), std::u16string());

    // Entries: "x:" a directory, "x::" an image; other names are no drives.
    const QString tree = TestSupport::freshDir(QStringLiteral("tree"));
    const QString image = TestSupport::freshDir(QStringLiteral("image")) + QStringLiteral("/junk.img");
    ASSERT_TRUE(FrameTest::writeFile(image, QByteArray(64 * 1024, '\x5a')));
    link(tree, QStringLiteral("e:"));
    link(image, QStringLiteral("F::"));
    link(tree, QStringLiteral("notadrive"));
    link(tree, QStringLiteral("g;"));
    EXPECT_EQ(driveStrings(), std::u16string(u"E:\\\0F:\\\0", 8));
    EXPECT_EQ(fileSystemOf(u"E:\\"), u"NTFS");
    EXPECT_NE(fileSystemOf(u"F:\\"), u"NTFS");      // an image with no NTFS in it
    EXPECT_EQ(fileSystemOf(u"G:\\"), u"error 3");   // ERROR_PATH_NOT_FOUND

    // Code and folder together: code wins under its letter.
    ZDriveTable::instance().setDrive(u'E', emulated);
    EXPECT_EQ(ZDriveTable::instance().device(u'e'), emulated);
    ZDriveTable::instance().removeDrive(u'E');
    EXPECT_NE(ZDriveTable::instance().device(u'e'), emulated);
}

TEST_F(DriveTableTest, ADeviceIsMadeOnceAndAgainWhenItsLinkMoves)
{
    const QString one = TestSupport::freshDir(QStringLiteral("one"));
    const QString two = TestSupport::freshDir(QStringLiteral("two"));
    QFile(one + QStringLiteral("/only-in-one")).open(QIODevice::WriteOnly);
    link(one, QStringLiteral("d:"));
    auto first = ZDriveTable::instance().device(u'D');
    ASSERT_TRUE(first);
    EXPECT_EQ(ZDriveTable::instance().device(u'd'), first);
    auto* live = dynamic_cast<Platform::ZLiveDirectoryVolume*>(first.get());
    ASSERT_TRUE(live);
    EXPECT_NE(live->volume().lookup(Ntfs::RecordRoot, u"only-in-one"), 0u);

    link(two, QStringLiteral("d:"));
    auto second = ZDriveTable::instance().device(u'D');
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(dynamic_cast<Platform::ZLiveDirectoryVolume*>(second.get())->volume().lookup(Ntfs::RecordRoot,
                                                                                              u"only-in-one"),
              0u);

    // A link to nothing is listed but has no device.
    link(one + QStringLiteral("/missing"), QStringLiteral("m:"));
    EXPECT_EQ(driveStrings(), std::u16string(u"D:\\\0M:\\\0", 8));
    EXPECT_FALSE(ZDriveTable::instance().device(u'M'));
}
