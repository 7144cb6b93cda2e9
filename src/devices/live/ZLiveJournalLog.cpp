#include "devices/live/ZLiveJournalLog.h"

#include "devices/live/ZLiveAtomicFile.h"
#include "ntfs/ZUsnRecordWriter.h"

#include <QFile>

#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Platform {

namespace {

constexpr char kMagic[8] = {'O', 'r', 'v', 'L', 'i', 'v', 'e', 'J'};
constexpr USN kUsnAlignment = 8;
// The longest record: a name of 255 UTF-16 units.
constexpr size_t kLongestName = 255;
constexpr ULONGLONG kLargestSlack = 1u << 20;

DWORD crcOf(const void* data, size_t bytes)
{
    return DWORD(crc32(crc32(0L, Z_NULL, 0), static_cast<const Bytef*>(data), uInt(bytes)));
}

QString reasonOf(const char* what)
{
    return QString::fromLatin1(what);
}

// Reads the whole file at path; false with errno when it cannot be read or
// is larger than `largest` (EFBIG).
bool readFile(const QByteArray& path, std::vector<BYTE>& out, ULONGLONG largest)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat st;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!regular || ULONGLONG(st.st_size) > largest) {
        ::close(fd);
        errno = regular ? EFBIG : EINVAL;
        return false;
    }
    out.resize(size_t(st.st_size));
    size_t at = 0;
    while (at < out.size()) {
        const ssize_t n = ::read(fd, out.data() + at, out.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        at += size_t(n);
    }
    out.resize(at);
    ::close(fd);
    return true;
}

// A record framed for the file, as it must read back.
bool recordChecks(const USN_RECORD_V2& r, DWORD length, USN atLeast)
{
    return r.RecordLength == length && length % kUsnAlignment == 0 && length >= Ntfs::kUsnRecordV2NameOffset
        && length <= Ntfs::usnRecordV2Length(kLongestName) && r.MajorVersion == Ntfs::kUsnRecordV2Major
        && r.FileNameOffset == Ntfs::kUsnRecordV2NameOffset && r.FileNameLength % sizeof(WCHAR) == 0
        && DWORD(r.FileNameOffset) + r.FileNameLength <= length && r.Usn >= atLeast && r.Usn % kUsnAlignment == 0;
}

} // namespace

ZLiveJournalLog::~ZLiveJournalLog()
{
    close();
}

void ZLiveJournalLog::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool ZLiveJournalLog::writeAll(const void* data, size_t bytes)
{
    if (killed_ || fd_ < 0)
        return false;
    bool killed = false;
    const bool ok = liveWriteAll(fd_, data, bytes, fault_, &killed);
    killed_ = killed;
    return ok;
}

bool ZLiveJournalLog::create(const QString& path, const Identity& identity, USN firstUsn, const Limits& limits,
                             QString* error)
{
    close();
    path_ = path;
    identity_ = identity;
    limits_ = limits;
    firstUsn_ = nextUsn_ = firstUsn;
    records_.clear();
    return rewrite(error);
}

// The whole journal written anew in one step (ZLiveAtomicFile.h); then the
// file is open for appends.
bool ZLiveJournalLog::rewrite(QString* error)
{
    close();
    if (killed_)
        return false;
    FileHeader h{};
    memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.headerBytes = sizeof h;
    h.rootDevice = identity_.rootDevice;
    h.rootInode = identity_.rootInode;
    h.rootTag = identity_.rootTag;
    h.journalId = identity_.journalId;
    h.firstUsn = firstUsn_;
    h.nextUsn = nextUsn_;
    h.headerCrc = crcOf(&h, offsetof(FileHeader, headerCrc));
    std::vector<BYTE> file(sizeof h);
    memcpy(file.data(), &h, sizeof h);
    for (size_t at = 0; at < records_.size();) {
        const auto* r = reinterpret_cast<const USN_RECORD_V2*>(records_.data() + at);
        const FrameHeader f{r->RecordLength, crcOf(r, r->RecordLength)};
        const BYTE* fb = reinterpret_cast<const BYTE*>(&f);
        file.insert(file.end(), fb, fb + sizeof f);
        file.insert(file.end(), records_.begin() + long(at), records_.begin() + long(at + r->RecordLength));
        at += r->RecordLength;
    }
    bool killed = false;
    const bool replaced = liveReplaceFile(path_, file.data(), file.size(), error, fault_, &killed);
    killed_ = killed;
    if (!replaced)
        return false;
    fd_ = ::open(QFile::encodeName(path_).constData(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0 && error)
        *error = QStringLiteral("%1: %2").arg(path_, QString::fromLocal8Bit(strerror(errno)));
    return fd_ >= 0;
}

bool ZLiveJournalLog::load(const QString& path, ULONGLONG rootDevice, ULONGLONG rootInode, const Limits& limits,
                           QString* reason, DWORD rootTag)
{
    close();
    path_ = path;
    limits_ = limits;
    records_.clear();
    auto refuse = [&](const QString& why) {
        records_.clear();
        if (reason)
            *reason = why;
        return false;
    };
    std::vector<BYTE> bytes;
    // Frames and the header add well under the journal's own size again.
    const ULONGLONG largest = 2 * (limits.maximumSize + limits.allocationDelta) + kLargestSlack;
    if (!readFile(QFile::encodeName(path), bytes, largest))
        return refuse(QStringLiteral("no journal file (%1)").arg(QString::fromLocal8Bit(strerror(errno))));
    FileHeader h;
    if (bytes.size() < sizeof h)
        return refuse(reasonOf("journal file shorter than its header"));
    memcpy(&h, bytes.data(), sizeof h);
    if (memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.headerBytes != sizeof h)
        return refuse(reasonOf("not a journal file"));
    if (h.headerCrc != crcOf(&h, offsetof(FileHeader, headerCrc)))
        return refuse(reasonOf("journal file header damaged"));
    if (h.version != kVersion)
        return refuse(QStringLiteral("journal file of version %1, not %2").arg(h.version).arg(kVersion));
    if (h.rootDevice != rootDevice || h.rootInode != rootInode || h.rootTag != rootTag)
        return refuse(reasonOf("journal file of another tree"));
    if (h.firstUsn < 0 || h.firstUsn % kUsnAlignment || h.nextUsn < h.firstUsn || h.nextUsn % kUsnAlignment)
        return refuse(reasonOf("journal file positions out of range"));

    identity_ = {h.rootDevice, h.rootInode, h.journalId, h.rootTag};
    firstUsn_ = h.firstUsn;
    USN expected = h.firstUsn;   // the frames' USNs only go up from FirstUsn
    size_t at = sizeof h;
    size_t whole = at;   // the end of the last whole frame
    while (at < bytes.size()) {
        FrameHeader f;
        if (bytes.size() - at < sizeof f)
            break;   // torn: the frame's head was not all written
        memcpy(&f, bytes.data() + at, sizeof f);
        const size_t end = at + sizeof f + f.length;
        if (f.length > Ntfs::usnRecordV2Length(kLongestName))
            return refuse(QStringLiteral("journal record at byte %1 has a length no record has").arg(at));
        if (f.length > bytes.size() - at - sizeof f)
            break;   // torn: the record was not all written
        USN_RECORD_V2 r{};
        const bool fits = f.length >= Ntfs::kUsnRecordV2NameOffset;
        if (fits)
            memcpy(&r, bytes.data() + at + sizeof f, Ntfs::kUsnRecordV2NameOffset);
        const bool sound = fits && crcOf(bytes.data() + at + sizeof f, f.length) == f.crc
            && recordChecks(r, f.length, expected);
        if (!sound) {
            if (end == bytes.size())
                break;   // the last frame, written in part over zeros
            return refuse(QStringLiteral("journal record at byte %1 damaged").arg(at));
        }
        records_.insert(records_.end(), bytes.begin() + long(at + sizeof f), bytes.begin() + long(end));
        expected = r.Usn + f.length;
        at = end;
        whole = at;
    }
    nextUsn_ = std::max(h.nextUsn, expected);
    const QByteArray native = QFile::encodeName(path);
    if (whole < bytes.size() && truncate(native.constData(), off_t(whole)) != 0)
        return refuse(QStringLiteral("torn journal record cannot be cut off (%1)")
                          .arg(QString::fromLocal8Bit(strerror(errno))));
    fd_ = ::open(native.constData(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0)
        return refuse(QStringLiteral("journal file cannot be written (%1)").arg(QString::fromLocal8Bit(strerror(errno))));
    trimIfNeeded();
    return true;
}

bool ZLiveJournalLog::append(const USN_RECORD_V2* record)
{
    const DWORD length = record->RecordLength;
    if (fd_ < 0 || !recordChecks(*record, length, nextUsn_))
        return false;
    const FrameHeader f{length, crcOf(record, length)};
    std::vector<BYTE> frame(sizeof f + length);
    memcpy(frame.data(), &f, sizeof f);
    memcpy(frame.data() + sizeof f, record, length);
    if (!writeAll(frame.data(), frame.size())) {
        close();
        return false;
    }
    const BYTE* p = reinterpret_cast<const BYTE*>(record);
    records_.insert(records_.end(), p, p + length);
    nextUsn_ = record->Usn + length;
    trimIfNeeded();
    return fd_ >= 0;
}

bool ZLiveJournalLog::flush()
{
    return fd_ >= 0 && fdatasync(fd_) == 0;
}

void ZLiveJournalLog::trimIfNeeded()
{
    if (ULONGLONG(nextUsn_ - firstUsn_) <= limits_.maximumSize + limits_.allocationDelta)
        return;
    // Keep at least the newest record.
    size_t at = 0;
    USN first = firstUsn_;
    while (at < records_.size()) {
        const auto* r = reinterpret_cast<const USN_RECORD_V2*>(records_.data() + at);
        first = r->Usn;
        if (ULONGLONG(nextUsn_ - first) <= limits_.maximumSize || at + r->RecordLength == records_.size())
            break;
        at += r->RecordLength;
    }
    records_.erase(records_.begin(), records_.begin() + long(at));
    firstUsn_ = records_.empty() ? nextUsn_ : first;
    rewrite(nullptr);
}

} // namespace Platform
