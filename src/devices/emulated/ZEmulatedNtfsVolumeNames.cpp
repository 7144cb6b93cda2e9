// ZEmulatedNtfsVolume: links, the name index and the choice of names.
#include "devices/emulated/ZEmulatedNtfsVolumeParts.h"

#include <cstring>

namespace Platform {

using namespace EmulatedNtfsParts;

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
    return nameIndex_.visit(NameRules::nameKey(parent, name.data(), name.size()), [&](DWORD record) {
        if (record == except)
            return false;
        return visitLinks(record, [&](const Link& l) {
            if (parentOf(l) != parent)
                return false;
            const char16_t* n = unitsOf(l, scratch);
            if (l.nameLength == name.size() && std::equal(n, n + l.nameLength, name.begin()))
                return true;
            return l.nameSpace != Ntfs::NameSpacePosix && nameSpace != Ntfs::NameSpacePosix
                && NameRules::equalFolded(n, l.nameLength, name.data(), name.size());
        });
    });
}

void ZEmulatedNtfsVolume::indexName(DWORD r, const Link& link)
{
    char16_t scratch[ZNameArena::kMaxUnits];
    nameIndex_.insert(NameRules::nameKey(parentOf(link), unitsOf(link, scratch), link.nameLength), r);
}

void ZEmulatedNtfsVolume::unindexName(DWORD r, const Link& link)
{
    char16_t scratch[ZNameArena::kMaxUnits];
    nameIndex_.erase(NameRules::nameKey(parentOf(link), unitsOf(link, scratch), link.nameLength), r);
}

std::u16string ZEmulatedNtfsVolume::generateDosName(DWORD parent, const std::u16string& name) const
{
    return ZEmulatedNameRules::generateDosName(name, [&](const std::u16string& candidate) {
        return nameTaken(parent, candidate, Ntfs::NameSpaceDos, 0);
    });
}

bool ZEmulatedNtfsVolume::chooseNames(DWORD parent, const std::u16string& name, NameForm form,
                                      const std::u16string& dosName, DWORD except, std::vector<Link>& out)
{
    if (!NameRules::validName(name) || (!dosName.empty() && (!NameRules::isShortName(dosName) || dosName == name))) {
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
            if (NameRules::isShortName(name)) {
                ns = Ntfs::NameSpaceWin32AndDos;
            } else if (NameRules::isWin32Name(name)) {
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

DWORD ZEmulatedNtfsVolume::lookup(DWORD parent, const std::u16string& name) const
{
    std::lock_guard<std::mutex> g(lock_);
    DWORD folded = 0;
    DWORD exact = 0;
    char16_t scratch[ZNameArena::kMaxUnits];
    nameIndex_.visit(NameRules::nameKey(parent, name.data(), name.size()), [&](DWORD record) {
        const bool same = visitLinks(record, [&](const Link& l) {
            if (parentOf(l) != parent)
                return false;
            const char16_t* n = unitsOf(l, scratch);
            if (l.nameLength == name.size() && std::equal(n, n + l.nameLength, name.begin()))
                return true;
            if (!folded && l.nameSpace != Ntfs::NameSpacePosix && NameRules::equalFolded(n, l.nameLength, name.data(), name.size()))
                folded = record;
            return false;
        });
        if (same)
            exact = record;
        return same;
    });
    return exact ? exact : folded;
}

} // namespace Platform
