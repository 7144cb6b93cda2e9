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
constexpr ULONGLONG kMiB = 1024 * 1024;
using Lines = std::vector<std::string>;

// The texts of the ERROR lines this thread wrote to the logs beside the executable.
Lines errorLines()
{
    Lines out;
    const QString thread = QString::number(long(syscall(SYS_gettid)));
    QDir dir(Platform::executableFolder() + QStringLiteral("/log"));
    for (const QString& name : dir.entryList(QDir::Files)) {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        while (!f.atEnd()) {
            // "[" thread id (padded) "|" time "|" severity "|" place "] " text
            const QString l = QString::fromUtf8(f.readLine()).trimmed();
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

    Lines newErrorLines() const
    {
        const Lines all = errorLines();
        return Lines(all.begin() + std::min(logMark, all.size()), all.end());
    }

    void expectJournalSizes(ULONGLONG maximum, ULONGLONG delta)
    {
        const auto journal = device->journalState();
        EXPECT_TRUE(journal.active);
        EXPECT_FALSE(journal.deleting);
        EXPECT_EQ(journal.data.MaximumSize, maximum);
        EXPECT_EQ(journal.data.AllocationDelta, delta);
        EXPECT_EQ(volume->journalData.UsnJournalID, journal.data.UsnJournalID);
    }

    std::shared_ptr<ZEmulatedNtfsVolume> device;
    std::unique_ptr<ZDriveVolume> volume;
    size_t logMark = 0;
};

TEST_F(VolumeAccess, OpensAnNtfsVolumeWithItsGeometryAndJournal)
{
    install();
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    const NTFS_VOLUME_DATA_BUFFER expected = device->volumeData();
    EXPECT_EQ(volume->volumeData.BytesPerCluster, expected.BytesPerCluster);
    EXPECT_EQ(volume->recordBufferSize, expected.BytesPerFileRecordSegment + 15);
    EXPECT_NE(volume->clusterBuffer, nullptr);
    EXPECT_EQ(volume->journalData.NextUsn, device->journalState().data.NextUsn);
    // An active journal is only read, never created.
    EXPECT_EQ(device->callCount(FSCTL_CREATE_USN_JOURNAL), 0u);
    EXPECT_EQ(newErrorLines(), Lines{});

    // A second set-up starts from a closed volume.
    ASSERT_TRUE(volume->growRecordBuffers(3));
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    EXPECT_TRUE(volume->recordBuffers.empty());
    EXPECT_NE(volume->volumeHandle, nullptr);
    expectClosesCleanly();
}

// Each failing step: its result, its log lines, what stays open, and that no
// later step ran and no stale journal is taken.
TEST_F(VolumeAccess, EachFailingStepEndsTheSetUpWithItsOwnResult)
{
    struct Case {
        const char16_t* fileSystem;
        bool journalActive;
        DWORD failedCall, error;
        DWORD result;
        bool handleKept;
        ULONGLONG queries, creates;
        Lines log;
    };
    const std::string prefix = "init drive volume failed -- ";
    const Case cases[] = {
        {u"FAT32", true, 0, 0, ZDriveVolume::InitNotNtfs, false, 0, 0, {prefix + "not NTFS drive!!!"}},
        {u"exFAT", true, 0, 0, ZDriveVolume::InitNotNtfs, false, 0, 0, {prefix + "not NTFS drive!!!"}},
        {u"ntfs", true, 0, 0, ZDriveVolume::InitNotNtfs, false, 0, 0, {prefix + "not NTFS drive!!!"}},
        {u"NTFS5", true, 0, 0, ZDriveVolume::InitNotNtfs, false, 0, 0, {prefix + "not NTFS drive!!!"}},
        {u"NTF", true, 0, 0, ZDriveVolume::InitNotNtfs, false, 0, 0, {prefix + "not NTFS drive!!!"}},
        {u"NTFS", true, ZEmulatedNtfsVolume::CallOpen, ERROR_ACCESS_DENIED, ZDriveVolume::InitOpenFailed, false, 0, 0,
         {prefix + "open drive file!!!"}},
        {u"NTFS", true, FSCTL_GET_NTFS_VOLUME_DATA, ERROR_INVALID_FUNCTION, ZDriveVolume::InitVolumeDataFailed, true,
         0, 0, {prefix + "FSCTL_GET_NTFS_VOLUME_DATA:1"}},
        {u"NTFS", true, FSCTL_QUERY_USN_JOURNAL, ERROR_INVALID_FUNCTION, ZDriveVolume::InitJournalFailed, true, 1, 0,
         {prefix + "FSCTL_QUERY_USN_JOURNAL:1", "init usn journal failed: 1"}},
        // The creation's error is the one reported.
        {u"NTFS", false, FSCTL_CREATE_USN_JOURNAL, ERROR_ACCESS_DENIED, ZDriveVolume::InitJournalFailed, true, 1, 1,
         {prefix + "FSCTL_QUERY_USN_JOURNAL:1179", "init usn journal failed: 5"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString::fromUtf16(c.fileSystem).toStdString() + " " + std::to_string(c.failedCall));
        ZEmulatedNtfsVolume::Options options;
        options.fileSystemName = c.fileSystem;
        options.journalActive = c.journalActive;
        install(options);
        if (c.failedCall)
            device->failCall(c.failedCall, c.error);
        EXPECT_EQ(volume->initDriveVolume(), c.result);
        if (c.error) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        EXPECT_EQ(volume->volumeHandle != nullptr, c.handleKept);
        EXPECT_EQ(device->callCount(ZEmulatedNtfsVolume::CallOpen), c.result == ZDriveVolume::InitNotNtfs ? 0u : 1u);
        EXPECT_EQ(device->callCount(FSCTL_QUERY_USN_JOURNAL), c.queries);
        EXPECT_EQ(device->callCount(FSCTL_CREATE_USN_JOURNAL), c.creates);
        EXPECT_EQ(device->callCount(FSCTL_DELETE_USN_JOURNAL), 0u);
        EXPECT_EQ(volume->journalData.UsnJournalID, 0u);
        EXPECT_EQ(newErrorLines(), c.log);
        expectClosesCleanly();
    }

    // An unreadable file-system name, and a letter with nothing behind it.
    install();
    device->failCall(ZEmulatedNtfsVolume::CallVolumeInformation, ERROR_NOT_READY);
    EXPECT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitNotNtfs));
    EXPECT_EQ(volume->volumeHandle, nullptr);
    ZDriveVolume absent(u'Q');
    EXPECT_EQ(absent.initDriveVolume(), DWORD(ZDriveVolume::InitNotNtfs));
    absent.closeVolume();
}

TEST_F(VolumeAccess, AMissingOrDeletedJournalIsCreatedAndARecreationKeepsItsIdentity)
{
    ZEmulatedNtfsVolume::Options options;
    options.journalActive = false;
    install(options);
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    expectJournalSizes(8 * kMiB, 1 * kMiB);
    EXPECT_NE(volume->journalData.UsnJournalID, 0u);
    // The failed first query, then the one after the creation; the expected
    // failure is logged all the same.
    EXPECT_EQ(device->callCount(FSCTL_QUERY_USN_JOURNAL), 2u);
    EXPECT_EQ(newErrorLines(), Lines{"init drive volume failed -- FSCTL_QUERY_USN_JOURNAL:1179"});
    expectClosesCleanly();

    // A journal being deleted is awaited and created larger.
    install();
    device->beginJournalDeletion();
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    EXPECT_EQ(device->callCount(FSCTL_DELETE_USN_JOURNAL), 1u);
    expectJournalSizes(32 * kMiB, 4 * kMiB);
    EXPECT_EQ(newErrorLines(), Lines{"init drive volume failed -- FSCTL_QUERY_USN_JOURNAL:1178"});
    expectClosesCleanly();

    install();
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    const DWORDLONG id = volume->journalData.UsnJournalID;
    ASSERT_TRUE(volume->recreateUsnJournal());
    EXPECT_EQ(volume->journalData.UsnJournalID, id);
    expectJournalSizes(32 * kMiB, 4 * kMiB);
    device->failCall(FSCTL_CREATE_USN_JOURNAL, ERROR_DISK_FULL);
    EXPECT_FALSE(volume->recreateUsnJournal());
}

TEST_F(VolumeAccess, RecordReadYieldsOnlyTheRecordAskedFor)
{
    install();
    EXPECT_FALSE(volume->growRecordBuffers(1)); // no geometry yet
    EXPECT_EQ(volume->readFileRecord(kRoot, 0), nullptr);
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    const DWORD kept = device->createFile(kRoot, u"kept.txt");
    const DWORD gone = device->createFile(kRoot, u"gone.txt");
    ASSERT_TRUE(kept && gone && device->remove(gone));
    ASSERT_TRUE(volume->growRecordBuffers(2));
    EXPECT_EQ(volume->readFileRecord(kept, 2), nullptr); // no such block

    const BYTE* record = volume->readFileRecord(kept, 1);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record, volume->recordBuffers[1] + 12);
    Ntfs::FileRecordHeader header;
    std::memcpy(&header, record, sizeof(header));
    EXPECT_EQ(header.signature, Ntfs::kFileRecordSignature);
    EXPECT_EQ(header.mftRecordNumber, kept);

    // A free record is answered with the nearest lower one in use: the call
    // succeeds, the read does not.
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

} // namespace
