// Opening a drive's volume: file-system check, device open, geometry, the
// change journal in its states, the record read and closing.
#include "platform/ZDriveTable.h"
#include "platform/ZEmulatedNtfsVolume.h"
#include "platform/win32_module.h"
#include "platform/windows.h"
#include "volume/ZDriveVolume.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using Platform::ZEmulatedNtfsVolume;
using SearchEngine::ZDriveVolume;

namespace {

constexpr char16_t kDrive = u'E';
constexpr DWORD kRoot = Ntfs::RecordRoot;

// The texts of the ERROR lines this thread wrote to the log files beside
// the executable, oldest first.
std::vector<std::string> errorLines()
{
    std::vector<std::string> out;
    const QString thread = QString::number(long(syscall(SYS_gettid)));
    QDir dir(Platform::executableFolder() + QStringLiteral("/log"));
    for (const QString& name : dir.entryList(QDir::Files)) {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        while (!f.atEnd()) {
            const QString l = QString::fromUtf8(f.readLine()).trimmed();
            // "[" thread id (padded) "|" time "|" severity "|" place "] " text
            const QStringList fields = l.section(QLatin1String("] "), 0, 0).mid(1).split(QLatin1Char('|'));
            if (fields.size() >= 3 && fields[0].trimmed() == thread && fields[2].trimmed() == QLatin1String("ERROR"))
                out.push_back(l.mid(l.indexOf(QLatin1String("] ")) + 2).toStdString());
        }
    }
    return out;
}

class VolumeAccess : public ::testing::Test {
protected:
    void install(const ZEmulatedNtfsVolume::Options& options = ZEmulatedNtfsVolume::Options())
    {
        logMark = errorLines().size();
        device = std::make_shared<ZEmulatedNtfsVolume>(options);
        Platform::ZDriveTable::instance().setDrive(kDrive, device);
        volume = std::make_unique<ZDriveVolume>(kDrive);
    }

    void TearDown() override
    {
        if (volume)
            volume->closeVolume();
        volume.reset();
        Platform::ZDriveTable::instance().removeDrive(kDrive);
    }

    // Closing after any outcome, twice, leaves nothing open.
    void expectClosesCleanly()
    {
        volume->closeVolume();
        volume->closeVolume();
        EXPECT_EQ(volume->volumeHandle, nullptr);
        EXPECT_TRUE(volume->recordBuffers.empty());
        EXPECT_EQ(volume->clusterBuffer, nullptr);
    }

    // The ERROR lines written since the last install().
    std::vector<std::string> newErrorLines() const
    {
        const auto all = errorLines();
        return std::vector<std::string>(all.begin() + std::min(logMark, all.size()), all.end());
    }

    std::shared_ptr<ZEmulatedNtfsVolume> device;
    std::unique_ptr<ZDriveVolume> volume;
    size_t logMark = 0;
};

using Lines = std::vector<std::string>;

TEST_F(VolumeAccess, OpensAnNtfsVolumeWithItsGeometryAndJournal)
{
    install();
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    EXPECT_NE(volume->volumeHandle, nullptr);
    const NTFS_VOLUME_DATA_BUFFER expected = device->volumeData();
    EXPECT_EQ(volume->volumeData.BytesPerCluster, expected.BytesPerCluster);
    EXPECT_EQ(volume->volumeData.BytesPerFileRecordSegment, expected.BytesPerFileRecordSegment);
    EXPECT_EQ(volume->recordBufferSize, expected.BytesPerFileRecordSegment + 15);
    EXPECT_NE(volume->clusterBuffer, nullptr);
    const auto journal = device->journalState();
    EXPECT_EQ(volume->journalData.UsnJournalID, journal.data.UsnJournalID);
    EXPECT_EQ(volume->journalData.NextUsn, journal.data.NextUsn);
    // An active journal is only read, never created.
    EXPECT_EQ(device->callCount(FSCTL_CREATE_USN_JOURNAL), 0u);
    EXPECT_EQ(newErrorLines(), Lines{});
    expectClosesCleanly();
}

TEST_F(VolumeAccess, OtherFileSystemsAreNotNtfs)
{
    for (const char16_t* name : {u"FAT32", u"exFAT", u"ntfs", u"NTFS5", u"NTF"}) {
        ZEmulatedNtfsVolume::Options options;
        options.fileSystemName = name;
        install(options);
        EXPECT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitNotNtfs))
            << QString::fromUtf16(name).toStdString();
        EXPECT_EQ(volume->volumeHandle, nullptr);
        EXPECT_EQ(device->callCount(ZEmulatedNtfsVolume::CallOpen), 0u);
        EXPECT_EQ(newErrorLines(), Lines{"init drive volume failed -- not NTFS drive!!!"});
        expectClosesCleanly();
    }
}

TEST_F(VolumeAccess, AnUnreadableFileSystemNameIsNotNtfs)
{
    install();
    device->failCall(ZEmulatedNtfsVolume::CallVolumeInformation, ERROR_NOT_READY);
    EXPECT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitNotNtfs));
    EXPECT_EQ(volume->volumeHandle, nullptr);

    // A drive letter with nothing behind it.
    ZDriveVolume absent(u'Q');
    EXPECT_EQ(absent.initDriveVolume(), DWORD(ZDriveVolume::InitNotNtfs));
    absent.closeVolume();
}

TEST_F(VolumeAccess, AFailedOpenLeavesNoHandle)
{
    install();
    device->failCall(ZEmulatedNtfsVolume::CallOpen, ERROR_ACCESS_DENIED);
    EXPECT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOpenFailed));
    EXPECT_EQ(volume->volumeHandle, nullptr);
    EXPECT_EQ(newErrorLines(), Lines{"init drive volume failed -- open drive file!!!"});
    expectClosesCleanly();
}

TEST_F(VolumeAccess, AFailedVolumeDataReadKeepsTheHandleUntilClosed)
{
    install();
    device->failCall(FSCTL_GET_NTFS_VOLUME_DATA, ERROR_INVALID_FUNCTION);
    EXPECT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitVolumeDataFailed));
    EXPECT_NE(volume->volumeHandle, nullptr);
    EXPECT_EQ(volume->clusterBuffer, nullptr);
    EXPECT_EQ(device->callCount(FSCTL_QUERY_USN_JOURNAL), 0u);
    EXPECT_EQ(newErrorLines(), Lines{"init drive volume failed -- FSCTL_GET_NTFS_VOLUME_DATA:1"});
    expectClosesCleanly();
}

TEST_F(VolumeAccess, AVolumeWithoutJournalGetsOneOfEightMegabytes)
{
    ZEmulatedNtfsVolume::Options options;
    options.journalActive = false;
    install(options);
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    const auto journal = device->journalState();
    ASSERT_TRUE(journal.active);
    EXPECT_EQ(journal.data.MaximumSize, 8ull * 1024 * 1024);
    EXPECT_EQ(journal.data.AllocationDelta, 1ull * 1024 * 1024);
    // The failed first query, then the one after the creation.
    EXPECT_EQ(device->callCount(FSCTL_QUERY_USN_JOURNAL), 2u);
    EXPECT_EQ(device->callCount(FSCTL_CREATE_USN_JOURNAL), 1u);
    EXPECT_EQ(volume->journalData.UsnJournalID, journal.data.UsnJournalID);
    EXPECT_NE(volume->journalData.UsnJournalID, 0u);
    // The expected failure of the first query is logged all the same.
    EXPECT_EQ(newErrorLines(), Lines{"init drive volume failed -- FSCTL_QUERY_USN_JOURNAL:1179"});
    expectClosesCleanly();
}

TEST_F(VolumeAccess, AJournalBeingDeletedIsAwaitedAndCreatedLarger)
{
    install();
    device->beginJournalDeletion();
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    EXPECT_EQ(device->callCount(FSCTL_DELETE_USN_JOURNAL), 1u);
    const auto journal = device->journalState();
    ASSERT_TRUE(journal.active);
    EXPECT_FALSE(journal.deleting);
    EXPECT_EQ(journal.data.MaximumSize, 32ull * 1024 * 1024);
    EXPECT_EQ(journal.data.AllocationDelta, 4ull * 1024 * 1024);
    EXPECT_EQ(volume->journalData.UsnJournalID, journal.data.UsnJournalID);
    EXPECT_EQ(newErrorLines(), Lines{"init drive volume failed -- FSCTL_QUERY_USN_JOURNAL:1178"});
}

TEST_F(VolumeAccess, AJournalThatCannotBeCreatedFailsTheSetUp)
{
    ZEmulatedNtfsVolume::Options options;
    options.journalActive = false;
    install(options);
    device->failCall(FSCTL_CREATE_USN_JOURNAL, ERROR_ACCESS_DENIED);
    EXPECT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitJournalFailed));
    // The creation's error is the one reported, and no stale journal is taken.
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(volume->journalData.UsnJournalID, 0u);
    EXPECT_EQ(device->callCount(FSCTL_QUERY_USN_JOURNAL), 1u);
    EXPECT_NE(volume->volumeHandle, nullptr);
    EXPECT_EQ(newErrorLines(), (Lines{"init drive volume failed -- FSCTL_QUERY_USN_JOURNAL:1179",
                                      "init usn journal failed: 5"}));
    expectClosesCleanly();
}

TEST_F(VolumeAccess, AnyOtherJournalErrorFailsWithoutCreating)
{
    install();
    device->failCall(FSCTL_QUERY_USN_JOURNAL, ERROR_INVALID_FUNCTION);
    EXPECT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitJournalFailed));
    EXPECT_EQ(device->callCount(FSCTL_CREATE_USN_JOURNAL), 0u);
    EXPECT_EQ(device->callCount(FSCTL_DELETE_USN_JOURNAL), 0u);
    EXPECT_EQ(newErrorLines(), (Lines{"init drive volume failed -- FSCTL_QUERY_USN_JOURNAL:1",
                                      "init usn journal failed: 1"}));
    expectClosesCleanly();
}

TEST_F(VolumeAccess, RecreatingAnActiveJournalKeepsItsIdentityAndGrowsIt)
{
    install();
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    const DWORDLONG id = volume->journalData.UsnJournalID;
    ASSERT_TRUE(volume->recreateUsnJournal());
    EXPECT_EQ(volume->journalData.UsnJournalID, id);
    EXPECT_EQ(device->journalState().data.MaximumSize, 32ull * 1024 * 1024);
    EXPECT_EQ(device->journalState().data.AllocationDelta, 4ull * 1024 * 1024);

    device->failCall(FSCTL_CREATE_USN_JOURNAL, ERROR_DISK_FULL);
    EXPECT_FALSE(volume->recreateUsnJournal());
}

TEST_F(VolumeAccess, ASecondSetUpStartsFromAClosedVolume)
{
    install();
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    ASSERT_TRUE(volume->growRecordBuffers(3));
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    EXPECT_TRUE(volume->recordBuffers.empty());
    EXPECT_NE(volume->volumeHandle, nullptr);
}

TEST_F(VolumeAccess, RecordReadYieldsOnlyTheRecordAskedFor)
{
    install();
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    const DWORD kept = device->createFile(kRoot, u"kept.txt");
    const DWORD gone = device->createFile(kRoot, u"gone.txt");
    ASSERT_NE(kept, 0u);
    ASSERT_NE(gone, 0u);
    ASSERT_TRUE(device->remove(gone));
    ASSERT_TRUE(volume->growRecordBuffers(2));

    // A block that does not exist is no place to read into.
    EXPECT_EQ(volume->readFileRecord(kept, 2), nullptr);

    const BYTE* record = volume->readFileRecord(kept, 1);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record, volume->recordBuffers[1] + 12);
    Ntfs::FileRecordHeader header;
    std::memcpy(&header, record, sizeof(header));
    EXPECT_EQ(header.signature, Ntfs::kFileRecordSignature);
    EXPECT_EQ(header.mftRecordNumber, kept);

    // The device answers a free record with the nearest lower one in use:
    // the call succeeds, the read does not.
    const ULONGLONG calls = device->callCount(FSCTL_GET_NTFS_FILE_RECORD);
    EXPECT_EQ(volume->readFileRecord(gone, 0), nullptr);
    EXPECT_EQ(device->callCount(FSCTL_GET_NTFS_FILE_RECORD), calls + 1);

    device->redirectRecord(kept, kRoot);
    EXPECT_EQ(volume->readFileRecord(kept, 0), nullptr);
    device->clearRedirects();

    device->failCall(FSCTL_GET_NTFS_FILE_RECORD, ERROR_READ_FAULT);
    EXPECT_EQ(volume->readFileRecord(kept, 0), nullptr);
    EXPECT_NE(volume->readFileRecord(kept, 0), nullptr);
}

TEST_F(VolumeAccess, RecordReadNeedsAnOpenVolume)
{
    install();
    EXPECT_FALSE(volume->growRecordBuffers(1)); // no geometry yet
    EXPECT_EQ(volume->readFileRecord(kRoot, 0), nullptr);
}

} // namespace
