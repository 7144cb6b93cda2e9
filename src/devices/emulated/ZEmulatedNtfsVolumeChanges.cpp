// ZEmulatedNtfsVolume: the changes a program makes to files.
#include "devices/emulated/ZEmulatedNtfsVolumeParts.h"

#include <cstring>

namespace Platform {

using namespace EmulatedNtfsParts;

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

DWORD ZEmulatedNtfsVolume::createEntry(DWORD parent, const std::u16string& name, const CreateOptions& o, bool folder,
                                       DWORD at)
{
    if (!isFolder(parent)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    std::vector<Link> links;
    if (!chooseNames(parent, name, o.nameForm, o.dosName, 0, links))
        return 0;
    const DWORD r = at ? at : allocateRecord();
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
    return changeTimes(file, t, true);
}

bool ZEmulatedNtfsVolume::setTimesQuietly(DWORD file, const FileTimes& t)
{
    return changeTimes(file, t, false);
}

bool ZEmulatedNtfsVolume::changeTimes(DWORD file, const FileTimes& t, bool journaled)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!checkChangeable(file))
        return false;
    if (storeTimes(file, t) && journaled)
        note(file, USN_REASON_BASIC_INFO_CHANGE);
    if (journaled)
        closeIfAuto(file);
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
    if (!NameRules::validName(streamName) || streamName.find(u':') != std::u16string::npos) {
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


void ZEmulatedNtfsVolume::setJournalPaused(bool paused)
{
    std::lock_guard<std::mutex> g(lock_);
    journalPaused_ = paused;
}

} // namespace Platform
