#include "devices/emulated/ZEmulatedNtfsVolume.h"
#include "win32/ZUsnRequest.h"

#include "win32/ZClock.h"
#include "ntfs/ZNtfsRecordBuilder.h"
#include "devices/ZUsnJournalStore.h"
#include "ntfs/ZUsnRecordWriter.h"

#include <QChar>
#include <QDateTime>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

namespace Platform {

namespace {

using Builder = ZNtfsRecordBuilder;

constexpr ULONGLONG kFileTimeUnixEpoch = 116444736000000000ull;  // 1601 -> 1970 in 100 ns
constexpr ULONGLONG kFileTimeTicksPerMs = 10000;
constexpr DWORD kMaxNameLength = 255;
constexpr DWORD kMaxLinks = 1024;                   // NTFS hard-link limit
constexpr DWORD kDefaultSecurityId = 0x100;
constexpr DWORD kDupFileNameIndexPresent = 0x10000000; // directory bit of $FILE_NAME
constexpr BYTE kResidentIndexed = 0x01;              // $FILE_NAME is indexed
constexpr ULONGLONG kBootAreaBytes = 0x10000;        // boot sector and spare: the MFT follows
constexpr DWORD kMftMirrorRecords = 4;
constexpr DWORD kIndexBlockSize = 4096;
constexpr DWORD kCollationFileName = 1;
constexpr WORD kIndexEntryLast = 0x2;
constexpr USN kMaxUsn = 0x7FFFFFFFFFFF0000ll;
constexpr ULONGLONG kDeletionOnDemand = ~0ull;
constexpr BYTE kBootJump[3] = {0xEB, 0x52, 0x90};
constexpr BYTE kMediaFixedDisk = 0xF8;
constexpr WORD kBootEndMarker = 0xAA55;

// GetVolumeInformationW flags of an NTFS volume.
constexpr DWORD kNtfsVolumeFlags = Ntfs::kNtfsVolumeFlags;

enum SlotKind : BYTE { KindFree = 0, KindBase = 1, KindExtension = 2 };
enum SlotFlag : BYTE { FlagDirectory = 0x1, FlagHasLink = 0x2, FlagMetafile = 0x4 };
enum TimeIndex { TimeCreation = 0, TimeWrite = 1, TimeChange = 2, TimeAccess = 3, TimeCount = 4 };

const char16_t kIndexName[] = u"$I30";
constexpr BYTE kIndexNameLength = 4;

char16_t foldUnit(char16_t c)
{
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? char16_t(c - (u'a' - u'A')) : c;
    return char16_t(QChar(c).toUpper().unicode());
}

bool equalFolded(const char16_t* a, size_t an, const char16_t* b, size_t bn)
{
    if (an != bn)
        return false;
    for (size_t i = 0; i < an; ++i)
        if (foldUnit(a[i]) != foldUnit(b[i]))
            return false;
    return true;
}

ULONGLONG nameKey(DWORD parent, const char16_t* name, size_t length)
{
    ULONGLONG h = 1469598103934665603ull;
    auto mix = [&](ULONGLONG v) {
        h ^= v;
        h *= 1099511628211ull;
    };
    mix(parent);
    for (size_t i = 0; i < length; ++i)
        mix(foldUnit(name[i]));
    return h;
}

bool isShortNameChar(char16_t c)
{
    if ((c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9'))
        return true;
    return std::u16string_view(u"!#$%&'()-@^_`{}~").find(c) != std::u16string_view::npos;
}

bool isWin32NameChar(char16_t c)
{
    switch (c) {
    case u'\\': case u'/': case u':': case u'*': case u'?': case u'"': case u'<': case u'>': case u'|':
        return false;
    default:
        return c >= 0x20;
    }
}

// A valid upper-case 8.3 name: it serves as Win32 and DOS name at once.
bool isShortName(const std::u16string& name)
{
    const size_t dot = name.find(u'.');
    const size_t baseLen = dot == std::u16string::npos ? name.size() : dot;
    if (baseLen == 0 || baseLen > 8)
        return false;
    if (dot != std::u16string::npos) {
        const size_t extLen = name.size() - dot - 1;
        if (extLen == 0 || extLen > 3 || name.find(u'.', dot + 1) != std::u16string::npos)
            return false;
    }
    for (size_t i = 0; i < name.size(); ++i)
        if (i != dot && !isShortNameChar(name[i]))
            return false;
    return true;
}

bool isWin32Name(const std::u16string& name)
{
    if (name.back() == u' ' || name.back() == u'.')
        return false;
    return std::all_of(name.begin(), name.end(), isWin32NameChar);
}

bool validName(const std::u16string& name)
{
    if (name.empty() || name.size() > kMaxNameLength || name == u"." || name == u"..")
        return false;
    return std::none_of(name.begin(), name.end(), [](char16_t c) { return c == 0 || c == u'/'; });
}

ULONGLONG clustersFor(ULONGLONG bytes, DWORD bytesPerCluster)
{
    return (bytes + bytesPerCluster - 1) / bytesPerCluster;
}

// A reservation as a file's description keeps it: never more than was
// reserved, so a larger one counts as too small and is made anew.
DWORD capacityOf(ULONGLONG clusters)
{
    return DWORD(std::min<ULONGLONG>(clusters, std::numeric_limits<DWORD>::max()));
}

bool powerOfTwo(DWORD v)
{
    return v && !(v & (v - 1));
}

signed char log2Code(DWORD bytes)
{
    signed char n = 0;
    while ((1u << n) < bytes)
        ++n;
    return static_cast<signed char>(-n);
}

} // namespace

// The parent is kept by record number: a folder that holds names cannot be
// freed, so its sequence number is the one it had when the name was made.
struct ZEmulatedNtfsVolume::Link {
    DWORD parent = 0;
    DWORD nameOffset = 0;                // in names_
    BYTE nameLength = 0;
    BYTE nameSpace = 0;
    bool narrowName = false;             // stored a byte a unit (ZNameArena)

    ZNameArena::Name stored() const { return ZNameArena::Name{nameOffset, narrowName}; }
};

// One MFT record's description. Reasons of open files are kept aside
// (openReasons_): few files are open at a time.
struct ZEmulatedNtfsVolume::Slot {
    ULONGLONG times[TimeCount] = {};
    ULONGLONG dataSize = 0;
    ULONGLONG dataLcn = 0;               // 0: resident
    USN usn = 0;
    Link first;                          // with FlagHasLink
    DWORD attributes = 0;
    union {                              // a record is one of these (or none)
        DWORD baseRecord = 0;            // extension records
        DWORD childCount;                // folders: names they hold
        DWORD dataCapacity;              // files: clusters reserved at dataLcn (capacityOf)
    };
    WORD sequence = 0;
    BYTE kind = KindFree;
    BYTE flags = 0;
};

struct ZEmulatedNtfsVolume::Stream {
    std::u16string name;
    ULONGLONG size = 0;
    ULONGLONG lcn = 0;                   // 0: resident
    ULONGLONG capacity = 0;
};

struct ZEmulatedNtfsVolume::Extras {
    std::vector<Link> moreLinks;         // links after the first
    std::vector<Stream> streams;         // named $DATA, sorted by name
    std::vector<DWORD> extensionRecords;
    AttributeListForm listForm = AttributeListForm::Automatic;
    DWORD forcedExtensions = 1;
    DWORD dataRuns = 1;
    DWORD dataExtents = 1;
    DWORD listRuns = 1;
    bool nonResidentList = false;
    ULONGLONG listLcn = 0;
    ULONGLONG listCapacity = 0;
    ULONGLONG listClusters = 0;
};

struct ZEmulatedNtfsVolume::Fault {
    DWORD error = 0;
    int times = 1;
    int after = 0;
};

struct ZEmulatedNtfsVolume::Blob {
    DWORD offset = 0;                    // in Layout::bytes
    DWORD length = 0;
    DWORD type = 0;
    ULONGLONG lowestVcn = 0;             // extents after the first of a non-resident attribute
};

struct ZEmulatedNtfsVolume::Layout {
    std::vector<Blob> blobs;             // $STANDARD_INFORMATION first, then by type
    std::vector<BYTE> bytes;
    std::vector<DWORD> home;             // per blob: 0 base, k extension record k-1
    std::vector<WORD> instance;          // per blob, in its record
    bool list = false;
    std::vector<BYTE> listBytes;         // the $ATTRIBUTE_LIST value
};

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
// Records, names, clusters (lock held)

// The wall clock is read once per clock (local-time conversion is costly);
// later times follow the clock's tick count from there.
ULONGLONG ZEmulatedNtfsVolume::nowFileTime() const
{
    ZClock& c = Platform::clock();
    if (timeBaseClock_ != &c) {
        timeBaseClock_ = &c;
        timeBaseTickMs_ = c.tickMs();
        timeBaseFileTime_ = ULONGLONG(c.now().toMSecsSinceEpoch()) * kFileTimeTicksPerMs + kFileTimeUnixEpoch;
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

std::vector<ZEmulatedNtfsVolume::Link> ZEmulatedNtfsVolume::linksOf(DWORD r) const
{
    std::vector<Link> links;
    const Slot& s = slots_[r];
    if (s.flags & FlagHasLink)
        links.push_back(s.first);
    if (const Extras* ex = findExtras(r))
        links.insert(links.end(), ex->moreLinks.begin(), ex->moreLinks.end());
    return links;
}

template <typename Visit>
bool ZEmulatedNtfsVolume::visitLinks(DWORD r, Visit&& visit) const
{
    const Slot& s = slots_[r];
    if ((s.flags & FlagHasLink) && visit(s.first))
        return true;
    if (const Extras* ex = findExtras(r))
        for (const Link& l : ex->moreLinks)
            if (visit(l))
                return true;
    return false;
}

ZEmulatedNtfsVolume::Link ZEmulatedNtfsVolume::linkAt(DWORD r, size_t i) const
{
    const Slot& s = slots_[r];
    if (s.flags & FlagHasLink) {
        if (i == 0)
            return s.first;
        --i;
    }
    const Extras* ex = findExtras(r);
    return ex && i < ex->moreLinks.size() ? ex->moreLinks[i] : Link();
}

void ZEmulatedNtfsVolume::storeLinks(DWORD r, const std::vector<Link>& links)
{
    Slot& s = slots_[r];
    if (links.empty()) {
        s.flags &= BYTE(~FlagHasLink);
        s.first = Link();
    } else {
        s.flags |= FlagHasLink;
        s.first = links.front();
    }
    if (links.size() > 1)
        extrasOf(r).moreLinks.assign(links.begin() + 1, links.end());
    else if (auto it = extras_.find(r); it != extras_.end())
        it->second.moreLinks.clear();
}

ZEmulatedNtfsVolume::Link ZEmulatedNtfsVolume::makeLink(DWORD parent, const std::u16string& name, BYTE nameSpace)
{
    Link link;
    link.parent = parent;
    link.nameLength = BYTE(std::min<size_t>(name.size(), kMaxNameLength));
    link.nameSpace = nameSpace;
    const ZNameArena::Name stored = names_.append(name.data(), link.nameLength);
    link.nameOffset = stored.offset;
    link.narrowName = stored.narrow;
    return link;
}

std::u16string ZEmulatedNtfsVolume::nameOf(const Link& link) const
{
    char16_t scratch[ZNameArena::kMaxUnits];
    const char16_t* n = unitsOf(link, scratch);
    return std::u16string(n, n + link.nameLength);
}

const char16_t* ZEmulatedNtfsVolume::unitsOf(const Link& link, char16_t* scratch) const
{
    return names_.units(link.stored(), link.nameLength, scratch);
}

DWORD ZEmulatedNtfsVolume::parentOf(const Link& link)
{
    return link.parent;
}

ULONGLONG ZEmulatedNtfsVolume::parentReferenceOf(const Link& link) const
{
    return link.parent < slots_.size() ? referenceOf(link.parent) : link.parent;
}

int ZEmulatedNtfsVolume::findLink(const std::vector<Link>& links, DWORD parent, const std::u16string& name) const
{
    char16_t scratch[ZNameArena::kMaxUnits];
    for (size_t i = 0; i < links.size(); ++i) {
        const Link& l = links[i];
        if (l.nameSpace != Ntfs::NameSpaceDos && parentOf(l) == parent && l.nameLength == name.size()
            && std::equal(name.begin(), name.end(), unitsOf(l, scratch)))
            return int(i);
    }
    return -1;
}

int ZEmulatedNtfsVolume::primaryLink(DWORD r) const
{
    int i = 0;
    int found = -1;
    visitLinks(r, [&](const Link& l) {
        if (l.nameSpace != Ntfs::NameSpaceDos) {
            found = i;
            return true;
        }
        ++i;
        return false;
    });
    return found >= 0 ? found : (i == 0 ? -1 : 0);
}

bool ZEmulatedNtfsVolume::nameTaken(DWORD parent, const std::u16string& name, BYTE nameSpace, DWORD except) const
{
    char16_t scratch[ZNameArena::kMaxUnits];
    return nameIndex_.visit(nameKey(parent, name.data(), name.size()), [&](DWORD record) {
        if (record == except)
            return false;
        return visitLinks(record, [&](const Link& l) {
            if (parentOf(l) != parent)
                return false;
            const char16_t* n = unitsOf(l, scratch);
            if (l.nameLength == name.size() && std::equal(n, n + l.nameLength, name.begin()))
                return true;
            return l.nameSpace != Ntfs::NameSpacePosix && nameSpace != Ntfs::NameSpacePosix
                && equalFolded(n, l.nameLength, name.data(), name.size());
        });
    });
}

void ZEmulatedNtfsVolume::indexName(DWORD r, const Link& link)
{
    char16_t scratch[ZNameArena::kMaxUnits];
    nameIndex_.insert(nameKey(parentOf(link), unitsOf(link, scratch), link.nameLength), r);
}

void ZEmulatedNtfsVolume::unindexName(DWORD r, const Link& link)
{
    char16_t scratch[ZNameArena::kMaxUnits];
    nameIndex_.erase(nameKey(parentOf(link), unitsOf(link, scratch), link.nameLength), r);
}

std::u16string ZEmulatedNtfsVolume::generateDosName(DWORD parent, const std::u16string& name) const
{
    const size_t dot = name.rfind(u'.');
    auto clean = [](const std::u16string& part, size_t max) {
        std::u16string out;
        for (char16_t c : part) {
            const char16_t u = foldUnit(c);
            if (isShortNameChar(u) && out.size() < max)
                out.push_back(u);
        }
        return out;
    };
    std::u16string base = clean(dot == std::u16string::npos || dot == 0 ? name : name.substr(0, dot), 8);
    const std::u16string ext = dot == std::u16string::npos || dot == 0 ? std::u16string() : clean(name.substr(dot + 1), 3);
    if (base.empty())
        base = u"_";
    for (DWORD n = 1; n < 1000000; ++n) {
        const std::string digits = std::to_string(n);
        const std::u16string tail = u"~" + std::u16string(digits.begin(), digits.end());
        std::u16string candidate = base.substr(0, 8 - std::min<size_t>(tail.size(), 7)) + tail;
        if (!ext.empty())
            candidate += u"." + ext;
        if (!nameTaken(parent, candidate, Ntfs::NameSpaceDos, 0))
            return candidate;
    }
    return std::u16string();
}

bool ZEmulatedNtfsVolume::chooseNames(DWORD parent, const std::u16string& name, NameForm form,
                                      const std::u16string& dosName, DWORD except, std::vector<Link>& out)
{
    if (!validName(name) || (!dosName.empty() && (!isShortName(dosName) || dosName == name))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    BYTE ns;
    bool addDos = false;
    if (!dosName.empty()) {
        ns = Ntfs::NameSpaceWin32;
        addDos = true;
    } else {
        switch (form) {
        case NameForm::Posix: ns = Ntfs::NameSpacePosix; break;
        case NameForm::Win32: ns = Ntfs::NameSpaceWin32; break;
        case NameForm::Win32AndDos: ns = Ntfs::NameSpaceWin32AndDos; break;
        case NameForm::Automatic:
        default:
            if (isShortName(name)) {
                ns = Ntfs::NameSpaceWin32AndDos;
            } else if (isWin32Name(name)) {
                ns = Ntfs::NameSpaceWin32;
                addDos = options_.shortNames;
            } else {
                ns = Ntfs::NameSpacePosix;
            }
            break;
        }
    }
    if (nameTaken(parent, name, ns, except)
        || (!dosName.empty() && nameTaken(parent, dosName, Ntfs::NameSpaceDos, except))) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return false;
    }
    out.push_back(makeLink(parent, name, ns));
    if (addDos) {
        const std::u16string dos = dosName.empty() ? generateDosName(parent, name) : dosName;
        if (!dos.empty())
            out.push_back(makeLink(parent, dos, Ntfs::NameSpaceDos));
    }
    return true;
}

// The link at index i and the DOS name that goes with it (a Win32 name's
// DOS partner in the same folder) leave the list; they are unindexed.
void ZEmulatedNtfsVolume::dropLink(DWORD r, std::vector<Link>& links, size_t i)
{
    const Link gone = links[i];
    unindexName(r, gone);
    links.erase(links.begin() + ptrdiff_t(i));
    if (gone.nameSpace == Ntfs::NameSpaceWin32) {
        for (size_t k = 0; k < links.size(); ++k) {
            if (links[k].nameSpace == Ntfs::NameSpaceDos && links[k].parent == gone.parent) {
                unindexName(r, links[k]);
                links.erase(links.begin() + ptrdiff_t(k));
                break;
            }
        }
    }
    const DWORD parent = parentOf(gone);
    if (parent < slots_.size() && (slots_[parent].flags & FlagDirectory) && slots_[parent].childCount)
        --slots_[parent].childCount;
}

void ZEmulatedNtfsVolume::addLinks(DWORD r, std::vector<Link>& links, size_t at, const std::vector<Link>& added)
{
    links.insert(links.begin() + ptrdiff_t(std::min(at, links.size())), added.begin(), added.end());
    for (const Link& l : added)
        indexName(r, l);
    // Only a folder counts names (the count shares its place with a file's data capacity).
    const DWORD parent = added.empty() ? 0 : parentOf(added.front());
    if (!added.empty() && parent < slots_.size() && (slots_[parent].flags & FlagDirectory))
        ++slots_[parent].childCount;
}

// ---------------------------------------------------------------------------
// Placement of attributes (lock held)

void ZEmulatedNtfsVolume::ensureClusters(ULONGLONG& lcn, ULONGLONG& capacity, ULONGLONG clusters, DWORD runs)
{
    const ULONGLONG span = Builder::spanOf(clusters, runs);
    if (lcn != 0 && span <= capacity)
        return;
    // Grow by doubling so a file written in small pieces does not move each time.
    capacity = std::max<ULONGLONG>({span, capacity * 2, 1});
    lcn = allocateClusters(capacity);
}

void ZEmulatedNtfsVolume::buildAttributes(DWORD r, Layout& L) const
{
    const Slot& s = slots_[r];
    const Extras* ex = findExtras(r);
    const DWORD bpc = options_.bytesPerCluster;
    const bool folder = s.flags & FlagDirectory;
    L.blobs.clear();
    L.bytes.clear();
    auto add = [&](size_t at, DWORD type) {
        Blob b;
        b.offset = DWORD(at);
        b.length = DWORD(L.bytes.size() - at);
        b.type = type;
        L.blobs.push_back(b);
    };

    Ntfs::StandardInformation si{};
    si.creationTime = s.times[TimeCreation];
    si.lastWriteTime = s.times[TimeWrite];
    si.changeTime = s.times[TimeChange];
    si.lastAccessTime = s.times[TimeAccess];
    si.fileAttributes = s.attributes & ~DWORD(FILE_ATTRIBUTE_DIRECTORY);
    si.securityId = kDefaultSecurityId;
    si.usn = ULONGLONG(s.usn);
    add(Builder::appendResident(L.bytes, Ntfs::AttrStandardInformation, nullptr, 0, &si, sizeof si),
        Ntfs::AttrStandardInformation);

    const ULONGLONG dataClusters = s.dataLcn ? clustersFor(s.dataSize, bpc) : 0;
    const ULONGLONG allocated = s.dataLcn ? dataClusters * bpc : Builder::align8(DWORD(std::min<ULONGLONG>(s.dataSize, 0xFFFFFFF0u)));
    BYTE value[Ntfs::kFileNameHeaderSize + kMaxNameLength * sizeof(WCHAR)];
    visitLinks(r, [&](const Link& l) {
        Ntfs::FileNameAttribute fn{};
        fn.parentDirectory = parentReferenceOf(l);
        fn.creationTime = s.times[TimeCreation];
        fn.lastWriteTime = s.times[TimeWrite];
        fn.changeTime = s.times[TimeChange];
        fn.lastAccessTime = s.times[TimeAccess];
        fn.allocatedSize = folder ? 0 : allocated;
        fn.dataSize = folder ? 0 : s.dataSize;
        fn.fileAttributes = (s.attributes & ~DWORD(FILE_ATTRIBUTE_DIRECTORY)) | (folder ? kDupFileNameIndexPresent : 0);
        fn.nameLength = l.nameLength;
        fn.nameSpace = l.nameSpace;
        std::memcpy(value, &fn, Ntfs::kFileNameHeaderSize);
        char16_t scratch[ZNameArena::kMaxUnits];
        std::memcpy(value + Ntfs::kFileNameHeaderSize, unitsOf(l, scratch), l.nameLength * sizeof(WCHAR));
        add(Builder::appendResident(L.bytes, Ntfs::AttrFileName, nullptr, 0, value,
                                    Ntfs::kFileNameHeaderSize + l.nameLength * sizeof(WCHAR), kResidentIndexed),
            Ntfs::AttrFileName);
        return false;
    });

    auto addData = [&](const WCHAR* name, BYTE nameLength, ULONGLONG size, ULONGLONG lcn, DWORD runs, bool bootArea,
                       DWORD extents) {
        if (lcn || bootArea) {
            const ULONGLONG clusters = clustersFor(size, bpc);
            const std::vector<Builder::Run> pieces = Builder::splitRuns(lcn, clusters, std::max(runs, extents));
            // The runs shared out over the extents, in order.
            const size_t count = std::max<size_t>(1, std::min<size_t>(extents, pieces.size()));
            ULONGLONG vcn = 0;
            for (size_t e = 0, first = 0; e < count; ++e) {
                const size_t last = (e + 1) * pieces.size() / count;
                std::vector<Builder::Run> share;
                if (count > 1)
                    share.assign(pieces.begin() + ptrdiff_t(first), pieces.begin() + ptrdiff_t(last));
                const std::vector<Builder::Run>& part = count > 1 ? share : pieces;
                add(Builder::appendNonResident(L.bytes, Ntfs::AttrData, name, nameLength, part, size, bpc, vcn, clusters),
                    Ntfs::AttrData);
                L.blobs.back().lowestVcn = vcn;
                for (const Builder::Run& run : part)
                    vcn += run.length;
                first = last;
            }
        } else {
            add(Builder::appendResident(L.bytes, Ntfs::AttrData, name, nameLength, nullptr, DWORD(size)), Ntfs::AttrData);
        }
    };
    if (!folder)
        addData(nullptr, 0, s.dataSize, s.dataLcn, ex ? ex->dataRuns : 1, r == Ntfs::RecordBoot && bootDataAtZero_,
                ex ? ex->dataExtents : 1);
    if (ex)
        for (const Stream& st : ex->streams)
            addData(st.name.data(), BYTE(st.name.size()), st.size, st.lcn, 1, false, 1);

    if (folder) {
        BYTE root[sizeof(Ntfs::IndexRootHeader) + sizeof(Ntfs::IndexEntryHeader)] = {};
        Ntfs::IndexRootHeader h{};
        h.indexedAttributeType = Ntfs::AttrFileName;
        h.collationRule = kCollationFileName;
        h.indexBlockSize = kIndexBlockSize;
        h.clustersPerIndexBlock = BYTE(bpc <= kIndexBlockSize ? kIndexBlockSize / bpc : BYTE(log2Code(kIndexBlockSize)));
        h.entriesOffset = sizeof(Ntfs::IndexRootHeader) - Ntfs::kIndexRootNodeHeaderOffset;
        h.indexLength = h.entriesOffset + sizeof(Ntfs::IndexEntryHeader);
        h.allocatedSize = h.indexLength;
        Ntfs::IndexEntryHeader last{};
        last.length = sizeof(Ntfs::IndexEntryHeader);
        last.flags = kIndexEntryLast;
        std::memcpy(root, &h, sizeof h);
        std::memcpy(root + sizeof h, &last, sizeof last);
        add(Builder::appendResident(L.bytes, Ntfs::AttrIndexRoot, kIndexName, kIndexNameLength, root, sizeof root),
            Ntfs::AttrIndexRoot);
    }
}

// An upper bound of the bytes buildAttributes gives a record (mapping pairs
// counted at their largest), without building them.
DWORD ZEmulatedNtfsVolume::attributeBytesBound(DWORD r) const
{
    constexpr DWORD kMaxPairBytes = 1 + 8 + 8;
    const Slot& s = slots_[r];
    const Extras* ex = findExtras(r);
    auto data = [&](DWORD nameLength, ULONGLONG size, ULONGLONG lcn, DWORD runs) -> ULONGLONG {
        if (lcn || (r == Ntfs::RecordBoot && bootDataAtZero_))
            return Builder::align8(Ntfs::kNonResidentHeaderSize + nameLength * sizeof(WCHAR)) + runs * kMaxPairBytes + 8;
        return Builder::align8(Ntfs::kResidentHeaderSize + nameLength * sizeof(WCHAR)) + size + 8;
    };
    ULONGLONG sum = Builder::align8(Ntfs::kResidentHeaderSize + sizeof(Ntfs::StandardInformation));
    visitLinks(r, [&](const Link& l) {
        sum += Builder::align8(Ntfs::kResidentHeaderSize + Ntfs::kFileNameHeaderSize + l.nameLength * sizeof(WCHAR));
        return false;
    });
    if (s.flags & FlagDirectory)
        sum += Builder::align8(Ntfs::kResidentHeaderSize + kIndexNameLength * sizeof(WCHAR))
            + sizeof(Ntfs::IndexRootHeader) + sizeof(Ntfs::IndexEntryHeader);
    else
        sum += data(0, s.dataSize, s.dataLcn, ex ? std::max(ex->dataRuns, ex->dataExtents) : 1)
            * (ex ? ex->dataExtents : 1);
    if (ex)
        for (const Stream& st : ex->streams)
            sum += data(DWORD(st.name.size()), st.size, st.lcn, 1);
    return DWORD(std::min<ULONGLONG>(sum, 0xFFFFFFFFu));
}

// Gives every attribute after $STANDARD_INFORMATION a home among n
// extension records. spread: share them out evenly (a forced list);
// otherwise fill each record before the next. False when they do not fit.
bool ZEmulatedNtfsVolume::assignHomes(Layout& L, DWORD n, bool spread) const
{
    const DWORD capacity = Builder::attributeCapacity(options_.bytesPerRecord);
    const size_t m = L.blobs.size() - 1;
    const size_t quota = spread ? (m + n - 1) / std::max<DWORD>(n, 1) : m;
    L.home.assign(L.blobs.size(), 0);
    DWORD home = 1;
    DWORD used = 0;
    size_t count = 0;
    for (size_t i = 1; i < L.blobs.size(); ++i) {
        const DWORD len = L.blobs[i].length;
        if (len > capacity)
            return false;
        // Each later extent of an attribute opens a record of its own.
        const bool newExtent = L.blobs[i].lowestVcn > 0 && count > 0;
        while (count >= quota || used + len > capacity || (newExtent && home == L.home[i - 1])) {
            ++home;
            used = 0;
            count = 0;
            if (home > n)
                return false;
        }
        L.home[i] = home;
        used += len;
        ++count;
    }
    return true;
}

DWORD ZEmulatedNtfsVolume::listEntrySize(const Layout& L, size_t i) const
{
    const BYTE nameLength = L.bytes[L.blobs[i].offset + offsetof(Ntfs::AttributeHeader, nameLength)];
    return Builder::align8(Ntfs::kAttributeListEntryHeaderSize + nameLength * sizeof(WCHAR));
}

bool ZEmulatedNtfsVolume::planLayout(DWORD r, Layout& L) const
{
    buildAttributes(r, L);
    const Extras* ex = findExtras(r);
    L.list = ex && !ex->extensionRecords.empty();
    L.instance.assign(L.blobs.size(), 0);
    if (!L.list) {
        L.home.assign(L.blobs.size(), 0);
        for (size_t i = 0; i < L.blobs.size(); ++i)
            L.instance[i] = WORD(i);
        return true;
    }
    const bool extents = !(slots_[r].flags & FlagDirectory) && ex->dataExtents > 1 && slots_[r].dataSize > 0;
    const bool ok = assignHomes(L, DWORD(ex->extensionRecords.size()),
                                ex->listForm != AttributeListForm::Automatic || extents);
    std::vector<WORD> next(ex->extensionRecords.size() + 1, 0);
    next[0] = 2;                         // $STANDARD_INFORMATION 0, $ATTRIBUTE_LIST 1
    for (size_t i = 1; i < L.blobs.size(); ++i)
        L.instance[i] = next[L.home[i]]++;

    L.listBytes.clear();
    for (size_t i = 0; i < L.blobs.size(); ++i) {
        const BYTE* attr = L.bytes.data() + L.blobs[i].offset;
        Ntfs::AttributeHeader h;
        std::memcpy(&h, attr, Ntfs::kResidentHeaderSize);
        const DWORD size = listEntrySize(L, i);
        const size_t at = L.listBytes.size();
        L.listBytes.resize(at + size, 0);
        Ntfs::AttributeListEntry e{};
        e.type = h.type;
        e.length = WORD(size);
        e.nameLength = h.nameLength;
        e.nameOffset = Ntfs::kAttributeListEntryHeaderSize;
        e.lowestVcn = L.blobs[i].lowestVcn;
        const DWORD holder = L.home[i] == 0 ? r : ex->extensionRecords[L.home[i] - 1];
        e.segmentReference = referenceOf(holder);
        e.instance = L.instance[i];
        std::memcpy(L.listBytes.data() + at, &e, Ntfs::kAttributeListEntryHeaderSize);
        if (h.nameLength)
            std::memcpy(L.listBytes.data() + at + Ntfs::kAttributeListEntryHeaderSize, attr + h.nameOffset,
                        h.nameLength * sizeof(WCHAR));
    }
    return ok;
}

void ZEmulatedNtfsVolume::normalize(DWORD r)
{
    Slot& s = slots_[r];
    if (s.kind != KindBase || (s.flags & FlagMetafile))
        return;
    const DWORD bpc = options_.bytesPerCluster;
    const DWORD capacity = Builder::attributeCapacity(options_.bytesPerRecord);
    const bool folder = s.flags & FlagDirectory;
    Extras* ex = extras_.count(r) ? &extras_[r] : nullptr;
    const DWORD dataExtents = ex ? ex->dataExtents : 1;
    const DWORD dataRuns = std::max(ex ? ex->dataRuns : 1, dataExtents);

    auto placeData = [&](ULONGLONG size, ULONGLONG& lcn, ULONGLONG& cap, DWORD runs, bool forceOut) {
        if (lcn == 0 && (size > options_.residentDataLimit || forceOut))
            cap = 0;
        else if (lcn == 0)
            return;
        ensureClusters(lcn, cap, clustersFor(size, bpc), runs);
    };
    auto placeFileData = [&](bool forceOut) {
        ULONGLONG capacity = s.dataCapacity;
        placeData(s.dataSize, s.dataLcn, capacity, dataRuns, forceOut);
        s.dataCapacity = capacityOf(capacity);
    };
    // Data written in extents lives outside the record from its first byte.
    const bool extents = !folder && dataExtents > 1 && s.dataSize > 0;
    if (!folder)
        placeFileData(extents);
    if (ex)
        for (Stream& st : ex->streams)
            placeData(st.size, st.lcn, st.capacity, 1, false);

    // The common case: a plain file whose attributes plainly fit.
    if ((!ex || (ex->listForm == AttributeListForm::Automatic && ex->extensionRecords.empty() && !extents))
        && attributeBytesBound(r) <= capacity)
        return;

    Layout L;
    buildAttributes(r, L);
    auto total = [&] {
        DWORD sum = 0;
        for (const Blob& b : L.blobs)
            sum += b.length;
        return sum;
    };
    if (total() > capacity) {
        // Resident data leaves the record before the record needs a list.
        if (!folder && s.dataSize > 0)
            placeFileData(true);
        if (ex)
            for (Stream& st : ex->streams)
                if (st.size > 0)
                    placeData(st.size, st.lcn, st.capacity, 1, true);
        buildAttributes(r, L);
    }

    const AttributeListForm form = ex ? ex->listForm : AttributeListForm::Automatic;
    if (form == AttributeListForm::Automatic && !extents && total() <= capacity) {
        if (ex && !ex->extensionRecords.empty()) {
            for (DWORD e : ex->extensionRecords)
                freeRecord(e);
            ex->extensionRecords.clear();
        }
        if (ex)
            dropListRun(r, *ex);
        return;
    }

    Extras& x = extrasOf(r);
    // A forced list, or extents (one extension record each at least), share the attributes out.
    const bool spread = form != AttributeListForm::Automatic || extents;
    const DWORD m = DWORD(L.blobs.size() - 1);
    const DWORD wanted = std::max<DWORD>(form != AttributeListForm::Automatic ? x.forcedExtensions : 1,
                                         extents ? dataExtents : 1);
    DWORD n = spread ? std::min(std::max<DWORD>(wanted, 1), std::max<DWORD>(m, 1)) : 1;
    while (n < std::max<DWORD>(m, 1) && !assignHomes(L, n, spread))
        ++n;
    while (x.extensionRecords.size() > n) {
        freeRecord(x.extensionRecords.back());
        x.extensionRecords.pop_back();
    }
    while (x.extensionRecords.size() < n) {
        const DWORD e = allocateRecord();
        if (!e)
            break;                       // MFT full: the surplus attributes are left out
        Slot& es = slots_[e];
        es.kind = KindExtension;
        es.baseRecord = r;
        x.extensionRecords.push_back(e);
    }

    DWORD listSize = 0;
    for (size_t i = 0; i < L.blobs.size(); ++i)
        listSize += listEntrySize(L, i);
    const DWORD residentList = Builder::align8(Ntfs::kResidentHeaderSize + listSize);
    const bool residentFits = L.blobs[0].length + residentList <= capacity;
    if (form == AttributeListForm::NonResident || !residentFits) {
        const ULONGLONG clusters = clustersFor(listSize, bpc);
        const ULONGLONG oldLcn = x.listLcn;
        ensureClusters(x.listLcn, x.listCapacity, clusters, x.listRuns);
        if (oldLcn != x.listLcn && oldLcn)
            listRuns_.erase(oldLcn);
        listRuns_[x.listLcn] = r;
        x.listClusters = clusters;
        x.nonResidentList = true;
    } else {
        dropListRun(r, x);
    }
}

void ZEmulatedNtfsVolume::dropListRun(DWORD r, Extras& ex)
{
    if (ex.listLcn) {
        auto it = listRuns_.find(ex.listLcn);
        if (it != listRuns_.end() && it->second == r)
            listRuns_.erase(it);
    }
    ex.nonResidentList = false;
    ex.listLcn = 0;
    ex.listCapacity = 0;
    ex.listClusters = 0;
}

void ZEmulatedNtfsVolume::encodeInto(DWORD r, BYTE* out, bool onDiskForm) const
{
    const DWORD recordSize = options_.bytesPerRecord;
    std::memset(out, 0, recordSize);
    if (r >= slots_.size())
        return;                          // never used: as freshly formatted space
    const Slot& s = slots_[r];
    Builder::RecordHeader header;
    header.recordNumber = r;
    header.sequence = s.sequence;
    header.lsn = ULONGLONG(s.usn);
    header.updateSequenceNumber = WORD(1 + (ULONGLONG(s.usn / kUsnRecordAlignment) + s.sequence) % 0xFFFEu);
    if (s.kind == KindFree) {
        const DWORD at = Builder::beginRecord(out, recordSize, header);
        Builder::endRecord(out, recordSize, at, 0);
        Builder::protect(out, recordSize, onDiskForm);
        return;
    }
    const DWORD base = s.kind == KindExtension ? s.baseRecord : r;
    const Slot& bs = slots_[base];
    thread_local Layout L;               // kept between records: its buffers are reused, not remade
    planLayout(base, L);
    header.flags = Ntfs::RecordInUse;
    DWORD home = 0;
    if (s.kind == KindBase) {
        if (bs.flags & FlagDirectory)
            header.flags |= Ntfs::RecordIsDirectory;
        WORD links = 0;
        visitLinks(base, [&](const Link& l) {
            links += l.nameSpace != Ntfs::NameSpaceDos;
            return false;
        });
        header.linkCount = links;
    } else {
        header.baseReference = referenceOf(base);
        const Extras* ex = findExtras(base);
        if (ex) {
            auto it = std::find(ex->extensionRecords.begin(), ex->extensionRecords.end(), r);
            if (it != ex->extensionRecords.end())
                home = DWORD(it - ex->extensionRecords.begin()) + 1;
        }
    }
    DWORD at = Builder::beginRecord(out, recordSize, header);
    const DWORD limit = at + Builder::attributeCapacity(recordSize);
    WORD nextInstance = 0;
    auto place = [&](const BYTE* attr, DWORD length, WORD instance) {
        if (at + length > limit)
            return;                      // cannot happen after normalize; never overrun
        at = Builder::placeAttribute(out, at, attr, length, instance);
        nextInstance = std::max<WORD>(nextInstance, WORD(instance + 1));
    };
    if (home == 0 && s.kind == KindBase && L.list) {
        place(L.bytes.data() + L.blobs[0].offset, L.blobs[0].length, 0);
        std::vector<BYTE> list;
        const Extras* ex = findExtras(base);
        if (ex && ex->nonResidentList)
            Builder::appendNonResident(list, Ntfs::AttrAttributeList, nullptr, 0,
                                       Builder::splitRuns(ex->listLcn, ex->listClusters, ex->listRuns),
                                       L.listBytes.size(), options_.bytesPerCluster);
        else
            Builder::appendResident(list, Ntfs::AttrAttributeList, nullptr, 0, L.listBytes.data(),
                                    DWORD(L.listBytes.size()));
        place(list.data(), DWORD(list.size()), 1);
    } else {
        for (size_t i = 0; i < L.blobs.size(); ++i)
            if (L.home[i] == home && (home != 0 || s.kind == KindBase))
                place(L.bytes.data() + L.blobs[i].offset, L.blobs[i].length, L.instance[i]);
    }
    Builder::endRecord(out, recordSize, at, nextInstance);
    Builder::protect(out, recordSize, onDiskForm);
}

// ---------------------------------------------------------------------------
// Journal writing (lock held)

void ZEmulatedNtfsVolume::journal(DWORD r, const Link& link, DWORD reasons)
{
    if (!journalActive_ || journalDeleting_ || journalPaused_)
        return;
    Slot& s = slots_[r];
    ZUsnJournalStore::Entry e;
    e.fileReference = referenceOf(r);
    e.parentReference = parentReferenceOf(link);
    e.reason = reasons;
    e.attributes = s.attributes;
    e.securityId = kDefaultSecurityId;
    e.timeStamp = nowFileTime();
    char16_t scratch[ZNameArena::kMaxUnits];
    e.name = unitsOf(link, scratch);
    e.nameLength = link.nameLength;
    s.usn = journal_->append(e);
    journal_->trim(journalMaximumSize_, journalAllocationDelta_);
    changed_.notify_all();
}

DWORD ZEmulatedNtfsVolume::openReasonsOf(DWORD r) const
{
    auto it = openReasons_.find(r);
    return it == openReasons_.end() ? 0 : it->second;
}

void ZEmulatedNtfsVolume::setOpenReasons(DWORD r, DWORD reasons)
{
    if (reasons)
        openReasons_[r] = reasons;
    else
        openReasons_.erase(r);
}

void ZEmulatedNtfsVolume::note(DWORD r, DWORD reason)
{
    const DWORD open = openReasonsOf(r);
    if ((open | reason) == open)
        return;                          // Windows writes a reason once per open
    setOpenReasons(r, open | reason);
    const int p = primaryLink(r);
    if (p >= 0)
        journal(r, linkAt(r, size_t(p)), open | reason);
}

void ZEmulatedNtfsVolume::closeLocked(DWORD r)
{
    const DWORD open = openReasonsOf(r);
    if (!open)
        return;
    const int p = primaryLink(r);
    if (p >= 0)
        journal(r, linkAt(r, size_t(p)), open | USN_REASON_CLOSE);
    setOpenReasons(r, 0);
}

void ZEmulatedNtfsVolume::closeIfAuto(DWORD r)
{
    if (options_.autoClose)
        closeLocked(r);
}

void ZEmulatedNtfsVolume::touch(DWORD r, bool write)
{
    Slot& s = slots_[r];
    const ULONGLONG now = nowFileTime();
    s.times[TimeChange] = now;
    if (write)
        s.times[TimeWrite] = now;
}

// A user file or folder that changes may be made: base, in use, not a metadata file.
bool ZEmulatedNtfsVolume::checkChangeable(DWORD r) const
{
    if (!isBase(r) || !(slots_[r].flags & FlagHasLink)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (slots_[r].flags & FlagMetafile) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Changes

DWORD ZEmulatedNtfsVolume::createFile(DWORD parent, const std::u16string& name)
{
    return createFile(parent, name, CreateOptions());
}

DWORD ZEmulatedNtfsVolume::createFile(DWORD parent, const std::u16string& name, const CreateOptions& options)
{
    std::lock_guard<std::mutex> g(lock_);
    return createEntry(parent, name, options, false);
}

DWORD ZEmulatedNtfsVolume::createFolder(DWORD parent, const std::u16string& name)
{
    return createFolder(parent, name, CreateOptions());
}

DWORD ZEmulatedNtfsVolume::createFolder(DWORD parent, const std::u16string& name, const CreateOptions& options)
{
    std::lock_guard<std::mutex> g(lock_);
    return createEntry(parent, name, options, true);
}

DWORD ZEmulatedNtfsVolume::createEntry(DWORD parent, const std::u16string& name, const CreateOptions& o, bool folder)
{
    if (!isFolder(parent)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    std::vector<Link> links;
    if (!chooseNames(parent, name, o.nameForm, o.dosName, 0, links))
        return 0;
    const DWORD r = allocateRecord();
    if (!r) {
        SetLastError(ERROR_DISK_FULL);
        return 0;
    }
    Slot& s = slots_[r];
    s.kind = KindBase;
    const ULONGLONG now = nowFileTime();
    std::fill(std::begin(s.times), std::end(s.times), now);
    const ULONGLONG given[TimeCount] = {o.creationTime, o.lastWriteTime, o.changeTime, o.lastAccessTime};
    for (int i = 0; i < TimeCount; ++i)
        if (given[i])
            s.times[i] = given[i];
    if (folder) {
        s.flags |= FlagDirectory;
        s.attributes = o.attributes | FILE_ATTRIBUTE_DIRECTORY;
    } else {
        s.attributes = o.attributes ? (o.attributes & ~DWORD(FILE_ATTRIBUTE_DIRECTORY)) : DWORD(FILE_ATTRIBUTE_ARCHIVE);
        if (!s.attributes)
            s.attributes = FILE_ATTRIBUTE_NORMAL;
    }
    std::vector<Link> stored;
    addLinks(r, stored, 0, links);
    storeLinks(r, stored);
    if (o.attributeList != AttributeListForm::Automatic || o.dataRuns > 1 || o.attributeListRuns > 1
        || o.dataExtents > 1) {
        Extras& ex = extrasOf(r);
        ex.listForm = o.attributeList;
        ex.forcedExtensions = std::max<DWORD>(o.extensionRecords, 1);
        ex.dataRuns = std::max<DWORD>(o.dataRuns, 1);
        ex.dataExtents = std::max<DWORD>(o.dataExtents, 1);
        ex.listRuns = std::max<DWORD>(o.attributeListRuns, 1);
    }
    normalize(r);
    note(r, USN_REASON_FILE_CREATE);
    if (!folder && o.size) {
        slots_[r].dataSize = o.size;      // normalize may have grown slots_: no reference kept
        normalize(r);
        note(r, USN_REASON_DATA_EXTEND);
    }
    closeIfAuto(r);
    return r;
}

bool ZEmulatedNtfsVolume::write(DWORD file, ULONGLONG offset, ULONGLONG length)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!checkChangeable(file))
        return false;
    Slot& s = slots_[file];
    if (s.flags & FlagDirectory) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (offset + length < offset) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (length == 0)
        return true;
    DWORD reasons = 0;
    if (offset < s.dataSize)
        reasons |= USN_REASON_DATA_OVERWRITE;
    if (offset + length > s.dataSize) {
        reasons |= USN_REASON_DATA_EXTEND;
        s.dataSize = offset + length;
        normalize(file);
    }
    touch(file, true);
    note(file, reasons);
    closeIfAuto(file);
    return true;
}

bool ZEmulatedNtfsVolume::truncate(DWORD file, ULONGLONG size)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!checkChangeable(file))
        return false;
    Slot& s = slots_[file];
    if (s.flags & FlagDirectory) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (size != s.dataSize) {
        const DWORD reason = size < s.dataSize ? USN_REASON_DATA_TRUNCATION : USN_REASON_DATA_EXTEND;
        s.dataSize = size;
        normalize(file);
        touch(file, true);
        note(file, reason);
    }
    closeIfAuto(file);
    return true;
}

bool ZEmulatedNtfsVolume::rename(DWORD file, DWORD oldParent, const std::u16string& oldName,
                                 DWORD newParent, const std::u16string& newName)
{
    std::lock_guard<std::mutex> g(lock_);
    return renameLocked(file, oldParent, oldName, newParent, newName);
}

bool ZEmulatedNtfsVolume::renameLocked(DWORD file, DWORD oldParent, const std::u16string& oldName,
                                       DWORD newParent, const std::u16string& newName)
{
    if (!checkChangeable(file))
        return false;
    std::vector<Link> links = linksOf(file);
    const int i = findLink(links, oldParent, oldName);
    if (i < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (!isFolder(newParent)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (oldParent == newParent && oldName == newName)
        return true;
    if (slots_[file].flags & FlagDirectory) {
        // A folder cannot move into itself or below itself.
        DWORD up = newParent;
        for (size_t depth = 0; depth <= slots_.size(); ++depth) {
            if (up == file) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return false;
            }
            if (up == Ntfs::RecordRoot || !isBase(up) || !(slots_[up].flags & FlagHasLink))
                break;
            up = parentOf(slots_[up].first);
        }
    }
    const Link old = links[size_t(i)];
    const NameForm form = old.nameSpace == Ntfs::NameSpacePosix ? NameForm::Posix : NameForm::Automatic;
    std::vector<Link> added;
    if (!chooseNames(newParent, newName, form, std::u16string(), file, added))
        return false;
    journal(file, old, openReasonsOf(file) | USN_REASON_RENAME_OLD_NAME);
    dropLink(file, links, size_t(i));
    addLinks(file, links, size_t(i), added);
    storeLinks(file, links);
    setOpenReasons(file, (openReasonsOf(file) & ~DWORD(USN_REASON_RENAME_OLD_NAME)) | USN_REASON_RENAME_NEW_NAME);
    touch(file, false);
    normalize(file);
    journal(file, added.front(), openReasonsOf(file));
    closeIfAuto(file);
    return true;
}

bool ZEmulatedNtfsVolume::rename(DWORD file, const std::u16string& newName)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!checkChangeable(file))
        return false;
    const Link first = linksOf(file)[size_t(primaryLink(file))];
    return renameLocked(file, parentOf(first), nameOf(first), parentOf(first), newName);
}

bool ZEmulatedNtfsVolume::move(DWORD file, DWORD newParent)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!checkChangeable(file))
        return false;
    const Link first = linksOf(file)[size_t(primaryLink(file))];
    return renameLocked(file, parentOf(first), nameOf(first), newParent, nameOf(first));
}

bool ZEmulatedNtfsVolume::link(DWORD file, DWORD parent, const std::u16string& name)
{
    return link(file, parent, name, NameForm::Automatic);
}

bool ZEmulatedNtfsVolume::link(DWORD file, DWORD parent, const std::u16string& name, NameForm form)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!checkChangeable(file))
        return false;
    if (slots_[file].flags & FlagDirectory) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (!isFolder(parent)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::vector<Link> links = linksOf(file);
    const size_t count = size_t(std::count_if(links.begin(), links.end(),
                                              [](const Link& l) { return l.nameSpace != Ntfs::NameSpaceDos; }));
    if (count >= kMaxLinks) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::vector<Link> added;
    if (!chooseNames(parent, name, form, std::u16string(), 0, added))
        return false;
    addLinks(file, links, links.size(), added);
    storeLinks(file, links);
    setOpenReasons(file, openReasonsOf(file) | USN_REASON_HARD_LINK_CHANGE);
    touch(file, false);
    normalize(file);
    journal(file, added.front(), openReasonsOf(file));
    closeIfAuto(file);
    return true;
}

bool ZEmulatedNtfsVolume::remove(DWORD file, DWORD parent, const std::u16string& name)
{
    std::lock_guard<std::mutex> g(lock_);
    return removeLocked(file, parent, name);
}

bool ZEmulatedNtfsVolume::removeLocked(DWORD file, DWORD parent, const std::u16string& name)
{
    if (!checkChangeable(file))
        return false;
    std::vector<Link> links = linksOf(file);
    const int i = findLink(links, parent, name);
    if (i < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    Slot& s = slots_[file];
    if ((s.flags & FlagDirectory) && s.childCount) {
        SetLastError(ERROR_DIR_NOT_EMPTY);
        return false;
    }
    const size_t names = size_t(std::count_if(links.begin(), links.end(),
                                              [](const Link& l) { return l.nameSpace != Ntfs::NameSpaceDos; }));
    const Link gone = links[size_t(i)];
    if (names > 1) {
        journal(file, gone, openReasonsOf(file) | USN_REASON_HARD_LINK_CHANGE | USN_REASON_CLOSE);
        setOpenReasons(file, 0);
        dropLink(file, links, size_t(i));
        storeLinks(file, links);
        touch(file, false);
        normalize(file);
        return true;
    }
    journal(file, gone, openReasonsOf(file) | USN_REASON_FILE_DELETE | USN_REASON_CLOSE);
    setOpenReasons(file, 0);
    while (!links.empty())
        dropLink(file, links, 0);
    if (Extras* ex = extras_.count(file) ? &extras_[file] : nullptr) {
        for (DWORD e : ex->extensionRecords)
            freeRecord(e);
        ex->extensionRecords.clear();
        dropListRun(file, *ex);
    }
    freeRecord(file);
    return true;
}

bool ZEmulatedNtfsVolume::remove(DWORD file)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!checkChangeable(file))
        return false;
    if ((slots_[file].flags & FlagDirectory) && slots_[file].childCount) {
        SetLastError(ERROR_DIR_NOT_EMPTY);
        return false;
    }
    for (;;) {
        const int p = isBase(file) && (slots_[file].flags & FlagHasLink) ? primaryLink(file) : -1;
        if (p < 0)
            return true;
        const Link l = linksOf(file)[size_t(p)];
        if (!removeLocked(file, parentOf(l), nameOf(l)))
            return false;
    }
}

bool ZEmulatedNtfsVolume::removeTree(DWORD file)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!checkChangeable(file))
        return false;
    // One pass over the MFT files every name under its folder.
    std::unordered_map<DWORD, std::vector<std::pair<DWORD, std::u16string>>> below;
    for (DWORD r = 0; r < slots_.size(); ++r) {
        if (!isBase(r) || !(slots_[r].flags & FlagHasLink))
            continue;
        for (const Link& l : linksOf(r))
            if (l.nameSpace != Ntfs::NameSpaceDos && parentOf(l) != r)
                below[parentOf(l)].push_back({r, nameOf(l)});
    }
    // Depth first, each folder's names before the folder itself.
    struct Step {
        DWORD folder;
        size_t next;
    };
    std::vector<Step> stack{{file, 0}};
    while (!stack.empty()) {
        Step& top = stack.back();
        const auto& names = below[top.folder];
        if (top.next < names.size()) {
            const auto& [child, name] = names[top.next++];
            if (isFolder(child)) {
                stack.push_back({child, 0});
                continue;
            }
            if (!removeLocked(child, top.folder, name))
                return false;
            continue;
        }
        const DWORD done = top.folder;
        stack.pop_back();
        const DWORD parent = stack.empty() ? DWORD(-1) : stack.back().folder;
        if (stack.empty()) {
            const int p = primaryLink(done);
            const Link l = linksOf(done)[size_t(p)];
            if (!removeLocked(done, parentOf(l), nameOf(l)))
                return false;
        } else {
            const auto& names = below[parent];
            if (!removeLocked(done, parent, names[stack.back().next - 1].second))
                return false;
        }
    }
    return true;
}

bool ZEmulatedNtfsVolume::setAttributes(DWORD file, DWORD attributes)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!checkChangeable(file))
        return false;
    Slot& s = slots_[file];
    DWORD a = attributes & ~DWORD(FILE_ATTRIBUTE_DIRECTORY);
    if (s.flags & FlagDirectory)
        a |= FILE_ATTRIBUTE_DIRECTORY;
    else if (!a)
        a = FILE_ATTRIBUTE_NORMAL;
    if (a != s.attributes) {
        s.attributes = a;
        touch(file, false);
        note(file, USN_REASON_BASIC_INFO_CHANGE);
    }
    closeIfAuto(file);
    return true;
}

bool ZEmulatedNtfsVolume::setTimes(DWORD file, const FileTimes& t)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!checkChangeable(file))
        return false;
    if (storeTimes(file, t))
        note(file, USN_REASON_BASIC_INFO_CHANGE);
    closeIfAuto(file);
    return true;
}

bool ZEmulatedNtfsVolume::setTimesQuietly(DWORD file, const FileTimes& t)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!checkChangeable(file))
        return false;
    storeTimes(file, t);
    return true;
}

// Stores the given (non-zero) times; true when one of them changed.
bool ZEmulatedNtfsVolume::storeTimes(DWORD file, const FileTimes& t)
{
    Slot& s = slots_[file];
    const ULONGLONG given[TimeCount] = {t.creationTime, t.lastWriteTime, t.changeTime, t.lastAccessTime};
    bool changed = false;
    for (int i = 0; i < TimeCount; ++i) {
        if (given[i] && given[i] != s.times[i]) {
            s.times[i] = given[i];
            changed = true;
        }
    }
    return changed;
}

bool ZEmulatedNtfsVolume::setStream(DWORD file, const std::u16string& streamName, ULONGLONG size)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!checkChangeable(file))
        return false;
    if (!validName(streamName) || streamName.find(u':') != std::u16string::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    Extras& ex = extrasOf(file);
    auto it = std::lower_bound(ex.streams.begin(), ex.streams.end(), streamName,
                               [](const Stream& s, const std::u16string& n) { return s.name < n; });
    DWORD reasons = 0;
    if (it == ex.streams.end() || it->name != streamName) {
        Stream st;
        st.name = streamName;
        it = ex.streams.insert(it, st);
        reasons |= USN_REASON_STREAM_CHANGE;
    }
    if (size > it->size)
        reasons |= USN_REASON_NAMED_DATA_EXTEND;
    else if (size < it->size)
        reasons |= USN_REASON_NAMED_DATA_TRUNCATION;
    else if (!(reasons & USN_REASON_STREAM_CHANGE))
        reasons |= USN_REASON_NAMED_DATA_OVERWRITE;
    it->size = size;
    normalize(file);
    touch(file, true);
    note(file, reasons);
    closeIfAuto(file);
    return true;
}

bool ZEmulatedNtfsVolume::close(DWORD file)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!isBase(file)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    closeLocked(file);
    return true;
}

bool ZEmulatedNtfsVolume::setAttributeListForm(DWORD file, AttributeListForm form, DWORD extensionRecords,
                                               DWORD attributeListRuns)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!isBase(file) || !(slots_[file].flags & FlagHasLink) || (slots_[file].flags & FlagMetafile)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    Extras& ex = extrasOf(file);
    ex.listForm = form;
    ex.forcedExtensions = std::max<DWORD>(extensionRecords, 1);
    ex.listRuns = std::max<DWORD>(attributeListRuns, 1);
    normalize(file);
    return true;
}

void ZEmulatedNtfsVolume::setAutoClose(bool autoClose)
{
    std::lock_guard<std::mutex> g(lock_);
    options_.autoClose = autoClose;
}

void ZEmulatedNtfsVolume::compactNames()
{
    std::lock_guard<std::mutex> g(lock_);
    ZNameArena kept;
    char16_t scratch[ZNameArena::kMaxUnits];
    auto relocate = [&](Link& l) {
        const ZNameArena::Name stored = kept.append(unitsOf(l, scratch), l.nameLength);
        l.nameOffset = stored.offset;
        l.narrowName = stored.narrow;
    };
    for (size_t r = 0; r < slots_.size(); ++r)
        if (slots_[r].flags & FlagHasLink)
            relocate(slots_[r].first);
    for (auto& e : extras_)
        for (Link& l : e.second.moreLinks)
            relocate(l);
    names_.swap(kept);
}

size_t ZEmulatedNtfsVolume::nameStoreBytes() const
{
    std::lock_guard<std::mutex> g(lock_);
    return names_.size();
}

void ZEmulatedNtfsVolume::setJournalPaused(bool paused)
{
    std::lock_guard<std::mutex> g(lock_);
    journalPaused_ = paused;
}

// ---------------------------------------------------------------------------
// Inspection

DWORD ZEmulatedNtfsVolume::lookup(DWORD parent, const std::u16string& name) const
{
    std::lock_guard<std::mutex> g(lock_);
    DWORD folded = 0;
    DWORD exact = 0;
    char16_t scratch[ZNameArena::kMaxUnits];
    nameIndex_.visit(nameKey(parent, name.data(), name.size()), [&](DWORD record) {
        const bool same = visitLinks(record, [&](const Link& l) {
            if (parentOf(l) != parent)
                return false;
            const char16_t* n = unitsOf(l, scratch);
            if (l.nameLength == name.size() && std::equal(n, n + l.nameLength, name.begin()))
                return true;
            if (!folded && l.nameSpace != Ntfs::NameSpacePosix && equalFolded(n, l.nameLength, name.data(), name.size()))
                folded = record;
            return false;
        });
        if (same)
            exact = record;
        return same;
    });
    return exact ? exact : folded;
}

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
    std::lock_guard<std::mutex> g(lock_);
    for (DWORD r = Ntfs::RecordFirstUser; r < DWORD(slots_.size()); ++r) {
        if (!isBase(r) || !(slots_[r].flags & FlagHasLink))
            continue;
        for (const Link& l : linksOf(r))
            if (l.nameSpace != Ntfs::NameSpaceDos)
                visit(r, parentOf(l), nameOf(l));
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

USN_JOURNAL_DATA_V1 ZEmulatedNtfsVolume::journalDataLocked() const
{
    USN_JOURNAL_DATA_V1 d{};
    d.UsnJournalID = journalId_;
    d.FirstUsn = journal_->firstUsn();
    d.NextUsn = journal_->nextUsn();
    d.LowestValidUsn = lowestValidUsn_;
    d.MaxUsn = kMaxUsn;
    d.MaximumSize = journalMaximumSize_;
    d.AllocationDelta = journalAllocationDelta_;
    d.MinSupportedMajorVersion = kUsnRecordMajorVersion;
    d.MaxSupportedMajorVersion = kUsnRecordMajorVersion;
    return d;
}

bool ZEmulatedNtfsVolume::encodeRecord(DWORD record, std::vector<BYTE>& out, bool onDiskForm) const
{
    std::lock_guard<std::mutex> g(lock_);
    if (record >= slots_.size())
        return false;
    out.resize(options_.bytesPerRecord);
    encodeInto(record, out.data(), onDiskForm);
    return true;
}

// ---------------------------------------------------------------------------
// The journal from the volume's side

void ZEmulatedNtfsVolume::beginJournalDeletion(DWORD durationMs)
{
    std::lock_guard<std::mutex> g(lock_);
    journalDeleting_ = true;
    deletionDeadlineMs_ = durationMs == INFINITE ? kDeletionOnDemand : Platform::clock().tickMs() + durationMs;
    changed_.notify_all();
}

void ZEmulatedNtfsVolume::finishJournalDeletion()
{
    std::lock_guard<std::mutex> g(lock_);
    finishDeletionLocked();
}

void ZEmulatedNtfsVolume::finishDeletionLocked()
{
    if (!journalDeleting_)
        return;
    journalDeleting_ = false;
    journalActive_ = false;
    journal_->reset(journal_->nextUsn());
    changed_.notify_all();
}

void ZEmulatedNtfsVolume::settleDeletion()
{
    if (journalDeleting_ && deletionDeadlineMs_ != kDeletionOnDemand
        && Platform::clock().tickMs() >= deletionDeadlineMs_)
        finishDeletionLocked();
}

void ZEmulatedNtfsVolume::discardJournalEntries()
{
    std::lock_guard<std::mutex> g(lock_);
    journal_->reset(journal_->nextUsn() + kUsnRecordAlignment);
    changed_.notify_all();
}

// ---------------------------------------------------------------------------
// Faults

void ZEmulatedNtfsVolume::failCall(DWORD code, DWORD error, int times, int after)
{
    std::lock_guard<std::mutex> g(lock_);
    Fault f;
    f.error = error;
    f.times = times == 0 ? 1 : times;
    f.after = std::max(after, 0);
    faults_[code].push_back(f);
}

void ZEmulatedNtfsVolume::clearFault(DWORD code)
{
    std::lock_guard<std::mutex> g(lock_);
    faults_.erase(code);
}

void ZEmulatedNtfsVolume::clearFaults()
{
    std::lock_guard<std::mutex> g(lock_);
    faults_.clear();
}

void ZEmulatedNtfsVolume::redirectRecord(DWORD requested, DWORD answer)
{
    std::lock_guard<std::mutex> g(lock_);
    redirects_[requested] = answer;
}

void ZEmulatedNtfsVolume::clearRedirects()
{
    std::lock_guard<std::mutex> g(lock_);
    redirects_.clear();
}

void ZEmulatedNtfsVolume::setNotReady(bool notReady)
{
    std::lock_guard<std::mutex> g(lock_);
    notReady_ = notReady;
    changed_.notify_all();
}

ULONGLONG ZEmulatedNtfsVolume::callCount(DWORD code) const
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = callCounts_.find(code);
    return it == callCounts_.end() ? 0 : it->second;
}

bool ZEmulatedNtfsVolume::journalReadWaitingAtEnd() const
{
    std::lock_guard<std::mutex> g(lock_);
    return waitingReadAt_ >= 0 && waitingReadAt_ == journal_->nextUsn();
}

bool ZEmulatedNtfsVolume::takeFault(DWORD code, DWORD& error)
{
    auto it = faults_.find(code);
    if (it == faults_.end() || it->second.empty())
        return false;
    Fault& f = it->second.front();
    if (f.after > 0) {
        --f.after;
        return false;
    }
    error = f.error;
    if (f.times != kUntilCleared && --f.times <= 0) {
        it->second.erase(it->second.begin());
        if (it->second.empty())
            faults_.erase(it);
    }
    return true;
}

BOOL ZEmulatedNtfsVolume::fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// Counts the call and applies a pending fault or the not-ready state.
bool ZEmulatedNtfsVolume::admit(DWORD code, DWORD alsoCode)
{
    ++callCounts_[code];
    if (notReady_) {
        SetLastError(ERROR_NOT_READY);
        return false;
    }
    DWORD error = 0;
    if (takeFault(code, error) || (alsoCode && takeFault(alsoCode, error))) {
        SetLastError(error);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The device

bool ZEmulatedNtfsVolume::volumeInformation(VolumeInformation& info)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!admit(CallVolumeInformation, 0))
        return false;
    info.fileSystemName = options_.fileSystemName;
    info.label = options_.label;
    info.serialNumber = DWORD(options_.serialNumber);
    info.maxComponentLength = kMaxNameLength;
    info.fileSystemFlags = kNtfsVolumeFlags;
    return true;
}

bool ZEmulatedNtfsVolume::open(DWORD)
{
    std::lock_guard<std::mutex> g(lock_);
    return admit(CallOpen, 0);
}

void ZEmulatedNtfsVolume::cancelIo()
{
    std::lock_guard<std::mutex> g(lock_);
    ++cancelGeneration_;
    changed_.notify_all();
}

BOOL ZEmulatedNtfsVolume::deviceIoControl(DWORD code, const void* in, DWORD inSize,
                                          void* out, DWORD outSize, DWORD* bytesReturned)
{
    DWORD ignored = 0;
    DWORD* returned = bytesReturned ? bytesReturned : &ignored;
    *returned = 0;
    std::unique_lock<std::mutex> lock(lock_);
    if (!admit(code, CallAnyIoControl))
        return FALSE;
    if ((!in && inSize) || (!out && outSize))
        return fail(ERROR_INVALID_PARAMETER);
    switch (code) {
    case FSCTL_GET_NTFS_VOLUME_DATA:
        return getVolumeData(out, outSize, returned);
    case FSCTL_GET_NTFS_FILE_RECORD:
        return getFileRecord(in, inSize, out, outSize, returned);
    case FSCTL_ENUM_USN_DATA:
        return enumUsnData(in, inSize, out, outSize, returned);
    case FSCTL_QUERY_USN_JOURNAL:
        return queryJournal(out, outSize, returned);
    case FSCTL_CREATE_USN_JOURNAL:
        return createJournal(in, inSize);
    case FSCTL_DELETE_USN_JOURNAL:
        return deleteJournal(lock, in, inSize);
    case FSCTL_READ_USN_JOURNAL:
        return readJournal(lock, in, inSize, out, outSize, returned);
    default:
        return fail(ERROR_INVALID_FUNCTION);
    }
}

BOOL ZEmulatedNtfsVolume::getVolumeData(void* out, DWORD outSize, DWORD* returned)
{
    if (outSize < sizeof(NTFS_VOLUME_DATA_BUFFER))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    const NTFS_VOLUME_DATA_BUFFER d = volumeDataLocked();
    std::memcpy(out, &d, sizeof d);
    *returned = sizeof d;
    return TRUE;
}

BOOL ZEmulatedNtfsVolume::getFileRecord(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned)
{
    constexpr DWORD kHeader = offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileRecordBuffer);
    const DWORD recordSize = options_.bytesPerRecord;
    if (inSize < sizeof(NTFS_FILE_RECORD_INPUT_BUFFER))
        return fail(ERROR_INVALID_PARAMETER);
    if (outSize < kHeader + recordSize)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    NTFS_FILE_RECORD_INPUT_BUFFER request;
    std::memcpy(&request, in, sizeof request);
    const ULONGLONG wanted = ULONGLONG(request.FileReferenceNumber.QuadPart) & Ntfs::kRecordNumberMask;
    DWORD r = wanted >= slots_.size() ? DWORD(slots_.size() - 1) : DWORD(wanted);
    if (auto it = redirects_.find(r); it != redirects_.end())
        r = std::min<DWORD>(it->second, DWORD(slots_.size() - 1));
    // A record not in use is answered with the nearest lower record in use.
    r = nearestInUse(r);
    BYTE* o = static_cast<BYTE*>(out);
    const LONGLONG reference = LONGLONG(referenceOf(r));
    std::memcpy(o + offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileReferenceNumber), &reference, sizeof reference);
    std::memcpy(o + offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileRecordLength), &recordSize, sizeof recordSize);
    encodeInto(r, o + kHeader, false);
    *returned = kHeader + recordSize;
    return TRUE;
}

BOOL ZEmulatedNtfsVolume::enumUsnData(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned)
{
    MFT_ENUM_DATA_V1 request;
    if (!readUsnRequest<MFT_ENUM_DATA_V1, MFT_ENUM_DATA_V0>(in, inSize, request))
        return fail(ERROR_INVALID_PARAMETER);
    if (request.LowUsn < 0 || request.HighUsn < request.LowUsn)
        return fail(ERROR_INVALID_PARAMETER);
    if (outSize < sizeof(USN))
        return fail(ERROR_INSUFFICIENT_BUFFER);

    BYTE* o = static_cast<BYTE*>(out);
    DWORD at = sizeof(USN);
    ULONGLONG r = request.StartFileReferenceNumber & Ntfs::kRecordNumberMask;
    ULONGLONG next = r;
    bool any = false;
    for (; r < slots_.size(); ++r) {
        const Slot& s = slots_[size_t(r)];
        if (s.kind != KindBase || !(s.flags & FlagHasLink))
            continue;
        if ((s.flags & FlagMetafile) && r != Ntfs::RecordRoot && !options_.enumerateMetafiles)
            continue;
        if (s.usn < request.LowUsn || s.usn > request.HighUsn)
            continue;
        const int p = primaryLink(DWORD(r));
        const Link l = linkAt(DWORD(r), size_t(p));
        const DWORD length = ZUsnJournalStore::recordLengthFor(l.nameLength);
        if (at + length > outSize) {
            if (!any)
                return fail(ERROR_INSUFFICIENT_BUFFER);
            break;
        }
        char16_t scratch[ZNameArena::kMaxUnits];
        Ntfs::UsnRecordFields fields;
        fields.fileReference = referenceOf(DWORD(r));
        fields.parentReference = parentReferenceOf(l);
        fields.usn = s.usn;
        fields.attributes = s.attributes;
        fields.securityId = kDefaultSecurityId;
        fields.name = unitsOf(l, scratch);
        fields.nameLength = l.nameLength;
        Ntfs::writeUsnRecordV2(o + at, fields);
        at += length;
        any = true;
        next = r + 1;
    }
    if (!any)
        return fail(ERROR_HANDLE_EOF);
    std::memcpy(o, &next, sizeof next);
    *returned = at;
    return TRUE;
}

BOOL ZEmulatedNtfsVolume::queryJournal(void* out, DWORD outSize, DWORD* returned)
{
    settleDeletion();
    if (journalDeleting_)
        return fail(ERROR_JOURNAL_DELETE_IN_PROGRESS);
    if (!journalActive_)
        return fail(ERROR_JOURNAL_NOT_ACTIVE);
    if (outSize < sizeof(USN_JOURNAL_DATA_V0))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    const USN_JOURNAL_DATA_V1 d = journalDataLocked();
    const DWORD size = outSize >= sizeof(USN_JOURNAL_DATA_V1) ? DWORD(sizeof(USN_JOURNAL_DATA_V1))
                                                             : DWORD(sizeof(USN_JOURNAL_DATA_V0));
    std::memcpy(out, &d, size);
    *returned = size;
    return TRUE;
}

BOOL ZEmulatedNtfsVolume::createJournal(const void* in, DWORD inSize)
{
    if (inSize < sizeof(CREATE_USN_JOURNAL_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    CREATE_USN_JOURNAL_DATA request;
    std::memcpy(&request, in, sizeof request);
    settleDeletion();
    if (journalDeleting_)
        return fail(ERROR_JOURNAL_DELETE_IN_PROGRESS);
    journalMaximumSize_ = request.MaximumSize;
    journalAllocationDelta_ = request.AllocationDelta;
    if (journalActive_) {
        // An existing journal keeps its identity; only its sizes change.
        journal_->trim(journalMaximumSize_, journalAllocationDelta_);
    } else {
        journalId_ = std::max<DWORDLONG>(nowFileTime(), journalId_ + 1);
        journal_->reset(journal_->nextUsn());
        lowestValidUsn_ = journal_->firstUsn();
        journalActive_ = true;
    }
    changed_.notify_all();
    return TRUE;
}

BOOL ZEmulatedNtfsVolume::deleteJournal(std::unique_lock<std::mutex>& lock, const void* in, DWORD inSize)
{
    if (inSize < sizeof(DELETE_USN_JOURNAL_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    DELETE_USN_JOURNAL_DATA request;
    std::memcpy(&request, in, sizeof request);
    const DWORD known = USN_DELETE_FLAG_DELETE | USN_DELETE_FLAG_NOTIFY;
    if (!request.DeleteFlags || (request.DeleteFlags & ~known))
        return fail(ERROR_INVALID_PARAMETER);
    settleDeletion();
    if ((request.DeleteFlags & USN_DELETE_FLAG_DELETE) && !journalDeleting_) {
        if (!journalActive_)
            return fail(ERROR_JOURNAL_NOT_ACTIVE);
        if (request.UsnJournalID != journalId_)
            return fail(ERROR_INVALID_PARAMETER);
        journalDeleting_ = true;
        deletionDeadlineMs_ = Platform::clock().tickMs();   // done by the next look
        changed_.notify_all();
    }
    if ((request.DeleteFlags & USN_DELETE_FLAG_NOTIFY) && journalDeleting_) {
        if (deletionDeadlineMs_ == kDeletionOnDemand) {
            finishDeletionLocked();
        } else {
            const ULONGLONG now = Platform::clock().tickMs();
            const ULONGLONG wait = deletionDeadlineMs_ > now ? deletionDeadlineMs_ - now : 0;
            const ULONGLONG generation = cancelGeneration_;
            Platform::clock().waitFor(changed_, lock, DWORD(std::min<ULONGLONG>(wait, INFINITE - 1)), [&] {
                return !journalDeleting_ || cancelGeneration_ != generation || notReady_;
            });
            if (cancelGeneration_ != generation)
                return fail(ERROR_OPERATION_ABORTED);
            if (notReady_)
                return fail(ERROR_NOT_READY);
            finishDeletionLocked();
        }
    } else {
        settleDeletion();
    }
    return TRUE;
}

BOOL ZEmulatedNtfsVolume::readJournal(std::unique_lock<std::mutex>& lock, const void* in, DWORD inSize,
                                      void* out, DWORD outSize, DWORD* returned)
{
    READ_USN_JOURNAL_DATA_V1 request;
    if (!readUsnRequest<READ_USN_JOURNAL_DATA_V1, READ_USN_JOURNAL_DATA_V0>(in, inSize, request))
        return fail(ERROR_INVALID_PARAMETER);
    if (outSize < sizeof(USN))
        return fail(ERROR_INSUFFICIENT_BUFFER);

    // The journal's state decides the error; checked again after any wait.
    auto journalError = [&]() -> DWORD {
        settleDeletion();
        if (journalDeleting_)
            return ERROR_JOURNAL_DELETE_IN_PROGRESS;
        if (!journalActive_)
            return ERROR_JOURNAL_NOT_ACTIVE;
        if (request.UsnJournalID != journalId_)
            return ERROR_INVALID_PARAMETER;
        return ERROR_SUCCESS;
    };
    if (DWORD e = journalError())
        return fail(e);
    USN start = request.StartUsn;
    if (start == 0)
        start = journal_->firstUsn();    // 0 reads from the first record there is
    if (start < 0 || start > journal_->nextUsn())
        return fail(ERROR_INVALID_PARAMETER);
    if (start < journal_->firstUsn())
        return fail(ERROR_JOURNAL_ENTRY_DELETED);

    if (request.BytesToWaitFor) {
        const LONGLONG t = LONGLONG(request.Timeout);
        DWORD timeoutMs;
        if (t == 0) {
            timeoutMs = INFINITE;
        } else {
            // Negative: relative, in 100 ns units; positive: an absolute FILETIME.
            const ULONGLONG ticks = t < 0 ? ULONGLONG(-(t + 1)) + 1
                                          : (ULONGLONG(t) > nowFileTime() ? ULONGLONG(t) - nowFileTime() : 0);
            const ULONGLONG ms = (ticks + kFileTimeTicksPerMs - 1) / kFileTimeTicksPerMs;
            timeoutMs = DWORD(std::min<ULONGLONG>(ms, INFINITE - 1));
        }
        const ULONGLONG generation = cancelGeneration_;
        const DWORDLONG id = journalId_;
        waitingReadAt_ = start;
        Platform::clock().waitFor(changed_, lock, timeoutMs, [&] {
            return cancelGeneration_ != generation || notReady_ || !journalActive_ || journalDeleting_
                || journalId_ != id || journal_->firstUsn() > start
                || ULONGLONG(journal_->nextUsn() - start) >= request.BytesToWaitFor;
        });
        waitingReadAt_ = -1;
        if (cancelGeneration_ != generation)
            return fail(ERROR_OPERATION_ABORTED);
        if (notReady_)
            return fail(ERROR_NOT_READY);
        if (DWORD e = journalError())
            return fail(e);
        if (start < journal_->firstUsn())
            return fail(ERROR_JOURNAL_ENTRY_DELETED);
    }

    BYTE* o = static_cast<BYTE*>(out);
    DWORD at = sizeof(USN);
    USN next = start;
    bool any = false;
    for (const USN_RECORD_V2* rec = journal_->recordAtOrAfter(start); rec; rec = journal_->nextRecord(rec)) {
        const bool wanted = (rec->Reason & request.ReasonMask)
            && (!request.ReturnOnlyOnClose || (rec->Reason & USN_REASON_CLOSE));
        if (wanted) {
            if (at + rec->RecordLength > outSize) {
                if (!any)
                    return fail(ERROR_INSUFFICIENT_BUFFER);
                break;
            }
            std::memcpy(o + at, rec, rec->RecordLength);
            at += rec->RecordLength;
            any = true;
        }
        next = rec->Usn + rec->RecordLength;
    }
    if (!journal_->recordAtOrAfter(start))
        next = std::max(start, journal_->nextUsn());
    std::memcpy(o, &next, sizeof next);
    *returned = at;
    return TRUE;
}

BOOL ZEmulatedNtfsVolume::read(ULONGLONG offset, void* buffer, DWORD size, DWORD* bytesRead)
{
    DWORD ignored = 0;
    DWORD* done = bytesRead ? bytesRead : &ignored;
    *done = 0;
    std::lock_guard<std::mutex> g(lock_);
    if (!admit(CallRead, 0))
        return FALSE;
    // Volume handles read whole sectors only.
    if (offset % options_.bytesPerSector || size % options_.bytesPerSector || (!buffer && size))
        return fail(ERROR_INVALID_PARAMETER);
    const DWORD bpc = options_.bytesPerCluster;
    const ULONGLONG volumeBytes = options_.totalClusters * bpc;
    if (offset >= volumeBytes)
        return TRUE;
    const DWORD total = DWORD(std::min<ULONGLONG>(size, volumeBytes - offset));
    std::vector<BYTE> cluster(bpc);
    BYTE* o = static_cast<BYTE*>(buffer);
    DWORD copied = 0;
    while (copied < total) {
        const ULONGLONG pos = offset + copied;
        const ULONGLONG lcn = pos / bpc;
        const DWORD within = DWORD(pos % bpc);
        readCluster(lcn, cluster.data());
        const DWORD n = std::min<DWORD>(bpc - within, total - copied);
        std::memcpy(o + copied, cluster.data() + within, n);
        copied += n;
    }
    *done = copied;
    return TRUE;
}

void ZEmulatedNtfsVolume::readCluster(ULONGLONG lcn, BYTE* cluster) const
{
    const DWORD bpc = options_.bytesPerCluster;
    const DWORD recordSize = options_.bytesPerRecord;
    std::memset(cluster, 0, bpc);
    if (lcn == 0) {
        writeBootSector(cluster);
        return;
    }
    // Records of the MFT or its mirror that overlap this cluster, in on-disk form.
    auto copyRecords = [&](ULONGLONG regionLcn, ULONGLONG recordLimit) {
        const ULONGLONG regionStart = regionLcn * bpc;
        const ULONGLONG from = lcn * bpc - regionStart;
        std::vector<BYTE> record(recordSize);
        for (ULONGLONG r = from / recordSize; r * recordSize < from + bpc && r < recordLimit; ++r) {
            encodeInto(DWORD(r), record.data(), true);
            const ULONGLONG recStart = r * recordSize;
            const ULONGLONG lo = std::max(recStart, from);
            const ULONGLONG hi = std::min(recStart + recordSize, from + bpc);
            std::memcpy(cluster + (lo - from), record.data() + (lo - recStart), size_t(hi - lo));
        }
    };
    if (lcn >= mftStartLcn_ && lcn < mirrorLcn_) {
        copyRecords(mftStartLcn_, slots_.size());
        return;
    }
    if (lcn >= mirrorLcn_ && lcn < mirrorLcn_ + clustersFor(ULONGLONG(kMftMirrorRecords) * recordSize, bpc)) {
        copyRecords(mirrorLcn_, kMftMirrorRecords);
        return;
    }
    // A cluster of a non-resident attribute list.
    auto it = listRuns_.upper_bound(lcn);
    if (it == listRuns_.begin())
        return;
    --it;
    const DWORD base = it->second;
    const Extras* ex = findExtras(base);
    if (!ex || !ex->nonResidentList || lcn >= ex->listLcn + ex->listCapacity)
        return;
    ULONGLONG vcn = 0;
    for (const Builder::Run& run : Builder::splitRuns(ex->listLcn, ex->listClusters, ex->listRuns)) {
        if (lcn >= run.lcn && lcn < run.lcn + run.length) {
            Layout L;
            planLayout(base, L);
            const ULONGLONG from = (vcn + (lcn - run.lcn)) * bpc;
            if (from < L.listBytes.size())
                std::memcpy(cluster, L.listBytes.data() + from,
                            size_t(std::min<ULONGLONG>(bpc, L.listBytes.size() - from)));
            return;
        }
        vcn += run.length;
    }
}

void ZEmulatedNtfsVolume::writeBootSector(BYTE* sector) const
{
    const DWORD bpc = options_.bytesPerCluster;
    const DWORD sectorsPerCluster = bpc / options_.bytesPerSector;
    Ntfs::BootSector b{};
    std::memcpy(b.jump, kBootJump, sizeof b.jump);
    std::memcpy(b.oemId, "NTFS    ", sizeof b.oemId);
    b.bytesPerSector = WORD(options_.bytesPerSector);
    b.sectorsPerCluster = BYTE(sectorsPerCluster <= 128 ? sectorsPerCluster : BYTE(log2Code(sectorsPerCluster)));
    b.mediaDescriptor = kMediaFixedDisk;
    b.totalSectors = LONGLONG(options_.totalClusters * sectorsPerCluster - 1);
    b.mftLcn = LONGLONG(mftStartLcn_);
    b.mftMirrLcn = LONGLONG(mirrorLcn_);
    const DWORD recordSize = options_.bytesPerRecord;
    b.clustersPerFileRecord = recordSize >= bpc ? static_cast<signed char>(recordSize / bpc) : log2Code(recordSize);
    b.clustersPerIndexBuffer = kIndexBlockSize >= bpc ? static_cast<signed char>(kIndexBlockSize / bpc)
                                                      : log2Code(kIndexBlockSize);
    b.volumeSerialNumber = options_.serialNumber;
    b.endMarker = kBootEndMarker;
    std::memcpy(sector, &b, sizeof b);
}

} // namespace Platform
