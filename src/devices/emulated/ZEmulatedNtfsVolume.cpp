// ZEmulatedNtfsVolume: construction, the record table and inspection. The
// other member groups are defined in ZEmulatedNtfsVolume<Group>.cpp (the
// header says which file beside each group).
#include "devices/emulated/ZEmulatedNtfsVolumeParts.h"
#include "devices/emulated/ZEmulatedRecordEncoder.h"
#include "devices/ZUsnJournalStore.h"
#include "win32/ZClock.h"
#include "win32/ZTimeConstants.h"

#include <QDateTime>

#include <cstring>
#include <functional>

namespace Platform {

using namespace EmulatedNtfsParts;

// ---------------------------------------------------------------------------
// Construction

ZEmulatedNtfsVolume::ZEmulatedNtfsVolume()
    : ZEmulatedNtfsVolume(Options())
{
}

ZEmulatedNtfsVolume::ZEmulatedNtfsVolume(const Options& options)
    : options_(options)
{
    static_assert(sizeof(Link) == 12, "a link is three 32-bit words");
    static_assert(sizeof(Slot) <= 80, "a record's description stays within 80 bytes");
    const Options defaults;
    if (!powerOfTwo(options_.bytesPerSector) || options_.bytesPerSector < Ntfs::kSectorSize)
        options_.bytesPerSector = defaults.bytesPerSector;
    if (!powerOfTwo(options_.bytesPerCluster) || options_.bytesPerCluster < options_.bytesPerSector)
        options_.bytesPerCluster = std::max(defaults.bytesPerCluster, options_.bytesPerSector);
    if (!powerOfTwo(options_.bytesPerRecord) || options_.bytesPerRecord < 1024)
        options_.bytesPerRecord = defaults.bytesPerRecord;
    if (options_.mftCapacityRecords < Ntfs::RecordFirstUser + 1)
        options_.mftCapacityRecords = Ntfs::RecordFirstUser + 1;
    options_.residentDataLimit = std::min(options_.residentDataLimit,
                                          Builder::attributeCapacity(options_.bytesPerRecord) / 2);

    const DWORD bpc = options_.bytesPerCluster;
    mftStartLcn_ = clustersFor(kBootAreaBytes, bpc);
    const ULONGLONG mftClusters = clustersFor(ULONGLONG(options_.mftCapacityRecords) * options_.bytesPerRecord, bpc);
    mirrorLcn_ = mftStartLcn_ + mftClusters;
    nextFreeLcn_ = mirrorLcn_ + clustersFor(ULONGLONG(kMftMirrorRecords) * options_.bytesPerRecord, bpc);
    if (options_.totalClusters < nextFreeLcn_ * 2)
        options_.totalClusters = nextFreeLcn_ * 2;

    journal_ = std::make_unique<ZUsnJournalStore>(options_.firstUsn);
    journalActive_ = options_.journalActive;
    journalId_ = options_.journalId ? options_.journalId : nowFileTime();
    lowestValidUsn_ = journal_->firstUsn();
    journalMaximumSize_ = options_.journalMaximumSize;
    journalAllocationDelta_ = options_.journalAllocationDelta;
    initialiseMetafiles();
}

ZEmulatedNtfsVolume::~ZEmulatedNtfsVolume() = default;

void ZEmulatedNtfsVolume::initialiseMetafiles()
{
    static const char16_t* const kNames[Ntfs::RecordFirstUser] = {
        u"$MFT", u"$MFTMirr", u"$LogFile", u"$Volume", u"$AttrDef", u".", u"$Bitmap", u"$Boot",
        u"$BadClus", u"$Secure", u"$UpCase", u"$Extend", nullptr, nullptr, nullptr, nullptr};
    const ULONGLONG now = nowFileTime();
    const DWORD bpc = options_.bytesPerCluster;
    const DWORD recordSize = options_.bytesPerRecord;
    for (DWORD r = 0; r < Ntfs::RecordFirstUser; ++r) {
        const DWORD got = allocateRecord();
        Slot& s = slots_[got];
        s.kind = KindBase;
        s.flags = FlagMetafile;
        // $MFT has sequence 1, the other metadata files their record number.
        s.sequence = WORD(r == Ntfs::RecordMft ? 1 : r);
        std::fill(std::begin(s.times), std::end(s.times), now);
        s.attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        if (r == Ntfs::RecordRoot || r == Ntfs::RecordExtend) {
            s.flags |= FlagDirectory;
            s.attributes |= FILE_ATTRIBUTE_DIRECTORY;
        }
        if (kNames[r]) {
            Link link = makeLink(Ntfs::RecordRoot, kNames[r], Ntfs::NameSpaceWin32AndDos);
            s.first = link;
            s.flags |= FlagHasLink;
        }
    }
    // Parents are counted once every record exists.
    for (DWORD r = 0; r < Ntfs::RecordFirstUser; ++r) {
        Slot& s = slots_[r];
        if (!(s.flags & FlagHasLink))
            continue;
        indexName(r, s.first);
        if (r != Ntfs::RecordRoot)
            ++slots_[Ntfs::RecordRoot].childCount;
    }
    Slot& mft = slots_[Ntfs::RecordMft];
    mft.dataLcn = mftStartLcn_;
    mft.dataCapacity = capacityOf(mirrorLcn_ - mftStartLcn_);
    mft.dataSize = ULONGLONG(slots_.size()) * recordSize;
    Slot& mirror = slots_[Ntfs::RecordMftMirr];
    mirror.dataLcn = mirrorLcn_;
    mirror.dataSize = ULONGLONG(kMftMirrorRecords) * recordSize;
    mirror.dataCapacity = capacityOf(clustersFor(mirror.dataSize, bpc));
    Slot& boot = slots_[Ntfs::RecordBoot];
    boot.dataSize = kBootAreaBytes < ULONGLONG(bpc) ? bpc : kBootAreaBytes;
    boot.dataCapacity = capacityOf(clustersFor(boot.dataSize, bpc));
    boot.dataLcn = 0;   // lies at cluster 0: encoded specially below
    bootDataAtZero_ = true;
}

// ---------------------------------------------------------------------------
// The record table and clusters (lock held)

// The wall clock is read once per clock (local-time conversion is costly);
// later times follow the clock's tick count from there.
ULONGLONG ZEmulatedNtfsVolume::nowFileTime() const
{
    ZClock& c = Platform::clock();
    if (timeBaseClock_ != &c) {
        timeBaseClock_ = &c;
        timeBaseTickMs_ = c.tickMs();
        timeBaseFileTime_ = fileTimeFromUnixMs(c.now().toMSecsSinceEpoch());
    }
    return timeBaseFileTime_ + (c.tickMs() - timeBaseTickMs_) * kFileTimeTicksPerMs;
}

DWORD ZEmulatedNtfsVolume::allocateRecord()
{
    DWORD r;
    if (!freeRecords_.empty()) {
        std::pop_heap(freeRecords_.begin(), freeRecords_.end(), std::greater<DWORD>());
        r = freeRecords_.back();
        freeRecords_.pop_back();
        const WORD sequence = slots_[r].sequence;
        slots_[r] = Slot();
        slots_[r].sequence = sequence;
    } else {
        if (slots_.size() >= options_.mftCapacityRecords)
            return 0;
        r = DWORD(slots_.size());
        slots_.emplace_back();
        slots_[r].sequence = 1;
        if (inUseBits_.size() * 64 < slots_.size())
            inUseBits_.push_back(0);
        if (!slots_.empty() && slots_[Ntfs::RecordMft].kind != KindFree)
            slots_[Ntfs::RecordMft].dataSize = ULONGLONG(slots_.size()) * options_.bytesPerRecord;
    }
    inUseBits_[r / 64] |= 1ull << (r % 64);
    // Record 0 itself is allocated first: give it a kind so the bitmap and slots agree.
    slots_[r].kind = KindBase;
    return r;
}

void ZEmulatedNtfsVolume::freeRecord(DWORD r)
{
    Slot& s = slots_[r];
    WORD sequence = WORD(s.sequence + 1);
    if (sequence == 0)
        sequence = 1;
    s = Slot();
    s.sequence = sequence;
    s.kind = KindFree;
    openReasons_.erase(r);
    extras_.erase(r);
    inUseBits_[r / 64] &= ~(1ull << (r % 64));
    freeRecords_.push_back(r);
    std::push_heap(freeRecords_.begin(), freeRecords_.end(), std::greater<DWORD>());
}

ULONGLONG ZEmulatedNtfsVolume::allocateClusters(ULONGLONG count)
{
    const ULONGLONG lcn = nextFreeLcn_;
    nextFreeLcn_ += std::max<ULONGLONG>(count, 1);
    if (nextFreeLcn_ > options_.totalClusters)
        options_.totalClusters = nextFreeLcn_;   // a virtual volume: it grows instead of filling up
    return lcn;
}

bool ZEmulatedNtfsVolume::recordInUse(DWORD r) const
{
    return r < slots_.size() && (inUseBits_[r / 64] >> (r % 64) & 1);
}

DWORD ZEmulatedNtfsVolume::nearestInUse(DWORD r) const
{
    if (r >= slots_.size())
        r = DWORD(slots_.size() - 1);
    for (;;) {
        const ULONGLONG word = inUseBits_[r / 64] & (~0ull >> (63 - r % 64));
        if (word)
            return (r / 64) * 64 + DWORD(63 - __builtin_clzll(word));
        if (r < 64)
            return 0;
        r = (r / 64) * 64 - 1;
    }
}

ULONGLONG ZEmulatedNtfsVolume::referenceOf(DWORD r) const
{
    return Ntfs::makeFileReference(r, slots_[r].sequence);
}

bool ZEmulatedNtfsVolume::isBase(DWORD r) const
{
    return r < slots_.size() && slots_[r].kind == KindBase;
}

bool ZEmulatedNtfsVolume::isFolder(DWORD r) const
{
    return isBase(r) && (slots_[r].flags & FlagDirectory) && (slots_[r].flags & FlagHasLink);
}

ZEmulatedNtfsVolume::Extras& ZEmulatedNtfsVolume::extrasOf(DWORD r)
{
    return extras_[r];
}

const ZEmulatedNtfsVolume::Extras* ZEmulatedNtfsVolume::findExtras(DWORD r) const
{
    auto it = extras_.find(r);
    return it == extras_.end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------------------
// Inspection


bool ZEmulatedNtfsVolume::fileInfo(DWORD file, FileInfo& info) const
{
    std::lock_guard<std::mutex> g(lock_);
    if (!isBase(file)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    const Slot& s = slots_[file];
    info = FileInfo();
    info.record = file;
    info.fileReference = referenceOf(file);
    info.directory = s.flags & FlagDirectory;
    info.attributes = s.attributes;
    info.size = s.dataSize;
    info.nonResidentData = s.dataLcn != 0;
    info.times.creationTime = s.times[TimeCreation];
    info.times.lastWriteTime = s.times[TimeWrite];
    info.times.changeTime = s.times[TimeChange];
    info.times.lastAccessTime = s.times[TimeAccess];
    info.usn = s.usn;
    info.openReasons = openReasonsOf(file);
    for (const Link& l : linksOf(file))
        info.links.push_back({parentOf(l), nameOf(l), l.nameSpace});
    if (const Extras* ex = findExtras(file)) {
        info.extensionRecords = ex->extensionRecords;
        info.nonResidentAttributeList = ex->nonResidentList;
    }
    return true;
}

void ZEmulatedNtfsVolume::forEachLink(
    const std::function<void(DWORD record, DWORD parent, const std::u16string& name)>& visit) const
{
    forEachLinkFacts([&](const LinkFacts& f) { visit(f.record, f.parent, f.name); });
}

void ZEmulatedNtfsVolume::forEachLinkFacts(const std::function<void(const LinkFacts&)>& visit) const
{
    std::lock_guard<std::mutex> g(lock_);
    for (DWORD r = Ntfs::RecordFirstUser; r < DWORD(slots_.size()); ++r) {
        const Slot& s = slots_[r];
        if (!isBase(r) || !(s.flags & FlagHasLink))
            continue;
        FileTimes times;
        times.creationTime = s.times[TimeCreation];
        times.lastWriteTime = s.times[TimeWrite];
        times.changeTime = s.times[TimeChange];
        times.lastAccessTime = s.times[TimeAccess];
        for (const Link& l : linksOf(r))
            if (l.nameSpace != Ntfs::NameSpaceDos) {
                const std::u16string name = nameOf(l);
                visit(LinkFacts{r, parentOf(l), name, s.sequence, (s.flags & FlagDirectory) != 0, s.attributes,
                                s.dataSize, times});
            }
    }
}

std::vector<std::pair<DWORD, std::u16string>> ZEmulatedNtfsVolume::children(DWORD folder) const
{
    std::lock_guard<std::mutex> g(lock_);
    return childrenLocked(folder);
}

std::vector<std::pair<DWORD, std::u16string>> ZEmulatedNtfsVolume::childrenLocked(DWORD folder) const
{
    std::vector<std::pair<DWORD, std::u16string>> out;
    if (!isFolder(folder))
        return out;
    for (DWORD r = 0; r < slots_.size(); ++r) {
        if (r == folder || !isBase(r) || !(slots_[r].flags & FlagHasLink))
            continue;
        for (const Link& l : linksOf(r))
            if (l.nameSpace != Ntfs::NameSpaceDos && parentOf(l) == folder)
                out.push_back({r, nameOf(l)});
    }
    return out;
}

ULONGLONG ZEmulatedNtfsVolume::fileReference(DWORD record) const
{
    std::lock_guard<std::mutex> g(lock_);
    return recordInUse(record) ? referenceOf(record) : 0;
}

bool ZEmulatedNtfsVolume::inUse(DWORD record) const
{
    std::lock_guard<std::mutex> g(lock_);
    return recordInUse(record);
}

DWORD ZEmulatedNtfsVolume::recordCount() const
{
    std::lock_guard<std::mutex> g(lock_);
    return DWORD(slots_.size());
}

NTFS_VOLUME_DATA_BUFFER ZEmulatedNtfsVolume::volumeData() const
{
    std::lock_guard<std::mutex> g(lock_);
    return volumeDataLocked();
}

NTFS_VOLUME_DATA_BUFFER ZEmulatedNtfsVolume::volumeDataLocked() const
{
    NTFS_VOLUME_DATA_BUFFER d{};
    const DWORD bpc = options_.bytesPerCluster;
    d.VolumeSerialNumber.QuadPart = LONGLONG(options_.serialNumber);
    d.TotalClusters.QuadPart = LONGLONG(options_.totalClusters);
    d.NumberSectors.QuadPart = LONGLONG(options_.totalClusters * (bpc / options_.bytesPerSector));
    d.FreeClusters.QuadPart = LONGLONG(options_.totalClusters - std::min(nextFreeLcn_, options_.totalClusters));
    d.TotalReserved.QuadPart = 0;
    d.BytesPerSector = options_.bytesPerSector;
    d.BytesPerCluster = bpc;
    d.BytesPerFileRecordSegment = options_.bytesPerRecord;
    d.ClustersPerFileRecordSegment = options_.bytesPerRecord / bpc;
    d.MftValidDataLength.QuadPart = LONGLONG(ULONGLONG(slots_.size()) * options_.bytesPerRecord);
    d.MftStartLcn.QuadPart = LONGLONG(mftStartLcn_);
    d.Mft2StartLcn.QuadPart = LONGLONG(mirrorLcn_);
    d.MftZoneStart.QuadPart = LONGLONG(mftStartLcn_);
    d.MftZoneEnd.QuadPart = LONGLONG(mirrorLcn_);
    return d;
}

ZEmulatedNtfsVolume::JournalState ZEmulatedNtfsVolume::journalState() const
{
    std::lock_guard<std::mutex> g(lock_);
    JournalState j;
    j.active = journalActive_;
    j.deleting = journalDeleting_;
    j.data = journalDataLocked();
    return j;
}

bool ZEmulatedNtfsVolume::encodeRecord(DWORD record, std::vector<BYTE>& out, bool onDiskForm) const
{
    std::lock_guard<std::mutex> g(lock_);
    if (record >= slots_.size())
        return false;
    out.resize(options_.bytesPerRecord);
    ZEmulatedRecordEncoder(*this).encodeInto(record, out.data(), onDiskForm);
    return true;
}

} // namespace Platform
