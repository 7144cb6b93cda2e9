// The drive cache file: the pool and the journal position saved between
// runs, so that a start can skip the MFT walk. Written under a ".temp" twin,
// flushed to disk and renamed over the old file in one step. The folder and
// its files are private (0700, 0600): the index names every file of the drive.
//
// Layout: version (qint32), checksum (quint64, XXH3-64 of every byte after
// it), saved USN, build time, change count, then the pool. The checksum is
// checked over the whole file before any field after it is read.
#include "volume/ZDriveVolume.h"

#include "frame/ZLog.h"
#include "frame/ZSpecialPath.h"
#include "platform/ZDriveTable.h"
#include "storage/ZSavedBytesReader.h"
#include "storage/ZSharedPool.h"
#include "win32/ZDriveLetterFiles.h"
#include "win32/ZTimeConstants.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QtEndian>

#include <xxhash.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace SearchEngine {

namespace {

// 23: the checksum after the version. A file of 22 (none) is refused, and
// the rebuilt drive saves it anew.
constexpr qint32 kDriveCacheVersion = 23;
constexpr qint64 kChecksumAt = sizeof(qint32);
constexpr qint64 kBodyAt = kChecksumAt + sizeof(quint64);
// Items filed into the record map at a time, their slots fetched first.
constexpr size_t kRecordMapBatch = 32;
constexpr qint64 kDigestChunk = 1 << 20;
constexpr qint64 kDigestWindow = kDigestChunk;   // no more mapped than a read would copy
// Pinned so that buildTime reads back whatever Qt library wrote the file.
constexpr QDataStream::Version kCacheStreamVersion = QDataStream::Qt_5_15;

// Staleness: many changes and a few days, a month, or very many changes.
constexpr qint32 kManyChanges = 20000;
constexpr qint64 kManyChangesDays = Platform::kCacheManyChangesDays;
constexpr qint64 kMaxAgeDays = Platform::kCacheMaxAgeDays;
constexpr qint32 kMaxChanges = 100000;

const char kCacheFolder[] = "CSIDL_LOCAL_APPDATA\\Orvanta\\SearchService\\";
const char kCacheFileName[] = "DriveCache%1.dat";
const char kTempSuffix[] = ".temp";

// The folder of the cache files, as the file system names it; empty when
// the special folder is unknown (the unexpanded name would be taken relative
// to the current directory) or the folder cannot be made private.
QString cacheFolder()
{
    const QString folder = Platform::toNativePath(expandSpecialPath(QString::fromLatin1(kCacheFolder)));
    return QDir::isAbsolutePath(folder) && Platform::makePrivateFolder(folder) ? folder : QString();
}

QString cachePath(const QString& folder, ushort drive)
{
    QString path = folder;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path + QString::fromLatin1(kCacheFileName).arg(QChar(drive));
}

// Opens path as a private file (Platform::openPrivateFile) into file; false
// when it cannot be opened or is not this user's own.
bool openPrivate(QFile& file, const QString& path, int flags, QIODevice::OpenMode mode)
{
    const int fd = Platform::openPrivateFile(path, flags);
    if (fd < 0)
        return false;
    if (file.open(fd, mode, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    return false;
}

// XXH3-64 of file's bytes from `from` to its end; false on a read error.
// Read through a mapping a window at a time where the file allows one (no
// copy of a pool of a hundred megabytes, and only a window's pages mapped
// at once); the folder is private, so no one else can cut the file short
// under the mapping.
bool digestFrom(QFile& file, qint64 from, quint64* digest)
{
    std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t*)> state(XXH3_createState(), XXH3_freeState);
    if (!state || XXH3_64bits_reset(state.get()) != XXH_OK)
        return false;
    const qint64 size = file.size();
    qint64 at = from;
    while (at < size) {
        const qint64 length = std::min(kDigestWindow, size - at);
        uchar* window = file.map(at, length);
        if (!window)
            break;
        XXH3_64bits_update(state.get(), window, size_t(length));
        file.unmap(window);
        at += length;
    }
    // The rest read and copied a chunk at a time.
    if (!file.seek(at))
        return false;
    QByteArray chunk(int(kDigestChunk), Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(chunk.data(), kDigestChunk);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        XXH3_64bits_update(state.get(), chunk.constData(), size_t(n));
    }
    *digest = XXH3_64bits_digest(state.get());
    return true;
}

// Makes a finished rename survive a crash.
void syncFolder(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

void ZDriveVolume::saveDriveCache()
{
    const QString folder = cacheFolder();
    if (folder.isEmpty())
        return;
    const QString path = cachePath(folder, m_drive);
    const QString temp = path + QLatin1String(kTempSuffix);

    QFile file;
    if (!openPrivate(file, temp, O_RDWR | O_CREAT | O_TRUNC, QIODevice::ReadWrite))
        return;
    QDataStream stream(&file);
    stream.setVersion(kCacheStreamVersion);
    stream << kDriveCacheVersion << quint64(0) << qint64(savedUsn) << buildTime << qint32(totalChanges);
    pool->save(stream);
    // The checksum of what was written, read back, in its place.
    quint64 digest = 0;
    bool written = stream.status() == QDataStream::Ok && file.flush() && digestFrom(file, kBodyAt, &digest)
        && file.seek(kChecksumAt);
    if (written)
        stream << digest;

    // The old file stays in place until the new one is whole on disk.
    written = written && stream.status() == QDataStream::Ok && file.flush() && ::fsync(file.handle()) == 0;
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        LOG(ERROR) << ushort(m_drive) << "-Save Failed:" << temp;
        QFile::remove(temp);
        return;
    }
    if (::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()) != 0) {
        LOG(ERROR) << ushort(m_drive) << "-Save Failed:" << path << int(errno);
        QFile::remove(temp);
        return;
    }
    syncFolder(folder);
    LOG(DEBUG) << ushort(m_drive) << "-Save:" << qulonglong(recordMap.size());
}

void ZDriveVolume::saveAppliedChanges(USN usn)
{
    totalChanges += unsavedChanges.exchange(0);
    savedUsn = usn;
    saveDriveCache();
}

bool ZDriveVolume::loadDriveCache()
{
    if (!loadDriveCachePool())
        return false;
    fileRecordsOfPool();
    return true;
}

bool ZDriveVolume::loadDriveCachePool()
{
    // Only an empty pool is filled from the file; a failed load clears it.
    if (pool->pieceCount() != 0)
        return false;
    const QString folder = cacheFolder();
    if (folder.isEmpty())
        return false;
    QFile file;
    if (!openPrivate(file, cachePath(folder, m_drive), O_RDONLY, QIODevice::ReadOnly))
        return false;
    QDataStream stream(&file);
    stream.setVersion(kCacheStreamVersion);

    qint32 version = 0;
    quint64 checksum = 0, digest = 0;
    stream >> version >> checksum;
    if (stream.status() != QDataStream::Ok || version != kDriveCacheVersion)
        return false;
    if (!digestFrom(file, kBodyAt, &digest) || digest != checksum || !file.seek(kBodyAt)) {
        LOG(ERROR) << ushort(m_drive) << "-Load: the cache file fails its checksum";
        return false;
    }

    qint64 usn = 0;
    stream >> usn;
    savedUsn = usn;
    if (stream.status() != QDataStream::Ok || usn < journalData.FirstUsn || usn > journalData.NextUsn)
        return false;

    QDateTime built;
    qint32 changes = 0;
    stream >> built >> changes;
    buildTime = built;
    totalChanges = changes;
    if (stream.status() != QDataStream::Ok || !built.isValid() || changes < 0)
        return false;
    // An index built "in the future" has an age that cannot be trusted.
    // Days count midnights: both sides in local time, as the file's is.
    const qint64 days = built.toLocalTime().daysTo(Platform::clock().now().toLocalTime());
    if (days < 0)
        return false;
    const bool stale = (changes >= kManyChanges && days >= kManyChangesDays) || days >= kMaxAgeDays
        || changes >= kMaxChanges;
    if (stale)
        return false;

    // The pool must take the rest of the file exactly: a short read or
    // trailing bytes mean the file is not what a save wrote.
    ZSavedBytesReader rest(&file);
    const bool loaded = pool->load(rest) && rest.atEnd();
    file.close();

    recordMap.clear();
    if (!loaded) {
        pool->clear();
        LOG(DEBUG) << ushort(m_drive) << "-Load:" << 0;
    }
    return loaded;
}

void ZDriveVolume::fileRecordsOfPool()
{
    recordMap.clear();
    // Counted first, so that the map is sized once for every item.
    size_t items = 0;
    pool->forEachItem([&items](ZLockItem) {
        ++items;
        return true;
    });
    recordMap.reserve(items);
    // Filed a batch at a time, each key's slot fetched ahead: a map of a
    // million items misses the cache on almost every emplace.
    std::array<std::pair<DWORD, ItemRecord*>, kRecordMapBatch> batch;
    size_t batched = 0;
    auto fileBatch = [&] {
        for (size_t i = 0; i < batched; ++i)
            recordMap.emplace(batch[i].first, batch[i].second);
        batched = 0;
    };
    pool->forEachItem([&](ZLockItem item) {
        // Copied out: the pair would bind a reference to the packed, misaligned member.
        const DWORD record = item->recordNumber;
        recordMap.prefetch(record);
        batch[batched++] = {record, item.record()};
        if (batched == batch.size())
            fileBatch();
        return true;
    });
    fileBatch();
    LOG(DEBUG) << ushort(m_drive) << "-Load:" << qulonglong(recordMap.size());
}

bool ZDriveVolume::sealDriveCacheImage(QByteArray& image)
{
    if (image.size() < kBodyAt)
        return false;
    const quint64 digest = XXH3_64bits(image.constData() + kBodyAt, size_t(image.size() - kBodyAt));
    qToBigEndian(digest, image.data() + kChecksumAt);
    return true;
}

void ZDriveVolume::removeDepartedDriveCaches()
{
    Platform::ZDriveTable& drives = Platform::ZDriveTable::instance();
    drives.removeDepartedState();
    const QString pattern = QString::fromLatin1(kCacheFileName).arg(QLatin1Char('?'));
    for (const QString& name : Platform::removeFilesOfDepartedDrives(cacheFolder(), pattern, QLatin1String(kTempSuffix),
                                                                     drives.letters())) {
        LOG(DEBUG) << "removed the cache of a departed drive:" << name;
    }
}

} // namespace SearchEngine
