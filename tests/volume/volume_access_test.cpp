// Opening a drive's volume: file-system check, device open, geometry, the
// change journal in its states, the record read and closing.
#include "platform/ZDriveTable.h"
#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "platform/windows.h"
#include "volume/ZDriveVolume.h"
#include "support/ZLogLines.h"

#include <gtest/gtest.h>

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

class VolumeAccess : public ::testing::Test {
protected:
    void install(const ZEmulatedNtfsVolume::Options& options = ZEmulatedNtfsVolume::Options())
    {
        logMark = ServiceTestKit::logSize();
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
    Lines newErrorLines() const { return LogLines::threadErrorsSince(logMark); }
    void expectJournal(ULONGLONG maximum, ULONGLONG delta)
    {
        const auto journal = device->journalState();
        EXPECT_TRUE(journal.active && !journal.deleting);
        EXPECT_EQ(journal.data.MaximumSize, maximum);
        EXPECT_EQ(journal.data.AllocationDelta, delta);
        EXPECT_EQ(volume->journalData.UsnJournalID, journal.data.UsnJournalID);
        EXPECT_EQ(volume->journalData.NextUsn, journal.data.NextUsn);
    }

    std::shared_ptr<ZEmulatedNtfsVolume> device;
    std::unique_ptr<ZDriveVolume> volume;
    qint64 logMark = 0;
};

// Opening with the journal in each state, and each failing step: its result,
// its log lines, what stays open, and that no later step ran and no stale
// journal is taken. An active journal is only read; a missing one is created;
// one being deleted is awaited and created larger.
TEST_F(VolumeAccess, EachJournalStateAndEachFailingStep)
{
    const std::string failed = "init drive volume failed -- ", notNtfs = failed + "not NTFS drive!!!";
    constexpr DWORD ok = ZDriveVolume::InitOk, journalFailed = ZDriveVolume::InitJournalFailed;
    const struct {
        const char16_t* fileSystem;
        bool active, deleting;
        DWORD failedCall, error, result;
        bool handleKept;
        ULONGLONG queries, creates, deletes, maximum; // the journal's size after success, 0 on failure
        Lines log;
    } cases[] = {
        {u"NTFS", true, false, 0, 0, ok, true, 1, 0, 0, 2 * kMiB, {}},
        {u"NTFS", false, false, 0, 0, ok, true, 2, 1, 0, 8 * kMiB, {failed + "FSCTL_QUERY_USN_JOURNAL:1179"}},
        {u"NTFS", true, true, 0, 0, ok, true, 2, 1, 1, 32 * kMiB, {failed + "FSCTL_QUERY_USN_JOURNAL:1178"}},
        // Another file system, another case, a longer or a shorter name.
        {u"FAT32", true, false, 0, 0, ZDriveVolume::InitNotNtfs, false, 0, 0, 0, 0, {notNtfs}},
        {u"ntfs", true, false, 0, 0, ZDriveVolume::InitNotNtfs, false, 0, 0, 0, 0, {notNtfs}},
        {u"NTFS5", true, false, 0, 0, ZDriveVolume::InitNotNtfs, false, 0, 0, 0, 0, {notNtfs}},
        {u"NTF", true, false, 0, 0, ZDriveVolume::InitNotNtfs, false, 0, 0, 0, 0, {notNtfs}},
        {u"NTFS", true, false, ZEmulatedNtfsVolume::CallOpen, ERROR_ACCESS_DENIED, ZDriveVolume::InitOpenFailed, false,
         0, 0, 0, 0, {failed + "open drive file!!!"}},
        {u"NTFS", true, false, FSCTL_GET_NTFS_VOLUME_DATA, ERROR_INVALID_FUNCTION, ZDriveVolume::InitVolumeDataFailed,
         true, 0, 0, 0, 0, {failed + "FSCTL_GET_NTFS_VOLUME_DATA:1"}},
        {u"NTFS", true, false, FSCTL_QUERY_USN_JOURNAL, ERROR_INVALID_FUNCTION, journalFailed, true, 1, 0, 0, 0,
         {failed + "FSCTL_QUERY_USN_JOURNAL:1", "init usn journal failed: 1"}},
        // The creation's error is the one reported.
        {u"NTFS", false, false, FSCTL_CREATE_USN_JOURNAL, ERROR_ACCESS_DENIED, journalFailed, true, 1, 1, 0, 0,
         {failed + "FSCTL_QUERY_USN_JOURNAL:1179", "init usn journal failed: 5"}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const auto& c = cases[i];
        ZEmulatedNtfsVolume::Options options;
        options.fileSystemName = c.fileSystem;
        options.journalActive = c.active;
        options.journalMaximumSize = 2 * kMiB; // unlike either size the volume code asks for
        options.journalAllocationDelta = kMiB / 4;
        install(options);
        if (c.deleting)
            device->beginJournalDeletion();
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
        EXPECT_EQ(device->callCount(FSCTL_DELETE_USN_JOURNAL), c.deletes);
        if (c.maximum) {
            EXPECT_EQ(volume->volumeData.BytesPerCluster, device->volumeData().BytesPerCluster);
            EXPECT_NE(volume->clusterBuffer, nullptr);
            EXPECT_NE(volume->journalData.UsnJournalID, 0u);
            expectJournal(c.maximum, c.maximum / 8);
        } else {
            EXPECT_EQ(volume->journalData.UsnJournalID, 0u);
        }
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

    // A recreation keeps the journal's identity and takes the larger sizes.
    install();
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    const DWORDLONG id = volume->journalData.UsnJournalID;
    ASSERT_TRUE(volume->recreateUsnJournal());
    EXPECT_EQ(volume->journalData.UsnJournalID, id);
    expectJournal(32 * kMiB, 4 * kMiB);
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

    // A second set-up starts from a closed volume.
    ASSERT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitOk));
    EXPECT_TRUE(volume->recordBuffers.empty());
    EXPECT_NE(volume->volumeHandle, nullptr);
    expectClosesCleanly();
}

} // namespace
