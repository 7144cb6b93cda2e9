#include "devices/live/ZLiveIdentitySnapshot.h"

#include <QFile>

#include <zlib.h>

#include <cstring>
#include <limits>

#include <sys/mman.h>

namespace Platform {

namespace {

constexpr char kMagic[8] = {'O', 'r', 'v', 'L', 'i', 'v', 'e', 'I'};
// A name on Linux is at most 255 bytes.
constexpr DWORD kLongestName = 255;
// The most a table's bytes can be held as (a QByteArray): some 25 million
// names. A larger one is refused, and the drive rebuilt at each start.
constexpr qint64 kLargestFile = std::numeric_limits<int>::max();
static_assert(kLargestFile <= qint64(std::numeric_limits<DWORD>::max()), "entry offsets are DWORDs");
// The writer's buffer: entries go to the file this many bytes at a time.
constexpr size_t kChunkBytes = size_t(1) << 20;

DWORD crcOf(const void* data, size_t bytes)
{
    return DWORD(crc32(crc32(0L, Z_NULL, 0), static_cast<const Bytef*>(data), uInt(bytes)));
}

// The file's bytes through a private read-only mapping (tens of megabytes
// at a million entries: no copy, and pages shared with the page cache),
// read whole where it cannot be mapped. The state folder is the service's
// own, and the file is only ever replaced by a rename, never cut short in
// place, so the mapping keeps its bytes.
QByteArray mapWhole(QFile& file, std::shared_ptr<const char>& mapping)
{
    const qint64 size = file.size();
    if (size > 0) {
        void* p = ::mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, file.handle(), 0);
        if (p != MAP_FAILED) {
            mapping = std::shared_ptr<const char>(static_cast<const char*>(p), [size](const char* q) {
                ::munmap(const_cast<char*>(q), size_t(size));
            });
            return QByteArray::fromRawData(mapping.get(), int(size));
        }
    }
    return file.readAll();
}

} // namespace

ZLiveIdentitySnapshot::Writer::Writer(const QString& path, const ZLiveWriteFault& fault)
    : file_(path, fault), digest_(XXH3_createState())
{
    chunk_.reserve(kChunkBytes + sizeof(EntryHead) + kLongestName);
    XXH3_64bits_reset(digest_);
    // The header's place, filled in at finish().
    const FileHeader none{};
    file_.append(&none, sizeof none);
}

ZLiveIdentitySnapshot::Writer::~Writer()
{
    XXH3_freeState(digest_);
}

void ZLiveIdentitySnapshot::Writer::add(const Entry& e)
{
    const EntryHead head{e.record,       e.sequence,      e.flags,         e.inode,
                         e.parent,       DWORD(e.name.size()), e.size, e.creationTime,
                         e.lastWriteTime, e.changeTime,    e.attributes,    0};
    const auto* p = reinterpret_cast<const unsigned char*>(&head);
    chunk_.insert(chunk_.end(), p, p + sizeof head);
    chunk_.insert(chunk_.end(), e.name.begin(), e.name.end());
    ++entries_;
    if (chunk_.size() >= kChunkBytes)
        flushChunk();
}

void ZLiveIdentitySnapshot::Writer::flushChunk()
{
    XXH3_64bits_update(digest_, chunk_.data(), chunk_.size());
    bodyBytes_ += chunk_.size();
    file_.append(chunk_.data(), chunk_.size());
    chunk_.clear();
}

bool ZLiveIdentitySnapshot::Writer::finish(ULONGLONG rootDevice, ULONGLONG rootInode, DWORDLONG journalId, USN usn,
                                           QString* error)
{
    flushChunk();
    FileHeader h{};
    memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.headerBytes = sizeof h;
    h.rootDevice = rootDevice;
    h.rootInode = rootInode;
    h.journalId = journalId;
    h.usn = usn;
    h.entryCount = entries_;
    h.bodyBytes = bodyBytes_;
    h.bodyDigest = XXH3_64bits_digest(digest_);
    h.headerCrc = crcOf(&h, offsetof(FileHeader, headerCrc));
    file_.writeAt(0, &h, sizeof h);
    return file_.commit(error);
}

bool ZLiveIdentitySnapshot::write(const QString& path, const Table& table, QString* error,
                                  const ZLiveWriteFault& fault)
{
    Writer w(path, fault);
    for (const Entry& e : table.entries)
        w.add(e);
    return w.finish(table.rootDevice, table.rootInode, table.journalId, table.usn, error);
}

bool ZLiveIdentitySnapshot::read(const QString& path, ULONGLONG rootDevice, ULONGLONG rootInode, Image& out,
                                 QString* reason)
{
    out = Image();
    auto refuse = [&](const QString& why) {
        out = Image();
        if (reason)
            *reason = why;
        return false;
    };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("no identity table (%1)").arg(file.errorString()));
    if (file.size() > kLargestFile)
        return refuse(QStringLiteral("identity table too large"));
    out.bytes_ = mapWhole(file, out.mapping_);
    const QByteArray& bytes = out.bytes_;
    FileHeader h;
    if (size_t(bytes.size()) < sizeof h)
        return refuse(QStringLiteral("identity table shorter than its header"));
    memcpy(&h, bytes.constData(), sizeof h);
    if (memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.headerBytes != sizeof h)
        return refuse(QStringLiteral("not an identity table"));
    if (h.headerCrc != crcOf(&h, offsetof(FileHeader, headerCrc)))
        return refuse(QStringLiteral("identity table header damaged"));
    if (h.version != kVersion)
        return refuse(QStringLiteral("identity table of version %1, not %2").arg(h.version).arg(kVersion));
    if (h.rootDevice != rootDevice || h.rootInode != rootInode)
        return refuse(QStringLiteral("identity table of another tree"));
    const size_t body = size_t(bytes.size()) - sizeof h;
    if (h.bodyBytes != body || h.entryCount > body / sizeof(EntryHead))
        return refuse(QStringLiteral("identity table counts do not fit its size"));
    const char* p = bytes.constData() + sizeof h;
    if (XXH3_64bits(p, body) != h.bodyDigest)
        return refuse(QStringLiteral("identity table damaged"));
    out.rootDevice = h.rootDevice;
    out.rootInode = h.rootInode;
    out.journalId = h.journalId;
    out.usn = h.usn;
    out.heads_.reserve(size_t(h.entryCount));
    size_t at = 0;
    for (ULONGLONG i = 0; i < h.entryCount; ++i) {
        EntryHead head;
        if (body - at < sizeof head)
            return refuse(QStringLiteral("identity table entry %1 cut short").arg(i));
        memcpy(&head, p + at, sizeof head);
        out.heads_.push_back(DWORD(sizeof h + at));
        at += sizeof head;
        if (head.nameBytes == 0 || head.nameBytes > kLongestName || head.nameBytes > body - at)
            return refuse(QStringLiteral("identity table entry %1 has a name no file has").arg(i));
        if (memchr(p + at, '/', head.nameBytes) || memchr(p + at, '\0', head.nameBytes))
            return refuse(QStringLiteral("identity table entry %1 has a name no file has").arg(i));
        at += head.nameBytes;
    }
    if (at != body)
        return refuse(QStringLiteral("identity table has bytes after its entries"));
    return true;
}

void ZLiveIdentitySnapshot::Image::dropPages() const
{
    if (mapping_)
        ::madvise(const_cast<char*>(mapping_.get()), size_t(bytes_.size()), MADV_DONTNEED);
}

ZLiveIdentitySnapshot::EntryHead ZLiveIdentitySnapshot::Image::head(size_t i) const
{
    EntryHead h;
    memcpy(&h, bytes_.constData() + heads_[i], sizeof h);
    return h;
}

std::string_view ZLiveIdentitySnapshot::Image::name(size_t i) const
{
    const size_t at = heads_[i];
    DWORD length;
    memcpy(&length, bytes_.constData() + at + offsetof(EntryHead, nameBytes), sizeof length);
    return std::string_view(bytes_.constData() + at + sizeof(EntryHead), length);
}

ZLiveIdentitySnapshot::Entry ZLiveIdentitySnapshot::Image::entry(size_t i) const
{
    const EntryHead h = head(i);
    const std::string_view n = name(i);
    return Entry{h.record, h.sequence,     h.flags, h.inode,         h.parent,
                 std::string(n), h.attributes, h.size,  h.creationTime, h.lastWriteTime, h.changeTime};
}

} // namespace Platform
