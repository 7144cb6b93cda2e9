// Opening a drive's volume: file-system check, device open, geometry, the
// change journal in its states, the record read and closing.
#include "platform/ZDriveTable.h"
#include "platform/ZEmulatedNtfsVolume.h"
#include "platform/windows.h"
#include "volume/ZDriveVolume.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using Platform::ZEmulatedNtfsVolume;
using SearchEngine::ZDriveVolume;

namespace {

constexpr char16_t kDrive = u'E';
constexpr DWORD kRoot = Ntfs::RecordRoot;

class VolumeAccess : public ::testing::Test {
protected:
    void install(const ZEmulatedNtfsVolume::Options& options = ZEmulatedNtfsVolume::Options())
    {
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

    std::shared_ptr<ZEmulatedNtfsVolume> device;
    std::unique_ptr<ZDriveVolume> volume;
};

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
    expectClosesCleanly();
}

TEST_F(VolumeAccess, AnyOtherJournalErrorFailsWithoutCreating)
{
    install();
    device->failCall(FSCTL_QUERY_USN_JOURNAL, ERROR_INVALID_FUNCTION);
    EXPECT_EQ(volume->initDriveVolume(), DWORD(ZDriveVolume::InitJournalFailed));
    EXPECT_EQ(device->callCount(FSCTL_CREATE_USN_JOURNAL), 0u);
    EXPECT_EQ(device->callCount(FSCTL_DELETE_USN_JOURNAL), 0u);
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
