// One drive's index as a client searches it: the attached pool, scanned in
// place with the name signature as the pre-filter, and the drive's folders
// in one compact table (record number -> slot) made only when a result or a
// whole-path match needs them. Paths are built for results only, from the
// drive's published root; the folders above a result are checked against
// what the real user may search, with the answer kept per folder.
#pragma once

#include "client/ZNameMatcher.h"
#include "client/ZSearchClient.h"
#include "client/ZSharedPoolReader.h"
#include "wire/ZPublishedDrives.h"

#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

namespace SearchEngine {

class ZDriveIndex {
public:
    ZDriveIndex(ushort drive, const QString& poolName, const SegmentOwner& owner, const ZPublishedDrive& published);

    ushort drive() const { return drive_; }
    ZSharedPoolReader& reader() { return reader_; }
    // Attaches the announced pieces; false when one of them cannot be.
    bool attach(int pieceCount);
    void setReachCheck(bool on) { reachCheck_ = on; }

    // Calls onHit for each record that every matcher accepts; false stops.
    // Returns the hits given.
    qint64 search(const std::vector<ZNameMatcher>& matchers, const ZSearchQuery& query, qint64 limit,
                  const std::function<bool(const ZSearchHit&)>& onHit);
    // A record's hit (path and all) when the real user may reach it; false
    // when not, or when its folders cannot be resolved.
    bool hitOf(const ZItemSnapshot& item, bool wantPath, ZSearchHit* hit);
    // Another user is shown a directory drive's name only while it exists
    // at its path: the index can lag the tree by seconds, and a folder they
    // may write beside can meanwhile have been swapped for one of their own,
    // which would let them pass where the index's folder of that name is
    // private. The names the index holds under it are not in the new one.
    bool existenceChecked() const { return checksReach() && published_.kind == ZPublishedDrive::Directory; }
    // The hit's path names an entry on disk now (lstat, the caller's ids).
    bool existsOnDisk(const ZSearchHit& hit) const;
    // Folders changed: the table is made again when next needed.
    void forgetFolders();
    // The folder table made now, if it is not (a follower's starting point).
    void gatherFolders();
    // A folder the change stream added, renamed or moved (its new record):
    // filed in the table as gathered, which keeps the folders freed since,
    // so that what was under them can still be named as it goes. Filed
    // again under another name or parent, the paths below it change.
    void noteFolder(const ZItemSnapshot& folder);
    // A folder the change stream removed: its record no longer names it, so
    // a later record under that number is left until its own folder comes.
    void dropFolder(const ZItemSnapshot& folder);
    // Calls visit for every live record below folder (as the table files the
    // folders), at any depth; false stops. knownFoldersOnly leaves out the
    // folders the table does not file under their present record: their
    // rename or making is a change still to be read.
    void forEachUnder(DWORD folder, bool knownFoldersOnly, const std::function<bool(const ZItemSnapshot&)>& visit);
    // Who may reach which folder is asked again when next needed.
    void forgetReach();

private:
    struct Folder {
        DWORD record;
        DWORD parent;
        int piece;
        DWORD slot;
    };
    enum : uint8_t { Unknown = 0, Yes = 1, No = 2 };

    void collectFolders();
    // The record -> folder table over folders_ as gathered.
    void indexFolders();
    int folderIndex(DWORD record);
    // Whether the table files record under the run at (piece index, slot).
    bool filedAt(DWORD record, int piece, DWORD slot);
    bool readFolder(int index, ZItemSnapshot* out);
    // The path of a folder (the drive's root for the root record), kept.
    bool folderPath(int index, QByteArray* path, bool* verified);
    bool folderPathOf(DWORD record, QByteArray* path, bool* verified);
    bool reachable(DWORD record);
    bool underMatchingFolder(const ZNameMatcher& m, size_t which, DWORD parent);
    QByteArray rootText() const;
    QByteArray join(const QByteArray& folder, const QByteArray& name) const;
    // Whether hits are held to what the real user may reach.
    // A drive without a root on disk (or one the drive list does not name)
    // cannot be judged: with the check on, nothing of it is shown.
    bool checksReach() const { return reachCheck_ && !byRoot_; }

    ushort drive_;
    ZPublishedDrive published_;
    ZSharedPoolReader reader_;
    bool reachCheck_ = true;
    const bool byRoot_;   // the real user is root, asked once
    bool foldersReady_ = false;
    std::vector<Folder> folders_;
    std::vector<int> byRecord_;                       // record -> folder index + 1 (dense numbers)
    std::unordered_map<DWORD, int> byRecordSparse_;   // the same, for numbers past the dense table
    std::vector<uint8_t> reach_;
    std::vector<std::vector<uint8_t>> dirMatch_;      // per matcher, per folder
    std::unordered_map<int, std::pair<QByteArray, bool>> paths_;
    int rootReach_ = Unknown;
};

} // namespace SearchEngine
