// A live directory volume's change journal kept on disk between runs: one
// file, a header naming the tree (device and root inode) and the journal (id,
// FirstUsn), then the USN_RECORD_V2 records, each framed by its length and a
// CRC-32 (zlib) so that a record torn by a kill is told from a whole one.
//
// A kill at any moment leaves a file that either loads or is refused:
//   - an append that did not finish leaves a torn last frame, which is cut
//     off at load (the records before it are whole);
//   - the header, and the whole file when the oldest records are dropped,
//     are written anew in one step (ZLiveAtomicFile.h);
//   - anything else that does not check (a frame inside the file, a header,
//     USNs out of order, another version or tree) refuses the file, with the
//     reason, and the caller starts a fresh journal.
// The journal's MaximumSize and AllocationDelta are honoured as NTFS does:
// past MaximumSize + AllocationDelta the oldest records are dropped down to
// MaximumSize (the newest always stays) and FirstUsn moves on with them.
#pragma once

#include "devices/live/ZLiveAtomicFile.h"
#include "win32/win32_ioctl.h"

#include <QString>

#include <cstddef>
#include <functional>
#include <vector>

namespace Platform {

class ZLiveJournalLog {
public:
    static constexpr DWORD kVersion = 2;

    struct Identity {
        ULONGLONG rootDevice = 0;
        ULONGLONG rootInode = 0;
        DWORDLONG journalId = 0;
        // CRC-32 of the root's path and birth time: a tree made anew, or
        // another tree whose root got the same inode, is another tree.
        DWORD rootTag = 0;
    };
    struct Limits {
        ULONGLONG maximumSize = 32ull << 20;
        ULONGLONG allocationDelta = 4ull << 20;
    };
    // The seam for tests of kills: called before each write with the bytes
    // about to be written; it returns how many of them are written before
    // the "kill" (all of them: no fault). After a kill the log writes nothing more.
    using WriteFault = ZLiveWriteFault;

    // On-disk layout (little-endian, as the machine writes it).
    struct FileHeader {
        char magic[8];
        DWORD version;
        DWORD headerBytes;
        ULONGLONG rootDevice;
        ULONGLONG rootInode;
        DWORDLONG journalId;
        USN firstUsn;
        USN nextUsn;        // at the last rewrite; the frames after it move it on
        DWORD rootTag;
        DWORD headerCrc;    // of every byte before it
    };
    struct FrameHeader {
        DWORD length;       // of the USN_RECORD_V2 that follows (its RecordLength)
        DWORD crc;          // of the record's bytes
    };

    ZLiveJournalLog() = default;
    ~ZLiveJournalLog();
    ZLiveJournalLog(const ZLiveJournalLog&) = delete;
    ZLiveJournalLog& operator=(const ZLiveJournalLog&) = delete;

    // Makes a fresh, empty journal at path (replacing any file there).
    bool create(const QString& path, const Identity& identity, USN firstUsn, const Limits& limits,
                QString* error);
    // Loads the journal at path for the tree of `expected` (its journalId
    // is ignored: the file's is the journal's). False with the reason when
    // the file is missing, damaged or of another tree or version. A torn last
    // frame is cut off.
    bool load(const QString& path, ULONGLONG rootDevice, ULONGLONG rootInode, const Limits& limits,
              QString* reason, DWORD rootTag = 0);

    // Appends one record (its Usn must be at or past nextUsn(), 8-aligned).
    // False when it cannot be written (the file is then closed: what is on
    // disk is whole up to the record before, and the next load cuts the rest).
    bool append(const USN_RECORD_V2* record);
    // Flushes the appended records to the disk.
    bool flush();

    const Identity& identity() const { return identity_; }
    USN firstUsn() const { return firstUsn_; }
    USN nextUsn() const { return nextUsn_; }
    bool isOpen() const { return fd_ >= 0; }
    // The fault seam "killed" a write: nothing more reaches the file.
    bool killed() const { return killed_; }
    // The records held, oldest first (each 8-byte aligned, back to back).
    const std::vector<BYTE>& records() const { return records_; }

    void setWriteFault(WriteFault fault) { fault_ = std::move(fault); }

private:
    bool rewrite(QString* error);
    bool writeAll(const void* data, size_t bytes);
    void trimIfNeeded();
    void close();

    QString path_;
    Identity identity_;
    Limits limits_;
    USN firstUsn_ = 0;
    USN nextUsn_ = 0;
    std::vector<BYTE> records_;
    int fd_ = -1;
    bool killed_ = false;
    WriteFault fault_;
};

static_assert(offsetof(ZLiveJournalLog::FileHeader, version) == 8, "journal file header layout");
static_assert(offsetof(ZLiveJournalLog::FileHeader, rootDevice) == 16, "journal file header layout");
static_assert(offsetof(ZLiveJournalLog::FileHeader, journalId) == 32, "journal file header layout");
static_assert(offsetof(ZLiveJournalLog::FileHeader, firstUsn) == 40, "journal file header layout");
static_assert(offsetof(ZLiveJournalLog::FileHeader, rootTag) == 56, "journal file header layout");
static_assert(offsetof(ZLiveJournalLog::FileHeader, headerCrc) == 60, "journal file header layout");
static_assert(sizeof(ZLiveJournalLog::FileHeader) == 64, "journal file header layout");
static_assert(sizeof(ZLiveJournalLog::FrameHeader) == 8, "journal frame layout");

} // namespace Platform
