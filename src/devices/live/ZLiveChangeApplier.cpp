#include "devices/live/ZLiveChangeApplier.h"

#include "devices/live/ZLiveDirectoryVolume.h"
#include "devices/live/ZLiveNameCodec.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

namespace Platform {

namespace {

constexpr DWORD kRoot = Ntfs::RecordRoot;

bool sameFileTimes(const ZEmulatedNtfsVolume::FileTimes& a, const LiveFileStat& st)
{
    return a.creationTime == st.creationTime && a.lastWriteTime == st.lastWriteTime
        && a.changeTime == st.changeTime;
}

ZEmulatedNtfsVolume::FileTimes timesOf(const LiveFileStat& st)
{
    ZEmulatedNtfsVolume::FileTimes t;
    t.creationTime = st.creationTime;
    t.lastWriteTime = st.lastWriteTime;
    t.changeTime = st.changeTime;
    t.lastAccessTime = st.lastAccessTime;
    return t;
}

} // namespace

ZLiveChangeApplier::ZLiveChangeApplier(ZLiveDirectoryVolume& volume)
    : v_(volume)
{
}

DWORD ZLiveChangeApplier::addEntry(DWORD dir, const std::string& name, const std::u16string& name16,
                                   const LiveFileStat& st, const FolderRef& parent, const std::string& path)
{
    const ULONGLONG id = v_.identityOf(st);
    if (st.directory() && id) {
        // A folder has one name: one the volume holds elsewhere was moved
        // here, its rename not read yet, and the record moves with it. Its
        // birth time tells it from a new folder given a deleted one's inode.
        auto known = v_.folderOfInode_.find(id);
        ZEmulatedNtfsVolume::FileInfo info;
        if (known != v_.folderOfInode_.end() && v_.volume_->fileInfo(known->second, info) && info.directory
            && !info.links.empty() && info.times.creationTime == st.creationTime) {
            const DWORD folder = known->second;
            if (!v_.volume_->rename(folder, info.links[0].parent, info.links[0].name, dir, name16))
                return 0;   // not where the volume can put it yet: the queued events will
            if (v_.walking_) {
                // Which listing read it last is not known here: the disk tells after the walk.
                v_.metTwiceByWalk_.emplace_back(info.links[0].parent, liveNameFromUtf16(info.links[0].name));
                v_.metTwiceByWalk_.emplace_back(dir, name);
            }
            update(folder, st, name, LiveEvent::NameChanged);
            if (parent && v_.unread_.count(folder))
                v_.walker_.walkUnread(parent, name, st, path, folder);
            return folder;
        }
    }
    if (!st.directory() && st.links == 1 && id && v_.reconciling_) {
        // After a restart: a file the last run knew, found under another
        // name, was renamed or moved meanwhile.
        const DWORD known = v_.recordOfInode(id, st.links);
        ZEmulatedNtfsVolume::FileInfo info;
        if (known && v_.sameFile(known, st) && v_.volume_->fileInfo(known, info) && info.links.size() == 1
            && v_.volume_->rename(known, info.links[0].parent, info.links[0].name, dir, name16)) {
            update(known, st, name, LiveEvent::DataChanged);
            return known;
        }
    }
    if (!st.directory() && st.links > 1 && id) {
        const DWORD existing = v_.recordOfInode(id, st.links);
        if (existing) {
            if (!v_.volume_->link(existing, dir, name16, ZEmulatedNtfsVolume::NameForm::Posix))
                return 0;
            update(existing, st, name, LiveEvent::NameChanged);
            return existing;
        }
    }
    ZEmulatedNtfsVolume::CreateOptions o;
    o.nameForm = ZEmulatedNtfsVolume::NameForm::Posix;
    o.attributes = st.attributes(name);
    o.creationTime = st.creationTime;
    o.lastWriteTime = st.lastWriteTime;
    o.changeTime = st.changeTime;
    o.lastAccessTime = st.lastAccessTime;
    DWORD r;
    if (st.directory()) {
        r = v_.volume_->createFolder(dir, name16, o);
    } else {
        o.size = st.size;
        r = v_.volume_->createFile(dir, name16, o);
    }
    if (!r)
        return 0;
    v_.rememberInode(r, st);
    // A walk does not look among the records for an inode it met with one
    // link: one of them may be this file, linked since.
    if (!st.directory() && st.links > 1 && id && (v_.walking_ || v_.reconciling_))
        v_.linkedByWalk_.insert(id);
    v_.volume_->close(r);
    if (parent && st.directory() && id)
        v_.walker_.walkChild(parent, name, st, path, r);
    return r;
}

void ZLiveChangeApplier::update(DWORD record, const LiveFileStat& st, const std::string& name,
                                LiveEvent::Kind cause)
{
    ZEmulatedNtfsVolume::FileInfo info;
    if (!v_.volume_->fileInfo(record, info))
        return;
    if (!info.directory) {
        if (st.size > info.size)
            v_.volume_->write(record, info.size, st.size - info.size);
        else if (st.size < info.size)
            v_.volume_->truncate(record, st.size);
        else if (cause == LiveEvent::DataChanged && st.size && st.lastWriteTime != info.times.lastWriteTime)
            v_.volume_->write(record, 0, st.size);
    }
    const DWORD attributes = st.attributes(name);
    const bool attributesChanged = attributes != info.attributes;
    if (attributesChanged)
        v_.volume_->setAttributes(record, attributes);
    if (cause == LiveEvent::InfoChanged && !attributesChanged && !sameFileTimes(info.times, st))
        v_.volume_->setTimes(record, timesOf(st));
    else
        v_.volume_->setTimesQuietly(record, timesOf(st));
    v_.volume_->close(record);
}

// Removes one name; a folder's contents go first, as a deletion of the tree.
void ZLiveChangeApplier::dropName(DWORD record, DWORD dir, const std::u16string& name16)
{
    ZEmulatedNtfsVolume::FileInfo info;
    if (!v_.volume_->fileInfo(record, info))
        return;
    if (info.directory)
        removeSubtree(record);
    v_.volume_->remove(record, dir, name16);
    if (!v_.volume_->inUse(record))
        v_.forgetRecord(record);
}

// The record kept is the one the inode map names (made for a name met with
// several links); every other record of the inode gives its names to it.
void ZLiveChangeApplier::joinSplitLinks()
{
    if (v_.linkedByWalk_.empty())
        return;
    std::vector<std::pair<DWORD, DWORD>> splits;   // (record that goes, record kept)
    for (DWORD r = Ntfs::RecordFirstUser; r < v_.inodes_.size(); ++r) {
        const ULONGLONG id = v_.inodes_[r];
        if (!id || !v_.linkedByWalk_.count(id) || !v_.volume_->inUse(r))
            continue;
        auto kept = v_.linkedInodes_.find(id);
        if (kept == v_.linkedInodes_.end() || !v_.volume_->inUse(kept->second) || v_.inodes_[kept->second] != id)
            v_.linkedInodes_[id] = r;
        else if (kept->second != r)
            splits.emplace_back(r, kept->second);
    }
    v_.linkedByWalk_ = decltype(v_.linkedByWalk_)();
    for (const auto& [gone, kept] : splits) {
        ZEmulatedNtfsVolume::FileInfo info;
        if (!v_.volume_->fileInfo(gone, info) || info.directory)
            continue;
        for (const ZEmulatedNtfsVolume::LinkInfo& l : info.links) {
            dropName(gone, l.parent, l.name);
            v_.volume_->link(kept, l.parent, l.name, ZEmulatedNtfsVolume::NameForm::Posix);
        }
        v_.volume_->close(kept);
    }
}

void ZLiveChangeApplier::removeSubtree(DWORD folder)
{
    // Every (parent, record) pair, grouped by parent.
    std::vector<std::pair<DWORD, DWORD>> edges;
    v_.volume_->forEachLink([&](DWORD record, DWORD parent, const std::u16string&) {
        edges.emplace_back(parent, record);
    });
    std::sort(edges.begin(), edges.end());
    auto childrenOf = [&](DWORD parent) {
        auto lo = std::lower_bound(edges.begin(), edges.end(), std::make_pair(parent, DWORD(0)));
        std::vector<DWORD> out;
        for (auto it = lo; it != edges.end() && it->first == parent; ++it)
            out.push_back(it->second);
        return out;
    };
    // Depth first, each folder after its contents.
    struct Frame {
        DWORD folder;
        std::vector<DWORD> children;
        size_t next;
    };
    std::vector<Frame> stack;
    stack.push_back({folder, childrenOf(folder), 0});
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.children.size()) {
            const DWORD child = f.children[f.next++];
            ZEmulatedNtfsVolume::FileInfo info;
            if (v_.volume_->fileInfo(child, info) && info.directory) {
                stack.push_back({child, childrenOf(child), 0});
            } else {
                for (const auto& l : info.links)
                    if (l.parent == f.folder)
                        v_.volume_->remove(child, l.parent, l.name);
                if (!v_.volume_->inUse(child))
                    v_.forgetRecord(child);
            }
            continue;
        }
        const DWORD done = f.folder;
        stack.pop_back();
        if (stack.empty())
            break;   // the folder itself: its caller removes its name
        ZEmulatedNtfsVolume::FileInfo info;
        if (v_.volume_->fileInfo(done, info))
            for (const auto& l : info.links)
                v_.volume_->remove(done, l.parent, l.name);
        if (!v_.volume_->inUse(done))
            v_.forgetRecord(done);
    }
}

// Looks at the entry `name` of dir on disk again and brings the volume in line.
bool ZLiveChangeApplier::syncName(DWORD dir, const std::string& name, LiveEvent::Kind cause)
{
    if (dir != kRoot && (dir >= v_.inodes_.size() || !v_.inodes_[dir] || !v_.volume_->inUse(dir)))
        return true;
    // The folder's names as the volume knows them must still lead to the
    // folder: a rename of it (or above it) still waiting in the queue makes
    // them stale. A record number that went to a file since has no folder
    // left, and with it the name is gone.
    std::string dirPath;
    bool notFolder = false;
    const FolderRef folder = v_.walker_.openFolder(dir, dirPath, &notFolder);
    if (!folder)
        return notFolder;
    const std::string path = (dirPath == "/" ? std::string() : dirPath) + "/" + name;
    const std::u16string name16 = liveNameToUtf16(name);
    const DWORD record = v_.volume_->lookup(dir, name16);
    LiveFileStat st;
    if (!liveStat(folder->fd, name.c_str(), st)) {
        if (record && (errno == ENOENT || errno == ENOTDIR))
            dropName(record, dir, name16);
        return true;
    }
    if (record) {
        ZEmulatedNtfsVolume::FileInfo info;
        const bool same = v_.volume_->fileInfo(record, info) && record < v_.inodes_.size()
            && v_.inodes_[record] == v_.identityOf(st) && info.directory == st.directory();
        if (same) {
            update(record, st, name, cause);
            if (info.directory && v_.unread_.count(record))
                v_.walker_.walkUnread(folder, name, st, path, record);   // moved away before it could be read
            return true;
        }
        dropName(record, dir, name16);
    }
    addEntry(dir, name, name16, st, folder, path);
    return true;
}

// True when the disk's entry `name` of dir is known to hold another file
// than record: the disk has moved on past this rename (the second half of
// an exchange already brought in line), so only the names are looked at.
bool ZLiveChangeApplier::elsewhereOnDisk(DWORD dir, const std::string& name, DWORD record)
{
    std::string path;
    const FolderRef folder = v_.walker_.openFolder(dir, path);
    LiveFileStat st;
    if (!folder || !liveStat(folder->fd, name.c_str(), st))
        return false;
    return record >= v_.inodes_.size() || v_.identityOf(st) != v_.inodes_[record];
}

// A side of a rename whose folder is stale is looked at again later on its
// own: the rename itself must not be made twice.
void ZLiveChangeApplier::syncSide(DWORD dir, const std::string& name)
{
    if (syncName(dir, name, LiveEvent::NameChanged))
        return;
    LiveEvent again;
    again.kind = LiveEvent::NameChanged;
    again.directory = dir;
    again.name = name;
    v_.deferred_.push_back(std::move(again));
}

void ZLiveChangeApplier::rename(const LiveEvent& e)
{
    const bool fromKnown = e.directory && v_.volume_->inUse(e.directory);
    const bool toKnown = e.newDirectory && v_.volume_->inUse(e.newDirectory);
    if (!fromKnown || !toKnown) {
        // Moved in or out of the tree.
        if (fromKnown != toKnown)
            syncSide(fromKnown ? e.directory : e.newDirectory, fromKnown ? e.name : e.newName);
        return;
    }
    const std::u16string old16 = liveNameToUtf16(e.name);
    const std::u16string new16 = liveNameToUtf16(e.newName);
    const DWORD record = v_.volume_->lookup(e.directory, old16);
    const DWORD target = v_.volume_->lookup(e.newDirectory, new16);
    if (record && target != record && !elsewhereOnDisk(e.newDirectory, e.newName, record)) {
        if (target)
            dropName(target, e.newDirectory, new16);
        v_.volume_->rename(record, e.directory, old16, e.newDirectory, new16);
    }
    syncSide(e.newDirectory, e.newName);
    // The old name may hold a file again (an exchange of two names).
    syncSide(e.directory, e.name);
}

bool ZLiveChangeApplier::apply(const LiveEvent& e)
{
    switch (e.kind) {
    case LiveEvent::NameChanged:
    case LiveEvent::DataChanged:
    case LiveEvent::InfoChanged:
        if (e.name == ".") {
            // A folder's own change: looked at under its name in its parent.
            ZEmulatedNtfsVolume::FileInfo info;
            if (e.directory != kRoot && v_.volume_->fileInfo(e.directory, info) && !info.links.empty())
                return syncName(info.links[0].parent, liveNameFromUtf16(info.links[0].name), e.kind);
            break;
        }
        return syncName(e.directory, e.name, e.kind);
    case LiveEvent::Renamed:
        rename(e);
        break;
    case LiveEvent::DirectoryDeleted:
        if (e.directory != kRoot) {
            // The folder's names go with it, even where a new folder has its
            // inode under the same name by now; the new one's creation follows.
            ZEmulatedNtfsVolume::FileInfo info;
            if ((!e.reference || v_.volume_->fileReference(e.directory) == e.reference)
                && v_.volume_->fileInfo(e.directory, info) && info.directory)
                for (const auto& l : info.links)
                    dropName(e.directory, l.parent, l.name);
            break;
        }
        [[fallthrough]];
    case LiveEvent::DirectoryGone:
        if (e.directory == kRoot) {
            LiveFileStat st;
            if (!liveStat(AT_FDCWD, v_.root_.c_str(), st) || st.inode != v_.rootInode_ || st.device != v_.rootDevice_)
                v_.markGone();
        }
        break;
    case LiveEvent::Overflow:
        break;
    }
    return true;
}

} // namespace Platform
