#include "devices/live/ZLiveIdentitySnapshot.h"

#include <QFile>

#include <xxhash.h>
#include <zlib.h>

#include <cstring>

namespace Platform {

namespace {

constexpr char kMagic[8] = {'O', 'r', 'v', 'L', 'i', 'v', 'e', 'I'};
// A name on Linux is at most 255 bytes.
constexpr DWORD kLongestName = 255;
// More than this is not a table this device wrote (record numbers are 32-bit).
constexpr qint64 kLargestFile = qint64(1) << 40;

DWORD crcOf(const void* data, size_t bytes)
{
    return DWORD(crc32(crc32(0L, Z_NULL, 0), static_cast<const Bytef*>(data), uInt(bytes)));
}

} // namespace

bool ZLiveIdentitySnapshot::write(const QString& path, const Table& table, QString* error,
                                  const ZLiveWriteFault& fault)
{
    FileHeader h{};
    std::vector<unsigned char> bytes(sizeof h);
    for (const Entry& e : table.entries) {
        const EntryHead head{e.record,       e.sequence,      e.flags,         e.inode,
                             e.parent,       DWORD(e.name.size()), e.size, e.creationTime,
                             e.lastWriteTime, e.changeTime,    e.attributes,    0};
        const auto* p = reinterpret_cast<const unsigned char*>(&head);
        bytes.insert(bytes.end(), p, p + sizeof head);
        bytes.insert(bytes.end(), e.name.begin(), e.name.end());
    }
    memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.headerBytes = sizeof h;
    h.rootDevice = table.rootDevice;
    h.rootInode = table.rootInode;
    h.journalId = table.journalId;
    h.usn = table.usn;
    h.entryCount = table.entries.size();
    h.bodyBytes = bytes.size() - sizeof h;
    h.bodyDigest = XXH3_64bits(bytes.data() + sizeof h, bytes.size() - sizeof h);
    h.headerCrc = crcOf(&h, offsetof(FileHeader, headerCrc));
    memcpy(bytes.data(), &h, sizeof h);
    return liveReplaceFile(path, bytes.data(), bytes.size(), error, fault);
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
    out.bytes_ = file.readAll();
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
        out.heads_.push_back(sizeof h + at);
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
