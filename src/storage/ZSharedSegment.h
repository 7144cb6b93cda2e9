// One System V shared memory segment of an index, named by a key file.
//
// The key files live in a folder of the creating user's own inside the
// runtime folder (ZServiceLocation; "SearchEngine-keys-<uid>", 0755, owned by that user and
// writable by no one else), so no other user can plant a key file or a link
// under a segment's name. The segment key is ftok(key file, 'Q'), and the
// key file is named as Qt's QSharedMemory names it ("qipc_sharedmemory_"
// and a digest of the key). No semaphore is used: creation is exclusive
// (IPC_CREAT | IPC_EXCL) and readers check the segment's owner and creator
// before they read it, so nothing another user makes can block either side
// or pass for an index piece.
//
// Who may read: a segment is its creating user's alone (0600), unless the
// environment names a group in SEARCH_SEGMENT_GROUP (the installed service's
// unit sets it to "searchservice"). Then each new segment is handed to that
// group, readable by its members (0640), once it is made and before anything
// is written to it. Owner and creator stay the creating user, so readers'
// checks of them hold either way.
#pragma once

#include <QString>

#include <sys/stat.h>
#include <sys/types.h>

namespace SearchEngine {

// The folder of the key files of the segments that user `owner` creates.
QString segmentKeyFolder(uid_t owner);
// Makes this process's key folder (or checks the one there): a directory,
// not a link, owned by the effective user, writable by no one else. False
// with a reason when it cannot be used.
bool ensureSegmentKeyFolder(QString* error = nullptr);
// The key file of the segment `key` of user `owner`.
QString segmentKeyFile(const QString& key, uid_t owner);
// Whether what st describes is owner's and no one else can write it.
bool ownedAndClosed(const struct stat& st, uid_t owner);
// Whether a file name is of the form segment key files have.
bool isSegmentKeyFileName(const QString& fileName);
// The environment variable naming the group that may read the segments.
extern const char kSegmentGroupVariable[];
// The group new segments are handed to: false when none is named, or (with
// a reason) when the named group is unknown. A name or a number.
bool segmentGroup(gid_t* gid, QString* error = nullptr);

// Who must have made a segment for a reader to trust it: its owner and
// creator uid, and (when not 0) the creating process.
struct SegmentOwner {
    uid_t uid = 0;
    pid_t pid = 0;
};

class ZSharedSegment {
public:
    enum Error {
        NoError,
        AlreadyExists,     // the key is taken (by an earlier run or another user)
        NotFound,
        NotTrusted,        // made by someone other than the expected owner
        KeyFolderUnusable,
        OutOfResources,
        Failed,
    };

    explicit ZSharedSegment(const QString& key);
    ~ZSharedSegment();
    ZSharedSegment(const ZSharedSegment&) = delete;
    ZSharedSegment& operator=(const ZSharedSegment&) = delete;

    QString key() const { return key_; }
    // The key file's path for this process's own segments.
    QString keyFile() const;

    // Creates the segment (0600, or 0640 to the segment group) and its key
    // file and attaches it read-write.
    bool create(int size);
    // Attaches the segment that `owner` created, read-only or read-write.
    bool attach(const SegmentOwner& owner, bool readOnly = true);
    // Detaches; a segment this object created is removed with its key file
    // (readers still attached keep reading it until they detach).
    void detach();

    bool isAttached() const { return data_ != nullptr; }
    void* data() const { return data_; }
    int size() const { return size_; }
    Error error() const { return error_; }
    QString errorString() const;

private:
    QString key_;
    void* data_ = nullptr;
    int size_ = 0;
    int id_ = -1;
    bool created_ = false;
    QString createdKeyFile_;
    Error error_ = NoError;
    int errno_ = 0;
};

} // namespace SearchEngine
